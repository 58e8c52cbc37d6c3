// What a peer can make the Ethernet transport hold: the largest frame, the
// receive budget with its pause and resume, and a stalled frame. Each test
// prints a figures line (held bytes against the budget) for the record.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <cerrno>

#include "KTDEI.h"
#include "LoopbackSettings.h"
#include "PosixPeer.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "access/Xr9AlHandle.h"
#include "common/TestSupport.h"

namespace {

using namespace ethtest;
using Clock = std::chrono::steady_clock;

// The payload of message number i of a sequence: its number, then filler.
std::string numbered(uint32_t i, size_t size) {
    std::string payload(std::max<size_t>(size, 4), static_cast<char>('a' + i % 26));
    for (int b = 0; b < 4; ++b) payload[b] = static_cast<char>(i >> (24 - 8 * b));
    return payload;
}

uint32_t numberOf(const QByteArray& payload) {
    if (payload.size() < 4) return UINT32_MAX;
    const auto* p = reinterpret_cast<const unsigned char*>(payload.constData());
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// A peer that writes a byte string on its own thread without ever blocking
// for long: it waits for room in slices and gives up when told to stop.
class FloodingPeer {
public:
    explicit FloodingPeer(std::string bytes) : bytes_(std::move(bytes)) {}
    ~FloodingPeer() { stop(); }

    bool start(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0) return false;
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
            return false;
        }
        thread_ = std::thread([this] { run(); });
        return true;
    }
    size_t sent() const { return sent_.load(); }
    bool done() const { return sent_.load() == bytes_.size(); }
    // Pumps the owner's loop until the kernel takes no more for quietMs.
    bool waitStalled(int quietMs = 300, int timeoutMs = 20000) {
        size_t last = sent();
        auto quietSince = Clock::now();
        return pumpUntil(
            [&] {
                const size_t now = sent();
                if (now != last || done()) {
                    last = now;
                    quietSince = Clock::now();
                    return done();
                }
                return Clock::now() - quietSince > std::chrono::milliseconds(quietMs);
            },
            timeoutMs);
    }
    void close() {
        stop();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    void run() {
        while (!stop_.load() && sent_.load() < bytes_.size()) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const size_t at = sent_.load();
            const ssize_t n = ::send(fd_, bytes_.data() + at, bytes_.size() - at, MSG_NOSIGNAL);
            if (n > 0) {
                sent_.store(at + size_t(n));
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                break;
            }
        }
    }
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }

    std::string bytes_;
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> sent_{0};
};

class EthernetBoundedMemory : public ::testing::Test {
protected:
    void SetUp() override {
        KT::KTDEI::instance()->reset();
        settings = loopbackSettings();
        eth = new XR9ALEthernet();
        ASSERT_EQ(0, eth->OpenPort(IF_TYPE_ETHERNET, &settings, 0));
    }
    void TearDown() override {
        EXPECT_EQ(0, Xr9AlCloseHandle(eth));
        KT::KTDEI::instance()->reset();
    }
    uint16_t portOf(enMsgType channel) const {
        return uint16_t(channel == MSG_TYPE_COMMAND ? settings.commandPort : settings.streamPort);
    }
    // Connects peer and waits until the transport reads it (an empty frame comes through).
    bool connectPeer(TcpPeer* peer, enMsgType channel) {
        QByteArray out;
        return peer->connectTo(portOf(channel)) && peer->sendAll(frame(markerOf(channel), "")) &&
               pumpUntil([&] { return eth->ReceiveData(&out, channel, 0) == 0; }) && out.isEmpty();
    }
    // The next message of channel, pumping meanwhile; false at the deadline.
    bool take(enMsgType channel, QByteArray* out, int timeoutMs = 5000) {
        out->clear();
        return pumpUntil([&] { return eth->ReceiveData(out, channel, 0) == 0; }, timeoutMs);
    }
    static uint8_t markerOf(enMsgType channel) {
        return channel == MSG_TYPE_COMMAND ? 0xA5 : channel == MSG_TYPE_STREAM ? 0xA7 : 0xA2;
    }

    EthernetSettings settings{};
    XR9ALEthernet* eth = nullptr;
};

TEST_F(EthernetBoundedMemory, FrameAboveTheLimitIsDroppedAndTheConnectionGoesOn) {
    eth->setMaxFrameLength(1000);
    TcpPeer peer;
    ASSERT_TRUE(connectPeer(&peer, MSG_TYPE_COMMAND));
    ASSERT_TRUE(peer.sendAll(frameWithLength(0xA5, 1001, "")));
    pumpFor(50);
    EXPECT_LT(eth->bytesHeld(MSG_TYPE_COMMAND), 1000) << "nothing is kept for a refused frame";
    const std::string atLimit(1000, 'x');
    ASSERT_TRUE(peer.sendAll(frame(0xA5, atLimit)));
    QByteArray out;
    ASSERT_TRUE(take(MSG_TYPE_COMMAND, &out));
    EXPECT_EQ(atLimit, out.toStdString());
}

