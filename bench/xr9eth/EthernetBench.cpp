// Ethernet transport on loopback against plain sockets in the same run, each
// figure interleaved with its baselines (BenchReport.h):
//  - stream throughput (MB/s of payload) and CPU cost (user + system CPU
//    seconds per GiB of payload, both ends in this process) of
//    peer -> host ReceiveData and host SendData -> peer, for 64 B, 1 KiB and
//    64 KiB messages. Baselines: raw TCP between two plain sockets carrying
//    the same framed bytes, one send and one receive per message; for 64 B
//    and 1 KiB also written in batches of up to 64 KiB (one send per batch)
//    and read 64 KiB at a time with each frame found in place, as a careful
//    plain program would.
//    A third reference for 64 B and 1 KiB, a plain program that hands each
//    message on as its own array between two threads, as the transport's
//    interface does: one QByteArray per message through a mutex-guarded
//    QList, one thread on each side of it, the socket side batched as above.
//    The transport runs as a host runs it: its owner thread in the Qt event
//    loop, a host thread taking messages with a waiting ReceiveData, or
//    queueing them with SendData and notify() for the EthernetThread. The
//    peer writes in the same 64 KiB batches and reads as that program does.
//  - command round trip against a raw TCP ping-pong of the same frames:
//    answered by the owner thread (polling), and by a host thread waiting in
//    ReceiveData with the send thread writing the answer, or writing it
//    itself with SendData(..., MSG_TYPE_NONE);
//  - reassembly of one arrival holding 100,000 small frames against 10,000.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QList>
#include <QMetaObject>
#include <QMutex>
#include <QWaitCondition>

#include "BenchReport.h"
#include "XR9ALEthernet/EthernetFrameCutter.h"
#include "XR9ALEthernet/EthernetThread.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "peer/EthernetWire.h"

