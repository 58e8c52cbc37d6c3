// The remote tool's end of the Ethernet tests: plain POSIX sockets on
// 127.0.0.1 and a frame encoder of its own, independent of the library's
// framing code. Every wait gives up at a deadline; in the test's main thread
// (where the transport lives) waits pump the Qt event loop.
#ifndef XR9ETH_POSIXPEER_H
#define XR9ETH_POSIXPEER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace ethtest {

// Pumps the Qt event loop until predicate holds or timeoutMs passes.
bool pumpUntil(const std::function<bool()>& predicate, int timeoutMs = 5000);
// Pumps for a fixed time (to give a wrong delivery its chance to show).
void pumpFor(int milliseconds);

// marker x4 | big-endian length | payload
std::string frame(uint8_t marker, const std::string& payload);
std::string frameWithLength(uint8_t marker, int32_t length, const std::string& payload);
// A1 x4 | little-endian value
std::string shmFrame(int32_t value);
// Origin byte, big-endian sequence number, then a filler derived from both up to size bytes (at least 5): a cut or
// spliced message shows.
std::string numbered(uint8_t origin, uint32_t sequence, size_t size);
// True when message is exactly a numbered one; sets its origin and sequence.
bool parseNumbered(const std::string& message, uint8_t* origin, uint32_t* sequence);

// A port that was free a moment ago (bound, read back, released).
uint16_t freeTcpPort();
uint16_t freeUdpPort();

class TcpPeer {
public:
    TcpPeer() = default;
    ~TcpPeer() { close(); }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    bool connectTo(uint16_t port);  // 127.0.0.1
    void adopt(int fd) {
        close();
        fd_ = fd;
    }
    int fd() const { return fd_; }
    // Any thread. False on an error, at the deadline or once *stop is set; *sent counts what the kernel took.
    bool sendAll(const std::string& bytes, int timeoutMs = 10000, std::atomic<size_t>* sent = nullptr,
                 const std::atomic<bool>* stop = nullptr);
    // Pumps until exactly n more bytes have arrived (false at the deadline).
    bool receive(size_t n, std::string* bytes, int timeoutMs = 5000);
    // Pumps until the other end has closed the connection.
    bool waitClosed(int timeoutMs = 5000);
    void close();
    // Aborts the connection: the other end sees a reset, not an orderly close.
    void reset();
    // Ends the sending direction only; replies can still be read.
    bool shutdownWrite();

private:
    int fd_ = -1;
};

class TcpListener {
public:
    TcpListener();  // 127.0.0.1, a port of the system's choice
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    uint16_t port() const { return port_; }
    // Pumps until a connection is pending and accepts it.
    bool accept(TcpPeer* peer, int timeoutMs = 5000);
    // True when a connection is pending now.
    bool pending();

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

class UdpPeer {
public:
    // Bound to 127.0.0.1:port (0: the system's choice), sharing the address.
    explicit UdpPeer(uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;
    bool sendTo(uint16_t port, const std::string& datagram);
    bool receive(std::string* datagram, int timeoutMs = 5000);
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace ethtest

#endif
