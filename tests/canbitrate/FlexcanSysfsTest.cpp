// The bit-rate service against files in the place of sysfs: the process
// enters a private mount namespace, binds a temporary directory holding
// can0..can3/can_bitrate over /sys/class/net and puts a recording "ifconfig"
// first on PATH. The recorder notes its arguments and the file's content at
// that moment, so the order of down, write and up is checked too.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "can/XR9CANInterface.h"
#include "can/XR9Flexcan.h"
#include "common/MountNamespace.h"
#include "common/TestSupport.h"

namespace {

using xr9test::ScopedMount;

const char* const kNet = "/sys/class/net";
constexpr int kInterfaces = 4;

class ObservedFlexcan : public XR9Flexcan {
public:
    using XR9Flexcan::m_BitrateFile;
};

enum class FileKind { Text, Missing, Directory, WriteFails };

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!xr9test::enterPrivateMountNamespace(&why)) GTEST_SKIP() << why;
        net_ = tmp_.file("net");
        ASSERT_EQ(0, mkdir(net_.c_str(), 0755));
        for (int i = 0; i < kInterfaces; ++i) {
            ASSERT_EQ(0, mkdir(interfaceDir(i).c_str(), 0755));
        }
        bind_ = std::make_unique<ScopedMount>(ScopedMount::bind(net_, kNet));
        ASSERT_TRUE(bind_->ok()) << bind_->error();

        const std::string bin = tmp_.file("bin");
        record_ = tmp_.file("ifconfig.calls");
        ASSERT_EQ(0, mkdir(bin.c_str(), 0755));
        const std::string script = bin + "/ifconfig";
        xr9test::writeFile(script,
                           "#!/bin/sh\n"
                           "now=$(head -c 16 " + std::string(kNet) + "/$1/can_bitrate 2>/dev/null | tr -d '\\000\\n')\n"
                           "echo \"$*:$now\" >> '" + record_ + "'\n");
        ASSERT_EQ(0, chmod(script.c_str(), 0755));
        const char* path = std::getenv("PATH");
        savedPath_ = path ? path : "";
        setenv("PATH", (bin + ":" + savedPath_).c_str(), 1);
    }

    void TearDown() override {
        if (!savedPath_.empty()) setenv("PATH", savedPath_.c_str(), 1);
    }

    std::string interfaceDir(int i) const { return net_ + "/can" + std::to_string(i); }
    std::string rateFile(int i) const { return interfaceDir(i) + "/can_bitrate"; }

    void prepare(int i, FileKind kind, const std::string& content) {
        const std::string file = rateFile(i);
        switch (kind) {
        case FileKind::Text:
            xr9test::writeFile(file, content);
            break;
        case FileKind::Missing:
            break;
        case FileKind::Directory:
            ASSERT_EQ(0, mkdir(file.c_str(), 0755));
            break;
        case FileKind::WriteFails:
            ASSERT_EQ(0, symlink("/dev/full", file.c_str()));  // reads zeros, refuses writes
            break;
        }
    }

    std::vector<std::string> commands() const { return xr9test::readLines(record_); }

    xr9test::TempDir tmp_;  // first: outlives the bind mount into it
    std::string net_;
    std::string record_;
    std::string savedPath_;
    std::unique_ptr<ScopedMount> bind_;
};

struct RateCase {
    const char* name;
    unsigned int channel;
    unsigned int rate;
    FileKind kind;
    const char* before;                 // every interface's file content (Text)
    int result;
    std::vector<std::string> commands;  // "<args>:<file content at that moment>"
    int changed;                        // interface whose file changes, -1 none
    const char* after;                  // its content afterwards
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.name; }

class FlexcanSysfs : public FakeSysfs, public ::testing::WithParamInterface<RateCase> {};

TEST_P(FlexcanSysfs, SetsTheRateThroughSysfsBetweenDownAndUp) {
    const RateCase& c = GetParam();
    for (int i = 0; i < kInterfaces; ++i) prepare(i, c.kind, c.before);
    ObservedFlexcan can;
    XR9CANInterface& service = can;

    EXPECT_EQ(c.result, service.setBaudrate(c.channel, c.rate));

    EXPECT_EQ(c.commands, commands());
    if (c.kind == FileKind::Text) {
        for (int i = 0; i < kInterfaces; ++i) {
            EXPECT_EQ(i == c.changed ? c.after : c.before, xr9test::readFile(rateFile(i))) << "can" << i;
        }
    }
    const bool refused = c.commands.empty();
    const std::string remembered =
        refused ? "undefined" : std::string(kNet) + "/can" + std::to_string(c.channel - 1) + "/can_bitrate";
    EXPECT_EQ(remembered, can.m_BitrateFile);
}

const FileKind kText = FileKind::Text;

