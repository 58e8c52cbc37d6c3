// Plain POSIX sockets for the remote tool's side: TCP links that carry
// Ethernet frames, UDP datagrams, and raw CAN frames. Every wait is bounded.
#ifndef PEER_PEERSOCKETS_H
#define PEER_PEERSOCKETS_H

#include <cstdint>
#include <string>
#include <vector>

#include "CanWire.h"
#include "EthernetWire.h"

namespace peer {

// Owns one file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Waits until fd is readable; false on time-out or error.
bool waitReadable(int fd, int timeoutMs);

// A listening TCP socket on address:port (port 0: the system picks; the
// chosen port is stored in *boundPort). Invalid Fd and error text on failure.
Fd listenTcp(const std::string& address, uint16_t port, uint16_t* boundPort, std::string* error);
// Accepts one connection within timeoutMs.
Fd acceptTcp(int listener, int timeoutMs, std::string* error);
// Connects within timeoutMs, retrying while the other side is not listening yet.
Fd connectTcp(const std::string& address, uint16_t port, int timeoutMs, std::string* error);

// A TCP connection carrying Ethernet frames.
class FrameLink {
public:
    explicit FrameLink(Fd fd) : fd_(std::move(fd)) {}
    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    bool sendAll(const std::vector<uint8_t>& bytes, std::string* error);
    // The next whole message, waiting at most timeoutMs for it.
    bool receive(EthMessage* message, int timeoutMs, std::string* error);
    void close() { fd_.reset(); }

private:
    Fd fd_;
    EthFrameReader reader_;
};

// A UDP socket for broadcast frames.
class DatagramLink {
public:
    bool bind(const std::string& address, uint16_t port, uint16_t* boundPort, std::string* error);
    bool sendTo(const std::string& address, uint16_t port, const std::vector<uint8_t>& bytes, std::string* error);
    // One datagram within timeoutMs, with its sender's address.
    bool receive(std::vector<uint8_t>* bytes, std::string* sender, int timeoutMs, std::string* error);

private:
    Fd fd_;
};

// A raw CAN socket on a named interface, or any descriptor that carries
// 16-byte classic frames (such as the user-space bus).
class CanLink {
public:
    bool open(const std::string& interface, std::string* error);
    void adopt(int fd) { fd_.reset(fd); }
    bool send(const CanFrame& frame, std::string* error);
    // Sends frames in order, pausing pauseUs microseconds between them so a
    // slow receiver keeps up (a bus has no flow control).
    bool sendAll(const std::vector<CanFrame>& frames, int pauseUs, std::string* error);
    bool receive(CanFrame* frame, int timeoutMs, std::string* error);

private:
    Fd fd_;
};

}  // namespace peer

#endif
