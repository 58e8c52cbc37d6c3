// The wire format in isolation: every byte of length, data and notice frames,
// the value read back, and how a received frame is told apart.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

#include "CanHarness.h"
#include "can/CanFrameCodec.h"

namespace {

using cantest::Bytes;
using cantest::frameData;
using namespace xr9can;

Bytes allSixteen(const can_frame& f) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&f);
    return Bytes(p, p + sizeof f);
}

// The send and receive tests cover the usual lengths on the bus; these are
// the byte order at full width, the padding and the frame count at the limit.
TEST(CanFrameCodec, LengthFrameAnnouncesLengthMostSignificantByteFirst) {
    const std::pair<uint32_t, Bytes> cases[] = {{0x01020304, {0x00, 0xA5, 0xA5, 0xA5, 0x01, 0x02, 0x03, 0x04}},
                                                {0xFFFFFFFF, {0x00, 0xA5, 0xA5, 0xA5, 0xFF, 0xFF, 0xFF, 0xFF}}};
    for (const auto& [length, data] : cases) {
        can_frame f;
        std::memset(&f, 0xEE, sizeof f);
        encodeLengthFrame(0x80000455u, length, &f);
        EXPECT_EQ(0x80000455u, f.can_id);
        EXPECT_EQ(8, f.can_dlc);
        EXPECT_EQ(data, frameData(f));
        const Bytes raw = allSixteen(f);
        EXPECT_EQ(Bytes({0, 0, 0}), Bytes(raw.begin() + 5, raw.begin() + 8)) << "padding goes out as zeros";
        EXPECT_EQ(length, frameValue(f));
        EXPECT_FALSE(isShmNotice(f));
    }
    EXPECT_EQ(536870912u, dataFrameCount(0xFFFFFFFF));
    EXPECT_EQ(0u, dataFrameCount(0));
    const Bytes message = cantest::pattern(4);
    can_frame f;
    EXPECT_EQ(0, encodeDataFrame(0x77, message.data(), 4, 8, &f)) << "an offset past the message gives no bytes";
    EXPECT_EQ(0, f.can_dlc);
}

TEST(CanFrameCodec, NoticeFrameCarriesTheCallersBytesReversed) {
    const uint8_t value[4] = {0x78, 0x56, 0x34, 0x12};
    can_frame f;
    encodeShmFrame(0x122, value, &f);
    EXPECT_EQ(0x122u, f.can_id);
    EXPECT_EQ(Bytes({0xA1, 0xA1, 0xA1, 0xA1, 0x12, 0x34, 0x56, 0x78}), frameData(f));
    EXPECT_TRUE(isShmNotice(f));
    EXPECT_EQ(0x12345678u, frameValue(f));
    f.can_dlc = 7;
    EXPECT_FALSE(isShmNotice(f)) << "a notice has data length 8";
    EXPECT_EQ(0x12345678u, frameValue(f)) << "the value is read whatever the data length";
}

TEST(CanFrameCodec, DataLengthOfAReceivedFrameIsAtMostEight) {
    const struct {
        uint8_t dlc;
        uint8_t bytes;
    } cases[] = {{0, 0}, {1, 1}, {8, 8}, {9, 8}, {15, 8}, {255, 8}};
    for (const auto& c : cases) {
        can_frame f = cantest::makeFrame(1, {});
        f.can_dlc = c.dlc;
        EXPECT_EQ(c.bytes, dataLength(f)) << "dlc " << int(c.dlc);
    }
}

struct ClassifyCase {
    const char* name;
    CanChannelIds ids;
    uint32_t id;
    Bytes data;
    FrameKind kind;
};

std::ostream& operator<<(std::ostream& os, const ClassifyCase& c) {
    return os << c.name;
}

class CanFrameCodecClassify : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(CanFrameCodecClassify, IdentifierWordDecidesInFixedOrder) {
    EXPECT_EQ(GetParam().kind, classifyFrame(cantest::makeFrame(GetParam().id, GetParam().data), GetParam().ids));
}

const CanChannelIds kIds{0x123, 0x122, 0x321, 0x320};
const CanChannelIds kExtended{0x80000123, 0x80000122, 0x80000321, 0x80000320};
const CanChannelIds kAllSame{0x50, 0x50, 0x50, 0x50};
const CanChannelIds kCommandIsStream{0x60, 0x61, 0x60, 0x62};
const Bytes kNotice{0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1};
const Bytes kLength{0x00, 0xA5, 0xA5, 0xA5, 0, 0, 0, 1};
const Bytes kNoticeShort{0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0};
const Bytes kNoticeLong{0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1, 0};
const Bytes kNoticeLastMarkerWrong{0xA1, 0xA1, 0xA1, 0xA0, 0, 0, 0, 1};
const Bytes kNoticeFirstMarkerWrong{0xA0, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1};

INSTANTIATE_TEST_SUITE_P(
    Identifiers, CanFrameCodecClassify,
    ::testing::Values(ClassifyCase{"streamLength", kIds, 0x320, kLength, FrameKind::StreamLength},
                      ClassifyCase{"streamData", kIds, 0x321, {1, 2}, FrameKind::StreamData},
                      ClassifyCase{"commandLength", kIds, 0x122, kLength, FrameKind::CommandLength},
                      ClassifyCase{"notice", kIds, 0x122, kNotice, FrameKind::ShmNotice},
                      ClassifyCase{"noticeNeedsDataLengthEight", kIds, 0x122, kNoticeShort, FrameKind::CommandLength},
                      ClassifyCase{"noticeDataLengthNine", kIds, 0x122, kNoticeLong, FrameKind::CommandLength},
                      ClassifyCase{"noticeLastMarkerWrong", kIds, 0x122, kNoticeLastMarkerWrong, FrameKind::CommandLength},
                      ClassifyCase{"noticeFirstMarkerWrong", kIds, 0x122, kNoticeFirstMarkerWrong, FrameKind::CommandLength},
                      ClassifyCase{"noticeMarkersOnStreamLength", kIds, 0x320, kNotice, FrameKind::StreamLength},
                      ClassifyCase{"commandData", kIds, 0x123, {1}, FrameKind::CommandData},
                      ClassifyCase{"foreign", kIds, 0x124, {1}, FrameKind::Foreign},
                      ClassifyCase{"extendedMatches", kExtended, 0x80000123, {1}, FrameKind::CommandData},
                      ClassifyCase{"extendedWithoutBit31", kExtended, 0x123, {1}, FrameKind::Foreign},
                      ClassifyCase{"standardWithBit31", kIds, 0x80000123, {1}, FrameKind::Foreign},
                      ClassifyCase{"rtrFlagIsPartOfTheWord", kIds, 0x40000123, {1}, FrameKind::Foreign},
                      ClassifyCase{"streamLengthFirst", kAllSame, 0x50, kNotice, FrameKind::StreamLength},
                      ClassifyCase{"streamDataBeforeCommandData", kCommandIsStream, 0x60, {1},
                                   FrameKind::StreamData}),
    [](const ::testing::TestParamInfo<ClassifyCase>& info) { return std::string(info.param.name); });

}  // namespace
