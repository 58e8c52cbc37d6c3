#include "EthernetHarness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <QCoreApplication>
#include <QThread>

namespace ethtest {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

// A socket of type bound to 127.0.0.1:port (0: the system's choice), or -1.
int boundSocket(int type, uint16_t port, bool shareAddress) {
    int fd = socket(AF_INET, type, 0);
    int on = 1;
    if (fd >= 0 && shareAddress) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(port);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

bool pumpUntil(const std::function<bool()>& predicate, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (predicate()) return true;
        if (Clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 2);
    }
}

void pumpFor(int milliseconds) {
    pumpUntil([] { return false; }, milliseconds);
}

std::string frameWithLength(uint8_t marker, int32_t length, const std::string& payload) {
    std::string bytes(4, static_cast<char>(marker));
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(static_cast<uint32_t>(length) >> shift);
    return bytes + payload;
}

std::string frame(uint8_t marker, const std::string& payload) {
    return frameWithLength(marker, static_cast<int32_t>(payload.size()), payload);
}

std::string shmFrame(int32_t value) {
    std::string bytes(4, static_cast<char>(0xA1));
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(static_cast<uint32_t>(value) >> shift);
    return bytes;
}

std::string numbered(uint8_t origin, uint32_t sequence, size_t size) {
    std::string message(1, char(origin));
    for (int shift = 24; shift >= 0; shift -= 8) message += char(sequence >> shift);
    for (size_t k = 5; k < size; ++k) message += char(uint8_t(sequence + k * 31u + origin));
    return message;
}

bool parseNumbered(const std::string& message, uint8_t* origin, uint32_t* sequence) {
    if (message.size() < 5) return false;
    *origin = uint8_t(message[0]);
    *sequence = 0;
    for (size_t i = 1; i < 5; ++i) *sequence = *sequence << 8 | uint8_t(message[i]);
    return numbered(*origin, *sequence, message.size()) == message;
}

uint16_t freePort(int type) {
    Socket bound(boundSocket(type, 0, false));
    return bound.valid() ? boundPort(bound.fd()) : 0;
}

void Socket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TcpPeer::reset() {
    linger abort{1, 0};
    if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
}

bool TcpPeer::connectTo(uint16_t port) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    // The kernel completes the handshake against a listening socket without
    // the listener's event loop, so a blocking connect is bounded.
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
    close();
    return false;
}

bool TcpPeer::sendAll(const std::string& bytes, int timeoutMs, std::atomic<size_t>* sent,
                      const std::atomic<bool>* stop) {
    const bool owner = QThread::currentThread() == QCoreApplication::instance()->thread();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
            if (sent) *sent = done;
            continue;
        }
        if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= deadline ||
            (stop && *stop))
            return false;
        pollfd p{fd_, POLLOUT, 0};
        owner ? QCoreApplication::processEvents(QEventLoop::AllEvents, 2) : void(poll(&p, 1, 20));
    }
    return true;
}

bool TcpPeer::read(size_t n, std::string* bytes, bool* closed, int timeoutMs) {
    return pumpUntil(
        [&] {
            char chunk[65536];
            while (bytes->size() < n && !*closed && readable(fd_, 0)) {
                ssize_t got = ::recv(fd_, chunk, std::min(sizeof chunk, n - bytes->size()), 0);
                *closed = got <= 0;
                bytes->append(chunk, size_t(std::max<ssize_t>(got, 0)));
            }
            return bytes->size() >= n || *closed;
        },
        timeoutMs);
}

bool TcpPeer::receive(size_t n, std::string* bytes, int timeoutMs) {
    bytes->clear();
    bool closed = false;
    read(n, bytes, &closed, timeoutMs);
    return bytes->size() == n;
}

bool TcpPeer::waitClosed(int timeoutMs) {
    std::string ignored;
    bool closed = false;
    read(SIZE_MAX, &ignored, &closed, timeoutMs);
    return closed;
}

TcpListener::TcpListener() : Socket(boundSocket(SOCK_STREAM, 0, false)) {
    if (valid() && listen(fd_, 8) != 0) close();
}

uint16_t TcpListener::port() const {
    return valid() ? boundPort(fd_) : 0;
}

bool TcpListener::pending() const {
    return valid() && readable(fd_, 0);
}

bool TcpListener::accept(TcpPeer* peer, int timeoutMs) {
    if (!pumpUntil([&] { return pending(); }, timeoutMs)) return false;
    peer->close();
    peer->fd_ = ::accept(fd_, nullptr, nullptr);
    return peer->valid();
}

UdpPeer::UdpPeer(uint16_t port) : Socket(boundSocket(SOCK_DGRAM, port, true)) {}

bool UdpPeer::sendTo(uint16_t port, const std::string& datagram) {
    sockaddr_in address = loopback(port);
    return ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
                    sizeof address) == ssize_t(datagram.size());
}

bool UdpPeer::receive(std::string* datagram, int timeoutMs) {
    return pumpUntil(
        [&] {
            char buffer[65536];
            ssize_t got = readable(fd_, 0) ? ::recv(fd_, buffer, sizeof buffer, 0) : -1;
            if (got >= 0) datagram->assign(buffer, size_t(got));
            return got >= 0;
        },
        timeoutMs);
}

}  // namespace ethtest
