#include <gtest/gtest.h>

#include <vector>

#include "xr9al/Cli.h"

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

}  // namespace
