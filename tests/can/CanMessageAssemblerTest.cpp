// Reassembly of one channel in isolation: the cases the receive tests on the
// bus do not reach, and every way bytes could go past the 1024-byte buffer.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "CanHarness.h"
#include "can/CanMessageAssembler.h"

namespace {

using xr9can::CanMessageAssembler;
using Outcome = CanMessageAssembler::Outcome;
using Reason = CanMessageAssembler::DropReason;

// One frame of a scenario: a length frame (announce) or a data frame of
// `value` bytes, and the outcome it must have.
struct Step {
    bool announce;
    uint32_t value;
    Outcome outcome;
    Reason reason = Reason::None;
};

Step length(uint32_t n, Outcome o = Outcome::Pending, Reason r = Reason::None) { return {true, n, o, r}; }
Step data(uint32_t n, Outcome o = Outcome::Pending, Reason r = Reason::None) { return {false, n, o, r}; }

// Data bytes run on from one frame to the next; a completed message must be
// exactly the bytes sent since its length frame.
TEST(CanMessageAssembler, OutcomesAndMessagesFollowTheFrames) {
    std::vector<Step> fullBuffer{length(1024)};
    fullBuffer.insert(fullBuffer.end(), 127, data(8));
    fullBuffer.insert(fullBuffer.end(), {data(8, Outcome::Complete), data(1, Outcome::Dropped, Reason::Unannounced)});
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::vector<uint32_t> completeSizes;
    } scenarios[] = {
        {"WholeMessage", {length(20), data(8), data(8), data(4, Outcome::Complete)}, {20}},
        {"ShortPiecesAreFine", {length(5), data(2), data(3, Outcome::Complete)}, {5}},
        {"EmptyDataFrameChangesNothing", {length(8), data(0, Outcome::Ignored), data(8, Outcome::Complete)}, {8}},
        {"ZeroAnnouncedDeliversNothing",
         {length(0), data(4, Outcome::Dropped, Reason::Unannounced), length(4), data(4, Outcome::Complete)},
         {4}},
        {"HugeAnnouncement", {length(0xFFFFFFFF, Outcome::Dropped, Reason::TooLong), data(8, Outcome::Ignored)}, {}},
        {"DataWithoutLengthFrame",
         {data(8, Outcome::Dropped, Reason::Unannounced), data(8, Outcome::Ignored), length(2),
          data(2, Outcome::Complete)},
         {2}},
        {"DataAfterACompleteMessage",
         {length(4), data(4, Outcome::Complete), data(4, Outcome::Dropped, Reason::Unannounced)},
         {4}},
        {"NothingAfterAFullBuffer", fullBuffer, {1024}}};
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        CanMessageAssembler channel;
        uint8_t next = 0;
        cantest::Bytes sinceAnnounce;
        std::vector<uint32_t> sizes;
        for (size_t i = 0; i < scenario.steps.size(); ++i) {
            const Step& step = scenario.steps[i];
            Outcome got;
            if (step.announce) {
                sinceAnnounce.clear();
                got = channel.announce(step.value);
            } else {
                const cantest::Bytes bytes = cantest::pattern(step.value, next);
                next = static_cast<uint8_t>(next + step.value);
                sinceAnnounce.insert(sinceAnnounce.end(), bytes.begin(), bytes.end());
                got = channel.add(bytes.data(), step.value);
            }
            ASSERT_EQ(step.outcome, got) << "step " << i;
            if (got == Outcome::Dropped) {
                EXPECT_EQ(step.reason, channel.dropReason()) << "step " << i;
            }
            if (got == Outcome::Complete) {
                sizes.push_back(channel.messageSize());
                EXPECT_EQ(sinceAnnounce, cantest::Bytes(channel.message(), channel.message() + channel.messageSize()))
                    << "step " << i;
            }
            EXPECT_LE(channel.gathered() + channel.expected(), CanMessageAssembler::kCapacity) << "step " << i;
        }
        EXPECT_EQ(scenario.completeSizes, sizes);
    }
}

// Random frames of random sizes, as a broken or hostile bus would send them:
// the buffer bound holds at every step and a message completes only with the
// exact count announced.
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
