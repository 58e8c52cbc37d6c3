// Host threads and the receive task at once: a receiver blocked in
// ReceiveData, a sender, the task reading, OpenPort and ExitReceiveData from
// other threads. Meant to be run under ThreadSanitizer too (build-tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "CanHarness.h"

namespace {

using namespace cantest;
using std::chrono::milliseconds;
using std::chrono::seconds;

Bytes commandNumber(int i) {
    return pattern(20, static_cast<uint8_t>(i * 7));
}

using CanConcurrency = CanTransportTest;

TEST_F(CanConcurrency, BlockedReceiverAndSenderRunWhileTheTaskReceives) {
    open();
    constexpr int kIncoming = 40;
    constexpr int kOutgoing = 20;

    auto receiver = std::async(std::launch::async, [this] {
        std::vector<Bytes> got;
        for (int i = 0; i < kIncoming; ++i) {
            Bytes buffer(1024);
            KT::uint32 length = 0;
            if (can->ReceiveData(buffer.data(), &length, MSG_TYPE_COMMAND) != 0) break;
            buffer.resize(length);
            if (buffer == Bytes(12, 0)) break;  // released by the guard below
            got.push_back(buffer);
        }
        return got;
    });
    auto sender = std::async(std::launch::async, [this] {
        int failures = 0;
        for (int i = 0; i < kOutgoing; ++i) {
            Bytes message = pattern(20, static_cast<uint8_t>(0x80 + i));
            if (can->SendData(message.data(), 20, MSG_TYPE_STREAM) != 0) ++failures;
        }
        return failures;
    });
    auto drain = std::async(std::launch::async, [this] {
        std::vector<can_frame> frames;
        can_frame f;
        while (frames.size() < kOutgoing * 4 && bus.receive(&f, 5000)) frames.push_back(f);
        return frames;
    });

    for (int i = 0; i < kIncoming; ++i) sendFrames(commandFrames(commandNumber(i)));

    if (receiver.wait_for(seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the receiver did not get every message";
        can->ExitReceiveData();
    }
    const std::vector<Bytes> got = receiver.get();
    ASSERT_EQ(static_cast<size_t>(kIncoming), got.size());
    for (int i = 0; i < kIncoming; ++i) EXPECT_EQ(commandNumber(i), got[i]) << "message " << i;

    ASSERT_EQ(std::future_status::ready, sender.wait_for(seconds(10)));
    EXPECT_EQ(0, sender.get());
    ASSERT_EQ(std::future_status::ready, drain.wait_for(seconds(10)));
    const std::vector<can_frame> frames = drain.get();
    ASSERT_EQ(static_cast<size_t>(kOutgoing * 4), frames.size());
    for (int i = 0; i < kOutgoing; ++i) {
        const std::vector<can_frame> expected =
            messageFrames(kStreamLengthId, kStreamId, pattern(20, static_cast<uint8_t>(0x80 + i)));
        for (size_t k = 0; k < expected.size(); ++k) {
            const can_frame& f = frames[i * 4 + k];
            EXPECT_EQ(expected[k].can_id, f.can_id);
            EXPECT_EQ(frameData(expected[k]), frameData(f));
        }
    }
}

TEST_F(CanConcurrency, ExitReceiveDataFromAnotherThreadReleasesBothChannels) {
    open();
    auto waitOn = [this](enMsgType type) {
        return std::async(std::launch::async, [this, type] {
            Bytes buffer(1024, 0xFF);
            KT::uint32 length = 0;
            const KT::int32 result = can->ReceiveData(buffer.data(), &length, type);
            buffer.resize(result == 0 ? length : 0);
            return buffer;
        });
    };
    auto command = waitOn(MSG_TYPE_COMMAND);
    auto stream = waitOn(MSG_TYPE_STREAM);
    auto releaser = std::async(std::launch::async, [this] { return can->ExitReceiveData(); });
    ASSERT_EQ(std::future_status::ready, releaser.wait_for(seconds(5)));
    EXPECT_EQ(0, releaser.get());
    const bool released = command.wait_for(seconds(5)) == std::future_status::ready &&
                          stream.wait_for(seconds(5)) == std::future_status::ready;
    if (!released) can->ExitReceiveData();
    ASSERT_TRUE(released);
    EXPECT_EQ(Bytes(12, 0), command.get());
    EXPECT_EQ(Bytes(12, 0), stream.get());
}

// OpenPort on an open port stores the identifiers again while the task
// compares received frames with them.
TEST_F(CanConcurrency, OpenPortAgainWhileTheTaskReceives) {
    open();
    std::atomic<bool> stop{false};
    auto reopener = std::async(std::launch::async, [this, &stop] {
        int calls = 0;
        int failures = 0;
        while (!stop.load()) {
            CANPortSetting setting = portSetting();
            if (can->OpenPort(IF_TYPE_CAN, &setting, 0) != 0) ++failures;
            ++calls;
            std::this_thread::sleep_for(milliseconds(1));
        }
        return calls > 0 ? failures : -1;
    });
    constexpr int kMessages = 30;
    for (int i = 0; i < kMessages; ++i) sendFrames(messageFrames(kStreamLengthId, kStreamId, commandNumber(i)));
    for (int i = 0; i < kMessages; ++i) EXPECT_EQ(commandNumber(i), receive(MSG_TYPE_STREAM).bytes) << i;
    stop = true;
    ASSERT_EQ(std::future_status::ready, reopener.wait_for(seconds(5)));
    EXPECT_EQ(0, reopener.get());
}

}  // namespace
