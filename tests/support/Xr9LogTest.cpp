#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/MountNamespace.h"
#include "common/TestSupport.h"
#include "osal.h"
#include "support/Xr9Log.h"
#include "support/Xr9LogCall.h"

// Another process replaces a log file while a line to it runs out of room:
// once armed with the file's inode, the next write to that inode stores half
// of its bytes, then the path is deleted and created anew with other content,
// and every later write to the old inode fails for lack of space.
namespace {
struct ReplaceOnWrite {
    std::atomic<ino_t> inode{0};
    std::atomic<bool> fired{false};
    std::string path;
} replaceOnWrite;

template <typename Fn>
Fn nextSymbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

ssize_t realWrite(int fd, const void* bytes, size_t n) {
    static const auto next = nextSymbol<ssize_t (*)(int, const void*, size_t)>("write");
    return next(fd, bytes, n);
}

// -2: not the armed file, pass the call on.
ssize_t replaceWhileWriting(int fd, const char* bytes, size_t n) {
    const ino_t armed = replaceOnWrite.inode.load();
    struct stat st;
    if (armed == 0 || fstat(fd, &st) != 0 || st.st_ino != armed) return -2;
    if (replaceOnWrite.fired.exchange(true)) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t stored = realWrite(fd, bytes, n / 2);
    unlink(replaceOnWrite.path.c_str());
    const int other = open(replaceOnWrite.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (other >= 0) {
        realWrite(other, "replacement\n", 12);
        close(other);
    }
    return stored;
}
}  // namespace

extern "C" ssize_t write(int fd, const void* bytes, size_t n) {
    const ssize_t hooked = replaceWhileWriting(fd, static_cast<const char*>(bytes), n);
    return hooked != -2 ? hooked : realWrite(fd, bytes, n);
}

extern "C" ssize_t writev(int fd, const struct iovec* iov, int count) {
    static const auto next = nextSymbol<ssize_t (*)(int, const struct iovec*, int)>("writev");
    if (replaceOnWrite.inode.load() != 0) {
        std::string joined;
        for (int i = 0; i < count; ++i) joined.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
        const ssize_t hooked = replaceWhileWriting(fd, joined.data(), joined.size());
        if (hooked != -2) return hooked;
    }
    return next(fd, iov, count);
}

namespace {

// This file's statics are set up before the library's, so they go after
// them at exit: armed in a child that ends while tasks still log, this
// keeps the tasks running for a while on whatever the log has left.
struct LingerAtExit {
    std::atomic<bool> armed{false};
    ~LingerAtExit() {
        if (!armed) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<std::unique_ptr<char[]>> blocks;  // lets the allocator see blocks written after their free
        for (size_t size = 16; size <= 1024; size += 8)
            for (int i = 0; i < 4; ++i) blocks.emplace_back(new char[size]);
    }
} lingerAtExit;

using xr9test::fileSizeOf;
using xr9test::readLines;
using xr9test::ScopedMount;

constexpr long long kFull = 1048576;

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

TEST_F(LogTest, LinesTakeTheLineFormatInTheFirstFile) {
    xr9test::CaptureStdout out;
    write("lost");  // before CreateLogFile: the console only
    EXPECT_EQ("WriteLogMsg: ERROR LOCK Mutex\nWriteLogMsg: ERROR UNLOCK Mutex\n", out.text());
    EXPECT_EQ(-1, fileSizeOf(base + ".0"));
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    EXPECT_EQ(base + ".0", Xr9Log::m_Logfile);
    write("Params pFileName = /data/x");
    const int line = __LINE__ + 1;
    XR9_LOG(xr9::kLogTrace, "function return value = %d", -502);
    EXPECT_EQ("7  void host()  Params pFileName = /data/x\n" + std::to_string(line) +
                  "  virtual void {anonymous}::LogTest_LinesTakeTheLineFormatInTheFirstFile_Test::TestBody()"
                  "  function return value = -502\n",
              xr9test::readFile(base + ".0"));
    EXPECT_EQ(-1, fileSizeOf(base + ".1"));
}

TEST_F(LogTest, CallSitesWriteOnlyAboveTheirThreshold) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    const std::pair<int, std::string> cases[] = {{6, "setup trace always"}, {5, "setup trace always"},
                                                 {4, "setup always"}, {3, "always"}, {0, "always"}, {-1, ""}};
    size_t seen = 0;
    for (const auto& [level, expected] : cases) {
        Xr9Log::SetLogLevel(level);
        XR9_LOG(xr9::kLogSetup, "setup");
        XR9_LOG(xr9::kLogTrace, "trace");
        XR9_LOG(xr9::kLogAlways, "always");
        const std::vector<std::string> lines = readLines(base + ".0");
        std::string written;
        for (; seen < lines.size(); ++seen) {
            written += (written.empty() ? "" : " ") + lines[seen].substr(lines[seen].rfind("  ") + 2);
        }
        EXPECT_EQ(expected, written) << "level " << level;
    }
}

TEST_F(LogTest, LongMessagesAreCutAt999CharactersAndNullTextEndsTheLineEarly) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    std::string huge(1500, 'm');
    XR9_LOG(xr9::kLogSetup, "%s", huge.c_str());
    std::string direct(1200, 'd');
    char function[] = "f";
    Xr9Log::WriteLogMsg(1, function, &direct[0]);
    char message[] = "msg";
    Xr9Log::WriteLogMsg(1, function, nullptr);
    Xr9Log::WriteLogMsg(2, nullptr, message);
    Xr9Log::WriteLogMsg(3, function, message);
    auto lines = readLines(base + ".0");
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(std::string(999, 'm'), lines[0].substr(lines[0].rfind("  ") + 2));
    EXPECT_EQ("1  f  " + std::string(999, 'd'), lines[1]);
    EXPECT_EQ("1  f  2  3  f  msg", lines[2]) << "the next line starts afresh";
}

