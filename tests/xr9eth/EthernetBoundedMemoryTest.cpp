// What a peer can make the Ethernet transport hold: the receive budget with its pause and resume, a stalled frame,
// and the send bound towards a peer that reads nothing. The floods print a figures line: the transport's account and
// the process's peak resident memory against the documented bound.
#include <malloc.h>

#include <fstream>

#include "EthernetHarness.h"
#include "XR9ALEthernet/EthernetThread.h"

namespace {

using namespace ethtest;

// Sanitizers keep freed memory in quarantine and add shadow memory, and under an emulator the resident memory is the
// emulator's (it swung by 2 MiB with the set of tests in this file): there resident memory says nothing about what the
// transport holds, and only its own account is checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(XR9AL_TSAN) || defined(XR9AL_EMULATED)
constexpr bool kResidentMeasured = false;
#else
constexpr bool kResidentMeasured = true;
#endif

// A field of /proc/self/status in bytes: "VmRSS" now, "VmHWM" the peak since resetPeakResident().
long long resident(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string name; status >> name;) {
        long long kib = 0;
        if (name == field + ":" && status >> kib) return kib * 1024;
    }
    return -1;
}
// Free heap goes back to the system first, so that what the transport allocates shows as growth.
void resetPeakResident() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

// The documented bound of what one endpoint holds for frames of frameSize payload bytes.
qint64 receiveBound(KT::uint32 budget, size_t frameSize) {
    return qint64(budget) + 3 * (qint64(frameSize) + 8 + xr9eth::kQueuedMessageCharge) +
           4 * qint64(xr9eth::kSocketReadChunk);
}

// Pumps until measure gives the same for 300 ms; false after 20 s.
template <typename Measure>
bool pumpUntilStill(Measure measure) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (auto last = measure();;) {
        pumpFor(300);
        const auto now = measure();
        if (now == last) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        last = now;
    }
}

// Message number i of a flood: numbered when it has room for a number, else i's letter repeated.
std::string floodMessage(uint32_t i, size_t size) {
    return size >= 5 ? numbered(0, i, size) : std::string(size, char('a' + i % 26));
}