INSTANTIATE_TEST_SUITE_P(
    Cases, FlexcanSysfs,
    ::testing::Values(
        RateCase{"KbitOnCan0", 1, 500, kText, "9", 0, {"can0 down:9", "can0 up:500000"}, 0, "500000"},
        RateCase{"BitOnCan0", 1, 500000, kText, "9", 0, {"can0 down:9", "can0 up:500000"}, 0, "500000"},
        RateCase{"TenKbitRaisedToFloor", 2, 10, kText, "9", 0, {"can1 down:9", "can1 up:10390"}, 1, "10390"},
        RateCase{"TenThousandBitRaisedToFloor", 2, 10000, kText, "9", 0, {"can1 down:9", "can1 up:10390"}, 1,
                 "10390"},
        RateCase{"FloorItselfKept", 3, 10390, kText, "9", 0, {"can2 down:9", "can2 up:10390"}, 2, "10390"},
        RateCase{"OneMbitOnCan3", 4, 1000, kText, "9", 0, {"can3 down:9", "can3 up:1000000"}, 3, "1000000"},
        RateCase{"LargestSevenDigitRate", 4, 9999999, kText, "9", 0, {"can3 down:9", "can3 up:9999999"}, 3,
                 "9999999"},
        RateCase{"ChannelZeroRefused", 0, 125, kText, "9", -1, {}, -1, ""},
        RateCase{"ChannelFiveRefused", 5, 125, kText, "9", -1, {}, -1, ""},
        RateCase{"EightDigitRateRefused", 1, 10000000, kText, "9", -1, {}, -1, ""},
        RateCase{"SameRateOnlyUp", 1, 125000, kText, "125000\n", 0, {"can0 up:125000"}, -1, ""},
        RateCase{"InsideToleranceOnlyUp", 1, 126000, kText, "125000\n", 0, {"can0 up:125000"}, -1, ""},
        RateCase{"OutsideToleranceWritten", 1, 127000, kText, "125000\n", 0,
                 {"can0 down:125000", "can0 up:127000"}, 0, "127000\n"},
        RateCase{"FileValueZeroNeverMatches", 1, 10, kText, "0", 0, {"can0 down:0", "can0 up:10390"}, 0,
                 "10390"},
        // The read-back sees "5000000", not the rate written: still 0.
        RateCase{"ReadBackMismatchStillSucceeds", 1, 500000, kText, "100000000", 0,
                 {"can0 down:100000000", "can0 up:500000000"}, 0, "500000000"},
        RateCase{"MissingFileOnlyUp", 1, 500, FileKind::Missing, "", -1, {"can0 up:"}, -1, ""},
        RateCase{"DirectoryOnlyUp", 3, 500, FileKind::Directory, "", -1, {"can2 up:"}, -1, ""},
        RateCase{"FailedWriteStillUp", 2, 500, FileKind::WriteFails, "", -1, {"can1 down:", "can1 up:"}, -1, ""}),
    [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.name); });

TEST_F(FakeSysfs, RefusedCallKeepsTheFileOfTheLastChannel) {
    for (int i = 0; i < kInterfaces; ++i) prepare(i, FileKind::Text, "9");
    ObservedFlexcan can;
    ASSERT_EQ(0, can.setBaudrate(2, 250));
    EXPECT_EQ(-1, can.setBaudrate(5, 250));
    EXPECT_EQ(-1, can.setBaudrate(2, 20000000));
    EXPECT_EQ(std::string(kNet) + "/can1/can_bitrate", can.m_BitrateFile);
    bool matches = false;
    EXPECT_EQ(0, can.readBaudrateInternal(250000, &matches));
    EXPECT_TRUE(matches);
    EXPECT_EQ((std::vector<std::string>{"can1 down:9", "can1 up:250000"}), commands());
}

// Makes the file unopenable between the first check and the read-back, both
// of which come through the virtual table.
class FileVanishesForTheWrite : public XR9Flexcan {
public:
    int readBaudrateInternal(unsigned int rate, bool* matches) override {
        ++reads;
        if (reads == 1) {
            const int status = XR9Flexcan::readBaudrateInternal(rate, matches);
            hide();
            return status;
        }
        unhide();
        return XR9Flexcan::readBaudrateInternal(rate, matches);
    }
    int reads = 0;

private:
    void hide() {
        if (std::rename(m_BitrateFile.c_str(), (m_BitrateFile + ".away").c_str()) != 0 ||
            mkdir(m_BitrateFile.c_str(), 0755) != 0) {
            ADD_FAILURE() << "cannot hide " << m_BitrateFile;
        }
    }
    void unhide() {
        if (rmdir(m_BitrateFile.c_str()) != 0 ||
            std::rename((m_BitrateFile + ".away").c_str(), m_BitrateFile.c_str()) != 0) {
            ADD_FAILURE() << "cannot restore " << m_BitrateFile;
        }
    }
};

TEST_F(FakeSysfs, FileUnopenableForTheWriteButReadableAfterGivesZero) {
    for (int i = 0; i < kInterfaces; ++i) prepare(i, FileKind::Text, "9");
    FileVanishesForTheWrite can;
    EXPECT_EQ(0, can.setBaudrate(1, 500));
    EXPECT_EQ(2, can.reads);
    EXPECT_EQ((std::vector<std::string>{"can0 down:", "can0 up:9"}), commands());
    EXPECT_EQ("9", xr9test::readFile(rateFile(0))) << "nothing was written";
}

}  // namespace