// A deleted file comes back, a file replaced while a line to it fails keeps
// the replacement as it is, a second create moves the file but keeps the
// lock, a missing directory loses lines without a sound.
TEST_F(LogTest, FileFollowsEachCreateAndFileFaultsStaySilent) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    write("one");
    ASSERT_EQ(0, unlink((base + ".0").c_str()));
    write("two");
    EXPECT_EQ("7  void host()  two\n", xr9test::readFile(base + ".0"));
    struct stat st;
    ASSERT_EQ(0, stat((base + ".0").c_str(), &st));
    replaceOnWrite.path = base + ".0";
    replaceOnWrite.inode = st.st_ino;
    write("torn by a full disk");
    replaceOnWrite.inode = 0;
    ASSERT_TRUE(replaceOnWrite.fired.exchange(false)) << "the line never reached the file";
    write("three");
    EXPECT_EQ("replacement\n7  void host()  three\n", xr9test::readFile(base + ".0"))
        << "the cut-back of the torn line must not reach the new file";
    const KT::uint32 lock = Xr9Log::mutexID;
    ASSERT_EQ(0, Xr9Log::CreateLogFile(dir.file("other")));
    EXPECT_EQ(lock, Xr9Log::mutexID);
    write("moved");
    EXPECT_EQ(1u, readLines(dir.file("other") + ".0").size());
    ASSERT_EQ(0, Xr9Log::CreateLogFile(dir.file("missing/log")));
    xr9test::CaptureStdout out;
    write("nowhere");
    write("nowhere again");
    EXPECT_EQ("", out.text());
    EXPECT_EQ(-1, fileSizeOf(dir.file("missing/log.0")));
}

// Sizes of .0 and .1 before a line, the file the writer had chosen, and
// where the line must land.
struct RotationCase {
    const char* name;
    long long size0, size1;  // -1: no file
    const char* previous;    // "", ".0" or ".1"
    const char* lands;       // suffix of the file taking the line
    bool deletedFirst;       // the full file was deleted for the line
};

