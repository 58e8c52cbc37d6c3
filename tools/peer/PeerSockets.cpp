#include "PeerSockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/can.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace peer {

namespace {

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool toAddress(const std::string& address, uint16_t port, sockaddr_in* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    return inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

Fd::~Fd() {
    reset();
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int Fd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int rc = ::poll(&p, 1, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        return rc > 0;
    }
}

Fd listenTcp(const std::string& address, uint16_t port, uint16_t* boundPort, std::string* error) {
    sockaddr_in sa;
    if (!toAddress(address, port, &sa)) {
        *error = "not an IPv4 address: " + address;
        return Fd();
    }
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd.get(), 8) != 0) {
        *error = errnoText("listen on " + address + ":" + std::to_string(port));
        return Fd();
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    if (boundPort) *boundPort = ntohs(sa.sin_port);
    return fd;
}

Fd acceptTcp(int listener, int timeoutMs, std::string* error) {
    if (!waitReadable(listener, timeoutMs)) {
        *error = "no connection within " + std::to_string(timeoutMs) + " ms";
        return Fd();
    }
    Fd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd.valid()) *error = errnoText("accept");
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

Fd connectTcp(const std::string& address, uint16_t port, int timeoutMs, std::string* error) {
    sockaddr_in sa;
    if (!toAddress(address, port, &sa)) {
        *error = "not an IPv4 address: " + address;
        return Fd();
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            int one = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        if ((errno != ECONNREFUSED && errno != EINTR) || remainingMs(deadline) == 0) {
            *error = errnoText("connect to " + address + ":" + std::to_string(port));
            return Fd();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool FrameLink::sendAll(const std::vector<uint8_t>& bytes, std::string* error) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = errnoText("send");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool FrameLink::receive(EthMessage* message, int timeoutMs, std::string* error) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t chunk[65536];
    for (;;) {
        if (reader_.next(message)) return true;
        if (reader_.failed()) {
            *error = "malformed frame from the terminal";
            return false;
        }
        if (!waitReadable(fd_.get(), remainingMs(deadline))) {
            *error = "no message within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
        ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n == 0 ? "connection closed by the terminal" : errnoText("recv");
            return false;
        }
        reader_.feed(chunk, static_cast<size_t>(n));
    }
}

bool DatagramLink::bind(const std::string& address, uint16_t port, uint16_t* boundPort, std::string* error) {
    sockaddr_in sa;
    if (!toAddress(address, port, &sa)) {
        *error = "not an IPv4 address: " + address;
        return false;
    }
    fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int one = 1;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        *error = errnoText("bind UDP " + address + ":" + std::to_string(port));
        return false;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    if (boundPort) *boundPort = ntohs(sa.sin_port);
    return true;
}

bool DatagramLink::sendTo(const std::string& address, uint16_t port, const std::vector<uint8_t>& bytes,
                          std::string* error) {
    sockaddr_in sa;
    if (!toAddress(address, port, &sa)) {
        *error = "not an IPv4 address: " + address;
        return false;
    }
    if (!fd_.valid()) {
        fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    }
    if (::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) !=
        static_cast<ssize_t>(bytes.size())) {
        *error = errnoText("sendto " + address + ":" + std::to_string(port));
        return false;
    }
    return true;
}

bool DatagramLink::receive(std::vector<uint8_t>* bytes, std::string* sender, int timeoutMs, std::string* error) {
    if (!fd_.valid() || !waitReadable(fd_.get(), timeoutMs)) {
        *error = "no datagram within " + std::to_string(timeoutMs) + " ms";
        return false;
    }
    bytes->resize(65536);
    sockaddr_in from;
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_.get(), bytes->data(), bytes->size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
        *error = errnoText("recvfrom");
        return false;
    }
    bytes->resize(static_cast<size_t>(n));
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    *sender = text;
    return true;
}

bool CanLink::open(const std::string& interface, std::string* error) {
    Fd fd(::socket(PF_CAN, SOCK_RAW, CAN_RAW));
    if (!fd.valid()) {
        *error = errnoText("CAN socket");
        return false;
    }
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    if (::ioctl(fd.get(), SIOCGIFINDEX, &ifr) < 0) {
        *error = errnoText("CAN interface " + interface);
        return false;
    }
    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        *error = errnoText("bind " + interface);
        return false;
    }
    fd_ = std::move(fd);
    return true;
}

bool CanLink::send(const CanFrame& frame, std::string* error) {
    uint8_t wire[16];
    toWire(frame, wire);
    for (int attempt = 0; attempt < 100; ++attempt) {
        ssize_t n = ::write(fd_.get(), wire, sizeof wire);
        if (n == 16) return true;
        if (n < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        break;
    }
    *error = errnoText("CAN write");
    return false;
}

bool CanLink::sendAll(const std::vector<CanFrame>& frames, int pauseUs, std::string* error) {
    for (const CanFrame& f : frames) {
        if (!send(f, error)) return false;
        if (pauseUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
    }
    return true;
}

bool CanLink::receive(CanFrame* frame, int timeoutMs, std::string* error) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!waitReadable(fd_.get(), remainingMs(deadline))) {
            *error = "no CAN frame within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
        uint8_t wire[16];
        ssize_t n = ::read(fd_.get(), wire, sizeof wire);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errnoText("CAN read");
            return false;
        }
        if (fromWire(wire, static_cast<size_t>(n), frame)) return true;
    }
}

}  // namespace peer