// A header announcing the largest frame, then a trickle: the transport holds
// what came, not what was announced, and the frame still completes.
TEST_F(EthernetBoundedMemory, StalledFrameHoldsOnlyTheBytesReceived) {
    const int announced = int(xr9eth::kDefaultMaxFrameLength);
    const std::string head = frameWithLength(0xA7, announced, "");
    const size_t firstPart = 100 * 1024;
    std::string payload(size_t(announced), '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 >> 7);

    TcpPeer peer;
    ASSERT_TRUE(connectPeer(&peer, MSG_TYPE_STREAM));
    ASSERT_TRUE(peer.sendAll(head + payload.substr(0, firstPart)));
    ASSERT_TRUE(pumpUntil([&] { return eth->bytesHeld(MSG_TYPE_STREAM) >= qint64(firstPart); }));
    pumpFor(100);
    const qint64 held = eth->bytesHeld(MSG_TYPE_STREAM);
    EXPECT_LE(held, 2 * qint64(firstPart + head.size())) << "announced " << announced;

    ASSERT_TRUE(peer.sendAll(payload.substr(firstPart)));  // pumps the owner's loop while the kernel is full
    QByteArray out;
    ASSERT_TRUE(take(MSG_TYPE_STREAM, &out, 30000));
    EXPECT_TRUE(out.size() == announced && std::equal(payload.begin(), payload.end(), out.constData()));
    std::printf("[ figures ] StalledFrame announced=%d received=%zu held=%lld\n", announced, firstPart + head.size(),
                static_cast<long long>(held));
}

struct FloodCase {
    const char* name;
    enMsgType channel;
    KT::uint32 budget;
    size_t frameSize;
    uint32_t frames;
    bool hostThread;  // taken by a host thread rather than the owner
};

class EthernetReceiveBudget : public EthernetBoundedMemory, public ::testing::WithParamInterface<FloodCase> {};

// The host takes nothing while the peer floods: reading stops near the
// budget and TCP holds the peer; then the host takes everything, in order.
TEST_P(EthernetReceiveBudget, FloodIsHeldNearTheBudgetAndArrivesWholeOnceTaken) {
    const FloodCase& c = GetParam();
    eth->setReceiveBudget(c.budget);
    std::string wire;
    // Not scaled down for slow runs: the flood must outgrow the kernel's buffers.
    const uint32_t frames = c.frames;
    for (uint32_t i = 0; i < frames; ++i) wire += frame(markerOf(c.channel), numbered(i, c.frameSize));
    const size_t wireSize = wire.size();

    TcpPeer hello;
    ASSERT_TRUE(connectPeer(&hello, c.channel));  // the flood's connection replaces this one
    FloodingPeer flood(std::move(wire));
    ASSERT_TRUE(flood.start(portOf(c.channel)));
    ASSERT_TRUE(flood.waitStalled());
    const qint64 bound = qint64(c.budget) + 3 * qint64(c.frameSize + 8) + 4 * qint64(xr9eth::kSocketReadChunk);
    // The flood is several times what the kernel's buffers take in while
    // nobody reads, so a peer that is not held back means reading went on.
    const size_t sentAtStall = flood.sent();
    ASSERT_FALSE(flood.done()) << "the peer was never held back";
    qint64 peak = eth->bytesHeld(c.channel);
    EXPECT_LE(peak, bound);

    std::atomic<uint32_t> next{0};
    std::atomic<bool> wrong{false};
    // Takes message number next, or marks the run wrong.
    auto check = [&](const QByteArray& out) {
        if (numberOf(out) != next.load() || size_t(out.size()) != c.frameSize) {
            wrong = true;
            return false;
        }
        ++next;
        return true;
    };
    if (c.hostThread) {
        // The taker resumes the owner's reader from its own thread.
        std::thread taker([&] {
            QByteArray out;
            while (next.load() < frames && !wrong.load()) {
                out = QByteArray();  // inline release: Qt's own clear() is out of the sanitizer's sight
                if (eth->ReceiveData(&out, c.channel, 5000) != 0 || !check(out)) break;
            }
        });
        pumpUntil(
            [&] {
                peak = std::max(peak, eth->bytesHeld(c.channel));
                return next.load() == frames || wrong.load();
            },
            60000);
        taker.join();
    } else {
        QByteArray out;
        while (next.load() < frames && take(c.channel, &out) && check(out)) {
            peak = std::max(peak, eth->bytesHeld(c.channel));
        }
    }
    EXPECT_FALSE(wrong.load()) << "lost, repeated or reordered at " << next.load();
    EXPECT_EQ(frames, next.load());
    EXPECT_TRUE(xr9test::waitFor([&] { return flood.done(); }));
    EXPECT_LE(peak, bound);
    std::printf("[ figures ] ReceiveBudget %s moved=%zu bytes messages=%u sentAtStall=%zu budget=%u peakHeld=%lld "
                "bound=%lld\n",
                c.name, wireSize, frames, sentAtStall, c.budget, static_cast<long long>(peak),
                static_cast<long long>(bound));
}

INSTANTIATE_TEST_SUITE_P(
    Table, EthernetReceiveBudget,
    ::testing::Values(FloodCase{"CommandSmallFrames", MSG_TYPE_COMMAND, 256 * 1024, 1000, 32768, false},
                      FloodCase{"CommandTakenByAHostThread", MSG_TYPE_COMMAND, 64 * 1024, 1000, 32768, true},
                      FloodCase{"StreamLargeFrames", MSG_TYPE_STREAM, 1 << 20, 200 * 1024, 160, false},
                      FloodCase{"StreamZeroBudgetTakenByAHostThread", MSG_TYPE_STREAM, 0, 64 * 1024, 512, true}),
    [](const ::testing::TestParamInfo<FloodCase>& info) { return std::string(info.param.name); });

// The peer writes and closes while its reader is paused: the bytes already
// with the system are still delivered, whole frames only.
TEST_F(EthernetBoundedMemory, PeerClosingWhileReadingIsPausedLosesNothing) {
    eth->setReceiveBudget(16 * 1024);
    const size_t frameSize = 4000;
    std::string wire;
    for (uint32_t i = 0; i < 4000; ++i) wire += frame(0xA5, numbered(i, frameSize));
    TcpPeer hello;
    ASSERT_TRUE(connectPeer(&hello, MSG_TYPE_COMMAND));
    FloodingPeer flood(wire);
    ASSERT_TRUE(flood.start(portOf(MSG_TYPE_COMMAND)));
    ASSERT_TRUE(flood.waitStalled());
    flood.close();
    const uint32_t whole = uint32_t(flood.sent() / (frameSize + 8));
    ASSERT_GT(whole, 8u);
    pumpFor(100);

    uint32_t next = 0;
    QByteArray out;
    while (take(MSG_TYPE_COMMAND, &out, 1000)) {
        ASSERT_EQ(next, numberOf(out));
        ++next;
    }
    EXPECT_EQ(whole, next);
}

// Datagrams have no flow control: past the budget they wait in the kernel,
// one read at a time with a zero budget, until taken or the budget grows.
TEST_F(EthernetBoundedMemory, BroadcastReaderWaitsForTakersAndResumesWhenTheBudgetGrows) {
    eth->setReceiveBudget(0);
    UdpPeer udp;
    ASSERT_TRUE(udp.valid());
    const size_t size = 300;
    for (uint32_t i = 0; i < 6; ++i) ASSERT_TRUE(udp.sendTo(uint16_t(settings.broadcastPort), frame(0xA2, numbered(i, size))));

    QByteArray out;
    ASSERT_TRUE(take(MSG_TYPE_BROADCAST, &out));
    EXPECT_EQ(0u, numberOf(out));
    ASSERT_TRUE(pumpUntil([&] { return eth->bytesHeld(MSG_TYPE_BROADCAST) >= qint64(size); }));
    pumpFor(50);
    EXPECT_EQ(qint64(size), eth->bytesHeld(MSG_TYPE_BROADCAST)) << "one datagram at a time";
    ASSERT_TRUE(take(MSG_TYPE_BROADCAST, &out));
    EXPECT_EQ(1u, numberOf(out));

    eth->setReceiveBudget(1 << 20);
    EXPECT_TRUE(pumpUntil([&] { return eth->bytesHeld(MSG_TYPE_BROADCAST) >= qint64(4 * size); }))
        << "a larger budget resumes the reader without a take";
    for (uint32_t i = 2; i < 6; ++i) {
        ASSERT_TRUE(take(MSG_TYPE_BROADCAST, &out));
        EXPECT_EQ(i, numberOf(out));
    }
}

TEST_F(EthernetBoundedMemory, ClosePortForgetsQueuedBytesAndAPausedReader) {
    eth->setReceiveBudget(0);
    TcpPeer peer;
    ASSERT_TRUE(connectPeer(&peer, MSG_TYPE_COMMAND));
    ASSERT_TRUE(peer.sendAll(frame(0xA5, "one")));
    ASSERT_TRUE(pumpUntil([&] { return eth->bytesHeld(MSG_TYPE_COMMAND) >= 3; }));
    ASSERT_EQ(0, eth->ClosePort());
    EXPECT_EQ(0, eth->bytesHeld(MSG_TYPE_COMMAND));

    ASSERT_EQ(0, eth->OpenPort(IF_TYPE_ETHERNET, &settings, 0));
    TcpPeer again;
    ASSERT_TRUE(again.connectTo(portOf(MSG_TYPE_COMMAND)));
    ASSERT_TRUE(again.sendAll(frame(0xA5, "two")));
    QByteArray out;
    ASSERT_TRUE(take(MSG_TYPE_COMMAND, &out));
    EXPECT_EQ("two", out.toStdString());
}

}  // namespace
