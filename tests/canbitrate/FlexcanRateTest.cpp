// The bit-rate service without sysfs: kbit/s scaling, reading and comparing
// the current rate of a file, the object's initial file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "can/XR9CANInterface.h"
#include "can/XR9Flexcan.h"
#include "common/TestSupport.h"

namespace {

// Records what setBaudrate hands to the second stage instead of touching
// any interface.
class RecordingFlexcan : public XR9Flexcan {
public:
    int setBaudrateInternal(unsigned int channel, unsigned int rate) override {
        calls.push_back({channel, rate});
        return answer;
    }
    struct Call {
        unsigned int channel;
        unsigned int rate;
    };
    std::vector<Call> calls;
    int answer = 0;
};

// Points the object at a file of the test's choosing.
class FileFlexcan : public XR9Flexcan {
public:
    using XR9Flexcan::m_BitrateFile;
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
        ASSERT_EQ(2u, can.calls.size());
        for (const auto& call : can.calls) {
            EXPECT_EQ(3u, call.channel);
            EXPECT_EQ(passed, call.rate) << requested;
        }
    }
}

struct ReadCase {
    const char* name;
    const char* content;  // nullptr: no file
    unsigned int rate;
    int status;
    bool matches;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class FlexcanRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(FlexcanRead, CurrentRateMatchesWithinOneAndAHalfPercentOfTheValueRead) {
    xr9test::TempDir dir;
    FileFlexcan can;
    can.m_BitrateFile = dir.file("can_bitrate");
    if (GetParam().content) xr9test::writeFile(can.m_BitrateFile, GetParam().content);
    bool matches = !GetParam().matches;  // must be overwritten either way
    EXPECT_EQ(GetParam().status, can.readBaudrateInternal(GetParam().rate, &matches));
    EXPECT_EQ(GetParam().matches, matches);
    if (GetParam().content) {
        EXPECT_EQ(GetParam().content, xr9test::readFile(can.m_BitrateFile)) << "reading changes nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, FlexcanRead,
    ::testing::Values(
        ReadCase{"Equal", "125000\n", 125000, 0, true},
        ReadCase{"JustInsideAbove", "125000\n", 126874, 0, true},
        ReadCase{"UpperBoundIsStrict", "125000\n", 126875, 0, false},
        ReadCase{"JustInsideBelow", "125000\n", 123126, 0, true},
        ReadCase{"LowerBoundIsStrict", "125000\n", 123125, 0, false},
        // 1.5 % of the value read: 1000000 allows 985001, which a tolerance
        // of 1.5 % of the value wanted (14775) would refuse.
        ReadCase{"ToleranceNotOfTheValueWanted", "1000000", 985001, 0, true},
        ReadCase{"ZeroMatchesNothingElse", "0", 1, 0, false},
        ReadCase{"LeadingBlankSkipped", " 250000\n", 250000, 0, true},
        ReadCase{"BlanksCountTowardsTheSeven", "  250000\n", 25000, 0, true},
        ReadCase{"OnlySevenCharactersRead", "12500001", 1250000, 0, true},
        ReadCase{"EmptyReadsAsZero", "", 10390, 0, false},
        ReadCase{"NegativeTakenUnsigned", "-1", UINT_MAX, 0, true},
        ReadCase{"MissingFile", nullptr, 125000, -1, false}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

// Runs the body with the working directory set to dir, restoring it after.
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
