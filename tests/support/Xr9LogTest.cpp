#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/TestSupport.h"
#include "osal.h"
#include "support/Xr9Log.h"
#include "support/Xr9LogCall.h"

namespace {

using xr9test::fileSizeOf;
using xr9test::readLines;

// A file of exactly size bytes that ends with a newline, as the log leaves them.
void fillTo(const std::string& path, long long size) {
    std::string content(static_cast<size_t>(size), 'f');
    if (!content.empty()) content.back() = '\n';
    xr9test::writeFile(path, content);
}

// The log is process-wide static state; every test starts from "never set up".
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Xr9Log::m_FileName.clear();
        Xr9Log::m_Logfile.clear();
        Xr9Log::mutexID = 0;
        Xr9Log::SetLogLevel(6);
        base = dir.file("xr9al.log");
    }
    void write(const char* text) {
        char function[] = "void host()";
        std::string copy = text;
        Xr9Log::WriteLogMsg(7, function, &copy[0]);
    }
    xr9test::TempDir dir;
    std::string base;
};

TEST_F(LogTest, WithoutCreateLogFileALineOnlyReachesTheConsole) {
    xr9test::CaptureStdout out;
    write("lost");
    EXPECT_EQ("WriteLogMsg: ERROR LOCK Mutex\nWriteLogMsg: ERROR UNLOCK Mutex\n", out.text());
    EXPECT_EQ(-1, fileSizeOf(base + ".0"));
}

TEST_F(LogTest, FirstLineCreatesTheFirstFileInTheLineFormat) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    EXPECT_EQ(base + ".0", Xr9Log::m_Logfile);
    write("Params pFileName = /data/x");
    EXPECT_EQ("7  void host()  Params pFileName = /data/x\n", xr9test::readFile(base + ".0"));
    EXPECT_EQ(-1, fileSizeOf(base + ".1"));
}

TEST_F(LogTest, CallSiteWritesItsLineAndPrettyFunction) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    int line = __LINE__ + 1;
    XR9_LOG(xr9::kLogTrace, "function return value = %d", -502);
    auto lines = readLines(base + ".0");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(std::to_string(line) + "  virtual void {anonymous}::LogTest_CallSiteWritesItsLineAndPrettyFunction_Test::TestBody()"
                                     "  function return value = -502",
              lines[0]);
}

struct LevelCase {
    int level;
    bool setup, trace, always;
};

void PrintTo(const LevelCase& c, std::ostream* os) {
    *os << "level " << c.level;
}

class LogThreshold : public LogTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LogThreshold, CallSitesWriteOnlyAboveTheirThreshold) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    Xr9Log::SetLogLevel(GetParam().level);
    XR9_LOG(xr9::kLogSetup, "setup");
    XR9_LOG(xr9::kLogTrace, "trace");
    XR9_LOG(xr9::kLogAlways, "always");
    std::set<std::string> seen;
    for (const std::string& l : readLines(base + ".0")) seen.insert(l.substr(l.rfind("  ") + 2));
    EXPECT_EQ(GetParam().setup, seen.count("setup") == 1);
    EXPECT_EQ(GetParam().trace, seen.count("trace") == 1);
    EXPECT_EQ(GetParam().always, seen.count("always") == 1);
}

INSTANTIATE_TEST_SUITE_P(Levels, LogThreshold,
                         ::testing::Values(LevelCase{6, true, true, true}, LevelCase{5, true, true, true},
                                           LevelCase{4, true, false, true}, LevelCase{3, false, false, true},
                                           LevelCase{0, false, false, true}, LevelCase{-1, false, false, false}));

TEST_F(LogTest, InitialLevelIsSix) {
    // SetUp stored 6 as well; the exported initial value is checked by the host-ABI test.
    EXPECT_EQ(6, LOG_LEVEL);
}

TEST_F(LogTest, LongMessagesAreCutAt999Characters) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    std::string huge(1500, 'm');
    XR9_LOG(xr9::kLogSetup, "%s", huge.c_str());
    std::string direct(1200, 'd');
    char function[] = "f";
    Xr9Log::WriteLogMsg(1, function, &direct[0]);
    auto lines = readLines(base + ".0");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::string(999, 'm'), lines[0].substr(lines[0].rfind("  ") + 2));
    EXPECT_EQ("1  f  " + std::string(999, 'd'), lines[1]);
}

