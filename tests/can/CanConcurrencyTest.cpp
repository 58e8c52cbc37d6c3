// Host threads and the receive task at once: ExitReceiveData and OpenPort
// from other threads while receivers wait or the task reads. Meant to be run
// under ThreadSanitizer too (build-tsan).
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
