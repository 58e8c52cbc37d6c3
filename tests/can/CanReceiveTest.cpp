// The receive task against frames on the bus: whole, interleaved, restarted,
// foreign and oversize messages, shared-memory notices, socket failures, and
// the receive operations with ExitReceiveData.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "CanHarness.h"
#include "osal.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

using namespace cantest;

const std::string kTaskFn = "  void ReadDataFunc()  ";

using CanReceive = CanTransportTest;

TEST_F(CanReceive, MessagesOfEverySizeUpToTheBufferArriveWholeAsOneQueueItem) {
    open();
    const Bytes message = pattern(20, 0x61);
    sendFrames(commandFrames(message));
    ASSERT_TRUE(waitForLog(kTaskFn + "CAN RX THREAD: COMMAND received\n"));  // logged after the put: no wait below
    Bytes got(1024);
    KT::uint32 length = 0;
    EXPECT_EQ(0, can->ReceiveData(got.data(), &length, MSG_TYPE_COMMAND));
    EXPECT_EQ(message, Bytes(got.begin(), got.begin() + length));
    EXPECT_TRUE(logHas(kTaskFn + "uiCommandMsgLength = 14\n"));
    EXPECT_TRUE(logHas("XR9ALCAN::ReceiveData(KT::uint8*, KT::uint32*, enMsgType)  function return value = 0\n"));

    const std::vector<size_t> sizes = {1, 7, 8, 9, 16, 300, 1023, 1024};
    for (size_t n : sizes) sendFrames(streamFrames(pattern(n, static_cast<uint8_t>(n))));
    for (size_t n : sizes) EXPECT_EQ(pattern(n, static_cast<uint8_t>(n)), receive(MSG_TYPE_STREAM)) << n;
    EXPECT_TRUE(logHas(kTaskFn + "STREAM_LENGTH uiStreamMsgLength  = 1024\n"));
    EXPECT_TRUE(waitForLog(kTaskFn + "STREAM osQueuePut nRetVal = 0\n"));
}

// Between the frames of a command: a stream message's frames, foreign
// identifiers and records of other than 16 bytes; a second length frame
// restarts the command.
TEST_F(CanReceive, InterleavedForeignAndRestartedTrafficLeavesEachMessageWhole) {
    open();
    const Bytes command = pattern(20, 0x33), stream = pattern(30, 0x80);
    std::vector<can_frame> mine = {lengthFrame(kCommandLengthId, 20), makeFrame(kCommandId, pattern(8, 0xEE))};
    for (const can_frame& f : commandFrames(command)) mine.push_back(f);
    const std::vector<can_frame> s = streamFrames(stream);
    const std::vector<can_frame> foreign = {lengthFrame(0x124, 4), makeFrame(0x7FF, {1, 2, 3}),
                                            lengthFrame(kCommandLengthId | kEff, 2),
                                            makeFrame(kCommandId | 0x40000000u, {9})};
    for (size_t i = 0; i < mine.size(); ++i) {
        ASSERT_TRUE(bus.send(mine[i]));
        ASSERT_TRUE(i >= s.size() || bus.send(s[i]));
        ASSERT_TRUE(bus.send(foreign[i % foreign.size()]));
        ASSERT_TRUE(bus.sendRaw(&mine[i], 8)) << "a read of other than 16 bytes";
    }
    EXPECT_EQ(command, receive(MSG_TYPE_COMMAND));
    EXPECT_EQ(stream, receive(MSG_TYPE_STREAM));

    // Extended mode: the right 29-bit numbers without bit 31 are foreign too.
    open(portSetting(CAN_MODE_EXTENDED));
    sendFrames(commandFrames(pattern(12, 0x70)));
    const Bytes flagged = pattern(12, 0x90);
    sendFrames(messageFrames(kCommandLengthId | kEff, kCommandId | kEff, flagged));
    EXPECT_EQ(flagged, receive(MSG_TYPE_COMMAND));
}

std::vector<can_frame> announcedThenData(KT::uint32 announced, int frames) {
    std::vector<can_frame> v{lengthFrame(kCommandLengthId, announced)};
    for (int i = 0; i < frames; ++i) v.push_back(makeFrame(kCommandId, pattern(8, static_cast<uint8_t>(i))));
    return v;
}

TEST_F(CanReceive, BytesBeyondTheBufferDropTheMessageAndTheNextOneArrives) {
    const struct {
        enMsgType channel;
        std::vector<can_frame> frames;
        std::string why;
    } cases[] = {
        {MSG_TYPE_COMMAND, announcedThenData(1500, 188), "1500 bytes announced, 1024 fit"},
        // Length zero delivers nothing: the data frame after it has no message to join.
        {MSG_TYPE_STREAM, {lengthFrame(kStreamLengthId, 0), makeFrame(kStreamId, pattern(3))},
         "data frame of 3 bytes without a length frame"},
        {MSG_TYPE_COMMAND, announcedThenData(10, 3), "data frame of 8 bytes beyond the 10 bytes announced"}};
    open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const KT::uint32 before = XR9ALCANWrapper::droppedMessages();
        sendFrames(c.frames);
        const Bytes next = pattern(20, 0x42);
        const bool command = c.channel == MSG_TYPE_COMMAND;
        sendFrames(command ? commandFrames(next) : streamFrames(next));
        EXPECT_EQ(next, receive(c.channel));
        EXPECT_EQ(before + 1, XR9ALCANWrapper::droppedMessages());
        EXPECT_EQ(before + 1, uiCANRxDroppedMsgs);
        EXPECT_TRUE(logHas(kTaskFn + "CAN RX THREAD: " + (command ? "COMMAND" : "STREAM") + " message dropped: " +
                           c.why + "\n")) << logText();
    }
}

