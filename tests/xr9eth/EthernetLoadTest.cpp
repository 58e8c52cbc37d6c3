// Load and soak of the Ethernet transport; counts go through xr9test::soakCount. The test's main thread owns the
// transport and runs the Qt event loop while other threads work.
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include <QCoreApplication>
#include <QThread>

#include "EthernetHarness.h"
#include "XR9ALEthernet/EthernetThread.h"

namespace {

using namespace ethtest;
using Clock = std::chrono::steady_clock;

// A numbered message whose size follows from its origin and sequence: 5 to 604
// bytes, every 16th 2049 to 2648, on both sides of the size up to which the
// send path copies payloads.
std::string varied(uint8_t origin, uint32_t sequence) {
    return numbered(origin, sequence, 5 + (sequence * 7u + origin * 13u) % 600u + (sequence % 16 == 0) * 2044u);
}

// Reads frames of marker off peer (any thread) until done() or deadline, without the library's framing code; false
// when malformed or cut off. It reads a few hundred bytes at a time, so that the transport's socket fills and its
// writes are cut short anywhere in a frame.
bool readFrames(TcpPeer& peer, uint8_t marker, const std::function<bool()>& done,
                const std::function<void(const std::string&)>& onMessage, Clock::time_point deadline) {
    std::string buffer;
    char chunk[2048];
    size_t reads = 0;
    for (pollfd p{peer.fd(), POLLIN, 0}; !done() && Clock::now() < deadline;) {
        const size_t want = 300 + reads++ * 97 % 1400;
        if (reads % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const ssize_t n = ::poll(&p, 1, 20) > 0 ? ::recv(peer.fd(), chunk, want, MSG_DONTWAIT) : -1;
        if (n == 0 || (n < 0 && p.revents && errno != EAGAIN && errno != EINTR)) return false;
        buffer.append(chunk, size_t(std::max<ssize_t>(n, 0)));
        size_t at = 0;
        while (buffer.size() - at >= 8) {
            const auto* h = reinterpret_cast<const unsigned char*>(buffer.data() + at);
            const uint32_t length = uint32_t(h[4]) << 24 | uint32_t(h[5]) << 16 | uint32_t(h[6]) << 8 | h[7];
            if (std::count(h, h + 4, marker) != 4 || length > 0x7FFFFFFFu) return false;
            if (buffer.size() - at - 8 < length) break;
            onMessage(buffer.substr(at + 8, length));
            at += 8 + length;
        }
        buffer.erase(0, at);
    }
    return true;
}

// Exactly-once bookkeeping of one flow of numbered messages (any thread).
struct Ledger {
    explicit Ledger(size_t expected) : seen(expected) {}
    void record(uint32_t sequence) {  // numbers outside the flow (and malformed messages) are strays
        ++(sequence >= seen.size() ? strays : seen[sequence]++ > 0 ? duplicated : delivered);
    }
    bool complete() const { return delivered == seen.size(); }
    size_t lost() const { return size_t(std::count(seen.begin(), seen.end(), 0u)); }
    std::vector<std::atomic<uint32_t>> seen;
    std::atomic<size_t> delivered{0}, duplicated{0}, strays{0};
};

class EthernetLoad : public EthernetFixture {
protected:
    void SetUp() override {
        pumpFor(20);
        fdsBefore = xr9test::openFdCount(), threadsBefore = xr9test::threadBaseline();
        EthernetFixture::SetUp();
    }
    // Closes the handle (when open), expects descriptors and threads back to the baseline, prints the figures.
    void closeAndReport(const std::string& figures) {
        EXPECT_EQ(0, eth ? Xr9AlCloseHandle(eth) : 0);
        eth = nullptr;
        int fds = 0, threads = 0;
        EXPECT_TRUE(pumpUntil(
            [&] {
                fds = xr9test::openFdCount(), threads = xr9test::threadCount();
                return fds <= fdsBefore && threads <= threadsBefore;
            },
            10000));
        std::printf("[ figures ] %s fds=%d->%d threads=%d->%d\n", figures.c_str(), fdsBefore, fds, threadsBefore,
                    threads);
        std::fflush(stdout);
    }

    int fdsBefore = 0, threadsBefore = 0;
};

// Host and peer senders and host takers at once on both channels: every message arrives once, in order.
TEST_F(EthernetLoad, ConcurrentSendersAndTakersMoveEveryMessageExactlyOnce) {
    ASSERT_TRUE(open());
    TcpPeer peers[2];  // command, stream
    ASSERT_TRUE(connect(&peers[0], MSG_TYPE_COMMAND) && connect(&peers[1], MSG_TYPE_STREAM));
    constexpr int kSenders = 4, kTakersPerChannel = 2;
    const uint32_t perSender = uint32_t(xr9test::soakCount(20000));  // per host sender and channel
    const uint32_t perPeer = uint32_t(xr9test::soakCount(40000));    // per peer channel
    // Flow (= origin byte) 2*s+c: host sender s on channel c (0 command, 1 stream); 2*kSenders+c: the peer's.
    Workers workers;
    std::vector<std::unique_ptr<Ledger>> flows;
    for (int i = 0; i < 2 * kSenders + 2; ++i)
        flows.push_back(std::make_unique<Ledger>(i < 2 * kSenders ? perSender : perPeer));
    std::atomic<unsigned long long> outOfOrder{0}, bytes{0}, peerFramingErrors{0};
    const enMsgType channels[2] = {MSG_TYPE_COMMAND, MSG_TYPE_STREAM};
        // Records a message taken on channel c (by the peer when fromHost); last: the taker's last number per flow.
    auto take = [&](const std::string& m, int c, bool fromHost, std::vector<long long>& last) {
        uint8_t origin = 0;
        uint32_t sequence = 0;
        if (!parseNumbered(m, &origin, &sequence) ||
            (fromHost ? origin >= 2 * kSenders || origin % 2 != c : origin != 2 * kSenders + c))
            return flows[size_t(2 * kSenders + c)]->record(UINT32_MAX);
        flows[origin]->record(sequence);
        outOfOrder += last[origin] >= (long long)sequence;
        last[origin] = sequence;
    };
    eth->setSendTimeout(kPhaseMs);  // a stalled send fails the run rather than hang it
    EthernetThread sendThread("EthSend", false, eth);
    sendThread.start();
    for (int s = 0; s < kSenders; ++s) {
        workers.add([&, s] {
            for (uint32_t n = 0; n < perSender && !workers.timeIsUp(); ++n) {
                for (int c = 0; c < 2; ++c) {
                    QByteArray payload = QByteArray::fromStdString(varied(uint8_t(2 * s + c), n));
                    if (eth->SendData(&payload, channels[c]) != 0) workers.abort = true;
                }
                // The send thread and the senders themselves drain the queue.
                n % 8 == 0 ? void(eth->SendData(nullptr, MSG_TYPE_NONE)) : sendThread.notify();
            }
        });
    }
    for (int c = 0; c < 2; ++c) {
        workers.add([&, c] {  // the peer's reader
            std::vector<long long> last(flows.size(), -1);
            size_t taken = 0;
            auto onMessage = [&](const std::string& m) { bytes += m.size() + 8, ++taken, take(m, c, true, last); };
            auto done = [&] { return taken >= kSenders * perSender || workers.timeIsUp(); };
            peerFramingErrors += !readFrames(peers[c], markerOf(channels[c]), done, onMessage, workers.deadline);
        });
        workers.add([&, c] {  // the peer's sender, in batches
            std::string batch;
            for (uint32_t n = 0; n < perPeer && !workers.timeIsUp(); ++n) {
                batch += frame(markerOf(channels[c]), varied(uint8_t(2 * kSenders + c), n));
                if (batch.size() > 16384 || n + 1 == perPeer) {
                    if (!peers[c].sendAll(batch, kPhaseMs, nullptr, &workers.abort)) workers.abort = true;
                    bytes += batch.size();
                    batch.clear();
                }
            }
        });
        for (int t = 0; t < kTakersPerChannel; ++t) {
            workers.add([&, c] {  // a host taker: sees the peer's messages in queue order
                std::vector<long long> last(flows.size(), -1);
                while (!flows[size_t(2 * kSenders + c)]->complete() && !workers.timeIsUp()) {
                    QByteArray message;
                    const int result = eth->ReceiveData(&message, channels[c], 100);
                    if (result != kTimeoutCode) take(result ? "" : message.toStdString(), c, false, last);
                }
            });
        }
    }
    EXPECT_TRUE(pumpUntil([&] { return workers.allDone(); }, kPhaseMs + 5000)) << "the load did not finish in time";
    workers.abort = true;
    sendThread.stop();
    EXPECT_TRUE(workers.finish(10000)) << "workers must end after the abort";
    unsigned long long delivered = 0, lost = 0, duplicated = 0, strays = 0;
    for (const auto& f : flows)
        delivered += f->delivered, lost += f->lost(), duplicated += f->duplicated, strays += f->strays;
    EXPECT_EQ(2ull * kSenders * perSender + 2ull * perPeer, delivered);
    // strays: malformed or not sent by anybody; disorder: a flow's messages overtook each other.
    EXPECT_EQ("lost=0 duplicated=0 strays=0 framingErrors=0 disorder=0",
              "lost=" + std::to_string(lost) + " duplicated=" + std::to_string(duplicated) + " strays=" +
                  std::to_string(strays) + " framingErrors=" + std::to_string(peerFramingErrors) +
                  " disorder=" + std::to_string(outOfOrder));
    EXPECT_TRUE(eth->isSendQueueEmpty());
    peers[0].close(), peers[1].close();
    closeAndReport("EthernetLoad messages=" + std::to_string(delivered) + " bytes=" + std::to_string(bytes) +
                   " lost=" + std::to_string(lost) + " duplicated=" + std::to_string(duplicated));
}

// A gibibyte of stream messages of 0..128 KiB from the peer arrives whole, in order, nothing more.
TEST_F(EthernetLoad, GibibyteStreamFromThePeerArrivesIntact) {
    ASSERT_TRUE(open());
    TcpPeer stream;
    ASSERT_TRUE(connect(&stream, MSG_TYPE_STREAM));
    const unsigned long long total = (unsigned long long)xr9test::soakCount(1024ll * 1024 * 1024);
    // The messages in order, from a generator both sides run: random sizes (an empty one now and then) and contents.
    auto nextMessage = [](uint64_t& state) {
        auto random = [&] { return state ^= state << 13, state ^= state >> 7, state ^= state << 17; };  // xorshift64
        const uint64_t r = random();
        std::string message(r % 997 ? r % (128 * 1024 + 1) : 0, '\0');
        for (size_t i = 0; i < message.size(); i += 8) {
            const uint64_t word = random();
            std::memcpy(&message[i], &word, std::min<size_t>(8, message.size() - i));
        }
        return message;
    };
    unsigned long long messages = 0, bytes = 0, wrong = 0;
    Workers workers;
    workers.add([&] {
        uint64_t state = 0x5EED0001;
        for (unsigned long long sent = 0; sent < total && !workers.timeIsUp();) {
            const std::string message = nextMessage(state);
            if (!stream.sendAll(frame(0xA7, message), kPhaseMs, nullptr, &workers.abort)) workers.abort = true;
            sent += message.size();
        }
    });
    workers.add([&] {
        uint64_t state = 0x5EED0001;
        while (bytes < total && !workers.timeIsUp()) {
            QByteArray message;  // released inline: Qt's own clear() is out of the thread sanitizer's sight
            if (eth->ReceiveData(&message, MSG_TYPE_STREAM, 100) != 0) continue;
            wrong += std::string(message.constData(), size_t(message.size())) != nextMessage(state);
            ++messages, bytes += size_t(message.size());
        }
    });
    ASSERT_TRUE(workers.finish());
    EXPECT_EQ(0u, wrong) << "messages cut, spliced, lost or reordered";
    EXPECT_LE(total, bytes);
    EXPECT_TRUE(nothingQueued()) << "beyond what was sent";
    stream.close();
    closeAndReport("EthernetLoadStreamIn messages=" + std::to_string(messages) + " bytes=" + std::to_string(bytes));
}

// Thousands of handles created, used and destroyed with traffic in flight: nothing leaks or hangs, and a handle
// opened afterwards works. Every other one goes while host threads wait in it without limit (receivers, and a sender
// at the send bound): ClosePort or the close of the handle releases them with XR_USER_ABORT, and they touch nothing
// afterwards.
TEST_F(EthernetLoad, HandleLifetimesUnderTrafficReleaseWaitersAndLeaveNothingBehind) {
    ASSERT_EQ(0, Xr9AlCloseHandle(eth));  // the cycles make their own
    eth = nullptr;
    const long long cycles = xr9test::soakCount(2000);
    constexpr int kWaiters = 3;
    for (long long i = 0; i < cycles; ++i) {
        EthernetSettings record = loopbackSettings();
        XR9AL* handle = Xr9AlGetHandle(IF_TYPE_ETHERNET);
        ASSERT_TRUE(handle && handle->OpenPort(IF_TYPE_ETHERNET, &record, 0) == 0) << "cycle " << i;
        static_cast<XR9ALEthernet*>(handle)->setSendBound(1);  // one message waits, the next sender with it
        TcpPeer command, stream;
        ASSERT_TRUE(command.connectTo(uint16_t(record.commandPort))) << "cycle " << i;
        ASSERT_NO_FATAL_FAILURE(exchange(handle, command, "cycle " + std::to_string(i)));
        // In flight when the handle goes: a stream burst maybe not read yet, a late command, a queued message.
        ASSERT_TRUE(stream.connectTo(uint16_t(record.streamPort)) && command.sendAll(frame(0xA5, "late")) &&
                    stream.sendAll(frame(0xA7, std::string(8192, 'b'))));
        QByteArray late = "unsent";
        ASSERT_EQ(0, handle->SendData(&late, MSG_TYPE_STREAM));
        if (i % 3 == 0) command.reset();
        if (i % 4 == 0) QCoreApplication::processEvents();
        std::atomic<long> tids[kWaiters] = {};
        std::atomic<int> results[kWaiters] = {};
        Workers waiters;
        for (int w = 0; w < (i % 2 ? kWaiters : 0); ++w)
            waiters.add([&, w] {
                QByteArray message = "waits";
                QThread::currentThread();  // Qt's first bookkeeping of this thread sleeps on locks of its own
                tids[w] = ::syscall(SYS_gettid);
                results[w] = w == 2 ? handle->SendData(&message, MSG_TYPE_STREAM)
                                    : handle->ReceiveData(&message, MSG_TYPE_BROADCAST, w ? 600000 : -1);
            });
        // Each waiter sleeps (state S) in its wait.
        EXPECT_TRUE(xr9test::waitFor([&] {
            return std::all_of(tids, tids + waiters.threads.size(), [](const std::atomic<long>& tid) {
                const std::string stat = xr9test::readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
                const size_t end = stat.rfind(')');
                return tid != 0 && end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
            });
        })) << "cycle " << i;
        std::this_thread::sleep_for(std::chrono::microseconds(i % 2 ? 2000 : 0));
        const bool closePortReleases = i % 4 == 1;
        EXPECT_EQ(0, (i % 4 == 3 ? 0 : handle->ClosePort()) | (closePortReleases ? 0 : Xr9AlCloseHandle(handle)));
        if (!xr9test::waitFor([&] { return waiters.allDone(); })) {
            std::fprintf(stderr, "a waiter was not released by %s\n", closePortReleases ? "ClosePort" : "the close");
            std::_Exit(1);  // a thread still blocked inside the transport cannot be joined
        }
        waiters.finish(0);
        EXPECT_EQ(0, closePortReleases ? Xr9AlCloseHandle(handle) : 0);
        for (size_t w = 0; w < waiters.threads.size(); ++w) EXPECT_EQ(-503, results[w]) << "cycle " << i << " " << w;
    }
    closeAndReport("EthernetLoadHandles cycles=" + std::to_string(cycles) + " messages=" +
                   std::to_string(2 * cycles) + " released=" + std::to_string(cycles / 2 * kWaiters));
    eth = dynamic_cast<XR9ALEthernet*>(Xr9AlGetHandle(IF_TYPE_ETHERNET));  // and afterwards a handle still works
    ASSERT_TRUE(eth && open());
    carriesBothWays("after the cycles");
}

// One transport opened and closed thousands of times (its listeners moving now and then) while peers keep
// connecting, sending and leaving: no message is cut, spliced or repeated, and the last open still works.
TEST_F(EthernetLoad, OpenCloseCyclesWhilePeersConnectKeepMessagesWhole) {
    ASSERT_TRUE(open());
    const long long cycles = xr9test::soakCount(3000);
    constexpr int kPeers = 3;
    std::atomic<uint32_t> commandPort{settings.commandPort};  // where the peers connect
    Workers peers;
    for (int p = 0; p < kPeers; ++p) {
        peers.add([&, p] {
            std::vector<std::unique_ptr<TcpPeer>> held;  // the last few, replaced by later ones
            for (uint32_t n = 0; !peers.timeIsUp(); ++n) {
                auto peer = std::make_unique<TcpPeer>();
                const bool connected = peer->connectTo(uint16_t(commandPort.load()));
                if (connected) peer->sendAll(frame(0xA5, varied(uint8_t(0x40 + p), n)), 1000);
                // Paced: reusing a pair of ports still in TIME_WAIT waits for the kernel.
                std::this_thread::sleep_for(std::chrono::microseconds(connected ? 500 : 1000));
                n % 4 == 0 ? peer->reset() : n % 4 == 1 ? peer->close() : held.push_back(std::move(peer));
                if (held.size() > 4) held.erase(held.begin());
            }
        });
    }
    std::set<std::pair<uint8_t, uint32_t>> delivered;
    unsigned long long duplicated = 0, malformed = 0;
    auto drain = [&] {
        for (QByteArray message; eth->ReceiveData(&message, MSG_TYPE_COMMAND, 0) == 0; message.clear()) {
            uint8_t origin = 0;
            uint32_t sequence = 0;
            if (!parseNumbered(message.toStdString(), &origin, &sequence) || origin < 0x40 ||
                origin >= 0x40 + kPeers) {
                ++malformed;
            } else {
                duplicated += !delivered.insert({origin, sequence}).second;
            }
        }
    };
    for (long long i = 0; i < cycles && !peers.timeIsUp(); ++i) {
        if (i % 500 == 499) commandPort = settings.commandPort = freePort(SOCK_STREAM);  // the kept record moves
        ASSERT_EQ(0, eth->OpenPort(IF_TYPE_ETHERNET, nullptr, 0)) << "cycle " << i;
        const auto until = Clock::now() + std::chrono::milliseconds(2);
        pumpUntil([&] { return drain(), Clock::now() >= until; });
        ASSERT_EQ(0, eth->ClosePort()) << "cycle " << i;
    }
    // Open once more while the peers go on: their messages keep coming.
    ASSERT_EQ(0, eth->OpenPort(IF_TYPE_ETHERNET, nullptr, 0));
    const size_t beforeLastOpen = delivered.size();
    EXPECT_TRUE(pumpUntil([&] { return drain(), delivered.size() > beforeLastOpen; })) << "none after the cycles";
    peers.abort = true;
    EXPECT_TRUE(peers.finish(10000));
    pumpFor(100);
    drain();
    EXPECT_EQ(0u, malformed) << "a message cut short or spliced from two connections";
    EXPECT_EQ(0u, duplicated);
    carriesBothWays("after the cycles");
    closeAndReport("EthernetLoadOpenClose cycles=" + std::to_string(cycles) +
                   " messages=" + std::to_string(delivered.size()) +
                   " duplicated=" + std::to_string(duplicated));
}

// Hundreds of connections send part of a frame, then stall, close or reset: nothing of them is delivered, good
// peers are served meanwhile, and their descriptors go when they go.
TEST_F(EthernetLoad, StalledPartialFramesFromManyConnectionsAreNeverDelivered) {
    const std::function<std::string(uint8_t marker)> partials[] = {
        [](uint8_t m) { return std::string(3, char(m)); },                                 // marker only
        [](uint8_t m) { return frame(m, "abc").substr(0, 7); },                            // seven bytes
        [](uint8_t m) { return frameWithLength(m, 1000, ""); },                            // header only
        [](uint8_t m) { return frameWithLength(m, 5000, std::string(1200, 'p')); },        // some payload
        [](uint8_t m) { return frameWithLength(m, 0x7FFFFFF0, std::string(3000, 'h')); },  // huge length
        [](uint8_t m) { return frame(m, std::string(2000, 's')).substr(0, 2007); },        // one byte short
    };
    ASSERT_TRUE(open());
    pumpFor(20);
    const int fdsOpen = xr9test::openFdCount();
    const long long perPeer = xr9test::soakCount(100);
    constexpr int kPeerThreads = 4;
    std::vector<std::unique_ptr<TcpPeer>> stalled[kPeerThreads];
    std::atomic<unsigned long long> made{0};
    Workers peers;
    for (int p = 0; p < kPeerThreads; ++p) {
        peers.add([&, p] {
            for (long long n = 0; n < perPeer && !peers.timeIsUp(); ++n) {
                const long long k = n * kPeerThreads + p;
                const bool toStream = k % 2 == 1;
                auto peer = std::make_unique<TcpPeer>();
                made += peer->connectTo(portOf(toStream ? MSG_TYPE_STREAM : MSG_TYPE_COMMAND)) &&
                        peer->sendAll(partials[size_t(k / 2) % 6](toStream ? 0xA7 : 0xA5));
                const int end = int((k / 12) % 3);  // stall, close, reset
                end == 0 ? stalled[p].push_back(std::move(peer)) : end == 1 ? peer->close() : peer->reset();
            }
        });
    }
    ASSERT_TRUE(peers.finish());
    EXPECT_EQ(kPeerThreads * perPeer, (long long)made) << "every partial peer connects and writes";
    pumpFor(250);  // the transport takes every pending connection meanwhile
    EXPECT_TRUE(nothingQueued());

    // While the stalled peers hold their connections, good ones are served whole.
    const std::string payload(70000, 'S');
    TcpPeer goodStream;
    ASSERT_TRUE(connect(&goodStream, MSG_TYPE_STREAM) && goodStream.sendAll(frame(0xA7, payload)));
    EXPECT_TRUE(next(MSG_TYPE_STREAM) == payload) << "a stream payload not delivered whole";
    carriesBothWays("after the partial frames");

    // The peers go; nothing of theirs turns up, and their descriptors go.
    size_t stalledCount = 0;
    for (auto& list : stalled) {
        for (size_t i = 0; i < list.size(); ++i) i % 2 ? list[i]->reset() : list[i]->close();
        stalledCount += list.size();
    }
    goodStream.close();
    int fds = 0;
    EXPECT_TRUE(pumpUntil([&] { return (fds = xr9test::openFdCount()) <= fdsOpen; }, 10000))
        << fds << " descriptors, " << fdsOpen << " when opened";
    EXPECT_TRUE(nothingQueued());
    closeAndReport("EthernetLoadPartial connections=" + std::to_string(made) + " stalled=" +
                   std::to_string(stalledCount) + " fdsOpen=" + std::to_string(fdsOpen) + "->" + std::to_string(fds));
}

}  // namespace