TEST_F(LogTest, NullTextEndsTheLineEarlyAndTheNextLineStartsAfresh) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    char function[] = "fn";
    char message[] = "msg";
    Xr9Log::WriteLogMsg(1, function, nullptr);
    Xr9Log::WriteLogMsg(2, nullptr, message);
    Xr9Log::WriteLogMsg(3, function, message);
    EXPECT_EQ("1  fn  2  3  fn  msg\n", xr9test::readFile(base + ".0"));
}

TEST_F(LogTest, ADeletedFileIsCreatedAgainOnTheNextLine) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    write("one");
    ASSERT_EQ(0, unlink((base + ".0").c_str()));
    write("two");
    EXPECT_EQ("7  void host()  two\n", xr9test::readFile(base + ".0"));
}

TEST_F(LogTest, SecondCreateKeepsTheLock) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    KT::uint32 first = Xr9Log::mutexID;
    ASSERT_EQ(0, Xr9Log::CreateLogFile(dir.file("other")));
    EXPECT_EQ(first, Xr9Log::mutexID);
    write("moved");
    EXPECT_EQ(1u, readLines(dir.file("other") + ".0").size());
}

TEST_F(LogTest, MissingDirectoryDropsTheLineSilently) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(dir.file("missing/log")));
    xr9test::CaptureStdout out;
    write("nowhere");
    write("nowhere again");
    EXPECT_EQ("", out.text());
    EXPECT_EQ(-1, fileSizeOf(dir.file("missing/log.0")));
}

// Rotation: sizes of .0 and .1 before a line, which file the writer had been
// writing, and where the line must land.
struct RotationCase {
    const char* name;
    long long size0, size1;  // -1: no file
    const char* previous;    // "", ".0" or ".1": the file the writer had chosen
    const char* lands;       // suffix of the file taking the line
    const char* deleted;     // suffix of the file deleted for it, or ""
};

void PrintTo(const RotationCase& c, std::ostream* os) {
    *os << c.name;
}

class LogRotation : public LogTest, public ::testing::WithParamInterface<RotationCase> {};

TEST_P(LogRotation, LineLandsInTheChosenFile) {
    const RotationCase& c = GetParam();
    if (c.size0 >= 0) fillTo(base + ".0", c.size0);
    if (c.size1 >= 0) fillTo(base + ".1", c.size1);
    if (std::string(c.previous).empty()) {
        ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    } else {
        Xr9Log::m_FileName = base;  // as if lines had been going to previous
        ASSERT_EQ(0, osMutSemCreate(&Xr9Log::mutexID, "XR9_LOG_MUTEX", 0));
        Xr9Log::m_Logfile = base + c.previous;
        Xr9Log::setLogFile();
    }
    write("rotated");
    const std::string lands = base + c.lands;
    const std::string other = base + (std::string(c.lands) == ".0" ? ".1" : ".0");
    auto lines = readLines(lands);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("7  void host()  rotated", lines.back());
    if (*c.deleted) {
        EXPECT_EQ(1u, lines.size()) << "the full file must have been deleted first";
    }
    const long long otherBefore = std::string(c.lands) == ".0" ? c.size1 : c.size0;
    EXPECT_EQ(otherBefore, fileSizeOf(other)) << "the other file must stay as it was";
}

INSTANTIATE_TEST_SUITE_P(
    Table, LogRotation,
    ::testing::Values(RotationCase{"NoFiles", -1, -1, "", ".0", ""},
                      RotationCase{"FirstOneByteShort", 1048575, -1, "", ".0", ""},
                      RotationCase{"FirstFullSecondMissing", 1048576, -1, "", ".1", ""},
                      RotationCase{"FirstOverfullSecondSmall", 1048700, 10, "", ".1", ""},
                      RotationCase{"BothFullAtStart", 1048576, 1048576, "", ".0", ".0"},
                      RotationCase{"BothFullWriterJustFilledFirst", 1048576, 1048576, ".0", ".1", ".1"},
                      RotationCase{"BothFullWriterJustFilledSecond", 1048576, 1048600, ".1", ".0", ".0"}),
    [](const ::testing::TestParamInfo<RotationCase>& info) { return std::string(info.param.name); });

TEST_F(LogTest, LineThatFillsAFileSwitchesToTheOtherForTheNextLine) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    const std::string line = "7  void host()  x\n";
    fillTo(base + ".0", 1048576 - static_cast<long long>(line.size()));
    write("x");
    EXPECT_EQ(1048576, fileSizeOf(base + ".0"));
    EXPECT_EQ(base + ".1", Xr9Log::m_Logfile);
    write("y");
    EXPECT_EQ("7  void host()  y\n", xr9test::readFile(base + ".1"));
}

