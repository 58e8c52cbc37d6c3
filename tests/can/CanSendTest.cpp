// The send path on the bus: every frame and identifier per message type,
// results, and what failing or short writes do.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "CanHarness.h"

namespace {

using namespace cantest;

const std::string kConsole = "##### Write returned: No buffer space available\n";

std::vector<int> pieceSizes(const std::vector<can_frame>& frames, size_t from) {
    std::vector<int> sizes;
    for (size_t i = from; i < frames.size(); ++i) sizes.push_back(frames[i].can_dlc);
    return sizes;
}

std::vector<int> eights(int n, int last) {
    std::vector<int> v(n, 8);
    if (last) v.push_back(last);
    return v;
}

struct SendCase {
    const char* name;
    int type;
    KT::uint32 length;
    enCANMode mode;
    KT::uint32 lengthId;
    KT::uint32 dataId;
    std::vector<int> pieces;
    KT::int32 result;
};

std::ostream& operator<<(std::ostream& os, const SendCase& c) {
    return os << c.name;
}

class CanSend : public CanTransportTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(CanSend, MessageGoesOutAsLengthFrameAndDataFrames) {
    const SendCase& c = GetParam();
    open(portSetting(c.mode));
    Bytes message = pattern(c.length, 0x10);
    EXPECT_EQ(c.result, can->SendData(message.data(), c.length, static_cast<enMsgType>(c.type)));

