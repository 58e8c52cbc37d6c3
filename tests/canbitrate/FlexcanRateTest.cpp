// The bit-rate service without sysfs: kbit/s scaling, reading and comparing
// the current rate of a file, the object's initial file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "can/XR9CANInterface.h"
#include "can/XR9Flexcan.h"
#include "common/TestSupport.h"

namespace {

// Records what setBaudrate hands to the second stage instead of touching
// any interface, and points the object at a file of the test's choosing.
class RecordingFlexcan : public XR9Flexcan {
public:
    using XR9Flexcan::m_BitrateFile;
    int setBaudrateInternal(unsigned int channel, unsigned int rate) override {
        calls.push_back({channel, rate});
        return answer;
    }
    std::vector<std::pair<unsigned int, unsigned int>> calls;  // channel, rate
    int answer = 0;
};

// Rates up to 1000 are kbit/s, larger ones bit/s; the second stage's result
// is passed on.
TEST(FlexcanScaling, SmallRatesAreKbitLargeOnesBit) {
    const std::pair<unsigned int, unsigned int> cases[] = {
        {0, 0},           {1, 1000},           {10, 10000},        {125, 125000},           {1000, 1000000},
        {1001, 1001},     {10000, 10000},      {500000, 500000},   {10000000, 10000000},    {UINT_MAX, UINT_MAX}};
    for (const auto& [requested, passed] : cases) {
        RecordingFlexcan can;
        XR9CANInterface& service = can;
        for (int answer : {0, -1}) {
            can.answer = answer;
            EXPECT_EQ(answer, service.setBaudrate(3, requested)) << requested;
        }
        const std::vector<std::pair<unsigned int, unsigned int>> twice(2, {3, passed});
        EXPECT_EQ(twice, can.calls) << requested;
    }
}

// A match is within 1.5 % of the value read, bounds excluded; at most seven
// characters are read, a leading blank skipped.
TEST(FlexcanRead, CurrentRateMatchesWithinOneAndAHalfPercentOfTheValueRead) {
    const struct {
        const char* name;
        const char* content;  // nullptr: no file
        unsigned int rate;
        int status;
        bool matches;
    } cases[] = {
        {"Equal", "125000\n", 125000, 0, true},
        {"JustInsideAbove", "125000\n", 126874, 0, true},
        {"UpperBoundIsStrict", "125000\n", 126875, 0, false},
        {"JustInsideBelow", "125000\n", 123126, 0, true},
        {"LowerBoundIsStrict", "125000\n", 123125, 0, false},
        // 1000000 allows 985001, which 1.5 % of the value wanted (14775) would refuse.
        {"ToleranceNotOfTheValueWanted", "1000000", 985001, 0, true},
        {"ZeroMatchesNothingElse", "0", 1, 0, false},
        {"LeadingBlankSkipped", " 250000\n", 250000, 0, true},
        {"BlanksCountTowardsTheSeven", "  250000\n", 25000, 0, true},
        {"OnlySevenCharactersRead", "12500001", 1250000, 0, true},
        {"EmptyReadsAsZero", "", 10390, 0, false},
        {"NegativeTakenUnsigned", "-1", UINT_MAX, 0, true},
        {"MissingFile", nullptr, 125000, -1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        xr9test::TempDir dir;
        RecordingFlexcan can;
        can.m_BitrateFile = dir.file("can_bitrate");
        if (c.content) xr9test::writeFile(can.m_BitrateFile, c.content);
        bool matches = !c.matches;  // must be overwritten either way
        EXPECT_EQ(c.status, can.readBaudrateInternal(c.rate, &matches));
        EXPECT_EQ(c.matches, matches);
        if (c.content) {
            EXPECT_EQ(c.content, xr9test::readFile(can.m_BitrateFile)) << "reading changes nothing";
        }
    }
}

// A fresh object, as the factory makes it, reads the file "undefined" relative to
// the working directory until a channel has been chosen.
TEST(FlexcanFresh, ReadsTheFileUndefinedOfTheWorkingDirectory) {
    xr9test::TempDir dir;
    char saved[4096];
    ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    std::unique_ptr<XR9CANInterface> can(XR9CANInterface::create(0));
    EXPECT_NE(nullptr, dynamic_cast<XR9Flexcan*>(can.get()));
    bool matches = true;
    EXPECT_EQ(-1, can->readBaudrateInternal(125000, &matches)) << "no such file";
    EXPECT_FALSE(matches);
    xr9test::writeFile(dir.file("undefined"), "125000\n");
    EXPECT_EQ(0, can->readBaudrateInternal(125000, &matches));
    EXPECT_TRUE(matches);
    EXPECT_EQ(0, chdir(saved));
}

}  // namespace