void PrintTo(const RotationCase& c, std::ostream* os) { *os << c.name; }

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
    const bool intoFirst = std::string(c.lands) == ".0";
    auto lines = readLines(base + c.lands);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("7  void host()  rotated", lines.back());
    if (c.deletedFirst) {
        EXPECT_EQ(1u, lines.size()) << "the full file must have been deleted first";
    }
    EXPECT_EQ(intoFirst ? c.size1 : c.size0, fileSizeOf(base + (intoFirst ? ".1" : ".0")))
        << "the other file must stay as it was";
}

INSTANTIATE_TEST_SUITE_P(
    Table, LogRotation,
    ::testing::Values(RotationCase{"NoFiles", -1, -1, "", ".0", false},
                      RotationCase{"FirstOneByteShort", kFull - 1, -1, "", ".0", false},
                      RotationCase{"FirstFullSecondMissing", kFull, -1, "", ".1", false},
                      RotationCase{"FirstOverfullSecondSmall", kFull + 124, 10, "", ".1", false},
                      RotationCase{"BothFullAtStart", kFull, kFull, "", ".0", true},
                      RotationCase{"BothFullWriterJustFilledFirst", kFull, kFull, ".0", ".1", true},
                      RotationCase{"BothFullWriterJustFilledSecond", kFull, kFull + 24, ".1", ".0", true}),
    [](const ::testing::TestParamInfo<RotationCase>& info) { return std::string(info.param.name); });

TEST_F(LogTest, LineThatFillsAFileSwitchesToTheOtherForTheNextLine) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    const std::string line = "7  void host()  x\n";
    fillTo(base + ".0", kFull - static_cast<long long>(line.size()));
    write("x");
    EXPECT_EQ(kFull, fileSizeOf(base + ".0"));
    EXPECT_EQ(base + ".1", Xr9Log::m_Logfile);
    write("y");
    EXPECT_EQ("7  void host()  y\n", xr9test::readFile(base + ".1"));
}