namespace {

using xr9bench::Better;
using xr9bench::Stopwatch;

constexpr size_t kBatchBytes = 64 * 1024;
constexpr int kWaitMs = 10000;  // every wait of a run: a broken run fails, it never hangs
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

[[noreturn]] void fail(const char* what) {
    std::printf("FAILED: %s\n", what);
    std::fflush(stdout);
    std::_Exit(1);
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

void boundWaits(int fd) {
    timeval limit{kWaitMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int connectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("connect on loopback");
    boundWaits(fd);
    return fd;
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool readAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = recv(fd, p, n, 0);
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
        if (b < 0) fail("accept on loopback");
        boundWaits(b);
        close(listener);
    }
    ~RawPair() {
        close(a);
        close(b);
    }
};

// count stream messages of one size, framed as on the wire.
struct Traffic {
    Traffic(size_t size, int messages)
        : messageSize(size),
          count(messages),
          frame(peer::encodeEthFrame(peer::EthChannel::Stream, std::string(size, 'x'))),
          framesPerBatch(int(std::max<size_t>(1, kBatchBytes / frame.size()))) {
        for (int i = 0; i < framesPerBatch; ++i) batch.insert(batch.end(), frame.begin(), frame.end());
    }
    size_t wireBytes() const { return frame.size() * size_t(count); }
    double payloadBytes() const { return double(messageSize) * count; }

    size_t messageSize;
    int count;
    std::vector<uint8_t> frame;
    int framesPerBatch;
    std::vector<uint8_t> batch;  // as many whole frames as fit in 64 KiB, at least one
};

bool writePerMessage(int fd, const Traffic& t) {
    for (int i = 0; i < t.count; ++i) {
        if (!writeAll(fd, t.frame.data(), t.frame.size())) return false;
    }
    return true;
}

bool writeBatched(int fd, const Traffic& t) {
    for (int left = t.count; left > 0;) {
        const int n = std::min(left, t.framesPerBatch);
        if (!writeAll(fd, t.batch.data(), t.frame.size() * size_t(n))) return false;
        left -= n;
    }
    return true;
}

bool readPerMessage(int fd, const Traffic& t) {
    std::vector<uint8_t> message(t.frame.size());
    for (int i = 0; i < t.count; ++i) {
        if (!readAll(fd, message.data(), message.size())) return false;
    }
    return true;
}

// Reads the traffic's frames, up to 64 KiB per receive, and finds each one in
// what arrived (its header read, its payload passed over in place), as a
// plain program that hands messages on without copying them would. False
// unless exactly the traffic's frames came.
bool readBatched(int fd, const Traffic& t) {
    std::vector<uint8_t> sink(kBatchBytes);
    uint8_t header[8];
    size_t headerHave = 0, payloadLeft = 0;
    int frames = 0;
    for (size_t bytes = t.wireBytes(); bytes > 0;) {
        const ssize_t r = recv(fd, sink.data(), std::min(sink.size(), bytes), 0);
        if (r <= 0) return false;
        bytes -= size_t(r);
        for (size_t i = 0; i < size_t(r);) {
            if (payloadLeft > 0) {
                const size_t n = std::min(payloadLeft, size_t(r) - i);
                i += n;
                if ((payloadLeft -= n) == 0) ++frames;
                continue;
            }
            const uint8_t* h = sink.data() + i;
            if (headerHave > 0 || size_t(r) - i < sizeof header) {  // a header cut by the receive
                header[headerHave++] = sink[i++];
                if (headerHave < sizeof header) continue;
                headerHave = 0;
                h = header;
            } else {
                i += sizeof header;
            }
            payloadLeft = size_t(h[4]) << 24 | size_t(h[5]) << 16 | size_t(h[6]) << 8 | h[7];
            if (payloadLeft == 0) ++frames;
        }
    }
    return frames == t.count && headerHave == 0 && payloadLeft == 0;
}

// One measured run: payload moved, wall and CPU seconds.
struct Run {
    double megabytesPerSecond;
    double cpuSecondsPerGiB;
};

Run runOf(const Traffic& t, const Stopwatch& watch) {
    return Run{t.payloadBytes() / watch.wallSeconds() / 1e6, watch.cpuSeconds() / (t.payloadBytes() / kGiB)};
}

Run rawRun(const Traffic& t, bool batched) {
    RawPair pair;
    std::atomic<bool> wrote{false};
    const Stopwatch watch;
    std::thread writer([&] { wrote = batched ? writeBatched(pair.a, t) : writePerMessage(pair.a, t); });
    const bool read = batched ? readBatched(pair.b, t) : readPerMessage(pair.b, t);
    writer.join();
    if (!wrote || !read) fail("raw TCP run");
    return runOf(t, watch);
}

// Whole messages between two plain threads, one array each, oldest first:
// put wakes a waiting take, which waits at most kWaitMs.
class PlainHandOver {
public:
    void put(QList<QByteArray>* batch) {
        QMutexLocker lock(&mutex_);
        if (messages_.isEmpty()) {
            messages_.swap(*batch);
        } else {
            messages_ += *batch;
            batch->clear();
        }
        if (waiting_) ready_.wakeOne();
    }
    void put(const QByteArray& message) {
        QMutexLocker lock(&mutex_);
        messages_.append(message);
        if (waiting_) ready_.wakeOne();
    }
    // One message (all when batch), waiting for one: false when none came in time.
    bool take(QByteArray* message, QList<QByteArray>* batch = nullptr) {
        QMutexLocker lock(&mutex_);
        for (bool woken = true; messages_.isEmpty(); waiting_ = false) {
            if (!woken) return false;
            waiting_ = true;
            woken = ready_.wait(&mutex_, kWaitMs) || !messages_.isEmpty();
        }
        batch ? batch->swap(messages_) : void(*message = messages_.takeFirst());
        return true;
    }

private:
    QMutex mutex_;
    QWaitCondition ready_;
    QList<QByteArray> messages_;
    bool waiting_ = false;
};

// peer -> host through the plain hand-over: the peer writes in batches, a
// reader thread reads 64 KiB at a time and puts each frame's payload in an
// array of its own, a host thread takes them one by one.
Run plainInboundRun(const Traffic& t) {
    RawPair pair;
    PlainHandOver handOver;
    std::atomic<bool> ok{true};
    const Stopwatch watch;
    std::thread writer([&] { ok = writeBatched(pair.a, t) && ok; });
    std::thread reader([&] {
        std::vector<uint8_t> buffer(2 * kBatchBytes);  // a frame cut by a receive moves to the front
        size_t held = 0;
        QList<QByteArray> batch;
        for (size_t bytes = t.wireBytes(); bytes > 0 && ok;) {
            const ssize_t r = recv(pair.b, buffer.data() + held, std::min(buffer.size() - held, bytes), 0);
            if (r <= 0) {
                ok = false;
                break;
            }
            bytes -= size_t(r);
            held += size_t(r);
            size_t at = 0;
            while (held - at >= 8) {
                const uint8_t* h = buffer.data() + at;
                const size_t length = size_t(h[4]) << 24 | size_t(h[5]) << 16 | size_t(h[6]) << 8 | h[7];
                if (held - at - 8 < length) break;
                batch.append(QByteArray(reinterpret_cast<const char*>(h + 8), int(length)));
                at += 8 + length;
            }
            std::memmove(buffer.data(), buffer.data() + at, held - at);
            held -= at;
            if (!batch.isEmpty()) handOver.put(&batch);
        }
    });
    for (int i = 0; i < t.count && ok; ++i) {
        QByteArray message;
        if (!handOver.take(&message) || size_t(message.size()) != t.messageSize) ok = false;
    }
    reader.join();
    writer.join();
    if (!ok) fail("plain hand-over, peer -> host");
    return runOf(t, watch);
}

// host -> peer through the plain hand-over: a host thread puts each message,
// a writer thread takes all there is and sends the frames in batches of up to
// 64 KiB (header and payload copied together), the peer reads as above.
Run plainOutboundRun(const Traffic& t) {
    RawPair pair;
    PlainHandOver handOver;
    std::atomic<bool> ok{true};
    const QByteArray payload(int(t.messageSize), 'y');
    const Stopwatch watch;
    std::thread peer([&] { ok = readBatched(pair.b, t) && ok; });
    std::thread writer([&] {
        std::vector<uint8_t> out;
        out.reserve(kBatchBytes);
        QList<QByteArray> batch;
        for (int sent = 0; sent < t.count && ok;) {
            if (!handOver.take(nullptr, &batch)) {
                ok = false;
                break;
            }
            for (const QByteArray& m : batch) {
                if (out.size() + 8 + size_t(m.size()) > kBatchBytes && !out.empty()) {
                    ok = writeAll(pair.a, out.data(), out.size()) && ok;
                    out.clear();
                }
                out.insert(out.end(), t.frame.begin(), t.frame.begin() + 4);  // the marker
                for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(uint32_t(m.size()) >> shift));
                out.insert(out.end(), m.constData(), m.constData() + m.size());
            }
            sent += batch.size();
            batch.clear();
            if (!out.empty()) ok = writeAll(pair.a, out.data(), out.size()) && ok;
            out.clear();
        }
    });
    for (int i = 0; i < t.count; ++i) {
        QByteArray message = payload;
        handOver.put(message);
    }
    writer.join();
    peer.join();
    if (!ok) fail("plain hand-over, host -> peer");
    return runOf(t, watch);
}

void quitSoon(QEventLoop* loop) {
    QMetaObject::invokeMethod(loop, "quit", Qt::QueuedConnection);
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
        if (eth.OpenPort(IF_TYPE_ETHERNET, &settings, 0) != 0) fail("OpenPort");
    }
    // Connects a peer and waits until the transport holds its socket.
    int connectPeer(uint16_t port, peer::EthChannel channel, enMsgType type) {
        const int fd = connectTo(port);
        const std::vector<uint8_t> hello = peer::encodeEthFrame(channel, "");
        if (!writeAll(fd, hello.data(), hello.size())) fail("peer hello");
        const Stopwatch watch;
        QByteArray message;
        while (eth.ReceiveData(&message, type, 0) != 0) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            if (watch.wallSeconds() * 1000 > kWaitMs) fail("the transport did not take the peer's connection");
        }
        return fd;
    }
};

