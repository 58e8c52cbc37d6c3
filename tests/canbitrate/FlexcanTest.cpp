// The bit-rate service: scaling and reading a rate file in isolation, then against a
// temporary directory bound over /sys/class/net in a private mount namespace, with a
// recording "ifconfig" first on PATH that notes its arguments and the file's content at
// that moment, so the order of down, write and up is checked too.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "can/XR9CANInterface.h"
#include "can/XR9Flexcan.h"
#include "common/MountNamespace.h"
#include "common/TestSupport.h"

namespace {

class ObservedFlexcan : public XR9Flexcan {
public:
    using XR9Flexcan::m_BitrateFile;
};

// Records what setBaudrate hands to the second stage instead of touching any interface.
class RecordingFlexcan : public XR9Flexcan {
public:
    int setBaudrateInternal(unsigned int channel, unsigned int rate) override {
        calls.push_back({channel, rate});
        return -7;
    }
    std::vector<std::pair<unsigned int, unsigned int>> calls;  // channel, rate
};

// Rates up to 1000 are kbit/s, larger ones bit/s; the second stage's result
// is passed on.
TEST(FlexcanScaling, SmallRatesAreKbitLargeOnesBit) {
    const std::pair<unsigned int, unsigned int> cases[] = {
        {0, 0},           {1, 1000},           {10, 10000},        {125, 125000},           {1000, 1000000},
        {1001, 1001},     {10000, 10000},      {500000, 500000},   {10000000, 10000000},    {UINT_MAX, UINT_MAX}};
    for (const auto& [requested, passed] : cases) {
        RecordingFlexcan can;
        EXPECT_EQ(-7, static_cast<XR9CANInterface&>(can).setBaudrate(3, requested)) << requested;
        EXPECT_EQ((std::vector<std::pair<unsigned int, unsigned int>>{{3, passed}}), can.calls) << requested;
    }
}

// A match is within 1.5 % of the value read, bounds excluded; at most seven
// characters are read, a leading blank skipped. A fresh object reads "undefined" in the working directory.
TEST(FlexcanRead, RateMatchesWithinOneAndAHalfPercentOfTheFileAndAFreshObjectReadsUndefined) {
    const struct {
        const char* name;
        const char* content;  // nullptr: no file
        unsigned int rate;
        int status;
        bool matches;
    } cases[] = {
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
        ObservedFlexcan can;
        can.m_BitrateFile = dir.file("can_bitrate");
        if (c.content) xr9test::writeFile(can.m_BitrateFile, c.content);
        bool matches = !c.matches;  // must be overwritten either way
        EXPECT_EQ(c.status, can.readBaudrateInternal(c.rate, &matches));
        EXPECT_EQ(c.matches, matches);
        if (c.content) {
            EXPECT_EQ(c.content, xr9test::readFile(can.m_BitrateFile)) << "reading changes nothing";
        }
    }
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

using xr9test::ScopedMount;
using Lines = std::vector<std::string>;

const std::string kNet = "/sys/class/net";
constexpr int kInterfaces = 4;

enum class FileKind { Text, Missing, Directory, WriteFails };

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!xr9test::enterPrivateMountNamespace(&why)) GTEST_SKIP() << why;
        for (const std::string& d : {tmp_.file("net"), tmp_.file("bin")}) ASSERT_EQ(0, mkdir(d.c_str(), 0755));
        for (int i = 0; i < kInterfaces; ++i) {
            ASSERT_EQ(0, mkdir(tmp_.file("net/can" + std::to_string(i)).c_str(), 0755));
        }
        bind_ = std::make_unique<ScopedMount>(ScopedMount::bind(tmp_.file("net"), kNet));
        ASSERT_TRUE(bind_->ok()) << bind_->error();

        const std::string script = tmp_.file("bin/ifconfig");
        xr9test::writeFile(script, "#!/bin/sh\nnow=$(head -c 16 " + kNet +
                                       "/$1/can_bitrate 2>/dev/null | tr -d '\\000\\n')\n"
                                       "echo \"$*:$now\" >> '" + tmp_.file("ifconfig.calls") + "'\n");
        ASSERT_EQ(0, chmod(script.c_str(), 0755));
        const char* path = std::getenv("PATH");
        savedPath_ = path ? path : "";
        setenv("PATH", (tmp_.file("bin") + ":" + savedPath_).c_str(), 1);
    }

    void TearDown() override {
        if (!savedPath_.empty()) setenv("PATH", savedPath_.c_str(), 1);
    }

    std::string rateFile(int i) const { return tmp_.file("net/can" + std::to_string(i) + "/can_bitrate"); }

    // Every interface's file as kind, with content for Text.
    void prepare(FileKind kind, const std::string& content) {
        for (int i = 0; i < kInterfaces; ++i) {
            const std::string file = rateFile(i);
            if (kind == FileKind::Text) xr9test::writeFile(file, content);
            ASSERT_TRUE(kind != FileKind::Directory || mkdir(file.c_str(), 0755) == 0);
            ASSERT_TRUE(kind != FileKind::WriteFails || symlink("/dev/full", file.c_str()) == 0);  // reads zeros
        }
    }

    Lines commands() const { return xr9test::readLines(tmp_.file("ifconfig.calls")); }

    xr9test::TempDir tmp_;  // first: outlives the bind mount into it
    std::string savedPath_;
    std::unique_ptr<ScopedMount> bind_;
};

