// Ethernet transport on loopback against plain sockets measured in the same run:
//  - stream throughput, peer -> host ReceiveData and host SendData (send
//    thread) -> peer, for 64 B, 1 KiB and 64 KiB messages, against raw TCP
//    carrying the same framed bytes between two plain sockets;
//  - command round trip (peer sends, host answers) against a raw TCP ping-pong;
//  - reassembly of one arrival holding 100,000 small frames against 10,000.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>

#include "XR9ALEthernet/EthernetFrameCutter.h"
#include "XR9ALEthernet/EthernetThread.h"
#include "XR9ALEthernet/XR9ALEthernet.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

std::string frame(unsigned char marker, const std::string& payload) {
    const uint32_t n = uint32_t(payload.size());
    std::string out(4, char(marker));
    out += char(n >> 24);
    out += char(n >> 16);
    out += char(n >> 8);
    out += char(n);
    return out + payload;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t freePort(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

int connectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool readAll(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// Two plain TCP sockets connected over loopback.
struct RawPair {
    int a = -1, b = -1;
    RawPair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = loopback(0);
        bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(listener, 1);
        socklen_t size = sizeof addr;
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size);
        a = connectTo(ntohs(addr.sin_port));
        b = accept(listener, nullptr, nullptr);
        int on = 1;
        setsockopt(b, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        close(listener);
    }
    ~RawPair() {
        close(a);
        close(b);
    }
};

double rawThroughput(size_t messageSize, int count) {
    RawPair pair;
    const std::string wire = frame(0xA7, std::string(messageSize, 'x'));
    const auto start = Clock::now();
    std::thread writer([&] {
        for (int i = 0; i < count; ++i) writeAll(pair.a, wire.data(), wire.size());
    });
    std::vector<char> sink(wire.size());
    for (int i = 0; i < count; ++i) readAll(pair.b, sink.data(), sink.size());
    writer.join();
    return double(messageSize) * count / seconds(start);
}

void pump() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}

struct Transport {
    EthernetSettings settings{};
    XR9ALEthernet eth;
    Transport() {
        settings.commandPort = freePort(SOCK_STREAM);
        settings.streamPort = freePort(SOCK_STREAM);
        settings.broadcastPort = freePort(SOCK_DGRAM);
        const short ip[4] = {127, 0, 0, 1};
        std::memcpy(settings.ipAddress, ip, sizeof ip);
        eth.OpenPort(IF_TYPE_ETHERNET, &settings, 0);
    }
    // Connects a peer and waits until the transport holds its socket.
    int connectPeer(uint16_t port, unsigned char marker, enMsgType type) {
        int fd = connectTo(port);
        const std::string hello = frame(marker, "");
        writeAll(fd, hello.data(), hello.size());
        QByteArray message;
        while (eth.ReceiveData(&message, type, 0) != 0) pump();
        return fd;
    }
};

double inboundThroughput(Transport& t, int fd, size_t messageSize, int count) {
    const std::string wire = frame(0xA7, std::string(messageSize, 'x'));
    const auto start = Clock::now();
    std::thread peer([&] {
        for (int i = 0; i < count; ++i) writeAll(fd, wire.data(), wire.size());
    });
    int taken = 0;
    while (taken < count) {
        pump();
        QByteArray message;
        while (t.eth.ReceiveData(&message, MSG_TYPE_STREAM, 0) == 0) {
            ++taken;
            message.clear();
        }
    }
    const double rate = double(messageSize) * count / seconds(start);
    peer.join();
    return rate;
}

double outboundThroughput(Transport& t, int fd, size_t messageSize, int count) {
    const QByteArray payload(int(messageSize), 'y');
    const size_t total = (messageSize + 8) * size_t(count);
    std::atomic<bool> done{false};
    const auto start = Clock::now();
    std::thread peer([&] {
        std::vector<char> sink(1 << 16);
        size_t got = 0;
        while (got < total) {
            ssize_t r = recv(fd, sink.data(), std::min(sink.size(), total - got), 0);
            if (r <= 0) break;
            got += size_t(r);
        }
        done = true;
    });
    EthernetThread sender("bench", false, &t.eth);
    sender.start();
    for (int i = 0; i < count; ++i) {
        QByteArray copy = payload;
        t.eth.SendData(&copy, MSG_TYPE_STREAM);
        if ((i & 63) == 0) {
            sender.notify();
            pump();
        }
    }
    sender.notify();
    while (!done) pump();
    const double rate = double(messageSize) * count / seconds(start);
    sender.stop();
    peer.join();
    return rate;
}

double rawRoundTripMicros(int rounds) {
    RawPair pair;
    const std::string ping = frame(0xA5, std::string(16, 'p'));
    std::thread echo([&] {
        std::vector<char> buffer(ping.size());
        for (int i = 0; i < rounds; ++i) {
            readAll(pair.b, buffer.data(), buffer.size());
            writeAll(pair.b, buffer.data(), buffer.size());
        }
    });
    std::vector<char> buffer(ping.size());
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        writeAll(pair.a, ping.data(), ping.size());
        readAll(pair.a, buffer.data(), buffer.size());
    }
    const double micros = seconds(start) * 1e6 / rounds;
    echo.join();
    return micros;
}