TEST_F(LogTest, FullFileThatCannotBeDeletedIsReportedAndWrittenOn) {
    std::string why;
    if (!xr9test::enterPrivateMountNamespace(&why)) GTEST_SKIP() << why;
    fillTo(base + ".0", kFull);
    fillTo(base + ".1", kFull);
    // A read-only mount makes the deletion fail whatever the permissions.
    ScopedMount readOnly = ScopedMount::bind(dir.path(), dir.path());
    ASSERT_TRUE(readOnly.ok()) << readOnly.error();
    ASSERT_EQ(0, mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
    xr9test::CaptureStdout out;
    Xr9Log::CreateLogFile(base);
    EXPECT_EQ("LogFile: ERROR Not able to delete Logfile: " + base + ".0\n", out.text());
    EXPECT_EQ(base + ".0", Xr9Log::m_Logfile);
}

// The log directory turns read-only, fills up or goes away; lines meanwhile
// are lost without a sound, and once the fault is mended whole lines follow.
TEST_F(LogTest, LinesResumeWholeAfterTheDirectoryFaultIsMended) {
    std::string why;
    if (!xr9test::enterPrivateMountNamespace(&why)) GTEST_SKIP() << why;
    const std::string logDir = dir.file("logs"), logBase = logDir + "/app";
    ASSERT_EQ(0, mkdir(logDir.c_str(), 0755));
    ScopedMount small = ScopedMount::tmpfs(logDir);
    ASSERT_TRUE(small.ok()) << small.error();
    xr9test::CaptureStdout out;
    ASSERT_EQ(0, Xr9Log::CreateLogFile(logBase));
    write("before");
    ASSERT_EQ(0, mount(nullptr, logDir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
    write("while read-only");
    ASSERT_EQ(0, mount(nullptr, logDir.c_str(), nullptr, MS_REMOUNT, "size=64k"));
    write("after read-only");
    xr9test::writeFile(logDir + "/filler", std::string(60 * 1024, 'x'));  // nearly all of the 64 KiB
    for (int i = 0; i < 200; ++i) write("while full, long enough to run out of room quickly ........");
    ASSERT_EQ(0, unlink((logDir + "/filler").c_str()));
    write("after full");
    const std::vector<std::string> lines = readLines(logBase + ".0");
    ASSERT_GE(lines.size(), 3u);
    for (const std::string& l : lines) EXPECT_TRUE(l.size() > 16 && l.rfind("7  void host()  ", 0) == 0) << l;
    EXPECT_EQ("7  void host()  before", lines.front());
    EXPECT_EQ("7  void host()  after read-only", lines[1]);
    EXPECT_EQ("7  void host()  after full", lines.back());
    ASSERT_TRUE(small.unmount());
    ASSERT_EQ(0, rmdir(logDir.c_str()));
    write("while removed");
    ASSERT_EQ(0, mkdir(logDir.c_str(), 0755));
    write("after removed");
    EXPECT_EQ("", out.text()) << "faults of the file itself stay silent";
    EXPECT_EQ(std::vector<std::string>{"7  void host()  after removed"}, readLines(logBase + ".0"));
}

// A whole line of the writers below, "<level>  <function>  thread T line L
// payload-payload" and nothing more: true, with T and L.
bool parseWriterLine(const std::string& l, int* thread, int* line) {
    const size_t digits = l.find_first_not_of("0123456789");
    const size_t at = l.rfind("  thread ");
    int used = 0;
    return digits > 0 && digits != std::string::npos && l.compare(digits, 2, "  ") == 0 &&
           at != std::string::npos && at > digits + 2 &&
           std::sscanf(l.c_str() + at, "  thread %d line %d payload-payload%n", thread, line, &used) == 2 &&
           at + size_t(used) == l.size();
}

// Writers cross a rotation while the host asks for the file choice and
// drops log objects of its own; then the process ends while a task logs.
TEST_F(LogTest, ConcurrentWritersAcrossRotationLeaveEveryLineWhole) {
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    fillTo(base + ".0", kFull - 2000);
    const int kThreads = 8, kLines = 400;
    std::atomic<int> writing{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &writing] {
            for (int i = 0; i < kLines; ++i) XR9_LOG(xr9::kLogSetup, "thread %d line %d %s", t, i, "payload-payload");
            --writing;
        });
    }
    threads.emplace_back([&writing] {
        while (writing > 0) Xr9Log::setLogFile();
    });
    threads.emplace_back([&writing] {
        while (writing > 0) Xr9Log();
    });
    for (auto& th : threads) th.join();
    std::set<std::pair<int, int>> seen;
    for (const char* suffix : {".0", ".1"}) {
        for (const std::string& l : readLines(base + suffix)) {
            if (l.find_first_not_of('f') == std::string::npos) continue;  // the filler
            int thread = -1, line = -1;
            ASSERT_TRUE(parseWriterLine(l, &thread, &line)) << "broken line: " << l;
            seen.insert({thread, line});
        }
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
    EXPECT_GT(fileSizeOf(base + ".1"), 0) << "the writers must have moved on to the second file";
    const std::vector<std::string> first = readLines(base + ".0");
    EXPECT_LT(fileSizeOf(base + ".0") - static_cast<long long>(first.back().size() + 1), kFull)
        << "no line may follow the one that filled the first file";

#ifdef XR9AL_TSAN
    // The sanitizer's own thread makes a bare fork unsafe. Elsewhere the child
    // is forked, not executed again: under a user-mode emulator (the armhf
    // run) the test binary cannot be executed directly.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    EXPECT_EXIT(
        {
            alarm(20);  // a hang at exit fails as a signal
            std::atomic<int> lines{0};
            for (int t = 0; t < 4; ++t) {
                std::thread([&lines] {
                    for (;;) {
                        XR9_LOG(xr9::kLogSetup, "still logging at exit");
                        ++lines;
                    }
                }).detach();
            }
            while (lines < 1000) std::this_thread::yield();
            lingerAtExit.armed = true;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
