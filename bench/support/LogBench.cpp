// Log lines per second: Xr9Log (lock, append, close, rotation check per line)
// against the plainest way to keep a log that a crash cannot lose, opening,
// appending and closing the file for every line: with a std::ofstream, and
// with open(O_APPEND), one write and close. All runs are interleaved
// (BenchReport.h). A call site below its level is timed per call.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BenchReport.h"
#include "support/Xr9Log.h"
#include "support/Xr9LogCall.h"

namespace {

constexpr int kLines = 20000;
constexpr int kQuietCalls = 2000000;
constexpr int kThreads = 4;

double linesPerSecond(const std::function<void()>& writeLines, int lines) {
    const xr9bench::Stopwatch watch;
    writeLines();
    return lines / watch.wallSeconds();
}

}  // namespace

int main() {
    char pattern[] = "/tmp/xr9logbench.XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string message = "CAN RX THREAD: COMMAND received, 1024 bytes in queue 8 after 128 frames";
    Xr9Log::CreateLogFile(dir + "/xr9");
    Xr9Log::SetLogLevel(6);

    std::vector<double> stream, posix, single, contended, quietNanos;
    auto step = [](std::vector<double>* into, std::function<double()> run) {
        return [into, run](bool warmUp) {
            const double v = run();
            if (!warmUp) into->push_back(v);
        };
    };
    xr9bench::interleave({
        step(&stream,
             [&] {
                 return linesPerSecond(
                     [&] {
                         for (int i = 0; i < kLines; ++i) {
                             std::ofstream out(dir + "/plain.log", std::ios::app);
                             out << 123 << "  " << "void ReadDataFunc()" << "  " << message << '\n';
                         }
                     },
                     kLines);
             }),
        step(&single,
             [&] {
                 return linesPerSecond(
                     [&] {
                         for (int i = 0; i < kLines; ++i) XR9_LOG(xr9::kLogSetup, "%s", message.c_str());
                     },
                     kLines);
             }),
        step(&posix,
             [&] {
                 return linesPerSecond(
                     [&] {
                         const std::string path = dir + "/posix.log";
                         char line[1024];
                         for (int i = 0; i < kLines; ++i) {
                             const int n = std::snprintf(line, sizeof line, "%d  %s  %s\n", 123, "void ReadDataFunc()",
                                                         message.c_str());
                             const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                             if (fd < 0) continue;
                             if (write(fd, line, size_t(n)) != n) std::printf("short write\n");
                             close(fd);
                         }
                     },
                     kLines);
             }),
        step(&contended,
             [&] {
                 return linesPerSecond(
                     [&] {
                         std::vector<std::thread> pool;
                         for (int t = 0; t < kThreads; ++t)
                             pool.emplace_back([&] {
                                 for (int i = 0; i < kLines / kThreads; ++i)
                                     XR9_LOG(xr9::kLogSetup, "%s", message.c_str());
                             });
                         for (auto& t : pool) t.join();
                     },
                     kLines);
             }),
        step(&quietNanos,
             [&] {
                 Xr9Log::SetLogLevel(3);  // below the call sites' threshold: nothing is formatted
                 const xr9bench::Stopwatch watch;
                 for (int i = 0; i < kQuietCalls; ++i) {
                     XR9_LOG(xr9::kLogSetup, "%s", message.c_str());
                     asm volatile("" ::: "memory");  // as between real call sites: the level is read each time
                 }
                 const double nanos = watch.wallSeconds() * 1e9 / kQuietCalls;
                 Xr9Log::SetLogLevel(6);
                 return nanos;
             }),
    });

    xr9bench::Report report("bench_log");
    const char* plain = "plain ofstream, open-append-close";
    const char* plainPosix = "plain open(O_APPEND)-write-close";
    report.section("log lines per second", "line rate", "lines/s", xr9bench::Better::Higher);
    report.figure(plain, stream);
    report.figure(plainPosix, posix);
    report.compare("Xr9Log, one thread (with rotation)", single, plain, stream);
    report.compare("Xr9Log, one thread (with rotation)", single, plainPosix, posix);
    report.compare("Xr9Log, 4 threads", contended, plain, stream);
    report.compare("Xr9Log, 4 threads", contended, plainPosix, posix);
    report.section("log call site below its level (nothing written)", "call cost", "ns/call", xr9bench::Better::Lower);
    report.figure("XR9_LOG at log level 3", quietNanos);
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
