#include <random>

#include "EthernetHarness.h"
#include "XR9ALEthernet/EthernetFrameCutter.h"

namespace {

using namespace ethtest;
using Endpoint = EthernetFrameCutter::Endpoint;

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
    QByteArray buffer = QByteArray::fromStdString(c.input);
    EthernetFrameCutter::Pass pass = EthernetFrameCutter(c.endpoint, c.maxFrame).cut(&buffer);
    EXPECT_EQ(c.status, pass.status);
    EXPECT_EQ(c.dropped, pass.dropped);
    EXPECT_EQ(c.pieces, describe(pass));
    EXPECT_EQ(c.left, size_t(buffer.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameCutting,
    ::testing::Values(
        CutCase{"FewerThanEightBytesStay", Endpoint::Command, std::string("\xA5\xA5\xA5\xA5\x00", 5), -1, false, {}, 5},
        CutCase{"FramesBeforeForeignAreKept", Endpoint::Command, frame(0xA5, "a") + frame(0xA2, "x"), 0, true,
                {"C:a"}, 0},
        CutCase{"ShmOnCommand", Endpoint::Command, shmFrame(42) + frame(0xA5, "c"), 0, false, {"S=42", "C:c"}, 0},
        CutCase{"NegativeLengthIsMalformed", Endpoint::Command, frameWithLength(0xA5, -1, "abcdefgh"), -1, true, {},
                0},
        CutCase{"NegativeLengthOnBroadcast", Endpoint::Broadcast, frameWithLength(0xA2, INT32_MIN, "ab"), -1, true,
                {}, 0},
        CutCase{"FrameAboveTheLimitIsPassedOverWithTheFramesInsideIt", Endpoint::Stream,
                frameWithLength(0xA7, 20, frame(0xA7, "hidden") + "123456") + frame(0xA7, "kept"), 0, false,
                {"T:kept"}, 0, 10},
        CutCase{"LargestLengthWaitsByDefault", Endpoint::Command, frameWithLength(0xA5, INT32_MAX, "ab"), 0, false,
                {}, 10},
        CutCase{"ZeroLimitTakesEmptyFramesAndShm", Endpoint::Command, frame(0xA5, "") + shmFrame(9), 0, false,
                {"C:", "S=9"}, 0, 0},
        CutCase{"DatagramYieldsWhatItCarriesWhateverTheLimit", Endpoint::Broadcast,
                frameWithLength(0xA2, 11, "0123456789"), 0, false, {"B:0123456789"}, 0, 10},
        CutCase{"CommandOnBroadcastIsForeign", Endpoint::Broadcast, frame(0xA5, "one"), 0, true, {}, 0}),
    [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

// Frames above the limit carry frames of their own at their head, which must never come out; with the smallest
// room each pass cuts one message.
TEST(FrameCuttingSplits, AnySplitOfAStreamGivesTheSameMessagesWhateverTheRoom) {
    constexpr KT::uint32 kLimit = 250;
    const std::string hidden = frame(0xA5, "hidden") + shmFrame(-1);
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
        if (payload.size() > kLimit) payload.replace(0, hidden.size(), hidden);
        wire += frame(0xA5, payload);
        if (payload.size() <= kLimit) expected.push_back("C:" + payload);
    }
    for (int round = 0; round < 20; ++round) {
        EthernetFrameCutter cutter(Endpoint::Command, kLimit);
        const qint64 room = round % 2 ? xr9eth::queuedCost(0) : EthernetFrameCutter::kNoRoomLimit;
        QByteArray buffer;
        std::vector<std::string> got;
        size_t at = 0;
        while (at < wire.size()) {
            const size_t n = std::min(wire.size() - at, size_t(1 + random() % (round < 6 ? 3 : 700)));
            buffer.append(wire.data() + at, int(n));
            at += n;
            for (bool full = true; full;) {
                EthernetFrameCutter::Pass pass = cutter.cut(&buffer, room);
                ASSERT_FALSE(pass.dropped);
                for (auto& piece : describe(pass)) got.push_back(piece);
                full = pass.full;
            }
        }
        EXPECT_EQ(0, buffer.size());
        EXPECT_EQ(0, cutter.skipRemaining());
        ASSERT_EQ(expected, got) << "round " << round;
    }
}

}  // namespace
