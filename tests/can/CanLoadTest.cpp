// Load and soak of the CAN transport on the user-space bus.
//
// Load: bus-side peers inject command, stream and notice traffic while several
// host threads receive it, and host threads send on every channel at once
// while a bus-side reader takes the frames apart again. Every message carries
// its sender and a counter, so each is checked to arrive exactly once, whole
// and in its sender's order.
//
// The transport's promises these tests lean on: a receive queue holds 256
// messages and a put into a full one drops, so each peer keeps at most a
// window unconsumed; one message at a time goes out per channel, while
// single-frame notices and other channels interleave freely; any number of
// host threads may wait on one queue.
//
// Soak: thousands of handle and port cycles under traffic, then descriptors
// and threads are back to where they started and a fresh port still works.
// Every count goes through xr9test::soakCount; each test prints one
// "[ figures ] ..." line.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CanHarness.h"
#include "KTDEI.h"
#include "access/XR9ALCOMMFactory.h"
#include "access/Xr9AlHandle.h"
#include "can/XR9ALCANWrapper.h"
#include "osal.h"
#include "support/Xr9Log.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

using namespace cantest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Tagged messages: tag byte, sender, 32-bit counter (big-endian), then bytes
// and a length that follow from sender and counter, so a message that lost,
// gained or swapped bytes does not pass.
constexpr uint8_t kTagByte = 0xC5;  // never 0: no message looks like a release item
constexpr size_t kTagSize = 6;

uint32_t mix(uint32_t x) {
    x = (x ^ (x >> 16)) * 0x7feb352dU;
    x = (x ^ (x >> 15)) * 0x846ca68bU;
    return x ^ (x >> 16);
}

Bytes taggedMessage(uint8_t sender, uint32_t counter, size_t maxLength) {
    Bytes m(kTagSize + mix((uint32_t(sender) << 24) ^ counter) % (maxLength - kTagSize + 1));
    m[0] = kTagByte;
    m[1] = sender;
    for (int i = 0; i < 4; ++i) m[2 + i] = uint8_t(counter >> (24 - 8 * i));
    const uint32_t seed = mix(counter * 2654435761U + sender);
    for (size_t i = kTagSize; i < m.size(); ++i) m[i] = uint8_t(seed + i * 131);
    return m;
}

struct Tag {
    bool whole = false;
    uint8_t sender = 0;
    uint32_t counter = 0;
};

// Whole when the bytes are exactly the message that sender and counter give.
Tag readTag(const uint8_t* bytes, size_t size, size_t maxLength) {
    Tag t;
    if (size < kTagSize || bytes[0] != kTagByte) return t;
    t.sender = bytes[1];
    t.counter = uint32_t(bytes[2]) << 24 | uint32_t(bytes[3]) << 16 | uint32_t(bytes[4]) << 8 | bytes[5];
    const Bytes expected = taggedMessage(t.sender, t.counter, maxLength);
    t.whole = expected.size() == size && std::equal(expected.begin(), expected.end(), bytes);
    return t;
}

bool isReleaseItem(const uint8_t* bytes, size_t size) {
    return size == XR9ALCANWrapper::kExitItemSize && std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
}

// A notice carries sender and counter in its 32-bit value.
uint32_t noticeValue(uint8_t sender, uint32_t counter) { return uint32_t(sender) << 24 | (counter & 0xFFFFFF); }
Tag noticeTag(uint32_t v) { return {true, uint8_t(v >> 24), v & 0xFFFFFF}; }

