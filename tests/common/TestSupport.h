// Helpers shared by the test suites: temporary directories, captured
// standard output, bounded waits.
#ifndef XR9AL_TESTSUPPORT_H
#define XR9AL_TESTSUPPORT_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace xr9test {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Redirects file descriptor 1 into a file until text() or destruction.
class CaptureStdout {
public:
    CaptureStdout();
    ~CaptureStdout() { text(); }
    // Ends the capture (once) and returns everything written meanwhile.
    std::string text();

private:
    int saved_ = -1;
    std::string path_;
    std::string text_;
    bool done_ = false;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// Lines of a file without their newline characters.
std::vector<std::string> readLines(const std::string& path);
long long fileSizeOf(const std::string& path);  // -1 when missing

// Polls predicate every millisecond until it holds or timeout passes.
bool waitFor(const std::function<bool()>& predicate,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

bool isRoot();

// Load-test counts times XR9AL_SOAK_SCALE (default 1), never below 1.
long long soakCount(long long fullCount);
// The process's open file descriptors (once their number holds still for 50 ms) and threads, from /proc.
int openFdCount();
int threadCount();
// threadCount() after one thread has been started and joined, so that a
// sanitizer's helper thread, started with the first extra thread, is counted
// from the start. Threads still exiting are not counted.
int threadBaseline();

}  // namespace xr9test

#endif
