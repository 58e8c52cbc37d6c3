// The wire format in isolation: every byte of length, data and notice frames,
// the value read back, and how a received frame is told apart.
#include <gtest/gtest.h>

#include <cstring>

#include "CanHarness.h"
#include "can/CanFrameCodec.h"

namespace {

using cantest::Bytes;
using cantest::frameData;
using namespace xr9can;

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
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(&f);
        EXPECT_EQ(Bytes({0, 0, 0}), Bytes(raw + 5, raw + 8)) << "padding goes out as zeros";
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
    for (const auto& [dlc, bytes] : {std::pair<int, int>{0, 0}, {1, 1}, {8, 8}, {9, 8}, {15, 8}, {255, 8}}) {
        f.can_dlc = uint8_t(dlc);
        EXPECT_EQ(bytes, dataLength(f)) << "a received frame has at most 8 bytes, dlc " << dlc;
    }
}

// The identifier word decides, in a fixed order.
TEST(CanFrameCodec, ClassifyChecksTheIdentifierWordInFixedOrder) {
    const CanChannelIds ids{0x123, 0x122, 0x321, 0x320}, extended{0x80000123, 0x80000122, 0x80000321, 0x80000320};
    const Bytes notice{0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1}, length{0x00, 0xA5, 0xA5, 0xA5, 0, 0, 0, 1};
    const struct {
        const char* name;
        CanChannelIds ids;
        uint32_t id;
        Bytes data;
        FrameKind kind;
    } cases[] = {
        {"streamLength", ids, 0x320, length, FrameKind::StreamLength},
        {"streamData", ids, 0x321, {1, 2}, FrameKind::StreamData},
        {"commandLength", ids, 0x122, length, FrameKind::CommandLength},
        {"notice", ids, 0x122, notice, FrameKind::ShmNotice},
        {"noticeNeedsDataLengthEight", ids, 0x122, {0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0}, FrameKind::CommandLength},
        {"noticeDataLengthNine", ids, 0x122, {0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1, 0}, FrameKind::CommandLength},
        {"noticeLastMarkerWrong", ids, 0x122, {0xA1, 0xA1, 0xA1, 0xA0, 0, 0, 0, 1}, FrameKind::CommandLength},
        {"noticeFirstMarkerWrong", ids, 0x122, {0xA0, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1}, FrameKind::CommandLength},
        {"noticeMarkersOnStreamLength", ids, 0x320, notice, FrameKind::StreamLength},
        {"commandData", ids, 0x123, {1}, FrameKind::CommandData},
        {"foreign", ids, 0x124, {1}, FrameKind::Foreign},
        {"extendedMatches", extended, 0x80000123, {1}, FrameKind::CommandData},
        {"extendedWithoutBit31", extended, 0x123, {1}, FrameKind::Foreign},
        {"standardWithBit31", ids, 0x80000123, {1}, FrameKind::Foreign},
        {"rtrFlagIsPartOfTheWord", ids, 0x40000123, {1}, FrameKind::Foreign},
        {"streamLengthFirst", {0x50, 0x50, 0x50, 0x50}, 0x50, notice, FrameKind::StreamLength},
        {"streamDataBeforeCommandData", {0x60, 0x61, 0x60, 0x62}, 0x60, {1}, FrameKind::StreamData}};
    for (const auto& c : cases) EXPECT_EQ(c.kind, classifyFrame(cantest::makeFrame(c.id, c.data), c.ids)) << c.name;
}

}  // namespace
