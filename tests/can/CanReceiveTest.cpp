// The receive task against frames on the bus: whole, interleaved, restarted,
// foreign and oversize messages, shared-memory notices, socket failures, and
// the receive operations with ExitReceiveData.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <ostream>
#include <string>

#include "CanHarness.h"
#include "osal.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

using namespace cantest;

const std::string kTaskFn = "  void ReadDataFunc()  ";

using CanReceive = CanTransportTest;

TEST_F(CanReceive, WholeCommandMessageIsOneQueueItem) {
    open();
    const Bytes message = pattern(20, 0x61);
    sendFrames(commandFrames(message));
    const Received got = receiveBlocking(can.get(), MSG_TYPE_COMMAND);
    EXPECT_EQ(0, got.result);
    EXPECT_EQ(message, got.bytes);
    EXPECT_TRUE(waitForLog(kTaskFn + "CAN RX THREAD: COMMAND received\n"));  // logged after the put
    EXPECT_TRUE(logHas(kTaskFn + "uiCommandMsgLength = 14\n"));
    EXPECT_TRUE(logHas("KT::int32 XR9ALCAN::ReceiveData(KT::uint8*, KT::uint32*, enMsgType)  function return value = 0\n"));
}

TEST_F(CanReceive, StreamMessagesOfEverySizeUpToTheBufferArriveWhole) {
    open();
    const std::vector<size_t> sizes = {1, 7, 8, 9, 16, 300, 1023, 1024};
    for (size_t n : sizes) sendFrames(streamFrames(pattern(n, static_cast<uint8_t>(n))));
    for (size_t n : sizes) {
        EXPECT_EQ(pattern(n, static_cast<uint8_t>(n)), receive(MSG_TYPE_STREAM).bytes) << n;
    }
    EXPECT_TRUE(logHas(kTaskFn + "STREAM_LENGTH uiStreamMsgLength  = 1024\n"));
    EXPECT_TRUE(waitForLog(kTaskFn + "STREAM osQueuePut nRetVal = 0\n"));
}

TEST_F(CanReceive, InterleavedChannelsArriveWholeInTheirOwnQueues) {
    open();
    const Bytes command = pattern(20, 0x10);
    const Bytes stream = pattern(30, 0x80);
    const std::vector<can_frame> c = commandFrames(command);
    const std::vector<can_frame> s = streamFrames(stream);
    for (size_t i = 0; i < std::max(c.size(), s.size()); ++i) {
        if (i < s.size()) {
            ASSERT_TRUE(bus.send(s[i]));
        }
        if (i < c.size()) {
            ASSERT_TRUE(bus.send(c[i]));
        }
    }
    EXPECT_EQ(command, receive(MSG_TYPE_COMMAND).bytes);
    EXPECT_EQ(stream, receive(MSG_TYPE_STREAM).bytes);
}

TEST_F(CanReceive, SecondLengthFrameRestartsTheMessage) {
    open();
    std::vector<can_frame> frames = {lengthFrame(kCommandLengthId, 20), makeFrame(kCommandId, pattern(8, 0xEE))};
    const Bytes second = pattern(16, 0x20);
    for (const can_frame& f : commandFrames(second)) frames.push_back(f);
    sendFrames(frames);
    EXPECT_EQ(second, receive(MSG_TYPE_COMMAND).bytes);
}