// Per sender how often each counter arrived; per arrival sequence (one
// receiver, or the bus reader) whether a sender's counters only rose.
// Read the counts only after every adding thread has returned.
struct Tally {
    void expect(uint8_t sender, uint32_t count) { seen[sender].assign(count, 0); }
    void add(int sequence, const Tag& t, size_t size) {
        std::lock_guard<std::mutex> g(lock);
        auto it = seen.find(t.sender);
        if (!t.whole || it == seen.end() || t.counter >= it->second.size()) {
            ++malformed;
            return;
        }
        ++it->second[t.counter];
        ++messages;
        bytes += size;
        long long& last = lastCounter.emplace(std::make_pair(sequence, t.sender), -1).first->second;
        misordered += static_cast<long long>(t.counter) <= last;
        last = t.counter;
    }
    long long lost() const { return sum([](int c) { return c == 0; }); }
    long long duplicated() const { return sum([](int c) { return std::max(c - 1, 0); }); }
    long long sum(const std::function<int(int)>& f) const {
        long long n = 0;
        for (const auto& s : seen) for (int c : s.second) n += f(c);
        return n;
    }

    std::mutex lock;
    std::map<uint8_t, std::vector<int>> seen;
    std::map<std::pair<int, uint8_t>, long long> lastCounter;
    long long messages = 0, bytes = 0, misordered = 0, malformed = 0;
};

// Rebuilds what the library wrote from the bus frames: messages on the command
// and stream identifiers, notices on the command length identifier. A frame
// that fits none of these counts as an error.
struct BusDecoder {
    struct Partial {
        bool open = false;
        uint32_t length = 0;
        Bytes bytes;
    };
    static uint32_t word(const Bytes& d) {
        return uint32_t(d[4]) << 24 | uint32_t(d[5]) << 16 | uint32_t(d[6]) << 8 | d[7];
    }
    static bool starts(const Bytes& d, std::initializer_list<uint8_t> head) {
        return d.size() == 8 && std::equal(head.begin(), head.end(), d.begin());
    }
    void feed(const can_frame& f) {
        const Bytes d = frameData(f);
        const bool command = f.can_id == kCommandId || f.can_id == kCommandLengthId;
        Partial& p = command ? command_ : stream_;
        if (f.can_id == kCommandLengthId && starts(d, {0xA1, 0xA1, 0xA1, 0xA1})) {
            notices.push_back(word(d));
        } else if ((f.can_id == kCommandLengthId || f.can_id == kStreamLengthId) && starts(d, {0, 0xA5, 0xA5, 0xA5})) {
            errors += p.open;  // the previous message never completed
            p.length = word(d);
            p.bytes.clear();
            p.open = p.length > 0;
        } else if (f.can_id == kCommandId || f.can_id == kStreamId) {
            const size_t after = p.bytes.size() + d.size();  // every data frame but the last is full
            if (!p.open || d.empty() || after > p.length || (after < p.length && d.size() != CAN_MAX_DLEN)) {
                ++errors;
                p.open = false;
                return;
            }
            p.bytes.insert(p.bytes.end(), d.begin(), d.end());
            if (p.bytes.size() == p.length) {
                messages.push_back({command ? MSG_TYPE_COMMAND : MSG_TYPE_STREAM, p.bytes});
                p.open = false;
            }
        } else {
            ++errors;
        }
    }
    std::vector<std::pair<enMsgType, Bytes>> messages;
    std::vector<uint32_t> notices;
    int errors = 0;
    Partial command_, stream_;
};