TEST_F(LogTest, FullFileThatCannotBeDeletedIsReportedAndWrittenOn) {
    if (!xr9test::isRoot()) GTEST_SKIP() << "needs root for a private read-only mount";
    int rc = xr9test::inPrivateMountNamespace([&] {
        // A read-only mount makes the deletion fail whatever the permissions.
        if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=4m") != 0) return 2;
        fillTo(base + ".0", 1048576);
        fillTo(base + ".1", 1048576);
        if (mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 3;
        xr9test::CaptureStdout out;
        Xr9Log::CreateLogFile(base);
        bool reported = out.text() == "LogFile: ERROR Not able to delete Logfile: " + base + ".0\n";
        return reported && Xr9Log::m_Logfile == base + ".0" ? 0 : 1;
    });
    EXPECT_EQ(0, rc) << "2/3: mount set-up failed, 1: wrong report or file";
}

// The log directory goes away, turns read-only or fills up; lines meanwhile
// are lost without a sound, and once the fault is mended whole lines follow.
TEST_F(LogTest, LinesResumeWholeAfterTheDirectoryFaultIsMended) {
    if (!xr9test::isRoot()) GTEST_SKIP() << "needs root for private mounts";
    int rc = xr9test::inPrivateMountNamespace([&] {
        const std::string logDir = dir.file("logs");
        if (mkdir(logDir.c_str(), 0755) != 0) return 2;
        if (mount("tmpfs", logDir.c_str(), "tmpfs", 0, "size=64k") != 0) return 3;
        const std::string logBase = logDir + "/app";
        xr9test::CaptureStdout out;
        if (Xr9Log::CreateLogFile(logBase) != 0) return 4;
        write("before");
        // Read-only.
        if (mount(nullptr, logDir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 5;
        write("while read-only");
        if (mount(nullptr, logDir.c_str(), nullptr, MS_REMOUNT, "size=64k") != 0) return 6;
        write("after read-only");
        // Full: a filler takes nearly all of the 64 KiB.
        xr9test::writeFile(logDir + "/filler", std::string(60 * 1024, 'x'));
        for (int i = 0; i < 200; ++i) write("while full, long enough to run out of room quickly ........");
        if (unlink((logDir + "/filler").c_str()) != 0) return 7;
        write("after full");
        auto lines = readLines(logBase + ".0");
        std::regex whole(R"(7  void host\(\)  .+)");
        for (const std::string& l : lines)
            if (!std::regex_match(l, whole)) return 12;  // a torn line
        if (lines.size() < 3 || lines.front() != "7  void host()  before" ||
            lines[1] != "7  void host()  after read-only" || lines.back() != "7  void host()  after full")
            return 13;
        // Removed: the whole mount goes, then the directory comes back.
        if (umount(logDir.c_str()) != 0) return 8;
        if (rmdir(logDir.c_str()) != 0) return 9;
        write("while removed");
        if (mkdir(logDir.c_str(), 0755) != 0) return 10;
        write("after removed");
        if (!out.text().empty()) return 11;  // faults of the file itself stay silent
        if (readLines(logBase + ".0") != std::vector<std::string>{"7  void host()  after removed"}) return 14;
        return 0;
    });
    EXPECT_EQ(0, rc);
}

TEST_F(LogTest, ConcurrentWritersLeaveWholeLinesOnly) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    const int kThreads = 8, kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) XR9_LOG(xr9::kLogSetup, "thread %d line %d %s", t, i, "payload-payload-payload");
        });
    }
    for (auto& th : threads) th.join();
    std::regex shape(R"(\d+  .+  thread (\d+) line (\d+) payload-payload-payload)");
    std::set<std::pair<int, int>> seen;
    for (const std::string& l : readLines(base + ".0")) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, shape)) << "broken line: " << l;
        seen.insert({std::stoi(m[1]), std::stoi(m[2])});
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

TEST_F(LogTest, ConcurrentWritersAcrossRotationLoseNoLine) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    fillTo(base + ".0", 1048576 - 5000);
    const int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) XR9_LOG(xr9::kLogSetup, "t%d n%d", t, i);
        });
    }
    for (auto& th : threads) th.join();
    size_t count = 0;
    for (const char* suffix : {".0", ".1"}) {
        for (const std::string& l : readLines(base + suffix)) count += l.find("  t") != std::string::npos;
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), count);
    EXPECT_GT(fileSizeOf(base + ".1"), 0) << "the writers must have moved on to the second file";
}

}  // namespace
