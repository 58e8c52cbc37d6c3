// The CAN wire format and message reassembly in isolation, where the bus does
// not reach: full width, padding, the frame count limit and random walks.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "CanHarness.h"
#include "can/CanFrameCodec.h"
#include "can/CanMessageAssembler.h"

namespace {

using namespace cantest;
using namespace xr9can;

// The bus covers the usual lengths; these are full width, padding and the frame count limit.
TEST(CanFrameCodec, LengthFrameAnnouncesLengthMostSignificantByteFirst) {
    const std::pair<uint32_t, Bytes> cases[] = {{0x01020304, {0x00, 0xA5, 0xA5, 0xA5, 0x01, 0x02, 0x03, 0x04}},
                                                {0xFFFFFFFF, {0x00, 0xA5, 0xA5, 0xA5, 0xFF, 0xFF, 0xFF, 0xFF}}};
    for (const auto& [length, data] : cases) {
        can_frame f;
        std::memset(&f, 0xEE, sizeof f);
        encodeLengthFrame(0x455, length, &f);
        EXPECT_EQ(data, frameData(f));
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(&f);
        EXPECT_EQ(Bytes({0, 0, 0}), Bytes(raw + 5, raw + 8)) << "padding goes out as zeros";
        EXPECT_EQ(length, frameValue(f));
    }
    const Bytes message = pattern(4);
    can_frame f;
    EXPECT_EQ(0, encodeDataFrame(0x77, message.data(), 4, 8, &f)) << "an offset past the message gives no bytes";
    EXPECT_EQ(0, f.can_dlc);
}

// A received frame has at most 8 bytes; its value is read whatever the data length.
TEST(CanFrameCodec, DataLengthIsAtMostEightAndTheValueIsReadWhateverIt) {
    can_frame f = makeFrame(0x122, {0xA1, 0xA1, 0xA1, 0xA1, 0x12, 0x34, 0x56, 0x78});
    for (const auto& [dlc, bytes] : {std::pair<int, int>{0, 0}, {1, 1}, {7, 7}, {8, 8}, {9, 8}, {15, 8}, {255, 8}}) {
        f.can_dlc = uint8_t(dlc);
        EXPECT_EQ(bytes, dataLength(f)) << "dlc " << dlc;
        EXPECT_EQ(0x12345678u, frameValue(f)) << "dlc " << dlc;
    }
}

// The identifier word decides in a fixed order (usual identifiers, bit 31 and RTR flag: on the
// bus); only 8 bytes with all four markers make a notice.
TEST(CanFrameCodec, ClassifyChecksTheIdentifierWordInFixedOrder) {
    const CanChannelIds ids{0x123, 0x122, 0x321, 0x320};
    const Bytes notice{0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1};
    const struct {
        const char* name;
        CanChannelIds ids;
        uint32_t id;
        Bytes data;
        FrameKind kind;
    } cases[] = {
        {"noticeNeedsDataLengthEight", ids, 0x122, {0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0}, FrameKind::CommandLength},
        {"noticeDataLengthNine", ids, 0x122, {0xA1, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1, 0}, FrameKind::CommandLength},
        {"noticeLastMarkerWrong", ids, 0x122, {0xA1, 0xA1, 0xA1, 0xA0, 0, 0, 0, 1}, FrameKind::CommandLength},
        {"noticeFirstMarkerWrong", ids, 0x122, {0xA0, 0xA1, 0xA1, 0xA1, 0, 0, 0, 1}, FrameKind::CommandLength},
        {"noticeMarkersOnStreamLength", ids, 0x320, notice, FrameKind::StreamLength},
        {"streamLengthFirst", {0x50, 0x50, 0x50, 0x50}, 0x50, notice, FrameKind::StreamLength},
        {"streamDataBeforeCommandData", {0x60, 0x61, 0x60, 0x62}, 0x60, {1}, FrameKind::StreamData}};
    for (const auto& c : cases) EXPECT_EQ(c.kind, classifyFrame(makeFrame(c.id, c.data), c.ids)) << c.name;
}

using Outcome = CanMessageAssembler::Outcome;
using Reason = CanMessageAssembler::DropReason;

// A length frame (announce), a data frame of `value` bytes, or frames lost
// before the next one, and the outcome it must have.
enum class Kind { Announce, Data, Lost };
struct Step {
    Kind kind;
    uint32_t value;
    Outcome outcome;
    Reason reason = Reason::None;
};

Step length(uint32_t n, Outcome o = Outcome::Pending, Reason r = Reason::None) { return {Kind::Announce, n, o, r}; }
Step data(uint32_t n, Outcome o = Outcome::Pending, Reason r = Reason::None) { return {Kind::Data, n, o, r}; }
Step lost(Outcome o = Outcome::Dropped) { return {Kind::Lost, 0, o, o == Outcome::Dropped ? Reason::FramesLost : Reason::None}; }

// Data bytes run on from one frame to the next; a completed message is
// exactly the bytes sent since its length frame.
TEST(CanMessageAssembler, OutcomesAndMessagesFollowTheFrames) {
    std::vector<Step> fullBuffer{length(1024)};
    fullBuffer.insert(fullBuffer.end(), 127, data(8));
    fullBuffer.insert(fullBuffer.end(), {data(8, Outcome::Complete), data(1, Outcome::Dropped, Reason::Unannounced)});
    const std::pair<const char*, std::vector<Step>> scenarios[] = {
        {"ShortPiecesAreFine", {length(5), data(2), data(3, Outcome::Complete)}},
        {"EmptyDataFrameChangesNothing", {length(8), data(0, Outcome::Ignored), data(8, Outcome::Complete)}},
        {"HugeAnnouncement", {length(0xFFFFFFFF, Outcome::Dropped, Reason::TooLong), data(8, Outcome::Ignored)}},
        {"DataWithoutLengthFrame",
         {data(8, Outcome::Dropped, Reason::Unannounced), data(8, Outcome::Ignored), length(2),
          data(2, Outcome::Complete)}},
        {"DataAfterACompleteMessage",
         {length(4), data(4, Outcome::Complete), data(4, Outcome::Dropped, Reason::Unannounced)}},
        {"NothingAfterAFullBuffer", fullBuffer},
        // Lost frames give up a message in progress; the rest of it has nothing to join.
        {"LostFramesInAMessage", {length(16), data(8), lost(), data(8, Outcome::Ignored), length(3),
                                  data(3, Outcome::Complete)}},
        {"LostFramesBetweenMessages", {lost(Outcome::Ignored), data(8, Outcome::Dropped, Reason::Unannounced),
                                       length(1), data(1, Outcome::Complete), lost(Outcome::Ignored)}}};
    for (const auto& [name, steps] : scenarios) {
        SCOPED_TRACE(name);
        CanMessageAssembler channel;
        uint8_t next = 0;
        Bytes sinceAnnounce;
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            Outcome got;
            if (step.kind == Kind::Lost) {
                got = channel.lost();
            } else if (step.kind == Kind::Announce) {
                sinceAnnounce.clear();
                got = channel.announce(step.value);
            } else {
                const Bytes bytes = pattern(step.value, next);
                next = static_cast<uint8_t>(next + step.value);
                sinceAnnounce.insert(sinceAnnounce.end(), bytes.begin(), bytes.end());
                got = channel.add(bytes.data(), step.value);
            }
            ASSERT_EQ(step.outcome, got) << "step " << i;
            if (got == Outcome::Dropped) {
                EXPECT_EQ(step.reason, channel.dropReason()) << "step " << i;
            }
            if (got == Outcome::Complete) {
                EXPECT_EQ(sinceAnnounce, Bytes(channel.message(), channel.message() + channel.messageSize()))
                    << "step " << i;
            }
            EXPECT_LE(channel.gathered() + channel.expected(), CanMessageAssembler::kCapacity) << "step " << i;
        }
    }
}