// The peer writes in 64 KiB batches; a host thread takes each message with a
// waiting ReceiveData; the owner thread runs the event loop.
Run inboundRun(Transport& tr, int fd, const Traffic& t) {
    QEventLoop loop;
    std::atomic<bool> ok{true};
    const Stopwatch watch;
    std::thread peerWriter([&] { ok = writeBatched(fd, t) && ok; });
    std::thread host([&] {
        for (int i = 0; i < t.count && ok; ++i) {
            QByteArray message;
            if (tr.eth.ReceiveData(&message, MSG_TYPE_STREAM, kWaitMs) != 0 || size_t(message.size()) != t.messageSize)
                ok = false;
        }
        quitSoon(&loop);
    });
    loop.exec();
    host.join();
    peerWriter.join();
    if (!ok) fail("peer -> host run");
    return runOf(t, watch);
}

// A host thread queues each message and notifies the send thread; the peer
// reads 64 KiB at a time; the owner thread runs the event loop.
Run outboundRun(Transport& tr, int fd, const Traffic& t) {
    QEventLoop loop;
    std::atomic<bool> ok{true};
    const QByteArray payload(int(t.messageSize), 'y');
    EthernetThread sender("bench", false, &tr.eth);
    sender.start();
    const Stopwatch watch;
    std::thread peerReader([&] {
        ok = readBatched(fd, t) && ok;
        quitSoon(&loop);
    });
    std::thread host([&] {
        for (int i = 0; i < t.count; ++i) {
            QByteArray message = payload;
            if (tr.eth.SendData(&message, MSG_TYPE_STREAM) != 0) ok = false;
            sender.notify();
        }
    });
    loop.exec();
    host.join();
    peerReader.join();
    const Run run = runOf(t, watch);
    sender.stop();
    if (!ok) fail("host -> peer run");
    return run;
}