void printFigures(const std::string& name, const std::vector<std::pair<std::string, long long>>& figures,
                  int fdsBefore, int fdsAfter, int threadsBefore, int threadsAfter) {
    std::string line = "[ figures ] " + name;
    for (const auto& f : figures) line += " " + f.first + "=" + std::to_string(f.second);
    std::printf("%s fds=%d->%d threads=%d->%d\n", line.c_str(), fdsBefore, fdsAfter, threadsBefore, threadsAfter);
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// Load

using CanLoad = CanTransportTest;
constexpr size_t kLargest = XR9ALCANWrapper::kMessageCapacity;
constexpr size_t kOutgoingLargest = 160;  // the send paces 1 ms a frame
constexpr long long kWindow = 128;        // half of a receive queue

struct Inbound {
    enMsgType channel;
    uint8_t sender;
    std::atomic<long long> taken{0};
};

TEST_F(CanLoad, EveryMessageArrivesOnceWholeAndInOrderWithAllChannelsBusy) {
    KT::uint32 shmQueue = kShmQueue;
    ASSERT_EQ(OS_SUCCESS, osQueueCreate(&shmQueue, "host queue 2", 1, 256));
    drainQueue(kShmQueue);
    open();
    const int fdsBefore = xr9test::openFdCount(), threadsBefore = xr9test::threadCount();
    const KT::uint32 droppedBefore = XR9ALCANWrapper::droppedMessages();
    const auto deadline = Clock::now() + seconds(60);
    const uint32_t perPeer = static_cast<uint32_t>(xr9test::soakCount(4000));
    const uint32_t perSender = static_cast<uint32_t>(xr9test::soakCount(500));
    const uint32_t perNoticeSender = static_cast<uint32_t>(xr9test::soakCount(2000));

    Inbound command{MSG_TYPE_COMMAND, 0x01}, stream{MSG_TYPE_STREAM, 0x02}, notice{MSG_TYPE_SHM, 0x03};
    Inbound* inbound[] = {&command, &stream, &notice};
    const uint8_t commandSender = 0x11, streamSender = 0x12, noticeSenders[] = {0x13, 0x14};
    Tally in, out;
    for (Inbound* ch : inbound) in.expect(ch->sender, perPeer);
    for (uint8_t s : {commandSender, streamSender}) out.expect(s, perSender);
    for (uint8_t s : noticeSenders) out.expect(s, perNoticeSender);

    // Bus-side peers, one per channel; each keeps at most kWindow unconsumed.
    std::atomic<int> peerFailures{0};
    std::vector<std::future<void>> peers;
    for (Inbound* ch : inbound) {
        peers.push_back(std::async(std::launch::async, [&, ch] {
            for (uint32_t n = 0; n < perPeer; ++n) {
                const auto room = [&] { return n - ch->taken.load() < kWindow; };
                const uint32_t v = noticeValue(ch->sender, n);
                const std::vector<can_frame> frames =
                    ch == &notice ? std::vector<can_frame>{makeFrame(kCommandLengthId, {0xA1, 0xA1, 0xA1, 0xA1,
                                                           uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)})}
                    : ch == &command ? commandFrames(taggedMessage(ch->sender, n, kLargest))
                                     : streamFrames(taggedMessage(ch->sender, n, kLargest));
                if (!xr9test::waitFor(room, seconds(10))) return void(++peerFailures);
                for (const can_frame& f : frames) {
                    if (!bus.send(f)) return void(++peerFailures);
                }
            }
        }));
    }

    // Host receivers: per message channel one blocked in ReceiveData and one
    // polling ReceiveDataTimed; one blocked on notices. Each is its own
    // arrival sequence for the order check.
    std::atomic<bool> stopReceivers{false};
    std::vector<std::future<int>> receivers;
    int sequence = 0;
    for (Inbound* ch : inbound) {
        for (bool blocking : {true, false}) {
            if (ch == &notice && !blocking) continue;
            const int seq = sequence++;
            receivers.push_back(std::async(std::launch::async, [&, ch, blocking, seq] {
                Bytes buffer(kLargest);
                for (;;) {
                    KT::uint32 length = 0;
                    const KT::int32 rc = blocking ? can->ReceiveData(buffer.data(), &length, ch->channel)
                                                  : can->ReceiveDataTimed(buffer.data(), &length, 20, ch->channel);
                    if (!blocking && rc == OS_QUEUE_TIMEOUT) {
                        if (stopReceivers.load() || Clock::now() > deadline) return 0;
                        continue;
                    }
                    if (rc != 0) return 1;
                    if (ch == &notice) {
                        XRUpdateMessage r;
                        if (length != sizeof r) return 1;
                        std::memcpy(&r, buffer.data(), sizeof r);
                        if (r.module == 0) return 0;  // the release record below
                        const bool ok = r.module == SHM_MODULE && r.event == kShmNoticeEvent && r.text[0] == '\0';
                        Tag t = noticeTag(static_cast<uint32_t>(r.result));
                        t.whole = ok;
                        in.add(seq, t, length);
                    } else {
                        if (isReleaseItem(buffer.data(), length)) return 0;
                        in.add(seq, readTag(buffer.data(), length, kLargest), length);
                    }
                    ++ch->taken;
                }
            }));
        }
    }

    // Host senders, all at once: command, stream, and two of notices that go
    // out between the frames of command messages on the same identifier.
    std::vector<std::future<int>> senders;
    for (auto channel : {std::make_pair(MSG_TYPE_COMMAND, commandSender), std::make_pair(MSG_TYPE_STREAM, streamSender)}) {
        senders.push_back(std::async(std::launch::async, [&, channel] {
            int failures = 0;
            for (uint32_t n = 0; n < perSender; ++n) {
                Bytes m = taggedMessage(channel.second, n, kOutgoingLargest);
                failures += can->SendData(m.data(), static_cast<KT::uint32>(m.size()), channel.first) != 0;
            }
            return failures;
        }));
    }
    for (uint8_t sender : noticeSenders) {
        senders.push_back(std::async(std::launch::async, [&, sender] {
            int failures = 0;
            for (uint32_t n = 0; n < perNoticeSender; ++n) {
                const uint32_t v = noticeValue(sender, n);  // the caller's word, least significant byte first
                uint8_t word[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
                failures += can->SendData(word, 4, MSG_TYPE_SHM) != 0;
            }
            return failures;
        }));
    }

    // The bus-side reader runs until everything expected came, or the bus is
    // empty once every host sender has returned.
    std::atomic<int> sendersRunning{static_cast<int>(senders.size())};
    const size_t expectedMessages = 2 * perSender, expectedNotices = 2 * perNoticeSender;
    auto reader = std::async(std::launch::async, [&] {
        BusDecoder decoder;
        can_frame f;
        while (decoder.messages.size() < expectedMessages || decoder.notices.size() < expectedNotices) {
            if (bus.receive(&f, 20))
                decoder.feed(f);
            else if (sendersRunning.load() == 0 || Clock::now() > deadline + seconds(15))
                break;
        }
        return decoder;
    });
    int sendFailures = 0;
    for (auto& s : senders) {
        ASSERT_EQ(std::future_status::ready, s.wait_until(deadline + seconds(10)));
        sendFailures += s.get();
        --sendersRunning;
    }
    ASSERT_EQ(std::future_status::ready, reader.wait_until(deadline + seconds(5)));
    const BusDecoder decoded = reader.get();
    for (const auto& m : decoded.messages) {
        Tag t = readTag(m.second.data(), m.second.size(), kOutgoingLargest);
        t.whole = t.whole && m.first == (t.sender == streamSender ? MSG_TYPE_STREAM : MSG_TYPE_COMMAND);
        out.add(0, t, m.second.size());
    }
    for (uint32_t v : decoded.notices) out.add(0, noticeTag(v), 4);

    // Wait until the receivers took everything or took nothing more for a
    // second, then release them: timed ones see the flag, blocked ones each
    // take one release item.
    for (auto& p : peers) ASSERT_EQ(std::future_status::ready, p.wait_until(deadline + seconds(5)));
    const long long expectedIn = 3LL * perPeer;
    auto takenIn = [&] { return command.taken.load() + stream.taken.load() + notice.taken.load(); };
    for (long long before = -1; takenIn() < expectedIn && takenIn() != before && Clock::now() < deadline;) {
        before = takenIn();
        xr9test::waitFor([&] { return takenIn() >= expectedIn; }, milliseconds(1000));
    }
    stopReceivers = true;
    const uint8_t releaseRecord[sizeof(XRUpdateMessage)] = {};
    auto allDone = [&] {
        return std::all_of(receivers.begin(), receivers.end(),
                           [](std::future<int>& r) { return r.wait_for(milliseconds(0)) == std::future_status::ready; });
    };
    for (const auto releaseBy = Clock::now() + seconds(5); !allDone() && Clock::now() < releaseBy;) {
        can->ExitReceiveData();
        osQueuePut(kShmQueue, releaseRecord, sizeof releaseRecord);
        std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_TRUE(allDone()) << "a receiver was not released";
    int receiveFailures = 0;
    for (auto& r : receivers) receiveFailures += r.get();

    // What is left in the queues may only be release items.
    int leftovers = 0;
    for (KT::uint32 queue : {uiCCQueueId, uiFTQueueId, kShmQueue}) {
        Bytes item(kLargest);
        KT::uint32 size = 0;
        while (osQueueGetTimed(queue, item.data(), &size, 0) == OS_SUCCESS) {
            const bool zeros = std::all_of(item.begin(), item.begin() + size, [](uint8_t b) { return b == 0; });
            leftovers += !(queue == kShmQueue ? zeros : isReleaseItem(item.data(), size));
        }
    }
    xr9test::waitFor([&] { return xr9test::threadCount() == threadsBefore; }, milliseconds(5000));
    const int fdsAfter = xr9test::openFdCount(), threadsAfter = xr9test::threadCount();
    printFigures("CanLoad",
                 {{"messagesIn", in.messages}, {"bytesIn", in.bytes}, {"messagesOut", out.messages},
                  {"bytesOut", out.bytes}, {"lost", in.lost() + out.lost()},
                  {"duplicated", in.duplicated() + out.duplicated()}, {"misordered", in.misordered + out.misordered},
                  {"malformed", in.malformed + out.malformed}},
                 fdsBefore, fdsAfter, threadsBefore, threadsAfter);

    EXPECT_EQ(fdsBefore, fdsAfter);
    EXPECT_EQ(threadsBefore, threadsAfter);
    EXPECT_EQ(0, peerFailures.load());
    EXPECT_EQ(0, sendFailures);
    EXPECT_EQ(0, receiveFailures);
    EXPECT_EQ(0, decoded.errors) << "frames the library wrote that fit no message";
    EXPECT_EQ(0, leftovers) << "messages still queued after every expected one was taken";
    EXPECT_EQ(droppedBefore, XR9ALCANWrapper::droppedMessages());
    for (const Tally* t : {&in, &out}) {
        EXPECT_EQ(0, t->lost());
        EXPECT_EQ(0, t->duplicated());
        EXPECT_EQ(0, t->misordered);
        EXPECT_EQ(0, t->malformed);
    }
    EXPECT_EQ(expectedIn, in.messages);
    EXPECT_EQ(static_cast<long long>(expectedMessages + expectedNotices), out.messages);
}

// ---------------------------------------------------------------------------
// Soak

constexpr uint8_t kCycleIn = 0x21, kCycleOut = 0x22, kBackground = 0x23;
constexpr size_t kBackgroundLargest = 64;

// One message of one data frame each way on the command channel of an open
// port. Bounded: a new receive task may sleep an idle second before it reads.
::testing::AssertionResult exchangeOneEachWay(XR9AL* transport, uint32_t counter) {
    canbus::UserSpaceCanBus& bus = canbus::UserSpaceCanBus::instance();
    const Bytes in = taggedMessage(kCycleIn, counter, 8);
    for (const can_frame& f : commandFrames(in)) {
        if (!bus.send(f)) return ::testing::AssertionFailure() << "the bus took no frame in cycle " << counter;
    }
    Bytes got(kLargest), out = taggedMessage(kCycleOut, counter, 8);
    KT::uint32 length = 0;
    const KT::int32 rc = transport->ReceiveDataTimed(got.data(), &length, 3000, MSG_TYPE_COMMAND);
    got.resize(rc == 0 ? length : 0);
    const KT::int32 sent = got == in ? transport->SendData(out.data(), KT::uint32(out.size()), MSG_TYPE_COMMAND) : -1;
    BusDecoder decoder;
    can_frame f;
    for (const auto until = Clock::now() + seconds(3);
         sent == 0 && decoder.messages.empty() && decoder.errors == 0 && Clock::now() < until;) {
        if (bus.receive(&f, 50)) decoder.feed(f);
    }
    if (sent == 0 && decoder.errors == 0 && decoder.messages.size() == 1 &&
        decoder.messages[0] == std::make_pair(MSG_TYPE_COMMAND, out))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "cycle " << counter << ": received " << got.size() << " of " << in.size()
                                         << " bytes (result " << rc << "), SendData gave " << sent << ", the bus read "
                                         << decoder.messages.size() << " messages, " << decoder.errors << " stray frames";
}

// A bus-side peer that keeps sending stream messages (while no port is open
// they go nowhere) and a host thread taking them out through take, which
// waits at most about 10 ms. A message cut by a close is lost, but everything
// that arrives must be whole and in order.
class BackgroundTraffic {
public:
    using Take = std::function<KT::int32(uint8_t* bytes, KT::uint32* length)>;
    explicit BackgroundTraffic(Take take)
        : peer_([this] {
              for (uint32_t n = 0; !stop_.load(); ++n) {
                  for (const can_frame& f : streamFrames(taggedMessage(kBackground, n, kBackgroundLargest))) {
                      if (!canbus::UserSpaceCanBus::instance().send(f)) break;  // no port open
                  }
                  std::this_thread::sleep_for(milliseconds(1));
              }
          }),
          host_([this, take] {
              Bytes buffer(kLargest);
              for (long long last = -1; !stop_.load();) {
                  KT::uint32 length = 0;
                  const KT::int32 rc = take(buffer.data(), &length);
                  if (rc != 0 && rc != OS_QUEUE_TIMEOUT) std::this_thread::sleep_for(milliseconds(1));  // no queue yet
                  if (rc != 0 || isReleaseItem(buffer.data(), length)) continue;
                  const Tag t = readTag(buffer.data(), length, kBackgroundLargest);
                  malformed_ += !t.whole || t.sender != kBackground;
                  misordered_ += t.whole && static_cast<long long>(t.counter) <= last;
                  last = t.whole ? t.counter : last;
                  delivered_ += t.whole;
              }
          }) {}
    ~BackgroundTraffic() { stopAndCheck(); }
    // Stops; what came in was whole and in order. The messages delivered.
    long long stopAndCheck() {
        stop_ = true;
        if (!peer_.joinable()) return delivered_;
        peer_.join();
        host_.join();
        EXPECT_GT(delivered_.load(), 0);
        EXPECT_EQ(0, misordered_.load());
        EXPECT_EQ(0, malformed_.load());
        return delivered_;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long long> delivered_{0}, misordered_{0}, malformed_{0};
    std::thread peer_, host_;
};

// No transport exists when a test starts; the test makes its own through the
// registry. The log is written at the default level, so its lock and
// rotation are part of the soak.
class CanSoak : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(nullptr, pCANhandle);
        dir = std::make_unique<xr9test::TempDir>();
        ASSERT_EQ(0, Xr9Log::CreateLogFile(dir->file("log")));
        Xr9Log::SetLogLevel(6);
        KT::KTDEI::instance()->reset();
        bus.reset();
        drainQueue(uiCCQueueId);
        drainQueue(uiFTQueueId);
        fdsBefore = xr9test::openFdCount();
        threadsBefore = xr9test::threadCount();
        socketsBefore = bus.socketsCreated();
    }
    void TearDown() override {
        if (pCANhandle) Xr9AlCloseHandle(pCANhandle);
        bus.reset();
    }

    // After cycles port openings: each asked the host for the rate and made
    // one socket, the descriptors and threads of the start are all that is
    // left, and a fresh handle still carries a message each way.
    void expectCyclesLeftNothing(const std::string& name, int cycles, long long delivered) {
        EXPECT_EQ(static_cast<unsigned long>(cycles), KT::KTDEI::instance()->callCount());
        EXPECT_EQ(cycles, bus.socketsCreated() - socketsBefore);
        bus.reset();  // closes the bus ends of closed CAN sockets
        xr9test::waitFor([&] { return xr9test::threadCount() == threadsBefore; }, milliseconds(5000));
        const int fdsAfter = xr9test::openFdCount(), threadsAfter = xr9test::threadCount();
        EXPECT_EQ(fdsBefore, fdsAfter);
        EXPECT_EQ(threadsBefore, threadsAfter);
        EXPECT_EQ(0, bus.socketsOpen());
        EXPECT_EQ(-1, canSock);
        XR9AL* handle = Xr9AlGetHandle(IF_TYPE_CAN);
        ASSERT_NE(nullptr, handle);
        CANPortSetting setting = portSetting();
        ASSERT_EQ(0, handle->OpenPort(IF_TYPE_CAN, &setting, 0));
        EXPECT_TRUE(exchangeOneEachWay(handle, static_cast<uint32_t>(cycles)));
        EXPECT_EQ(0, handle->ClosePort());
        EXPECT_EQ(0, Xr9AlCloseHandle(handle));
        printFigures(name, {{"cycles", cycles}, {"backgroundDelivered", delivered}}, fdsBefore, fdsAfter,
                     threadsBefore, threadsAfter);
    }

    canbus::UserSpaceCanBus& bus = canbus::UserSpaceCanBus::instance();
    std::unique_ptr<xr9test::TempDir> dir;
    int fdsBefore = -1, threadsBefore = -1, socketsBefore = 0;
};

TEST_F(CanSoak, HandleCyclesUnderTrafficLeaveNoThreadOrDescriptorBehind) {
    const int cycles = static_cast<int>(xr9test::soakCount(600));
    // The host side reads the stream queue itself, which outlives every transport.
    BackgroundTraffic traffic([](uint8_t* bytes, KT::uint32* length) {
        return osQueueGetTimed(uiFTQueueId, bytes, length, 10);
    });
    for (int i = 0; i < cycles; ++i) {
        XR9AL* handle = Xr9AlGetHandle(IF_TYPE_CAN);
        ASSERT_NE(nullptr, handle);
        ASSERT_EQ(handle, pCANhandle);
        CANPortSetting setting = portSetting();
        ASSERT_EQ(0, handle->OpenPort(IF_TYPE_CAN, &setting, static_cast<KT::uint32>(i % 4))) << "cycle " << i;
        ASSERT_TRUE(exchangeOneEachWay(handle, static_cast<uint32_t>(i)));
        ASSERT_EQ(0, handle->ClosePort());
        ASSERT_EQ(0, Xr9AlCloseHandle(handle));
        ASSERT_EQ(nullptr, pCANhandle);
        // A handle that never opens: its idle receive task must still stop on close.
        ASSERT_EQ(0, Xr9AlCloseHandle(Xr9AlGetHandle(IF_TYPE_CAN)));
    }
    expectCyclesLeftNothing("CanSoakHandles", cycles, traffic.stopAndCheck());
}

TEST_F(CanSoak, PortCyclesOnOneTransportUnderTrafficLeaveNoThreadOrDescriptorBehind) {
    const int cycles = static_cast<int>(xr9test::soakCount(1500));
    XR9AL* handle = Xr9AlGetHandle(IF_TYPE_CAN);
    ASSERT_NE(nullptr, handle);
    // A host thread keeps receiving on the stream channel through the
    // transport while this one opens and closes its port.
    BackgroundTraffic traffic([handle](uint8_t* bytes, KT::uint32* length) {
        return handle->ReceiveDataTimed(bytes, length, 10, MSG_TYPE_STREAM);
    });
    for (int i = 0; i < cycles; ++i) {
        CANPortSetting setting = portSetting();
        ASSERT_EQ(0, handle->OpenPort(IF_TYPE_CAN, &setting, static_cast<KT::uint32>(i % 4))) << "cycle " << i;
        ASSERT_TRUE(exchangeOneEachWay(handle, static_cast<uint32_t>(i)));
        ASSERT_EQ(0, handle->ClosePort());
    }
    const long long delivered = traffic.stopAndCheck();
    EXPECT_EQ(0, Xr9AlCloseHandle(handle));
    expectCyclesLeftNothing("CanSoakPorts", cycles, delivered);
}

}  // namespace