TEST_F(CanReceive, ForeignIdentifiersAndShortRecordsAreIgnoredInEitherMode) {
    open();
    const Bytes message = pattern(20, 0x33);
    const std::vector<can_frame> mine = commandFrames(message);
    const std::vector<can_frame> foreign = {lengthFrame(0x124, 4), makeFrame(0x7FF, {1, 2, 3}),
                                            lengthFrame(kCommandLengthId | kEff, 2),
                                            makeFrame(kCommandId | 0x40000000u, {9})};
    for (size_t i = 0; i < mine.size(); ++i) {
        ASSERT_TRUE(bus.send(mine[i]));
        ASSERT_TRUE(bus.send(foreign[i]));
        ASSERT_TRUE(bus.sendRaw(&mine[i], 8)) << "a read of other than 16 bytes";
    }
    EXPECT_EQ(message, receive(MSG_TYPE_COMMAND).bytes);

    // Extended mode: the right 29-bit numbers without bit 31 are foreign too.
    CANPortSetting extended = portSetting(CAN_MODE_EXTENDED);
    ASSERT_EQ(0, can->OpenPort(IF_TYPE_CAN, &extended, 0));
    sendFrames(commandFrames(pattern(12, 0x70)));
    const Bytes flagged = pattern(12, 0x90);
    sendFrames(messageFrames(kCommandLengthId | kEff, kCommandId | kEff, flagged));
    EXPECT_EQ(flagged, receive(MSG_TYPE_COMMAND).bytes);
}

struct DropCase {
    const char* name;
    int channel;
    std::vector<can_frame> frames;
    std::string why;
};

std::ostream& operator<<(std::ostream& os, const DropCase& c) {
    return os << c.name;
}

std::vector<can_frame> announcedThenData(KT::uint32 lengthId, KT::uint32 dataId, KT::uint32 announced, int frames) {
    std::vector<can_frame> v{lengthFrame(lengthId, announced)};
    for (int i = 0; i < frames; ++i) v.push_back(makeFrame(dataId, pattern(8, static_cast<uint8_t>(i))));
    return v;
}

class CanReceiveDrop : public CanTransportTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(CanReceiveDrop, BytesBeyondTheBufferDropTheMessageAndTheNextOneArrives) {
    const DropCase& c = GetParam();
    open();
    const KT::uint32 before = XR9ALCANWrapper::droppedMessages();
    sendFrames(c.frames);
    const Bytes next = pattern(20, 0x42);
    const bool command = c.channel == MSG_TYPE_COMMAND;
    sendFrames(command ? commandFrames(next) : streamFrames(next));
    EXPECT_EQ(next, receive(static_cast<enMsgType>(c.channel)).bytes);
    EXPECT_EQ(before + 1, XR9ALCANWrapper::droppedMessages());
    EXPECT_EQ(before + 1, uiCANRxDroppedMsgs);
    EXPECT_TRUE(logHas(kTaskFn + "CAN RX THREAD: " + (command ? "COMMAND" : "STREAM") + " message dropped: " + c.why +
                       "\n"))
        << logText();
}

INSTANTIATE_TEST_SUITE_P(
    Overflow, CanReceiveDrop,
    ::testing::Values(
        DropCase{"CommandAnnouncedTooLong", MSG_TYPE_COMMAND,
                 announcedThenData(kCommandLengthId, kCommandId, 1500, 188), "1500 bytes announced, 1024 fit"},
        // Length zero delivers nothing: the data frame after it has no message to join.
        DropCase{"StreamDataAfterLengthZero", MSG_TYPE_STREAM,
                 {lengthFrame(kStreamLengthId, 0), makeFrame(kStreamId, pattern(3))},
                 "data frame of 3 bytes without a length frame"},
        DropCase{"CommandMoreDataThanAnnounced", MSG_TYPE_COMMAND,
                 announcedThenData(kCommandLengthId, kCommandId, 10, 3),
                 "data frame of 8 bytes beyond the 10 bytes announced"}),
    [](const ::testing::TestParamInfo<DropCase>& info) { return std::string(info.param.name); });

struct NoticeCase {
    uint8_t dlc;
    bool notice;
};

std::ostream& operator<<(std::ostream& os, const NoticeCase& c) {
    return os << "dlc " << int(c.dlc);
}

class CanReceiveNotice : public CanTransportTest, public ::testing::WithParamInterface<NoticeCase> {
protected:
    void SetUp() override {
        KT::uint32 two = kShmQueue;
        ASSERT_EQ(OS_SUCCESS, osQueueCreate(&two, "q2", 1, 64));
        CanTransportTest::SetUp();
    }
};

