// The send path on the bus: every frame and identifier per message type,
// results, and what failing or short writes do.
#include <gtest/gtest.h>

#include <string>

#include "CanHarness.h"

namespace {

using namespace cantest;

const std::string kConsole = "##### Write returned: No buffer space available\n";

struct SendCase {
    const char* name;
    int type;
    KT::uint32 length;
    enCANMode mode;
    KT::uint32 lengthId, dataId;
    KT::int32 result;
};
void PrintTo(const SendCase& c, std::ostream* os) { *os << c.name; }

class CanSend : public CanTransportTest, public ::testing::WithParamInterface<SendCase> {};

// The frames are compared with the harness's own framing: a length frame,
// then full data frames and a shorter last one.
TEST_P(CanSend, MessageGoesOutAsLengthFrameAndDataFrames) {
    const SendCase& c = GetParam();
    open(portSetting(c.mode));
    Bytes message = pattern(c.length, 0x10);
    EXPECT_EQ(c.result, can->SendData(message.data(), c.length, static_cast<enMsgType>(c.type)));

    const std::vector<can_frame> frames = busFrames(), expected = messageFrames(c.lengthId, c.dataId, message);
    ASSERT_EQ(expected.size(), frames.size());  // written before SendData returned
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(expected[i].can_id, frames[i].can_id) << "frame " << i;
        EXPECT_EQ(frameData(expected[i]), frameData(frames[i])) << "frame " << i;
    }
    const std::string fn = "KT::int32 XR9ALCANWrapper::SendData(KT::uint8*, KT::uint32, enMsgType)  ";
    EXPECT_EQ(1, countOf(logText(), fn + "Bytes send = 10\n")) << "logged for the first frame only, in hex";
    EXPECT_TRUE(logHas("KT::int32 XR9ALCAN::SendData(KT::uint8*, KT::uint32, enMsgType)  function return value = " +
                       std::to_string(c.result) + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Types, CanSend,
    ::testing::Values(
        SendCase{"Command20", MSG_TYPE_COMMAND, 20, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 0},
        SendCase{"Stream16", MSG_TYPE_STREAM, 16, CAN_MODE_STANDARD, kStreamLengthId, kStreamId, 0},
        SendCase{"Command300", MSG_TYPE_COMMAND, 300, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 0},
        SendCase{"EmptyCommand", MSG_TYPE_COMMAND, 0, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 16},
        SendCase{"NoneUsesCommandIds", MSG_TYPE_NONE, 9, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 0},
        SendCase{"BroadcastUsesCommandIds", MSG_TYPE_BROADCAST, 20, CAN_MODE_STANDARD, kCommandLengthId, kCommandId,
                 0},
        SendCase{"UnknownTypeUsesCommandIds", 9, 3, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, 0},
        SendCase{"ExtendedStream", MSG_TYPE_STREAM, 8, CAN_MODE_EXTENDED, kStreamLengthId | kEff, kStreamId | kEff,
                 0}),
    [](const ::testing::TestParamInfo<SendCase>& info) { return std::string(info.param.name); });

using CanSendNotice = CanTransportTest;

TEST_F(CanSendNotice, NoticeIsOneFrameWithTheValueReversedWhateverTheLength) {
    for (enCANMode mode : {CAN_MODE_STANDARD, CAN_MODE_EXTENDED}) {
        open(portSetting(mode));  // identifiers are taken on every call
        uint8_t value[4] = {0x78, 0x56, 0x34, 0x12};
        for (KT::uint32 length : {0u, 4u, 999u}) {
            EXPECT_EQ(0, can->SendData(value, length, MSG_TYPE_SHM));
            const std::vector<can_frame> frames = busFrames();
            ASSERT_EQ(1u, frames.size()) << "length " << length;
            EXPECT_EQ(kCommandLengthId | (mode == CAN_MODE_EXTENDED ? kEff : 0), frames[0].can_id);
            EXPECT_EQ(Bytes({0xA1, 0xA1, 0xA1, 0xA1, 0x12, 0x34, 0x56, 0x78}), frameData(frames[0]));
        }
    }
    EXPECT_EQ(-1, can->SendData(nullptr, 0, MSG_TYPE_SHM)) << "a null buffer is refused before anything is sent";
    EXPECT_EQ(-1, can->SendData(nullptr, 20, MSG_TYPE_COMMAND));
    EXPECT_TRUE(busFrames().empty());
    EXPECT_EQ(16, can->SendData(nullptr, 0, MSG_TYPE_STREAM)) << "an empty message needs no bytes";
    EXPECT_EQ(1u, busFrames().size());
}

struct FailureCase {
    const char* name;
    enMsgType type;
    int count;     // writes that fail (or are cut short)
    int after;     // writes that pass first
    int shortTo;   // -1: fail with ENOBUFS; otherwise the count returned, nothing sent
    KT::int32 result;
    std::vector<int> pieces;  // data frames that reach the bus
    bool lengthFrameSent;
    int consoleLines;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class CanSendFailure : public CanTransportTest, public ::testing::WithParamInterface<FailureCase> {};

// A 20-byte command (the length frame, then data frames of 8, 8 and 4 bytes) or a notice.
TEST_P(CanSendFailure, FailedWritesAreRetriedReportedAndReflectedInTheResult) {
    const FailureCase& c = GetParam();
    open();
    if (c.shortTo < 0)
        bus.failWrites(c.count, ENOBUFS, c.after);
    else
        bus.shortenWrites(c.count, c.shortTo, c.after);
    Bytes message = pattern(20);
    KT::int32 result;
    std::string console;
    {
        xr9test::CaptureStdout capture;
        result = can->SendData(message.data(), 20, c.type);
        console = capture.text();
    }
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.consoleLines, countOf(console, kConsole));
    EXPECT_EQ(static_cast<size_t>(c.consoleLines) * kConsole.size(), console.size()) << console;
    EXPECT_EQ(c.consoleLines,
              countOf(logText(), "SendData(KT::uint8*, KT::uint32, enMsgType)  CAN Write(): ffffffff  => "
                                 "No buffer space available\n"));
    EXPECT_EQ(!c.lengthFrameSent && c.shortTo < 0,
              logHas("SendData(KT::uint8*, KT::uint32, enMsgType)  Bytes send = ffffffff\n"))
        << "the first frame's last result is logged";

    const std::vector<can_frame> frames = busFrames();
    ASSERT_EQ(c.pieces.size() + (c.lengthFrameSent ? 1 : 0), frames.size());
    for (size_t i = 0; i < c.pieces.size(); ++i) {
        EXPECT_EQ(c.pieces[i], frames[i + c.lengthFrameSent].can_dlc) << "data frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writes, CanSendFailure,
    ::testing::Values(
        FailureCase{"FirstFrameFailsTenTimes", MSG_TYPE_COMMAND, 1000, 0, -1, -1, {}, false, 10},
        FailureCase{"FirstFrameGetsThroughAtTheTenthAttempt", MSG_TYPE_COMMAND, 9, 0, -1, 0, {8, 8, 4}, true, 9},
        FailureCase{"FirstFrameCutShort", MSG_TYPE_COMMAND, 1, 0, 8, -1, {}, false, 0},
        FailureCase{"FirstDataFrameLost", MSG_TYPE_COMMAND, 10, 1, -1, 0, {8, 4}, true, 10},
        FailureCase{"LastDataFrameLost", MSG_TYPE_COMMAND, 10, 3, -1, -1, {8, 8}, true, 10},
        FailureCase{"LastDataFrameCutShort", MSG_TYPE_COMMAND, 1, 3, 5, -1, {8, 8}, true, 0},
        FailureCase{"MiddleDataFrameCutShortCountsAsWritten", MSG_TYPE_COMMAND, 1, 2, 5, 0, {8, 4}, true, 0},
        FailureCase{"NoticeFailsTenTimes", MSG_TYPE_SHM, 1000, 0, -1, -1, {}, false, 10}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