struct RateCase {
    const char* name;
    unsigned int channel, rate;
    FileKind kind;
    const char* before;  // every interface's file content (Text)
    int result;
    Lines commands;      // "<args>:<file content at that moment>"
    const char* after;   // the chosen interface's content afterwards (Text)
};

class FlexcanSysfs : public FakeSysfs, public ::testing::WithParamInterface<RateCase> {};

TEST_P(FlexcanSysfs, SetsTheRateThroughSysfsBetweenDownAndUp) {
    const RateCase& c = GetParam();
    prepare(c.kind, c.before);
    ObservedFlexcan can;
    XR9CANInterface& service = can;
    EXPECT_EQ(c.result, service.setBaudrate(c.channel, c.rate));
    EXPECT_EQ(c.commands, commands());
    for (int i = 0; c.kind == FileKind::Text && i < kInterfaces; ++i) {
        EXPECT_EQ(i + 1 == int(c.channel) ? c.after : c.before, xr9test::readFile(rateFile(i))) << "can" << i;
    }
    const std::string chosen = kNet + "/can" + std::to_string(c.channel - 1) + "/can_bitrate";
    EXPECT_EQ(c.commands.empty() ? "undefined" : chosen, can.m_BitrateFile);
}

const FileKind kText = FileKind::Text;

INSTANTIATE_TEST_SUITE_P(
    Cases, FlexcanSysfs,
    ::testing::Values(
        RateCase{"KbitOnCan0", 1, 500, kText, "9", 0, {"can0 down:9", "can0 up:500000"}, "500000"},
        RateCase{"TenKbitRaisedToFloor", 2, 10, kText, "9", 0, {"can1 down:9", "can1 up:10390"}, "10390"},
        RateCase{"OneMbitOnCan3", 4, 1000, kText, "9", 0, {"can3 down:9", "can3 up:1000000"}, "1000000"},
        RateCase{"LargestSevenDigitRate", 4, 9999999, kText, "9", 0, {"can3 down:9", "can3 up:9999999"}, "9999999"},
        RateCase{"ChannelZeroRefused", 0, 125, kText, "9", -1, {}, ""},
        RateCase{"EightDigitRateRefused", 1, 10000000, kText, "9", -1, {}, "9"},
        RateCase{"InsideToleranceOnlyUp", 1, 126000, kText, "125000\n", 0, {"can0 up:125000"}, "125000\n"},
        RateCase{"OutsideToleranceWritten", 1, 127000, kText, "125000\n", 0, {"can0 down:125000", "can0 up:127000"},
                 "127000\n"},
        // The read-back sees "5000000", not the rate written: still 0.
        RateCase{"ReadBackMismatchStillSucceeds", 1, 500000, kText, "100000000", 0,
                 {"can0 down:100000000", "can0 up:500000000"}, "500000000"},
        RateCase{"MissingFileOnlyUp", 1, 500, FileKind::Missing, "", -1, {"can0 up:"}, ""},
        RateCase{"DirectoryOnlyUp", 3, 500, FileKind::Directory, "", -1, {"can2 up:"}, ""},
        RateCase{"FailedWriteStillUp", 2, 500, FileKind::WriteFails, "", -1, {"can1 down:", "can1 up:"}, ""}),
    [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.name); });

TEST_F(FakeSysfs, RefusedCallKeepsTheFileOfTheLastChannel) {
    prepare(FileKind::Text, "9");
    ObservedFlexcan can;
    ASSERT_EQ(0, can.setBaudrate(2, 250));
    EXPECT_EQ(-1, can.setBaudrate(5, 250));
    EXPECT_EQ(-1, can.setBaudrate(2, 20000000));
    EXPECT_EQ(kNet + "/can1/can_bitrate", can.m_BitrateFile);
    bool matches = false;
    EXPECT_EQ(0, can.readBaudrateInternal(250000, &matches));
    EXPECT_TRUE(matches);
    EXPECT_EQ((Lines{"can1 down:9", "can1 up:250000"}), commands());
}

// The file cannot be opened between the first check and the read-back (both
// come through the virtual table): a directory stands in its place meanwhile.
class FileVanishesForTheWrite : public XR9Flexcan {
public:
    int readBaudrateInternal(unsigned int rate, bool* matches) override {
        const std::string away = m_BitrateFile + ".away";
        if (++reads == 1) {
            const int status = XR9Flexcan::readBaudrateInternal(rate, matches);
            EXPECT_EQ(0, std::rename(m_BitrateFile.c_str(), away.c_str()));
            EXPECT_EQ(0, mkdir(m_BitrateFile.c_str(), 0755));
            return status;
        }
        EXPECT_EQ(0, rmdir(m_BitrateFile.c_str()));
        EXPECT_EQ(0, std::rename(away.c_str(), m_BitrateFile.c_str()));
        return XR9Flexcan::readBaudrateInternal(rate, matches);
    }
    int reads = 0;
};

TEST_F(FakeSysfs, FileUnopenableForTheWriteButReadableAfterGivesZero) {
    prepare(FileKind::Text, "9");
    FileVanishesForTheWrite can;
    EXPECT_EQ(0, can.setBaudrate(1, 500));
    EXPECT_EQ(2, can.reads);
    EXPECT_EQ((Lines{"can0 down:", "can0 up:9"}), commands());
    EXPECT_EQ("9", xr9test::readFile(rateFile(0))) << "nothing was written";
}

}  // namespace
