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

// Redirects the process's standard output (file descriptor 1) into a file
// until text() or destruction, so console lines of the library can be read.
class CaptureStdout {
public:
    CaptureStdout();
    ~CaptureStdout();
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

// Runs body in a forked child that has its own mount namespace with "/"
// made private, so mounts made there vanish with it. Returns the child's
// exit code: body's result, or 100 when the namespace could not be set up,
// 101 when the child died, 102 when it did not finish within timeout.
int inPrivateMountNamespace(const std::function<int()>& body,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));

// Load and soak tests: their counts are multiplied by XR9AL_SOAK_SCALE
// (default 1; the emulator and sanitizer runs may set less), never below 1.
long long soakCount(long long fullCount);
// The process's open file descriptors and threads, from /proc.
int openFdCount();
int threadCount();
// threadCount() for a baseline: a sanitizer's runtime starts a helper thread
// of its own with the process's first extra thread, so one is started and
// joined first and the helper is counted from the start. Threads still
// exiting are not counted.
int threadBaseline();
// Peak resident set size of the process so far (VmHWM), in bytes.
long long peakResidentBytes();

}  // namespace xr9test

#endif