// A peer writing wire from a thread of its own until all is sent or it is stopped; sent: what the kernel took.
// Over UDP the wire goes as datagrams, each with as many whole frames as fit.
struct Flood {
    Flood(bool udp, uint16_t port, std::string bytes, size_t frameBytes) : wire(std::move(bytes)) {
        if (udp) {
            const size_t perDatagram = std::max<size_t>(1, 65507 / frameBytes) * frameBytes;
            writer.add([this, port, perDatagram] {
                for (size_t at = 0; at < wire.size() && !writer.abort; at += perDatagram, sent = at) {
                    datagrams.sendTo(port, wire.substr(at, perDatagram));
                    std::this_thread::sleep_for(std::chrono::microseconds(100));  // no faster than a reader takes them
                }
                sent = wire.size();
            });
        } else if (peer.connectTo(port)) {
            const int small = 64 * 1024;  // less in the kernel: a smaller flood is held back
            ::setsockopt(peer.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            writer.add([this] { peer.sendAll(wire, kPhaseMs, &sent, &writer.abort); });
        }
    }
    bool done() const { return sent == wire.size(); }
    void close() {
        writer.abort = true;
        writer.finish(5000);
        peer.close();
    }

    const std::string wire;
    TcpPeer peer;
    UdpPeer datagrams;
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

// A header announcing a large frame, then a trickle: the transport holds
// what came, not what was announced, and the frame still completes.
TEST_F(EthernetBoundedMemory, StalledFrameHoldsOnlyTheBytesReceived) {
    const int announced = 16 << 20;
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
    enMsgType channel;  // broadcast: UDP datagrams
    KT::uint32 budget;
    size_t frameSize;
    uint32_t frames;
    bool hostThread;    // taken by a host thread rather than the owner
    bool closeAtStall;  // the peer closes once held back: what it sent is still delivered, whole frames only
};

class EthernetReceiveBudget : public EthernetBoundedMemory, public ::testing::WithParamInterface<FloodCase> {};

// The host takes nothing while the peer floods: reading stops near the budget, whatever the frame size, and TCP
// holds the peer (the kernel drops datagrams); then the host takes everything that was accepted, in order.
TEST_P(EthernetReceiveBudget, FloodIsHeldWithinTheBoundAndArrivesWholeOnceTaken) {
    const FloodCase& c = GetParam();
    const bool udp = c.channel == MSG_TYPE_BROADCAST;
    eth->setReceiveBudget(c.budget);
    // Not scaled down for slow runs: the flood must be several times what the kernel's buffers take in.
    std::string wire;
    for (uint32_t i = 0; i < c.frames; ++i) wire += frame(markerOf(c.channel), floodMessage(i, c.frameSize));
    TcpPeer hello;
    ASSERT_TRUE(udp || connect(&hello, c.channel));  // the flood's connection replaces this one
    pumpFor(20);
    resetPeakResident();
    const long long residentBefore = resident("VmRSS");
    Flood flood(udp, udp ? uint16_t(settings.broadcastPort) : portOf(c.channel), std::move(wire), c.frameSize + 8);
    ASSERT_TRUE(udp || flood.peer.valid());
    ASSERT_TRUE(pumpUntilStill([&] { return std::make_pair(size_t(flood.sent), eth->bytesHeld(c.channel)); }));
    const qint64 bound = receiveBound(c.budget, c.frameSize);
    const size_t sentAtStall = flood.sent;
    ASSERT_FALSE(!udp && flood.done()) << "the peer was never held back";
    qint64 peak = eth->bytesHeld(c.channel);
    const long long peakResident = resident("VmHWM") - residentBefore;
    uint32_t frames = c.frames;
    if (c.closeAtStall) {
        flood.close();
        frames = uint32_t(flood.sent / (c.frameSize + 8));
    }

    std::atomic<uint32_t> taken{0}, next{0};  // next: the number the next message may have (datagrams get lost)
    std::atomic<bool> wrong{false};
    auto check = [&](const QByteArray& out) {  // message number taken, or the run is wrong
        uint8_t origin = 0;
        uint32_t number = next;
        if (udp && c.frameSize >= 5) wrong = !parseNumbered(out.toStdString(), &origin, &number) || number < next;
        const bool unnumbered = udp && c.frameSize < 5;  // a lost datagram does not show
        wrong = wrong || (unnumbered ? size_t(out.size()) != c.frameSize
                                     : out.toStdString() != floodMessage(number, c.frameSize));
        if (!wrong) ++taken, next = number + 1;
        return !wrong;
    };
    Workers taker;
    if (c.hostThread) {  // the taker resumes the owner's reader from its own thread
        taker.add([&] {
            for (QByteArray out; taken < frames && !wrong && !taker.timeIsUp();) {
                out = QByteArray();  // inline release: Qt's own clear() is out of the sanitizer's sight
                const int result = eth->ReceiveData(&out, c.channel, 100);
                if ((result != 0 && result != kTimeoutCode) || (result == 0 && !check(out))) break;
            }
        });
    }
    // Until all is taken; datagrams until none came for 300 ms.
    std::pair<uint32_t, std::chrono::steady_clock::time_point> last{0, std::chrono::steady_clock::now()};
    pumpUntil(
        [&] {
            peak = std::max(peak, eth->bytesHeld(c.channel));
            for (QByteArray out; !c.hostThread && eth->ReceiveData(&out, c.channel, 0) == 0; out = QByteArray())
                if (!check(out)) return true;
            if (taken != last.first) last = {taken, std::chrono::steady_clock::now()};
            return taken >= frames || wrong ||
                   (udp && std::chrono::steady_clock::now() - last.second > std::chrono::milliseconds(300));
        },
        60000);
    taker.abort = true;
    taker.finish(5000);
    EXPECT_FALSE(wrong.load()) << "lost, repeated or reordered at " << taken.load();
    if (udp) {
        EXPECT_LT(taken.load(), frames) << "the paused reader left datagrams to the kernel, which dropped some";
    } else {
        EXPECT_EQ(frames, taken.load());
        EXPECT_TRUE(c.closeAtStall || xr9test::waitFor([&] { return flood.done(); }));
    }
    EXPECT_TRUE(nothingQueued()) << "beyond the whole frames sent";
    EXPECT_LE(peak, bound);
    EXPECT_TRUE(!kResidentMeasured || peakResident <= bound) << "resident memory while held: " << peakResident;
    std::printf("[ figures ] ReceiveBudget %s frame=%zu messages=%u/%u bytes=%zu sentAtStall=%zu budget=%u "
                "peakHeld=%lld peakResident=%lld bound=%lld\n",
                c.name, c.frameSize, taken.load(), c.frames, flood.wire.size(), sentAtStall, c.budget,
                static_cast<long long>(peak), kResidentMeasured ? peakResident : -1LL, static_cast<long long>(bound));
}

INSTANTIATE_TEST_SUITE_P(
    Table, EthernetReceiveBudget,
    ::testing::Values(
        FloodCase{"CommandEmptyFrames", MSG_TYPE_COMMAND, 1 << 20, 0, 1 << 20, false, false},
        FloodCase{"CommandOneByte", MSG_TYPE_COMMAND, 256 * 1024, 1, 1 << 20, false, false},
        FloodCase{"CommandSixteenBytesPeerClosingWhilePaused", MSG_TYPE_COMMAND, 16 * 1024, 16, 1 << 19, false, true},
        FloodCase{"StreamSmallFramesTakenByAHostThread", MSG_TYPE_STREAM, 256 * 1024, 256, 1 << 15, true, false},
        FloodCase{"StreamLargeFrames", MSG_TYPE_STREAM, 1 << 20, 200 * 1024, 64, false, false},
        FloodCase{"StreamZeroBudgetTakenByAHostThread", MSG_TYPE_STREAM, 0, 64 * 1024, 160, true, false},
        FloodCase{"BroadcastEmptyFrames", MSG_TYPE_BROADCAST, 1 << 20, 0, 1 << 19, false, false},
        FloodCase{"BroadcastOneByte", MSG_TYPE_BROADCAST, 1 << 20, 1, 1 << 19, true, false},
        FloodCase{"BroadcastSixteenBytes", MSG_TYPE_BROADCAST, 1 << 20, 16, 1 << 18, false, false},
        FloodCase{"BroadcastSmallFrames", MSG_TYPE_BROADCAST, 1 << 20, 256, 1 << 15, false, false},
        FloodCase{"BroadcastLargestDatagrams", MSG_TYPE_BROADCAST, 1 << 20, 65499, 100, false, false}),
    [](const ::testing::TestParamInfo<FloodCase>& info) { return std::string(info.param.name); });

// A peer that reads nothing: a host thread sending to it waits once the bytes waiting towards it reach the send bound,
// the owner's own sends are refused, a host's time-out ends a wait, neither queuing anything; once the peer reads,
// everything accepted arrives in order. On either connection: a send thread writes command messages itself, and the
// system cuts its writes there too.
class EthernetSendBound : public EthernetBoundedMemory, public ::testing::WithParamInterface<enMsgType> {};

TEST_P(EthernetSendBound, SendsToAPeerThatReadsNothingWaitWithinTheSendBound) {
    const enMsgType flooded = GetParam(), other = flooded == MSG_TYPE_STREAM ? MSG_TYPE_COMMAND : MSG_TYPE_STREAM;
    TcpPeer peer, otherPeer;
    ASSERT_TRUE(connect(&peer, flooded) && connect(&otherPeer, other));
    const size_t size = 64 * 1024;
    const uint32_t count = 1024;  // 64 MiB, four times the default bound
    eth->setSendTimeout(kPhaseMs);  // a send stalled for good fails the run rather than hang it
    EthernetThread sendThread("EthSend", false, eth);
    sendThread.start();
    pumpFor(20);
    resetPeakResident();
    const long long residentBefore = resident("VmRSS");
    std::atomic<uint32_t> sent{0};
    Workers host;
    host.add([&] {
        for (QByteArray m; sent < count && !host.timeIsUp(); ++sent) {
            m = QByteArray::fromStdString(floodMessage(sent, size));
            if (eth->SendData(&m, flooded) != 0) break;
            sendThread.notify();
        }
    });
    const qint64 bound = qint64(eth->sendBound());
    ASSERT_TRUE(pumpUntil(
        [&] { return eth->bytesWaiting(flooded) >= bound - xr9eth::queuedCost(size) || sent == count; },
        60000));
    ASSERT_TRUE(pumpUntilStill([&] { return sent.load(); }));
    const uint32_t sentAtStall = sent;
    const qint64 waiting = eth->bytesWaiting(flooded);
    // Besides what waits, the allocator keeps the memory of messages copied on towards the system (into the socket's
    // buffer, and what the system took) for the next ones: the documented resident bound.
    const qint64 systemTook = qint64(sentAtStall) * qint64(size + 8) - waiting;
    const qint64 residentBound = 2 * (bound + xr9eth::queuedCost(size)) + systemTook + 4 * xr9eth::kSocketReadChunk;
    const long long peakResident = resident("VmHWM") - residentBefore;
    ASSERT_LT(sentAtStall, count) << "the host was never held back";
    EXPECT_LE(waiting, bound);
    EXPECT_GE(waiting, bound - xr9eth::queuedCost(size)) << "held back only at the bound";
    EXPECT_TRUE(!kResidentMeasured || peakResident <= residentBound) << peakResident;
    QByteArray ping("ping");  // behind the stalled messages in the queue
    ASSERT_EQ(0, eth->SendData(&ping, other));
    sendThread.notify();
    pumpFor(100);
    EXPECT_TRUE(arrives(otherPeer, frame(markerOf(other), "ping"))) << "the other connection is not held up";

    QByteArray refused(int(size), 'r');  // more than the room left
    auto* bytes = reinterpret_cast<KT::uint8*>(refused.data());
    EXPECT_EQ(-1, eth->SendData(&refused, flooded)) << "the owner cannot wait for itself";
    EXPECT_EQ(-407, eth->SendData(bytes, KT::uint32(size), flooded));
    eth->setSendTimeout(100);
    std::atomic<int> late{0};
    Workers timed;
    timed.add([&] { late = eth->SendData(bytes, KT::uint32(size), flooded); });
    EXPECT_TRUE(timed.finish(5000));
    EXPECT_EQ(-407, late.load()) << "at the host's time-out";
    EXPECT_EQ(waiting, eth->bytesWaiting(flooded)) << "nothing refused is queued";
    eth->setSendTimeout(kPhaseMs);

    std::string got;
    for (uint32_t i = 0; i < count; ++i)
        ASSERT_TRUE(peer.receive(size + 8, &got) && got == frame(markerOf(flooded), floodMessage(i, size)))
            << "message " << i;
    EXPECT_TRUE(host.finish());
    EXPECT_FALSE(peer.receive(1, &got, 200)) << "a refused message went out";
    std::printf("[ figures ] SendBound channel=%d reader=none frame=%zu messages=%u sentAtStall=%u waiting=%lld "
                "bound=%lld systemTook=%lld peakResident=%lld residentBound=%lld\n",
                int(flooded), size, count, sentAtStall, static_cast<long long>(waiting), static_cast<long long>(bound),
                static_cast<long long>(systemTook), kResidentMeasured ? peakResident : -1LL,
                static_cast<long long>(residentBound));
    sendThread.stop();
}

INSTANTIATE_TEST_SUITE_P(Channels, EthernetSendBound, ::testing::Values(MSG_TYPE_STREAM, MSG_TYPE_COMMAND),
                         [](const ::testing::TestParamInfo<enMsgType>& info) {
                             return std::string(info.param == MSG_TYPE_STREAM ? "Stream" : "Command");
                         });

// Datagrams have no flow control: past the budget they wait in the kernel,
// one message at a time with a zero budget, until taken or the budget grows.
TEST_F(EthernetBoundedMemory, BroadcastReaderWaitsForTakersAndResumesWhenTheBudgetGrows) {
    eth->setReceiveBudget(0);
    UdpPeer udp;
    const size_t size = 300;
    for (uint32_t i = 0; i < 6; ++i)
        ASSERT_TRUE(udp.sendTo(uint16_t(settings.broadcastPort), frame(0xA2, floodMessage(i, size))));
    QByteArray out;
    ASSERT_TRUE(take(MSG_TYPE_BROADCAST, &out));
    EXPECT_EQ(floodMessage(0, size), out.toStdString());
    ASSERT_TRUE(pumpUntil([&] { return eth->bytesHeld(MSG_TYPE_BROADCAST) >= qint64(size); }));
    pumpFor(50);
    EXPECT_EQ(xr9eth::queuedCost(size), eth->bytesHeld(MSG_TYPE_BROADCAST)) << "one datagram at a time";
    ASSERT_TRUE(take(MSG_TYPE_BROADCAST, &out));
    EXPECT_EQ(floodMessage(1, size), out.toStdString());

    eth->setReceiveBudget(1 << 20);
    EXPECT_TRUE(pumpUntil([&] { return eth->bytesHeld(MSG_TYPE_BROADCAST) >= 4 * xr9eth::queuedCost(size); }))
        << "a larger budget resumes the reader without a take";
    for (uint32_t i = 2; i < 6; ++i) {
        ASSERT_TRUE(take(MSG_TYPE_BROADCAST, &out));
        EXPECT_EQ(floodMessage(i, size), out.toStdString());
    }
}

}  // namespace
