// Load and soak of the CAN transport on the user-space bus. Every message
// carries its sender and a counter, so each is checked to arrive exactly once,
// whole and in its sender's order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "CanHarness.h"
#include "access/XR9ALCOMMFactory.h"
#include "access/Xr9AlHandle.h"
#include "can/XR9ALCANWrapper.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

using namespace cantest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
constexpr auto kReady = std::future_status::ready;

// Tag byte, sender, counter (big-endian), then bytes and a length that follow from sender and counter.
constexpr uint8_t kTagByte = 0xC5;  // never 0: no message looks like a release item
constexpr size_t kTagSize = 6;

uint32_t mix(uint32_t x) { return (x * 0x9E3779B1u) ^ (x * 0x9E3779B1u >> 15); }

Bytes tagged(Bytes m, uint8_t sender, uint32_t counter) {
    m[0] = kTagByte, m[1] = sender;
    for (int i = 0; i < 4; ++i) m[2 + i] = uint8_t(counter >> (24 - 8 * i));
    return m;
}

Bytes taggedMessage(uint8_t sender, uint32_t counter, size_t maxLength) {
    return tagged(pattern(kTagSize + mix(uint32_t(sender) << 24 ^ counter) % (maxLength - kTagSize + 1),
                          uint8_t(mix(counter * 2654435761U + sender))),
                  sender, counter);
}

struct Tag { bool whole = false; uint8_t sender = 0; uint32_t counter = 0; };

uint32_t word(const uint8_t* b) { return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]; }

// Whole when the bytes are exactly the message that sender and counter give.
Tag readTag(const uint8_t* bytes, size_t size, size_t maxLength) {
    if (size < kTagSize || bytes[0] != kTagByte) return Tag();
    const Tag t{true, bytes[1], word(bytes + 2)};
    const Bytes expected = taggedMessage(t.sender, t.counter, maxLength);
    return {expected.size() == size && std::equal(expected.begin(), expected.end(), bytes), t.sender, t.counter};
}

bool isReleaseItem(const uint8_t* b, size_t n) {
    return n == XR9ALCANWrapper::kExitItemSize && std::all_of(b, b + n, [](uint8_t x) { return !x; });
}

// A notice carries sender and counter in its 32-bit value.
uint32_t noticeValue(uint8_t sender, uint32_t counter) { return uint32_t(sender) << 24 | (counter & 0xFFFFFF); }
Tag noticeTag(uint32_t v, bool whole = true) { return {whole, uint8_t(v >> 24), v & 0xFFFFFF}; }