double transportRoundTripMicros(Transport& t, int fd, int rounds) {
    const std::string ping = frame(0xA5, std::string(16, 'p'));
    std::atomic<bool> done{false};
    double micros = 0;
    std::thread peer([&] {
        std::vector<char> buffer(ping.size());
        const auto start = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            writeAll(fd, ping.data(), ping.size());
            readAll(fd, buffer.data(), buffer.size());
        }
        micros = seconds(start) * 1e6 / rounds;
        done = true;
    });
    while (!done) {
        pump();
        QByteArray message;
        if (t.eth.ReceiveData(&message, MSG_TYPE_COMMAND, 0) == 0) {
            t.eth.SendData(&message, MSG_TYPE_COMMAND);
            t.eth.sendMessages();  // the owner thread answers directly
        }
    }
    peer.join();
    return micros;
}

double reassemblyNanosPerFrame(int frames) {
    const std::string one = frame(0xA5, "12345678");
    QByteArray arrival;
    arrival.reserve(int(one.size()) * frames);
    for (int i = 0; i < frames; ++i) arrival.append(one.data(), int(one.size()));
    EthernetFrameCutter cutter(EthernetFrameCutter::Endpoint::Command);
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        QByteArray buffer = arrival;
        buffer.detach();
        const auto start = Clock::now();
        EthernetFrameCutter::Pass pass = cutter.cut(&buffer);
        const double elapsed = seconds(start);
        if (int(pass.pieces.size()) != frames || !buffer.isEmpty()) {
            std::printf("reassembly lost frames\n");
            return -1;
        }
        best = std::min(best, elapsed);
    }
    return best * 1e9 / frames;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Transport t;
    const int streamFd = t.connectPeer(quint16(t.settings.streamPort), 0xA7, MSG_TYPE_STREAM);
    const int commandFd = t.connectPeer(quint16(t.settings.commandPort), 0xA5, MSG_TYPE_COMMAND);

    std::printf("%-34s %14s %14s %8s\n", "stream throughput (MB/s)", "transport", "raw TCP", "ratio");
    const struct {
        size_t size;
        int count;
    } sizes[] = {{64, 200000}, {1024, 100000}, {65536, 3000}};
    for (const auto& s : sizes) {
        const double raw = rawThroughput(s.size, s.count) / 1e6;
        const double in = inboundThroughput(t, streamFd, s.size, s.count) / 1e6;
        const double out = outboundThroughput(t, streamFd, s.size, s.count) / 1e6;
        std::printf("peer -> host ReceiveData %6zu B  %14.1f %14.1f %8.3f\n", s.size, in, raw, in / raw);
        std::printf("host SendData -> peer    %6zu B  %14.1f %14.1f %8.3f\n", s.size, out, raw, out / raw);
    }

    const double rawRtt = rawRoundTripMicros(20000);
    const double rtt = transportRoundTripMicros(t, commandFd, 20000);
    std::printf("\n%-34s %14.1f %14.1f %8.3f\n", "command round trip (us)", rtt, rawRtt, rtt / rawRtt);

    const double small = reassemblyNanosPerFrame(10000);
    const double large = reassemblyNanosPerFrame(100000);
    std::printf("\nreassembly of one arrival (ns per frame): 10,000 frames %.1f, 100,000 frames %.1f\n", small, large);
    std::printf("total time ratio 100,000 / 10,000: %.2f (linear: 10)\n", large * 100000 / (small * 10000));
    close(streamFd);
    close(commandFd);
    return 0;
}