    const std::vector<can_frame> frames = busFrames();  // written before SendData returned
    ASSERT_EQ(1 + c.pieces.size(), frames.size());
    EXPECT_EQ(c.lengthId, frames[0].can_id);
    EXPECT_EQ(Bytes({0x00, 0xA5, 0xA5, 0xA5, uint8_t(c.length >> 24), uint8_t(c.length >> 16),
                     uint8_t(c.length >> 8), uint8_t(c.length)}),
              frameData(frames[0]));
    EXPECT_EQ(c.pieces, pieceSizes(frames, 1));
    Bytes joined;
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(c.dataId, frames[i].can_id) << "frame " << i;
        const Bytes d = frameData(frames[i]);
        joined.insert(joined.end(), d.begin(), d.end());
    }
    EXPECT_EQ(message, joined);
    const std::string fn = "KT::int32 XR9ALCANWrapper::SendData(KT::uint8*, KT::uint32, enMsgType)  ";
    EXPECT_EQ(1, countOf(logText(), fn + "Bytes send = 10\n")) << "logged for the first frame only, in hex";
    EXPECT_TRUE(logHas("KT::int32 XR9ALCAN::SendData(KT::uint8*, KT::uint32, enMsgType)  function return value = " +
                       std::to_string(c.result) + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Types, CanSend,
    ::testing::Values(
        SendCase{"Command20", MSG_TYPE_COMMAND, 20, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, {8, 8, 4}, 0},
        SendCase{"Stream16", MSG_TYPE_STREAM, 16, CAN_MODE_STANDARD, kStreamLengthId, kStreamId, {8, 8}, 0},
        SendCase{"Command300", MSG_TYPE_COMMAND, 300, CAN_MODE_STANDARD, kCommandLengthId, kCommandId,
                 eights(37, 4), 0},
        SendCase{"EmptyCommand", MSG_TYPE_COMMAND, 0, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, {}, 16},
        SendCase{"NoneUsesCommandIds", MSG_TYPE_NONE, 9, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, {8, 1}, 0},
        SendCase{"BroadcastUsesCommandIds", MSG_TYPE_BROADCAST, 20, CAN_MODE_STANDARD, kCommandLengthId, kCommandId,
                 {8, 8, 4}, 0},
        SendCase{"UnknownTypeUsesCommandIds", 9, 3, CAN_MODE_STANDARD, kCommandLengthId, kCommandId, {3}, 0},
        SendCase{"ExtendedStream", MSG_TYPE_STREAM, 8, CAN_MODE_EXTENDED, kStreamLengthId | kEff, kStreamId | kEff,
                 {8}, 0}),
    [](const ::testing::TestParamInfo<SendCase>& info) { return std::string(info.param.name); });

using CanSendNotice = CanTransportTest;

TEST_F(CanSendNotice, NoticeIsOneFrameWithTheValueReversedWhateverTheLength) {
    for (enCANMode mode : {CAN_MODE_STANDARD, CAN_MODE_EXTENDED}) {
        CANPortSetting setting = portSetting(mode);
        ASSERT_EQ(0, can->OpenPort(IF_TYPE_CAN, &setting, 0));  // identifiers are taken on every call
        uint8_t value[4] = {0x78, 0x56, 0x34, 0x12};
        for (KT::uint32 length : {0u, 4u, 999u}) {
            EXPECT_EQ(0, can->SendData(value, length, MSG_TYPE_SHM));
            const std::vector<can_frame> frames = busFrames();
            ASSERT_EQ(1u, frames.size()) << "length " << length;
            EXPECT_EQ(kCommandLengthId | (mode == CAN_MODE_EXTENDED ? kEff : 0), frames[0].can_id);
            EXPECT_EQ(Bytes({0xA1, 0xA1, 0xA1, 0xA1, 0x12, 0x34, 0x56, 0x78}), frameData(frames[0]));
        }
    }
}

TEST_F(CanSendNotice, NullBufferIsRefusedBeforeAnythingIsSent) {
    open();
    EXPECT_EQ(-1, can->SendData(nullptr, 0, MSG_TYPE_SHM));
    EXPECT_EQ(-1, can->SendData(nullptr, 20, MSG_TYPE_COMMAND));
    EXPECT_TRUE(busFrames().empty());
    EXPECT_EQ(16, can->SendData(nullptr, 0, MSG_TYPE_STREAM)) << "an empty message needs no bytes";
    EXPECT_EQ(1u, busFrames().size());
}

struct FailureCase {
    const char* name;
    int count;     // writes that fail (or are cut short)
    int after;     // writes that pass first
    int shortTo;   // -1: fail with ENOBUFS; otherwise the count returned, nothing sent
    KT::int32 result;
    std::vector<int> pieces;  // data frames that reach the bus
    bool lengthFrameSent;
    int consoleLines;
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) {
    return os << c.name;
}

class CanSendFailure : public CanTransportTest, public ::testing::WithParamInterface<FailureCase> {};

// A 20-byte command: the length frame, then data frames of 8, 8 and 4 bytes.
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
        result = can->SendData(message.data(), 20, MSG_TYPE_COMMAND);
        console = capture.text();
    }
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.consoleLines, countOf(console, kConsole));
    EXPECT_EQ(static_cast<size_t>(c.consoleLines) * kConsole.size(), console.size()) << console;
    EXPECT_EQ(c.consoleLines,
              countOf(logText(), "SendData(KT::uint8*, KT::uint32, enMsgType)  CAN Write(): ffffffff  => "
                                 "No buffer space available\n"));

    const std::vector<can_frame> frames = busFrames();
    ASSERT_EQ(c.pieces.size() + (c.lengthFrameSent ? 1 : 0), frames.size());
    EXPECT_EQ(c.pieces, pieceSizes(frames, c.lengthFrameSent ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Writes, CanSendFailure,
    ::testing::Values(
        FailureCase{"FirstFrameFailsTenTimes", 1000, 0, -1, -1, {}, false, 10},
        FailureCase{"FirstFrameGetsThroughAtTheTenthAttempt", 9, 0, -1, 0, {8, 8, 4}, true, 9},
        FailureCase{"FirstFrameCutShort", 1, 0, 8, -1, {}, false, 0},
        FailureCase{"FirstDataFrameLost", 10, 1, -1, 0, {8, 4}, true, 10},
        FailureCase{"LastDataFrameLost", 10, 3, -1, -1, {8, 8}, true, 10},
        FailureCase{"LastDataFrameCutShort", 1, 3, 5, -1, {8, 8}, true, 0},
        FailureCase{"MiddleDataFrameCutShortCountsAsWritten", 1, 2, 5, 0, {8, 4}, true, 0}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(CanSendNotice, FirstFrameFailingTenTimesLogsTheLastResult) {
    open();
    bus.failWrites(1000);
    uint8_t value[4] = {1, 2, 3, 4};
    xr9test::CaptureStdout capture;
    EXPECT_EQ(-1, can->SendData(value, 4, MSG_TYPE_SHM));
    EXPECT_EQ(10, countOf(capture.text(), kConsole));
    EXPECT_TRUE(logHas("SendData(KT::uint8*, KT::uint32, enMsgType)  Bytes send = ffffffff\n"));
    EXPECT_TRUE(busFrames().empty());
}

}  // namespace