// A notice in the middle of a 20-byte command. With dlc 7 the same bytes are
// a command length frame announcing 256 instead.
TEST_P(CanReceiveNotice, MarkersWithDataLengthEightPostAnUpdateMessage) {
    open();
    can_frame notice = makeFrame(kCommandLengthId, {0xA1, 0xA1, 0xA1, 0xA1, 0x00, 0x00, 0x01, 0x00});
    notice.can_dlc = GetParam().dlc;
    const Bytes command = pattern(20, 0x55);
    std::vector<can_frame> frames = commandFrames(command);
    frames.insert(frames.begin() + 2, notice);
    sendFrames(frames);

    if (GetParam().notice) {
        XRUpdateMessage record;
        KT::uint32 size = 0;
        ASSERT_EQ(OS_SUCCESS, osQueueGetTimed(kShmQueue, &record, &size, 5000));
        EXPECT_EQ(256u, size);
        EXPECT_EQ(static_cast<KT::uint32>(SHM_MODULE), record.module);
        EXPECT_EQ(36u, record.messageId);
        EXPECT_EQ(kShmNoticeEvent, record.event);
        EXPECT_EQ(256, record.result);
        for (char ch : record.text) ASSERT_EQ(0, ch);
        EXPECT_EQ(command, receive(MSG_TYPE_COMMAND).bytes) << "the command in progress goes on";
    } else {
        // The rest of the 20-byte command (8 + 4 bytes) counts towards the
        // 256 announced; 244 more complete it.
        const Bytes more = pattern(244, 0x07);
        for (size_t at = 0; at < more.size(); at += 8) {
            const size_t n = std::min<size_t>(8, more.size() - at);
            ASSERT_TRUE(bus.send(makeFrame(kCommandId, Bytes(more.begin() + at, more.begin() + at + n))));
        }
        Bytes expected(command.begin() + 8, command.end());
        expected.insert(expected.end(), more.begin(), more.end());
        EXPECT_EQ(expected, receive(MSG_TYPE_COMMAND).bytes);
        XRUpdateMessage record;
        KT::uint32 size = 0;
        EXPECT_EQ(OS_QUEUE_TIMEOUT, osQueueGetTimed(kShmQueue, &record, &size, 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Dlc, CanReceiveNotice, ::testing::Values(NoticeCase{8, true}, NoticeCase{7, false}));

TEST_F(CanReceive, NoticeBigEndianValueReachesAReceiverOnTheSharedMemoryChannel) {
    KT::uint32 two = kShmQueue;
    ASSERT_EQ(OS_SUCCESS, osQueueCreate(&two, "q2", 1, 64));
    open();
    sendFrames({makeFrame(kCommandLengthId, {0xA1, 0xA1, 0xA1, 0xA1, 0x81, 0x02, 0x03, 0x04})});
    const Received got = receiveBlocking(can.get(), MSG_TYPE_SHM);
    ASSERT_EQ(256u, got.bytes.size());
    XRUpdateMessage record;
    std::memcpy(&record, got.bytes.data(), sizeof record);
    EXPECT_EQ(static_cast<KT::int32>(0x81020304u), record.result);
    EXPECT_EQ(static_cast<KT::uint32>(SHM_MODULE), record.module);
}

TEST_F(CanReceive, SelectAndReadFailuresAreLoggedAndTheTaskGoesOn) {
    open();
    bus.failSelects(2, EINTR);
    bus.failReads(1, EIO);
    const Bytes message = pattern(9);
    sendFrames(commandFrames(message));
    EXPECT_EQ(message, receive(MSG_TYPE_COMMAND).bytes);
    EXPECT_TRUE(logHas(kTaskFn + "SocketCAN::select(): -1 => Interrupted system call\n"));
    EXPECT_TRUE(logHas(kTaskFn + "SocketCAN::read(): -1 => Input/output error\n"));
}

TEST_F(CanReceive, ReceiveOperationsRefuseOtherChannelsAtOnce) {
    Bytes buffer(1024);
    KT::uint32 length = 77;
    for (int type : {int(MSG_TYPE_NONE), int(MSG_TYPE_BROADCAST), 5, -1}) {
        EXPECT_EQ(-1, can->ReceiveData(buffer.data(), &length, static_cast<enMsgType>(type))) << type;
        EXPECT_EQ(-1, can->ReceiveDataTimed(buffer.data(), &length, 100000, static_cast<enMsgType>(type))) << type;
    }
    EXPECT_EQ(77u, length);
    EXPECT_EQ(OS_QUEUE_TIMEOUT, can->ReceiveDataTimed(buffer.data(), &length, 20, MSG_TYPE_COMMAND));
    EXPECT_EQ(OS_QUEUE_TIMEOUT, can->ReceiveDataTimed(buffer.data(), &length, 0, MSG_TYPE_STREAM));
    EXPECT_EQ(-1, can->ReceiveData(nullptr, &length, MSG_TYPE_STREAM)) << "the OS refusal folds to -1";
    EXPECT_TRUE(logHas("ReceiveDataTimed(KT::uint8*, KT::uint32*, KT::uint32, enMsgType)  function return value = -310\n"));
}

TEST_F(CanReceive, TimedReceiveOnTheSharedMemoryChannelWaitsWithoutLimit) {
    KT::uint32 two = kShmQueue;
    ASSERT_EQ(OS_SUCCESS, osQueueCreate(&two, "q2", 1, 64));
    auto waiter = std::async(std::launch::async, [this] {
        uint8_t record[256];
        KT::uint32 length = 0;
        const KT::int32 result = can->ReceiveDataTimed(record, &length, 1, MSG_TYPE_SHM);
        return result == 0 ? static_cast<int>(length) : -1;
    });
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(std::chrono::milliseconds(200)))
        << "a 1 ms limit is not applied to this channel";
    const uint8_t record[256] = {};
    ASSERT_EQ(OS_SUCCESS, osQueuePut(kShmQueue, record, sizeof record));
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(256, waiter.get());
}

class CanReceiveRelease : public CanTransportTest, public ::testing::WithParamInterface<bool> {};

// Without a waiter each queue keeps one 12-byte item, returned in its turn
// (with waiters: CanConcurrency.ExitReceiveDataFromAnotherThreadReleasesBothChannels).
TEST_P(CanReceiveRelease, ExitItemsWaitInBothQueuesAheadOfLaterMessages) {
    const bool viaReset = GetParam();
    open();
    EXPECT_EQ(0, viaReset ? can->ResetPort() : can->ExitReceiveData());
    const Bytes message = pattern(4);
    sendFrames(streamFrames(message));
    sendFrames(commandFrames(message));
    EXPECT_EQ(Bytes(12, 0), receive(MSG_TYPE_STREAM).bytes);
    EXPECT_EQ(message, receive(MSG_TYPE_STREAM).bytes);
    EXPECT_EQ(Bytes(12, 0), receive(MSG_TYPE_COMMAND).bytes);
    EXPECT_EQ(message, receive(MSG_TYPE_COMMAND).bytes);
    if (viaReset) {
        EXPECT_TRUE(logHas("KT::int32 XR9ALCANWrapper::ResetPort()  nRetVal = 0\n\n"));
        EXPECT_TRUE(logHas("KT::int32 XR9ALCAN::ResetPort()   function returned: 0\n"));
    } else {
        EXPECT_TRUE(logHas("KT::int32 XR9ALCAN::ExitReceiveData()  function return value = 0\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, CanReceiveRelease, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "ResetPort" : "ExitReceiveData");
                         });

}  // namespace