// What a bus-side peer sends as its message n: a tagged message or a notice.
std::vector<can_frame> peerFrames(enMsgType channel, uint8_t sender, uint32_t n, size_t maxLength) {
    const uint32_t v = noticeValue(sender, n);
    const Bytes notice{0xA1, 0xA1, 0xA1, 0xA1, uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    if (channel == MSG_TYPE_SHM) return {makeFrame(kCommandLengthId, notice)};
    const Bytes m = taggedMessage(sender, n, maxLength);
    return channel == MSG_TYPE_COMMAND ? commandFrames(m) : streamFrames(m);
}

// Arrivals per sender and counter; per arrival sequence, whether a sender's counters only rose.
struct Tally {
    void add(int sequence, const Tag& t) {
        std::lock_guard<std::mutex> g(lock);
        auto it = seen.find(t.sender);
        if (!t.whole || it == seen.end() || t.counter >= it->second.size()) return void(++malformed);
        ++it->second[t.counter], ++messages;
        long long& last = lastCounter.emplace(std::make_pair(sequence, t.sender), -1).first->second;
        misordered += static_cast<long long>(t.counter) <= last;
        last = t.counter;
    }
    // Expected messages that never came or, with extra, arrivals beyond the first.
    long long missing(bool extra = false) const {
        long long n = 0;
        for (const auto& s : seen) for (int c : s.second) n += extra ? std::max(c - 1, 0) : c == 0;
        return n;
    }
    // Every expected message came once, whole and in order (lost is ignored when lossy).
    void expectClean(bool lossy = false) const {
        EXPECT_EQ(0, lossy ? 0 : missing()) << "lost";
        EXPECT_EQ(0, missing(true) + misordered + malformed) << "duplicated, misordered or malformed";
    }

    std::mutex lock;
    std::map<uint8_t, std::vector<int>> seen;  // sender -> arrivals per counter
    std::map<std::pair<int, uint8_t>, long long> lastCounter;
    long long messages = 0, misordered = 0, malformed = 0;
};

// Descriptors are back to before and no thread is left behind; prints the "[ figures ] ..." line.
void expectBaselineAndPrint(const std::string& name, const std::vector<std::pair<std::string, long long>>& figures,
                            int fdsBefore, int threadsBefore) {
    xr9test::waitFor([&] { return xr9test::threadCount() <= threadsBefore; }, milliseconds(5000));
    const int fdsAfter = xr9test::openFdCount(), threadsAfter = xr9test::threadCount();
    EXPECT_EQ(fdsBefore, fdsAfter);
    EXPECT_LE(threadsAfter, threadsBefore);
    std::string line = "[ figures ] " + name;
    for (const auto& f : figures) line += " " + f.first + "=" + std::to_string(f.second);
    std::printf("%s fds=%d->%d threads=%d->%d\n", line.c_str(), fdsBefore, fdsAfter, threadsBefore, threadsAfter);
    std::fflush(stdout);
}

// Load: bus-side peers and host senders on every channel at once, in both directions.

using CanLoad = CanTransportTest;
constexpr size_t kLargest = XR9ALCANWrapper::kMessageCapacity;
constexpr size_t kOutgoingLargest = 160;  // the send paces 1 ms a frame
constexpr long long kWindow = 128;        // half of a receive queue, which drops when full

// One sender on one channel (the sender's low nibble); taken: what the host took out.
struct Traffic { enMsgType channel; uint8_t sender; uint32_t count; std::atomic<long long> taken{0}; };

TEST_F(CanLoad, EveryMessageArrivesOnceWholeAndInOrderWithAllChannelsBusy) {
    open();
    const int fdsBefore = xr9test::openFdCount(), threadsBefore = xr9test::threadBaseline();
    const auto deadline = Clock::now() + seconds(60);
    const auto perPeer = uint32_t(xr9test::soakCount(4000)), perSender = uint32_t(xr9test::soakCount(500)),
               perNotice = uint32_t(xr9test::soakCount(2000));
    Traffic inbound[] = {{MSG_TYPE_COMMAND, 0x01, perPeer}, {MSG_TYPE_STREAM, 0x02, perPeer},
                         {MSG_TYPE_SHM, 0x03, perPeer}};
    Traffic outbound[] = {{MSG_TYPE_COMMAND, 0x11, perSender}, {MSG_TYPE_STREAM, 0x12, perSender},
                          {MSG_TYPE_SHM, 0x13, perNotice}, {MSG_TYPE_SHM, 0x23, perNotice}};
    Tally in, out;  // out: the notices
    for (Traffic& t : inbound) in.seen[t.sender].assign(t.count, 0);
    for (Traffic& t : outbound) out.seen[t.sender].assign(t.channel == MSG_TYPE_SHM ? t.count : 0, 0);
    // The frames the library must write per channel: the harness's framing of the messages sent.
    std::vector<can_frame> wanted[2], written[2];  // command, stream
    for (uint32_t n = 0; n < perSender; ++n) {
        for (int c = 0; c < 2; ++c) {
            const Bytes m = taggedMessage(outbound[c].sender, n, kOutgoingLargest);
            for (const can_frame& f : c == 0 ? commandFrames(m) : streamFrames(m)) wanted[c].push_back(f);
        }
    }
    std::vector<std::future<int>> peers, receivers, senders;
    for (Traffic* ch = inbound; ch != std::end(inbound); ++ch) {
        // The bus-side peer keeps at most kWindow messages unconsumed.
        peers.push_back(std::async(std::launch::async, [&, ch] {
            for (uint32_t n = 0; n < ch->count; ++n) {
                if (!xr9test::waitFor([&] { return n - ch->taken.load() < kWindow; }, seconds(10))) return 1;
                for (const can_frame& f : peerFrames(ch->channel, ch->sender, n, kLargest)) {
                    if (!bus.send(f)) return 1;
                }
            }
            return 0;
        }));
        // Host receivers blocked in ReceiveData, two per message queue; each its own sequence.
        for (int k = ch->channel == MSG_TYPE_SHM ? 1 : 0; k < 2; ++k) {
            receivers.push_back(std::async(std::launch::async, [&, ch, seq = int(receivers.size())] {
                for (Bytes buffer(kLargest);; ++ch->taken) {
                    KT::uint32 length = 0;
                    if (can->ReceiveData(buffer.data(), &length, ch->channel) != 0) return 1;
                    if (ch->channel != MSG_TYPE_SHM) {
                        if (isReleaseItem(buffer.data(), length)) return 0;
                        in.add(seq, readTag(buffer.data(), length, kLargest));
                        continue;
                    }
                    XRUpdateMessage r;
                    if (length != sizeof r) return 1;
                    std::memcpy(&r, buffer.data(), sizeof r);
                    if (r.module == 0) return 0;  // the release record below
                    const bool whole = r.module == SHM_MODULE && r.event == kShmNoticeEvent && r.text[0] == '\0';
                    in.add(seq, noticeTag(uint32_t(r.result), whole));
                }
            }));
        }
    }
    // Host senders, all at once; notices go out between the frames of command messages.
    for (Traffic* o = outbound; o != std::end(outbound); ++o) {
        senders.push_back(std::async(std::launch::async, [&, o] {
            int failures = 0;
            for (uint32_t n = 0; n < o->count; ++n) {
                const uint32_t v = noticeValue(o->sender, n);  // the caller's word, least significant byte first
                Bytes m{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
                if (o->channel != MSG_TYPE_SHM) m = taggedMessage(o->sender, n, kOutgoingLargest);
                failures += can->SendData(m.data(), KT::uint32(m.size()), o->channel) != 0;
            }
            return failures;
        }));
    }
    // The bus-side reader: until all came, or the bus is empty after the senders returned.
    std::atomic<size_t> sendersRunning{senders.size()};
    const size_t expectedOut = wanted[0].size() + wanted[1].size() + 2 * perNotice;
    auto reader = std::async(std::launch::async, [&] {
        std::vector<can_frame> frames;
        for (can_frame f; frames.size() < expectedOut;) {
            if (bus.receive(&f, 20))
                frames.push_back(f);
            else if (sendersRunning.load() == 0 || Clock::now() > deadline + seconds(15))
                break;
        }
        return frames;
    });
    int sendFailures = 0, peerFailures = 0, receiveFailures = 0;
    for (auto& s : senders) sendFailures += s.wait_until(deadline) == kReady ? s.get() : 1, --sendersRunning;
    ASSERT_EQ(kReady, reader.wait_until(deadline + seconds(5)));
    for (const can_frame& f : reader.get()) {  // notices apart, each channel's frames in order
        const Bytes d = frameData(f);
        if (f.can_id == kCommandLengthId && d.size() == 8 && d[0] == 0xA1 && d[1] == 0xA1 && d[2] == 0xA1 &&
            d[3] == 0xA1)
            out.add(0, noticeTag(word(d.data() + 4)));
        else
            written[f.can_id == kStreamLengthId || f.can_id == kStreamId].push_back(f);
    }

    // When the receivers took everything (or 10 s passed) each takes a release item.
    for (auto& p : peers) peerFailures += p.wait_until(deadline + seconds(5)) == kReady ? p.get() : 1;
    const long long expectedIn = 3LL * perPeer;
    auto takenIn = [&] { return inbound[0].taken.load() + inbound[1].taken.load() + inbound[2].taken.load(); };
    xr9test::waitFor([&] { return takenIn() >= expectedIn; }, seconds(10));
    const uint8_t releaseRecord[sizeof(XRUpdateMessage)] = {};
    for (auto& r : receivers) {  // at most 5 s each
        for (int i = 0; i < 1000 && r.wait_for(milliseconds(5)) != kReady; ++i)
            can->ExitReceiveData(), osQueuePut(kShmQueue, releaseRecord, sizeof releaseRecord);
        ASSERT_EQ(kReady, r.wait_for(milliseconds(0))) << "a receiver was not released";
        receiveFailures += r.get();
    }
    const long long framesOut = written[0].size() + written[1].size();
    expectBaselineAndPrint("CanLoad", {{"messagesIn", in.messages}, {"framesOut", framesOut},
                                       {"noticesOut", out.messages}}, fdsBefore, threadsBefore);
    EXPECT_EQ(0, peerFailures + sendFailures + receiveFailures)
        << peerFailures << " peers, " << sendFailures << " sends, " << receiveFailures << " receives failed";
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(wanted[c].size(), sameFrames(wanted[c], written[c])) << "channel " << c << ": frames as sent";
        EXPECT_EQ(wanted[c].size(), written[c].size()) << "channel " << c << ": no frame more";
    }
    in.expectClean();  // hence every expected message, each once
    out.expectClean();
}

// Overflow: what the kernel drops never makes a message of pieces of two.

// Message n of a burst: 40 bytes (five full data frames), tagged with n.
Bytes burstMessage(uint32_t n) { return tagged(pattern(40, uint8_t(mix(n))), 0x31, n); }

// Unpaced bursts of 1000 frames at the port: its own receive queue loses nothing; cut to a few
// dozen frames, the kernel drops many, and every message delivered is still one that was sent.
TEST_F(CanLoad, UnpacedBurstsNeverDeliverAMessageGatheredFromTwo) {
    // A burst after the first carries the drop count of the one before.
    const uint32_t bursts = uint32_t(std::max(2LL, xr9test::soakCount(4))), perBurst = 1000 / 6;  // 6 frames a message
    for (const bool cut : {false, true}) {
        open();
        if (cut) bus.dropWhenFull(16384);  // about 40 frames
        const KT::uint32 droppedBefore = XR9ALCANWrapper::droppedMessages();
        long long whole = 0, corrupted = 0;
        for (uint32_t b = 0; b < bursts; ++b) {
            for (uint32_t n = b * perBurst; n < (b + 1) * perBurst; ++n) sendFrames(streamFrames(burstMessage(n)));
            // Until the whole burst came, or nothing more for two seconds.
            Bytes got(kLargest);
            for (KT::uint32 length = 0; whole + corrupted < (b + 1) * perBurst &&
                                        can->ReceiveDataTimed(got.data(), &length, 2000, MSG_TYPE_STREAM) == 0;) {
                const uint32_t n = length >= kTagSize ? word(got.data() + 2) : 0;
                const bool ok = n < bursts * perBurst && Bytes(got.begin(), got.begin() + length) == burstMessage(n);
                (ok ? whole : corrupted) += 1;
            }
        }
        const long long sent = bursts * perBurst, dropped = sent - whole - corrupted;
        const long long counted = XR9ALCANWrapper::droppedMessages() - droppedBefore;
        std::printf("[ figures ] CanBursts bus=%s queue=%s sent=%lld whole=%lld dropped=%lld corrupted=%lld "
                    "countedDropped=%lld\n",
                    bus.kernel() ? "kernel" : "user", cut ? "cut" : "own", sent, whole, dropped, corrupted, counted);
        EXPECT_EQ(0, corrupted) << (cut ? "cut queue" : "own queue");
        if (cut) {
            EXPECT_GT(dropped, 0) << "the cut queue overflowed";
            // A gap that falls between two messages leaves nothing half gathered to give up, so
            // how many are counted depends on where the task was when the queue filled (below).
            EXPECT_LE(counted, dropped) << "the task counts only messages that never arrived";
        } else {
            EXPECT_EQ(0, dropped) << "the port's own queue holds a burst";
        }
        ASSERT_EQ(0, can->ClosePort());
    }
    // The task held off a cut queue: a message's head, a gap, then another's data frames and a
    // whole message queue up behind, to be read together; the gap must end the head's message.
    open();
    bus.dropWhenFull(16384);
    const KT::uint32 droppedBefore = XR9ALCANWrapper::droppedMessages();
    osMutSemTake(mutexCAN);  // the task waits for it before its next read
    sendFrames(streamFrames(pattern(kLargest, 1)));  // more than the cut queue holds
    bus.dropWhenFull(1 << 20);
    const std::vector<can_frame> other = streamFrames(pattern(kLargest, 2));
    sendFrames(std::vector<can_frame>(other.begin() + 1, other.end()));
    sendFrames(streamFrames(pattern(kLargest, 3)));
    osMutSemGive(mutexCAN);
    EXPECT_EQ(pattern(kLargest, 3), receive(MSG_TYPE_STREAM)) << "the first message delivered";
    EXPECT_EQ(droppedBefore + 1, XR9ALCANWrapper::droppedMessages()) << "the cut message, counted once";
}

// With the task held off the socket, one second of a saturated 1 Mbit/s bus waits in the queue
// and arrives whole once the task reads again.
TEST_F(CanLoad, ReceiveQueueHoldsOneSecondOfASaturatedBus) {
    if (!xr9test::isRoot()) GTEST_SKIP() << "a queue past net.core.rmem_max needs CAP_NET_ADMIN";
    open();
    const std::vector<can_frame> one = streamFrames(pattern(kLargest, 7));
    const int messages = (XR9ALCANWrapper::kBusFramesPerSecond + int(one.size()) - 1) / int(one.size());
    osMutSemTake(mutexCAN);  // the task waits for it before its next read
    auto sender = std::async(std::launch::async, [&] {
        for (int i = 0; i < messages; ++i) {
            for (const can_frame& f : streamFrames(pattern(kLargest, uint8_t(i)))) {
                if (!bus.send(f)) return false;
            }
        }
        return true;
    });
    const bool allQueued = sender.wait_for(seconds(120)) == kReady;
    osMutSemGive(mutexCAN);
    ASSERT_TRUE(allQueued) << "the bus could not hand over one second of frames";
    EXPECT_TRUE(sender.get());
    int whole = 0;
    for (int i = 0; i < messages; ++i) whole += receive(MSG_TYPE_STREAM) == pattern(kLargest, uint8_t(i));
    EXPECT_EQ(messages, whole) << "of " << messages * one.size() << " frames";
}

// Soak: thousands of handle or port cycles under traffic leave nothing behind.

constexpr uint8_t kCycleIn = 0x21, kCycleOut = 0x22, kBackground = 0x23;
constexpr size_t kBackgroundLargest = 64;

// One short command each way; 3 s bounds: a new receive task may sleep an idle second first.
::testing::AssertionResult exchangeOneEachWay(XR9AL* transport, uint32_t counter) {
    canbus::UserSpaceCanBus& bus = canbus::UserSpaceCanBus::instance();
    Bytes in = taggedMessage(kCycleIn, counter, 8), out = taggedMessage(kCycleOut, counter, 8), got(kLargest);
    bool taken = true;
    for (const can_frame& f : commandFrames(in)) taken = taken && bus.send(f);
    KT::uint32 length = 0;
    const KT::int32 rc = taken ? transport->ReceiveDataTimed(got.data(), &length, 3000, MSG_TYPE_COMMAND) : -1;
    got.resize(rc == 0 ? length : 0);
    const KT::int32 sent = got == in ? transport->SendData(out.data(), KT::uint32(out.size()), MSG_TYPE_COMMAND) : -1;
    const std::vector<can_frame> wanted = commandFrames(out);  // the harness's framing
    std::vector<can_frame> written;
    for (can_frame f; sent == 0 && written.size() < wanted.size() && bus.receive(&f, 3000);) written.push_back(f);
    const size_t right = sameFrames(wanted, written);
    return ::testing::AssertionResult(right == wanted.size()) << "cycle " << counter << ": injected " << taken
                                                               << ", receive " << rc << ", send " << sent << ", "
                                                               << right << " frames right";
}

// Stream messages from a bus-side peer, taken through kept or (null) from the queue, which
// outlives every transport. A close may cut one; what arrives is whole, once and in order.
struct BackgroundTraffic {
    explicit BackgroundTraffic(XR9AL* kept) {
        const uint32_t count = 1u << 20;  // far more than a test lasts at one a millisecond
        tally.seen[kBackground].assign(count, 0);
        peer = std::thread([this, count] {
            for (uint32_t n = 0; n < count && !stop.load(); ++n) {
                for (const can_frame& f : streamFrames(taggedMessage(kBackground, n, kBackgroundLargest))) {
                    if (!canbus::UserSpaceCanBus::instance().send(f)) break;  // no port open
                }
                std::this_thread::sleep_for(milliseconds(1));
            }
        });
        host = std::thread([this, kept] {
            for (Bytes buffer(kLargest); !stop.load();) {
                KT::uint32 length = 0;
                const KT::int32 rc = kept ? kept->ReceiveDataTimed(buffer.data(), &length, 10, MSG_TYPE_STREAM)
                                          : osQueueGetTimed(uiFTQueueId, buffer.data(), &length, 10);
                if (rc != 0 && rc != OS_QUEUE_TIMEOUT) std::this_thread::sleep_for(milliseconds(1));  // no queue yet
                if (rc == 0 && !isReleaseItem(buffer.data(), length))
                    tally.add(0, readTag(buffer.data(), length, kBackgroundLargest));
            }
        });
    }
    ~BackgroundTraffic() { stopAndCheck(); }
    long long stopAndCheck() {  // the messages delivered
        stop = true;
        if (!peer.joinable()) return tally.messages;
        peer.join();
        host.join();
        EXPECT_GT(tally.messages, 0);
        tally.expectClean(true);
        return tally.messages;
    }
    std::atomic<bool> stop{false};
    Tally tally;
    std::thread peer, host;
};

// True: a new handle every cycle; false: port cycles on one handle. The log soaks too.
class CanSoak : public CanTransportTest, public ::testing::WithParamInterface<bool> {
protected:
    void TearDown() override {
        if (pCANhandle) Xr9AlCloseHandle(pCANhandle);
        CanTransportTest::TearDown();
    }
};

TEST_P(CanSoak, CyclesUnderTrafficLeaveNoThreadOrDescriptorBehind) {
    const bool handles = GetParam();
    can.reset();  // the test makes its transports through the registry
    ASSERT_EQ(nullptr, pCANhandle);
    const int fdsBefore = xr9test::openFdCount(), threadsBefore = xr9test::threadBaseline();
    const int socketsBefore = bus.socketsCreated(), cycles = int(xr9test::soakCount(handles ? 600 : 1500));
    XR9AL* kept = handles ? nullptr : Xr9AlGetHandle(IF_TYPE_CAN);
    BackgroundTraffic traffic(kept);
    for (int i = 0; i < cycles; ++i) {
        XR9AL* handle = handles ? Xr9AlGetHandle(IF_TYPE_CAN) : kept;
        ASSERT_NE(nullptr, handle);
        ASSERT_EQ(handle, pCANhandle);
        ASSERT_EQ(handle, Xr9AlGetHandle(IF_TYPE_CAN)) << "one transport per type";
        CANPortSetting setting = portSetting();
        ASSERT_EQ(0, handle->OpenPort(IF_TYPE_CAN, &setting, KT::uint32(i % 4))) << "cycle " << i;
        ASSERT_TRUE(exchangeOneEachWay(handle, uint32_t(i)));
        ASSERT_EQ(0, handle->ClosePort());
        if (!handles) continue;
        ASSERT_EQ(0, Xr9AlCloseHandle(handle));
        ASSERT_EQ(nullptr, pCANhandle);
        ASSERT_EQ(0, Xr9AlCloseHandle(Xr9AlGetHandle(IF_TYPE_CAN)));  // never opened: its idle task stops too
    }
    const long long delivered = traffic.stopAndCheck();
    EXPECT_EQ(0, kept ? Xr9AlCloseHandle(kept) : 0);
    // Each opening asked the host for the rate and made one socket; nothing is left.
    EXPECT_EQ(static_cast<unsigned long>(cycles), KT::KTDEI::instance()->callCount());
    EXPECT_EQ(cycles, bus.socketsCreated() - socketsBefore);
    bus.reset();  // closes the bus ends of closed CAN sockets
    EXPECT_EQ(0, bus.socketsOpen());
    EXPECT_EQ(-1, canSock);
    expectBaselineAndPrint(handles ? "CanSoakHandles" : "CanSoakPorts",
                           {{"cycles", cycles}, {"backgroundDelivered", delivered}}, fdsBefore, threadsBefore);
    // A fresh port still carries a message each way.
    XR9AL* fresh = Xr9AlGetHandle(IF_TYPE_CAN);
    CANPortSetting setting = portSetting();
    ASSERT_TRUE(fresh && fresh->OpenPort(IF_TYPE_CAN, &setting, 0) == 0);
    EXPECT_TRUE(exchangeOneEachWay(fresh, uint32_t(cycles)));
    EXPECT_EQ(0, fresh->ClosePort());
    EXPECT_EQ(0, Xr9AlCloseHandle(fresh));
}

INSTANTIATE_TEST_SUITE_P(HandlesAndPorts, CanSoak, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Handles" : "Ports"; });

}  // namespace