std::vector<uint8_t> ping() {
    return peer::encodeEthFrame(peer::EthChannel::Command, std::string(16, 'p'));
}

double rawRoundTripMicros(int rounds) {
    RawPair pair;
    const std::vector<uint8_t> out = ping();
    std::atomic<bool> ok{true};
    std::thread echo([&] {
        std::vector<uint8_t> buffer(out.size());
        for (int i = 0; i < rounds && ok; ++i) {
            if (!readAll(pair.b, buffer.data(), buffer.size()) || !writeAll(pair.b, buffer.data(), buffer.size()))
                ok = false;
        }
    });
    std::vector<uint8_t> buffer(out.size());
    const Stopwatch watch;
    for (int i = 0; i < rounds && ok; ++i) {
        if (!writeAll(pair.a, out.data(), out.size()) || !readAll(pair.a, buffer.data(), buffer.size())) ok = false;
    }
    const double micros = watch.wallSeconds() * 1e6 / rounds;
    echo.join();
    if (!ok) fail("raw ping-pong");
    return micros;
}

// The peer's side of a round-trip run: ping, wait for the answer, rounds times.
double peerPings(int fd, int rounds, std::atomic<bool>* ok) {
    const std::vector<uint8_t> out = ping();
    std::vector<uint8_t> buffer(out.size());
    const Stopwatch watch;
    for (int i = 0; i < rounds && *ok; ++i) {
        if (!writeAll(fd, out.data(), out.size()) || !readAll(fd, buffer.data(), buffer.size())) *ok = false;
    }
    return watch.wallSeconds() * 1e6 / rounds;
}

// The owner thread polls the command queue and answers at once.
double ownerRoundTripMicros(Transport& tr, int fd, int rounds) {
    std::atomic<bool> ok{true};
    std::atomic<bool> done{false};
    double micros = 0;
    std::thread peerSide([&] {
        micros = peerPings(fd, rounds, &ok);
        done = true;
    });
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QByteArray message;
        if (tr.eth.ReceiveData(&message, MSG_TYPE_COMMAND, 0) == 0) {
            tr.eth.SendData(&message, MSG_TYPE_COMMAND);
            tr.eth.sendMessages();
        }
    }
    peerSide.join();
    if (!ok) fail("round trip answered by the owner thread");
    return micros;
}

