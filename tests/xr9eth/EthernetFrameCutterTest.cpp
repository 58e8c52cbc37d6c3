#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "PosixPeer.h"
#include "XR9ALEthernet/EthernetFrameCutter.h"

namespace {

using ethtest::frame;
using ethtest::frameWithLength;
using ethtest::shmFrame;
using Endpoint = EthernetFrameCutter::Endpoint;

QByteArray q(const std::string& s) {
    return QByteArray(s.data(), int(s.size()));
}

// What a pass produced, written out: "C:abc" a command message, "S=42" an SHM value.
std::vector<std::string> describe(const EthernetFrameCutter::Pass& pass) {
    std::vector<std::string> out;
    for (const auto& piece : pass.pieces) {
        if (piece.type == MSG_TYPE_SHM) {
            out.push_back("S=" + std::to_string(piece.value));
        } else {
            const char* tag = piece.type == MSG_TYPE_COMMAND ? "C:" : piece.type == MSG_TYPE_STREAM ? "T:" : "B:";
            out.push_back(tag + piece.payload.toStdString());
        }
    }
    return out;
}

struct CutCase {
    const char* name;
    Endpoint endpoint;
    std::string input;
    int status;
    bool dropped;
    std::vector<std::string> pieces;
    size_t left;  // bytes still buffered after the pass
    KT::uint32 maxFrame = xr9eth::kDefaultMaxFrameLength;
};

class FrameCutting : public ::testing::TestWithParam<CutCase> {};

TEST_P(FrameCutting, CutsCompleteFramesAndKeepsOrDropsTheRest) {
    const CutCase& c = GetParam();
    QByteArray buffer = q(c.input);
    EthernetFrameCutter::Pass pass = EthernetFrameCutter(c.endpoint, c.maxFrame).cut(&buffer);
    EXPECT_EQ(c.status, pass.status);
    EXPECT_EQ(c.dropped, pass.dropped);
    EXPECT_EQ(c.pieces, describe(pass));
    EXPECT_EQ(c.left, size_t(buffer.size()));
}

const std::string kGarbage("\x00\x11\x22\x33\x44\x55\x66\x77", 8);

INSTANTIATE_TEST_SUITE_P(
    Table, FrameCutting,
    ::testing::Values(
        CutCase{"FewerThanEightBytesStay", Endpoint::Command, std::string("\xA5\xA5\xA5\xA5\x00", 5), -1, false, {}, 5},
        CutCase{"TwoFramesInOneArrival", Endpoint::Command, frame(0xA5, "one") + frame(0xA5, "two"), 0, false,
                {"C:one", "C:two"}, 0},
        CutCase{"PartialFrameWaits", Endpoint::Command, frame(0xA5, "abc").substr(0, 10), 0, false, {}, 10},
        CutCase{"FrameThenPartial", Endpoint::Command, frame(0xA5, "abc") + frame(0xA5, "def").substr(0, 9), 0,
                false, {"C:abc"}, 9},
        CutCase{"ZeroLength", Endpoint::Stream, frame(0xA7, ""), 0, false, {"T:"}, 0},
        CutCase{"GarbageDropsGoodFramesBehind", Endpoint::Command, kGarbage + frame(0xA5, "abc"), -1, true, {}, 0},
        CutCase{"ForeignChannelOnCommand", Endpoint::Command, frame(0xA7, "x") + frame(0xA5, "abc"), 0, true, {}, 0},
        CutCase{"FramesBeforeForeignAreKept", Endpoint::Command, frame(0xA5, "a") + frame(0xA2, "x"), 0, true,
                {"C:a"}, 0},
        CutCase{"ShmOnCommand", Endpoint::Command, shmFrame(42) + frame(0xA5, "c"), 0, false, {"S=42", "C:c"}, 0},
        CutCase{"NegativeShmValue", Endpoint::Command, shmFrame(-5), 0, false, {"S=-5"}, 0},
        CutCase{"ShmOnStreamIsForeign", Endpoint::Stream, shmFrame(42), 0, true, {}, 0},
        CutCase{"NegativeLengthIsMalformed", Endpoint::Command, frameWithLength(0xA5, -1, "abcdefgh"), -1, true, {},
                0},
        CutCase{"NegativeLengthOnBroadcast", Endpoint::Broadcast, frameWithLength(0xA2, INT32_MIN, "ab"), -1, true,
                {}, 0},
        CutCase{"LengthAtTheLargestFrameWaits", Endpoint::Stream, frameWithLength(0xA7, 16 << 20, "ab"), 0, false,
                {}, 10},
        CutCase{"LengthAboveTheLargestFrameIsMalformed", Endpoint::Stream,
                frameWithLength(0xA7, (16 << 20) + 1, "ab"), -1, true, {}, 0},
        CutCase{"LargestLengthWaitsUnderTheWidestLimit", Endpoint::Command, frameWithLength(0xA5, INT32_MAX, "ab"),
                0, false, {}, 10, 0x7FFFFFFFu},
        CutCase{"HostLimitKeepsFramesUpToIt", Endpoint::Command, frame(0xA5, "abcd") + frame(0xA5, "abcde"), -1,
                true, {"C:abcd"}, 0, 4},
        CutCase{"ZeroLimitTakesEmptyFramesAndShm", Endpoint::Command, frame(0xA5, "") + shmFrame(9), 0, false,
                {"C:", "S=9"}, 0, 0},
        CutCase{"BroadcastAboveTheLimitIsMalformed", Endpoint::Broadcast, frameWithLength(0xA2, 11, "0123456789"),
                -1, true, {}, 0, 10},
        CutCase{"BroadcastTakesWhatIsThere", Endpoint::Broadcast, frameWithLength(0xA2, 100, "0123456789"), 0, false,
                {"B:0123456789"}, 0},
        CutCase{"CommandOnBroadcastIsForeign", Endpoint::Broadcast, frame(0xA5, "one"), 0, true, {}, 0}),
    [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

TEST(FrameCuttingSplits, AnySplitOfAStreamGivesTheSameMessages) {
    std::string wire;
    std::vector<std::string> expected;
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        std::string payload(random() % 300, '\0');
        for (char& ch : payload) ch = static_cast<char>(random());
        if (i % 17 == 3) {
            wire += shmFrame(i);
            expected.push_back("S=" + std::to_string(i));
        }
        wire += frame(0xA5, payload);
        expected.push_back("C:" + payload);
    }
    for (int round = 0; round < 20; ++round) {
        QByteArray buffer;
        std::vector<std::string> got;
        size_t at = 0;
        while (at < wire.size()) {
            const size_t n = std::min(wire.size() - at, size_t(1 + random() % (round < 5 ? 3 : 700)));
            buffer.append(wire.data() + at, int(n));
            at += n;
            EthernetFrameCutter::Pass pass = EthernetFrameCutter(Endpoint::Command).cut(&buffer);
            ASSERT_FALSE(pass.dropped);
            for (auto& piece : describe(pass)) got.push_back(piece);
        }
        EXPECT_EQ(0, buffer.size());
        ASSERT_EQ(expected, got) << "round " << round;
    }
}

}  // namespace
