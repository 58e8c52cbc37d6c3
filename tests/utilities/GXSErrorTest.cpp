#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/GXSError.h"

namespace {

class LastError : public ::testing::Test {
protected:
    void SetUp() override {
        GXSError::ERROR_STRING.clear();
        GXSError::WAS_READ = false;
    }
};

// One step of a scenario: record a text, or read and expect one.
struct Step {
    enum Kind { Record, Read } kind;
    const char* text;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

class LastErrorScenario : public LastError, public ::testing::WithParamInterface<Scenario> {};

TEST_P(LastErrorScenario, KeepsTheFirstTextUntilItHasBeenRead) {
    int n = 0;
    for (const Step& step : GetParam().steps) {
        ++n;
        if (step.kind == Step::Record)
            GXSError::setErrorString(step.text);
        else
            EXPECT_EQ(step.text, GXSError::getErrorString()) << "step " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, LastErrorScenario,
    ::testing::Values(
        Scenario{"EmptyReadsEmpty", {{Step::Read, ""}, {Step::Read, ""}}},
        Scenario{"ThirdAfterAReadReplaces",
                 {{Step::Record, "first"}, {Step::Record, "second"}, {Step::Read, "first"}, {Step::Record, "third"},
                  {Step::Read, "third"}}},
        Scenario{"ReadingTwiceGivesTheSameText", {{Step::Record, "kept"}, {Step::Read, "kept"}, {Step::Read, "kept"}}},
        Scenario{"EmptyTextAfterAReadClearsIt",
                 {{Step::Record, "one"}, {Step::Read, "one"}, {Step::Record, ""}, {Step::Read, ""},
                  {Step::Record, "two"}, {Step::Read, "two"}}}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