// A notice (value big-endian) in the middle of a command reaches a receiver on
// the shared-memory channel; with data length 7 the same bytes are a length frame
// (CanFrameCodec.ClassifyChecksTheIdentifierWordInFixedOrder).
TEST_F(CanReceive, NoticeBetweenCommandFramesPostsAnUpdateMessage) {
    open();
    const Bytes command = pattern(20, 0x55);
    std::vector<can_frame> frames = commandFrames(command);
    frames.insert(frames.begin() + 2, makeFrame(kCommandLengthId, {0xA1, 0xA1, 0xA1, 0xA1, 0x81, 0x02, 0x03, 0x04}));
    sendFrames(frames);
    EXPECT_EQ(command, receive(MSG_TYPE_COMMAND)) << "the command in progress goes on";
    // The notice came before; a blank record behind it keeps ReceiveData from waiting if it did not.
    const XRUpdateMessage blank{};
    ASSERT_EQ(OS_SUCCESS, osQueuePut(kShmQueue, &blank, sizeof blank));
    XRUpdateMessage record;
    KT::uint32 size = 0;
    ASSERT_EQ(0, can->ReceiveData(reinterpret_cast<KT::uint8*>(&record), &size, MSG_TYPE_SHM));
    EXPECT_EQ(256u, size);
    EXPECT_EQ(static_cast<KT::uint32>(SHM_MODULE), record.module);
    EXPECT_EQ(36u, record.messageId);
    EXPECT_EQ(kShmNoticeEvent, record.event);
    EXPECT_EQ(static_cast<KT::int32>(0x81020304u), record.result);
    for (char ch : record.text) ASSERT_EQ(0, ch);
}

TEST_F(CanReceive, SelectAndReadFailuresAreLoggedAndTheTaskGoesOn) {
    open();
    bus.failSelects(2, EINTR);
    bus.failReads(1, EIO);
    const Bytes message = pattern(9);
    sendFrames(commandFrames(message));
    EXPECT_EQ(message, receive(MSG_TYPE_COMMAND));
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
    EXPECT_TRUE(logHas("ReceiveDataTimed(KT::uint8*, KT::uint32*, KT::uint32, enMsgType)  "
                       "function return value = -310\n"));
}

TEST_F(CanReceive, TimedReceiveOnTheSharedMemoryChannelWaitsWithoutLimit) {
    auto waiter = std::async(std::launch::async, [this] {
        uint8_t record[256];
        KT::uint32 length = 0;
        return can->ReceiveDataTimed(record, &length, 1, MSG_TYPE_SHM) == 0 ? static_cast<int>(length) : -1;
    });
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(std::chrono::milliseconds(200)))
        << "a 1 ms limit is not applied to this channel";
    const uint8_t record[256] = {};
    ASSERT_EQ(OS_SUCCESS, osQueuePut(kShmQueue, record, sizeof record));
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(256, waiter.get());
}

// Without a waiter each queue keeps one 12-byte item, returned in its turn
// (waiters blocked in ReceiveData are released in the load test).
TEST_F(CanReceive, ExitItemsOfExitReceiveDataAndResetPortWaitInBothQueuesAheadOfLaterMessages) {
    open();
    for (const bool viaReset : {false, true}) {
        SCOPED_TRACE(viaReset ? "ResetPort" : "ExitReceiveData");
        EXPECT_EQ(0, viaReset ? can->ResetPort() : can->ExitReceiveData());
        const Bytes message = pattern(4, viaReset);
        sendFrames(streamFrames(message));
        sendFrames(commandFrames(message));
        EXPECT_EQ(Bytes(12, 0), receive(MSG_TYPE_STREAM));
        EXPECT_EQ(message, receive(MSG_TYPE_STREAM));
        EXPECT_EQ(Bytes(12, 0), receive(MSG_TYPE_COMMAND));
        EXPECT_EQ(message, receive(MSG_TYPE_COMMAND));
    }
    EXPECT_TRUE(logHas("KT::int32 XR9ALCANWrapper::ResetPort()  nRetVal = 0\n\n"));
    EXPECT_TRUE(logHas("KT::int32 XR9ALCAN::ResetPort()   function returned: 0\n"));
    EXPECT_TRUE(logHas("KT::int32 XR9ALCAN::ExitReceiveData()  function return value = 0\n"));
}

}  // namespace