// Random frames of random sizes, as a hostile bus would send them: the buffer bound holds at
// every step and a message completes only with the exact count announced.
TEST(CanMessageAssembler, RandomFramesNeverPassTheBufferOrCompleteWrongly) {
    std::mt19937 random(20261205);
    CanMessageAssembler channel;
    uint8_t frame[255] = {};
    uint32_t announced = 0, sinceAnnounce = 0;
    bool gathering = false;
    int completed = 0;
    for (int i = 0; i < 200000; ++i) {
        if (random() % 6 == 0) {
            const uint32_t pick = random() % 4;
            announced = pick == 0 ? random() : pick == 1 ? random() % 2048 : random() % 64;
            sinceAnnounce = 0;
            const Outcome o = channel.announce(announced);
            gathering = o == Outcome::Pending && announced != 0;
            ASSERT_EQ(announced > CanMessageAssembler::kCapacity, o == Outcome::Dropped);
        } else {
            const uint32_t count = random() % 4 == 0 ? random() % sizeof frame : random() % 9;
            const Outcome o = channel.add(frame, count);
            if (o == Outcome::Complete) {
                ++completed;
                ASSERT_TRUE(gathering);
                ASSERT_EQ(announced, sinceAnnounce + count);
                ASSERT_EQ(announced, channel.messageSize());
                gathering = false;
            } else if (o == Outcome::Pending) {
                ASSERT_TRUE(gathering);
                sinceAnnounce += count;
            } else if (o == Outcome::Dropped) {
                gathering = false;
            }
        }
        ASSERT_LE(channel.gathered() + channel.expected(), CanMessageAssembler::kCapacity);
    }
    EXPECT_GT(completed, 100) << "the walk should complete messages too";
}

}  // namespace
