// What a peer can make the Ethernet transport hold: the receive budget with its pause and resume, and a stalled
// frame. The flood tests print a figures line (held bytes against the bound).
#include "EthernetHarness.h"

namespace {

using namespace ethtest;

// The number of a message made by numbered(0, number, size); UINT32_MAX when it is not one.
uint32_t numberOf(const QByteArray& message) {
    uint8_t origin = 0;
    uint32_t sequence = 0;
    return parseNumbered(message.toStdString(), &origin, &sequence) && origin == 0 ? sequence : UINT32_MAX;
}

// A peer writing wire from a thread of its own until all is sent or it is stopped; sent: what the kernel took.
struct Flood {
    Flood(uint16_t port, std::string bytes) : wire(std::move(bytes)) {
        if (peer.connectTo(port)) writer.add([this] { peer.sendAll(wire, kPhaseMs, &sent, &writer.abort); });
    }
    bool done() const { return sent == wire.size(); }
    bool waitStalled() {  // pumps until the kernel has taken nothing more for 300 ms, or everything
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (size_t last = SIZE_MAX; last != sent && !done(); pumpFor(300)) {
            last = sent;
            if (std::chrono::steady_clock::now() >= deadline) return false;
        }
        return true;
    }
    void close() {
        writer.abort = true;
        writer.finish(5000);
        peer.close();
    }

    const std::string wire;
    TcpPeer peer;
    std::atomic<size_t> sent{0};
    Workers writer;
};

class EthernetBoundedMemory : public EthernetFixture {
protected:
    void SetUp() override {
        EthernetFixture::SetUp();
        ASSERT_TRUE(open());
    }
};

// A header announcing the largest frame, then a trickle: the transport holds
// what came, not what was announced, and the frame still completes.
TEST_F(EthernetBoundedMemory, StalledFrameHoldsOnlyTheBytesReceived) {
    const int announced = int(xr9eth::kDefaultMaxFrameLength);
    const std::string head = frameWithLength(0xA7, announced, "");
    const size_t firstPart = 100 * 1024;
    std::string payload(size_t(announced), '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 >> 7);

    TcpPeer peer;
    ASSERT_TRUE(connect(&peer, MSG_TYPE_STREAM));
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
    bool hostThread;    // taken by a host thread rather than the owner
    bool closeAtStall;  // the peer closes once held back: what it sent is still delivered, whole frames only
};

class EthernetReceiveBudget : public EthernetBoundedMemory, public ::testing::WithParamInterface<FloodCase> {};

// The host takes nothing while the peer floods: reading stops near the budget and TCP holds the peer; then the host
// takes everything, in order.
TEST_P(EthernetReceiveBudget, FloodIsHeldNearTheBudgetAndArrivesWholeOnceTaken) {
    const FloodCase& c = GetParam();
    eth->setReceiveBudget(c.budget);
    // Not scaled down for slow runs: the flood must be several times what the kernel's buffers take in.
    std::string wire;
    for (uint32_t i = 0; i < c.frames; ++i) wire += frame(markerOf(c.channel), numbered(0, i, c.frameSize));
    TcpPeer hello;
    ASSERT_TRUE(connect(&hello, c.channel));  // the flood's connection replaces this one
    Flood flood(portOf(c.channel), std::move(wire));
    ASSERT_TRUE(flood.peer.valid() && flood.waitStalled());
    const qint64 bound = qint64(c.budget) + 3 * qint64(c.frameSize + 8) + 4 * qint64(xr9eth::kSocketReadChunk);
    const size_t sentAtStall = flood.sent;
    ASSERT_FALSE(flood.done()) << "the peer was never held back";
    qint64 peak = eth->bytesHeld(c.channel);
    EXPECT_LE(peak, bound);
    uint32_t frames = c.frames;
    if (c.closeAtStall) {
        flood.close();
        frames = uint32_t(flood.sent / (c.frameSize + 8));
    }

    std::atomic<uint32_t> taken{0};
    std::atomic<bool> wrong{false};
    auto check = [&](const QByteArray& out) {  // message number taken, or the run is wrong
        wrong = numberOf(out) != taken || size_t(out.size()) != c.frameSize;
        if (!wrong) ++taken;
        return !wrong;
    };
    Workers taker;
    if (c.hostThread) {  // the taker resumes the owner's reader from its own thread
        taker.add([&] {
            for (QByteArray out; taken < frames && !wrong && !taker.timeIsUp();) {
                out = QByteArray();  // inline release: Qt's own clear() is out of the sanitizer's sight
                if (eth->ReceiveData(&out, c.channel, 5000) != 0 || !check(out)) break;
            }
        });
        pumpUntil(
            [&] {
                peak = std::max(peak, eth->bytesHeld(c.channel));
                return taker.allDone();
            },
            60000);
    } else {
        for (QByteArray out; taken < frames && take(c.channel, &out) && check(out);)
            peak = std::max(peak, eth->bytesHeld(c.channel));
    }
    EXPECT_FALSE(wrong.load()) << "lost, repeated or reordered at " << taken.load();
    EXPECT_EQ(frames, taken.load());
    EXPECT_TRUE(c.closeAtStall || xr9test::waitFor([&] { return flood.done(); }));
    EXPECT_TRUE(nothingQueued()) << "beyond the whole frames sent";
    EXPECT_LE(peak, bound);
    std::printf("[ figures ] ReceiveBudget %s messages=%u bytes=%zu sentAtStall=%zu budget=%u peakHeld=%lld "
                "bound=%lld\n",
                c.name, frames, flood.wire.size(), sentAtStall, c.budget, static_cast<long long>(peak),
                static_cast<long long>(bound));
}

INSTANTIATE_TEST_SUITE_P(
    Table, EthernetReceiveBudget,
    ::testing::Values(FloodCase{"CommandSmallFrames", MSG_TYPE_COMMAND, 256 * 1024, 1000, 32768, false, false},
                      FloodCase{"CommandTakenByAHostThread", MSG_TYPE_COMMAND, 64 * 1024, 1000, 32768, true, false},
                      FloodCase{"CommandPeerClosingWhilePaused", MSG_TYPE_COMMAND, 16 * 1024, 4000, 4000, false, true},
                      FloodCase{"StreamLargeFrames", MSG_TYPE_STREAM, 1 << 20, 200 * 1024, 160, false, false},
                      FloodCase{"StreamZeroBudgetTakenByAHostThread", MSG_TYPE_STREAM, 0, 64 * 1024, 512, true, false}),
    [](const ::testing::TestParamInfo<FloodCase>& info) { return std::string(info.param.name); });

// Datagrams have no flow control: past the budget they wait in the kernel,
// one read at a time with a zero budget, until taken or the budget grows.
TEST_F(EthernetBoundedMemory, BroadcastReaderWaitsForTakersAndResumesWhenTheBudgetGrows) {
    eth->setReceiveBudget(0);
    UdpPeer udp;
    const size_t size = 300;
    for (uint32_t i = 0; i < 6; ++i)
        ASSERT_TRUE(udp.sendTo(uint16_t(settings.broadcastPort), frame(0xA2, numbered(0, i, size))));
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

}  // namespace
