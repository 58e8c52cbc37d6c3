#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <vector>

#include "xr9al/Cli.h"
#include "xr9al/Help.h"

namespace {

using xr9tool::Args;
using xr9tool::OptionTable;

struct Argv {
    explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
        for (auto& w : words_) pointers_.push_back(&w[0]);
    }
    int argc() { return static_cast<int>(pointers_.size()); }
    char** argv() { return pointers_.data(); }
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

const OptionTable kOptions{{"host", "port"}, {"watch"}};

TEST(ToolArgs, ValuesFlagsAndPositionalsInAnyOrderUntilADoubleDash) {
    Argv a({"xr9al", "peer", "send", "--host", "10.0.0.2", "--port=5000", "--watch", "file.bin"});
    Args args;
    ASSERT_TRUE(args.parse(a.argc(), a.argv(), 2, kOptions)) << args.error();
    EXPECT_EQ("10.0.0.2", args.value("host"));
    EXPECT_EQ("5000", args.value("port"));
    EXPECT_TRUE(args.has("watch"));
    EXPECT_FALSE(args.has("help"));
    EXPECT_EQ((std::vector<std::string>{"send", "file.bin"}), args.positional());
    Argv ended({"--", "--host"});
    Args afterEnd;
    ASSERT_TRUE(afterEnd.parse(ended.argc(), ended.argv(), 0, kOptions));
    EXPECT_EQ((std::vector<std::string>{"--host"}), afterEnd.positional()) << "-- ends the options";
}

struct BadCase {
    std::vector<std::string> words;
    std::string error;
};

class ToolArgsErrors : public ::testing::TestWithParam<BadCase> {};

TEST_P(ToolArgsErrors, AreNamed) {
    Argv a(GetParam().words);
    Args args;
    EXPECT_FALSE(args.parse(a.argc(), a.argv(), 0, kOptions));
    EXPECT_EQ(GetParam().error, args.error());
}

INSTANTIATE_TEST_SUITE_P(Cases, ToolArgsErrors,
                         ::testing::Values(BadCase{{"--nope"}, "unknown option --nope"},
                                           BadCase{{"--host"}, "option --host needs a value"},
                                           BadCase{{"--watch=yes"}, "option --watch takes no value"}));

struct NumberCase {
    const char* text;
    uint64_t min, max;
    bool ok;
    uint64_t value;
};

class ToolNumbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ToolNumbers, ParseWholeNumbersInRangeOnly) {
    uint64_t out = 12345;
    EXPECT_EQ(GetParam().ok, xr9tool::parseNumber(GetParam().text, GetParam().min, GetParam().max, &out))
        << GetParam().text;
    if (GetParam().ok) {
        EXPECT_EQ(GetParam().value, out);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolNumbers,
    ::testing::Values(NumberCase{"5000", 1, 65535, true, 5000}, NumberCase{"0x123", 0, 0x1FFFFFFF, true, 0x123},
                      NumberCase{"65536", 1, 65535, false, 0}, NumberCase{"0", 1, 65535, false, 0},
                      NumberCase{"-1", 0, 10, false, 0}, NumberCase{"12abc", 0, 100, false, 0},
                      NumberCase{"", 0, 100, false, 0}, NumberCase{" 5", 0, 100, false, 0},
                      NumberCase{"99999999999999999999999", 0, UINT64_MAX, false, 0}));

TEST(ToolArgs, NumberOptionFallsBackOrExplains) {
    Argv a({"--port", "70000"});
    Args args;
    ASSERT_TRUE(args.parse(a.argc(), a.argv(), 0, kOptions));
    uint64_t v = 0;
    ASSERT_TRUE(args.number("host", 7, 0, 10, &v));
    EXPECT_EQ(7u, v);
    EXPECT_FALSE(args.number("port", 1, 1, 65535, &v));
    EXPECT_EQ("--port wants a number from 1 to 65535, not '70000'", args.error());
}

const xr9tool::CommandHelp kHelp{
    "send",
    "send things",
    {"send [--to ADDR] [--quiet] FILE"},
    {".starts like a roff request, names C:\\dir and --to, and goes on for long enough that it has to be "
     "wrapped over several lines of the help text"},
    {{"Options",
      {{"--to ADDR", "where to"},
       {"--quiet", "say less"},
       {"--a-rather-long-option-name VALUE", "a text that is long enough to wrap under the text column"}}},
     {"Actions", {{"FILE", "not an option"}}}}};

TEST(ToolHelp, OptionsAreTheEntriesThatStartWithDashesAndTakeAValueWhenOneIsNamed) {
    const OptionTable table = xr9tool::optionTable(kHelp);
    EXPECT_EQ((std::set<std::string>{"to", "a-rather-long-option-name"}), table.valued);
    EXPECT_EQ((std::set<std::string>{"quiet"}), table.flags);
}

TEST(ToolHelp, TextStaysWithinEightyColumnsWithTextsInOneColumn) {
    const std::string text = xr9tool::helpText(kHelp);
    std::istringstream lines(text);
    int wrappedItemLines = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        if (line.compare(0, 2, "  ") == 0 && line.find_first_not_of(' ') > 2) {
            EXPECT_EQ(26u, line.find_first_not_of(' ')) << line;
            ++wrappedItemLines;
        }
    }
    EXPECT_EQ(2, wrappedItemLines) << text;
    EXPECT_EQ(0u, text.find("usage: xr9al send [--to ADDR] [--quiet] FILE\n\n.starts")) << text;
}

TEST(ToolHelp, ManualEscapesWhatRoffWouldReadAsMarkup) {
    const std::string page = xr9tool::manPage(kHelp, {&kHelp}, "9.9");
    EXPECT_EQ(0u, page.find(".TH XR9AL 1 \"\" \"libxr9al 9.9\"")) << page;
    EXPECT_NE(std::string::npos, page.find("\n\\&.starts like")) << "a line may not begin with a dot";
    EXPECT_NE(std::string::npos, page.find("C:\\edir and \\-\\-to,")) << "backslash and option dashes";
    EXPECT_NE(std::string::npos, page.find(".TP\n\\fB\\-\\-to\\fR \\fIADDR\\fR\nwhere to\n")) << page;
    EXPECT_NE(std::string::npos, page.find(".SH NAME\nxr9al \\- send things\n")) << page;
    EXPECT_NE(std::string::npos, page.find(".SH ACTIONS\n")) << page;
}

}  // namespace
