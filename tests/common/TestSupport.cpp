#include "common/TestSupport.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace xr9test {

TempDir::TempDir() {
    char pattern[] = "/tmp/xr9test.XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

CaptureStdout::CaptureStdout() {
    char pattern[] = "/tmp/xr9stdout.XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    path_ = pattern;
    std::fflush(stdout);
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string CaptureStdout::text() {
    if (!done_) {
        done_ = true;
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        text_ = readFile(path_);
        unlink(path_.c_str());
    }
    return text_;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

long long fileSizeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool isRoot() {
    return geteuid() == 0;
}

long long soakCount(long long fullCount) {
    const char* text = std::getenv("XR9AL_SOAK_SCALE");
    const double scale = text ? std::atof(text) : 1.0;
    if (!(scale > 0)) return 1;
    const long long scaled = std::llround(double(fullCount) * scale);
    return scaled < 1 ? 1 : scaled;
}

namespace {

int entriesIn(const char* directory) {
    DIR* dir = opendir(directory);
    if (!dir) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace

int openFdCount() {
    // Less the directory stream's own descriptor. Read until it holds still
    // for 50 ms (at most 1 s): a descriptor open for a moment, such as another
    // thread's socket being closed, is not a leak and not part of a baseline.
    auto count = [] {
        const int counted = entriesIn("/proc/self/fd");
        return counted < 0 ? -1 : counted - 1;
    };
    int last = count();
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int now = count();
        if (now == last) break;
        last = now;
    }
    return last;
}

int threadCount() {
    return entriesIn("/proc/self/task");
}

int threadBaseline() {
    std::thread([] {}).join();
    // A joined thread can stay listed for a moment: the lowest count of a short window.
    int lowest = threadCount();
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        lowest = std::min(lowest, threadCount());
    }
    return lowest;
}

}  // namespace xr9test