// A host thread waits in ReceiveData and answers with SendData, then either
// notify() for the send thread (sender given) or a send step of its own
// (SendData with MSG_TYPE_NONE); the owner thread runs the event loop.
double hostThreadRoundTripMicros(Transport& tr, int fd, int rounds, EthernetThread* sender) {
    QEventLoop loop;
    std::atomic<bool> ok{true};
    double micros = 0;
    std::thread host([&] {
        for (int i = 0; i < rounds && ok; ++i) {
            QByteArray message;
            if (tr.eth.ReceiveData(&message, MSG_TYPE_COMMAND, kWaitMs) != 0) {
                ok = false;
                break;
            }
            tr.eth.SendData(&message, MSG_TYPE_COMMAND);
            if (sender) {
                sender->notify();
            } else {
                tr.eth.SendData(nullptr, MSG_TYPE_NONE);
            }
        }
    });
    std::thread peerSide([&] {
        micros = peerPings(fd, rounds, &ok);
        quitSoon(&loop);
    });
    loop.exec();
    peerSide.join();
    host.join();
    if (!ok) fail("round trip answered by a host thread");
    return micros;
}

double reassemblyNanosPerFrame(int frames) {
    const std::vector<uint8_t> one = peer::encodeEthFrame(peer::EthChannel::Command, "12345678");
    QByteArray buffer;
    buffer.reserve(int(one.size()) * frames);
    for (int i = 0; i < frames; ++i) buffer.append(reinterpret_cast<const char*>(one.data()), int(one.size()));
    EthernetFrameCutter cutter(EthernetFrameCutter::Endpoint::Command);
    const Stopwatch watch;
    const EthernetFrameCutter::Pass pass = cutter.cut(&buffer);
    const double elapsed = watch.wallSeconds();
    if (int(pass.pieces.size()) != frames || !buffer.isEmpty()) fail("reassembly lost frames");
    return elapsed * 1e9 / frames;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string sizeName(size_t bytes) {
    return bytes >= 1024 ? std::to_string(bytes / 1024) + " KiB" : std::to_string(bytes) + " B";
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    xr9bench::Report report("bench_xr9eth");
    report.note("loopback, both ends in this process; load average at start " + loadAverage());
    Transport tr;
    const int streamFd = tr.connectPeer(quint16(tr.settings.streamPort), peer::EthChannel::Stream, MSG_TYPE_STREAM);
    const int commandFd = tr.connectPeer(quint16(tr.settings.commandPort), peer::EthChannel::Command, MSG_TYPE_COMMAND);

    const char* perMessage = "raw TCP, send per message";
    const char* batched = "raw TCP, 64 KiB batches";
    const char* plainIn = "plain hand-over, peer -> host";
    const char* plainOut = "plain hand-over, host -> peer";
    // Messages per run. The batched baseline moves more of them, so that its
    // runs, the shortest, still last long enough to time on a busy machine.
    const Traffic traffics[] = {{64, 300000}, {1024, 100000}, {65536, 4000}};
    const Traffic batchedTraffics[] = {{64, 2000000}, {1024, 300000}, {65536, 4000}};
    struct Series {
        std::vector<double> rate, cpu;
        void add(const Run& r) {
            rate.push_back(r.megabytesPerSecond);
            cpu.push_back(r.cpuSecondsPerGiB);
        }
    };
    struct SizeSeries {
        Series raw, rawBatched, in, out, plainIn, plainOut;
    };
    std::vector<SizeSeries> series(std::size(traffics));
    std::vector<std::function<void(bool)>> steps;
    for (size_t i = 0; i < std::size(traffics); ++i) {
        const Traffic* t = &traffics[i];
        const Traffic* tb = &batchedTraffics[i];
        SizeSeries* s = &series[i];
        Transport* transport = &tr;
        steps.push_back([t, s](bool warmUp) {
            const Run r = rawRun(*t, false);
            if (!warmUp) s->raw.add(r);
        });
        steps.push_back([t, s, transport, streamFd](bool warmUp) {
            const Run r = inboundRun(*transport, streamFd, *t);
            if (!warmUp) s->in.add(r);
        });
        if (t->framesPerBatch > 1) {
            steps.push_back([tb, s](bool warmUp) {
                const Run r = rawRun(*tb, true);
                if (!warmUp) s->rawBatched.add(r);
            });
            steps.push_back([t, s](bool warmUp) {
                const Run in = plainInboundRun(*t), out = plainOutboundRun(*t);
                if (!warmUp) s->plainIn.add(in), s->plainOut.add(out);
            });
        }
        steps.push_back([t, s, transport, streamFd](bool warmUp) {
            const Run r = outboundRun(*transport, streamFd, *t);
            if (!warmUp) s->out.add(r);
        });
    }
    xr9bench::interleave(steps);

    for (int pass = 0; pass < 2; ++pass) {
        const bool rate = pass == 0;
        if (rate) {
            report.section("stream throughput", "throughput", "MB/s", Better::Higher);
        } else {
            report.section("stream CPU cost, user + system, both ends", "cpu per data", "CPU s/GiB", Better::Lower);
        }
        for (size_t i = 0; i < std::size(traffics); ++i) {
            const SizeSeries& s = series[i];
            const std::string size = ", " + sizeName(traffics[i].messageSize);
            const bool small = !s.rawBatched.rate.empty();
            auto pick = [rate](const Series& x) -> const std::vector<double>& { return rate ? x.rate : x.cpu; };
            report.figure(perMessage + size, pick(s.raw));
            if (small) {
                report.figure(batched + size, pick(s.rawBatched));
                report.compare(plainIn + size, pick(s.plainIn), batched, pick(s.rawBatched));
                report.compare(plainOut + size, pick(s.plainOut), batched, pick(s.rawBatched));
            }
            for (const auto& way : {std::make_tuple("peer -> host ReceiveData", &s.in, plainIn, &s.plainIn),
                                    std::make_tuple("host SendData -> peer", &s.out, plainOut, &s.plainOut)}) {
                const std::string name = std::get<0>(way) + size;
                const std::vector<double>& figure = pick(*std::get<1>(way));
                report.compare(name, figure, perMessage, pick(s.raw));
                if (!small) continue;
                report.compare(name, figure, batched, pick(s.rawBatched));
                report.compare(name, figure, std::get<2>(way), pick(*std::get<3>(way)));
            }
        }
        report.note("(a 64 KiB message fills a 64 KiB batch by itself: there the two raw baselines are one)");
    }

    constexpr int kRounds = 10000;
    std::vector<double> rawRtt, ownerRtt, hostRtt, pumpRtt;
    EthernetThread sender("bench", false, &tr.eth);
    sender.start();
    xr9bench::interleave({
        [&](bool warmUp) {
            const double v = rawRoundTripMicros(kRounds);
            if (!warmUp) rawRtt.push_back(v);
        },
        [&](bool warmUp) {
            const double v = ownerRoundTripMicros(tr, commandFd, kRounds);
            if (!warmUp) ownerRtt.push_back(v);
        },
        [&](bool warmUp) {
            const double v = hostThreadRoundTripMicros(tr, commandFd, kRounds, &sender);
            if (!warmUp) hostRtt.push_back(v);
        },
        [&](bool warmUp) {
            const double v = hostThreadRoundTripMicros(tr, commandFd, kRounds, nullptr);
            if (!warmUp) pumpRtt.push_back(v);
        },
    });
    sender.stop();
    const char* pingPong = "raw TCP ping-pong";
    report.section("command round trip, 24-byte frames", "round trip", "us", Better::Lower);
    report.figure(pingPong, rawRtt);
    report.compare("owner thread polls and answers", ownerRtt, pingPong, rawRtt);
    report.compare("host thread waits, send thread answers", hostRtt, pingPong, rawRtt);
    report.compare("host thread waits, answers itself", pumpRtt, pingPong, rawRtt);

    std::vector<double> small, large;
    xr9bench::interleave({
        [&](bool warmUp) {
            const double v = reassemblyNanosPerFrame(10000);
            if (!warmUp) small.push_back(v);
        },
        [&](bool warmUp) {
            const double v = reassemblyNanosPerFrame(100000);
            if (!warmUp) large.push_back(v);
        },
    });
    report.section("reassembly of one arrival of 16-byte frames", "reassembly per frame", "ns/frame", Better::Lower);
    report.figure("10,000 frames", small);
    report.compare("100,000 frames", large, "10,000 frames", small);
    report.note("(a ratio of 1.00 is linear in the number of frames)");
    close(streamFd);
    close(commandFd);
    return 0;
}
