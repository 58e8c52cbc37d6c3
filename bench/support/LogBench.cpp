// Log lines per second: Xr9Log (lock, append, close, rotation check per line)
// against the plainest way to keep a log that a crash cannot lose: format the
// line, then open, append and close the file for every line with the system
// calls themselves. The measures take turns within each repetition (the
// baseline and the one-thread log in slices of a tenth), so a shared
// machine's swings reach all of them alike; each figure is the median of the
// repetitions, with the spread of the per-repetition ratios.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/Xr9Log.h"
#include "support/Xr9LogCall.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLines = 20000;
constexpr int kRepetitions = 9;
constexpr int kSlices = 10;
constexpr int kThreads = 4;

template <typename F>
double secondsFor(F&& writeLines) {
    auto start = Clock::now();
    writeLines();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename F>
double linesPerSecond(F&& writeLines) {
    return kLines / secondsFor(writeLines);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    char pattern[] = "/tmp/xr9logbench.XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string plain = dir + "/plain.log";
    const char* message = "CAN RX THREAD: COMMAND received, 1024 bytes in queue 8 after 128 frames";

    Xr9Log::CreateLogFile(dir + "/xr9");
    Xr9Log::SetLogLevel(6);

    const char* names[] = {"baseline: open, append, close per line", "Xr9Log, one thread (with rotation)",
                           "Xr9Log, 4 threads", "call site below its level (nothing written)"};
    std::vector<double> rates[4], ratios[4];
    for (int r = 0; r < kRepetitions; ++r) {
        unlink(plain.c_str());  // every repetition starts on an empty file, as the log's files do
        double plainSeconds = 0, logSeconds = 0;
        for (int slice = 0; slice < kSlices; ++slice) {
            plainSeconds += secondsFor([&] {
                char line[1100];
                for (int i = 0; i < kLines / kSlices; ++i) {
                    const int n =
                        std::snprintf(line, sizeof line, "%d  %s  %s\n", 123, "void ReadDataFunc()", message);
                    const int fd = open(plain.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
                    if (fd < 0 || write(fd, line, static_cast<size_t>(n)) != n) std::abort();
                    close(fd);
                }
            });
            logSeconds += secondsFor([&] {
                for (int i = 0; i < kLines / kSlices; ++i) XR9_LOG(xr9::kLogSetup, "%s", message);
            });
        }
        const double baseline = kLines / plainSeconds, single = kLines / logSeconds;
        const double contended = linesPerSecond([&] {
            std::vector<std::thread> pool;
            for (int t = 0; t < kThreads; ++t)
                pool.emplace_back([&] {
                    for (int i = 0; i < kLines / kThreads; ++i) XR9_LOG(xr9::kLogSetup, "%s", message);
                });
            for (auto& t : pool) t.join();
        });
        const double quiet = linesPerSecond([&] {
            Xr9Log::SetLogLevel(3);  // below the call sites' threshold: nothing is formatted
            for (int i = 0; i < kLines; ++i) XR9_LOG(xr9::kLogSetup, "%s", message);
            Xr9Log::SetLogLevel(6);
        });
        const double measured[] = {baseline, single, contended, quiet};
        for (int m = 0; m < 4; ++m) {
            rates[m].push_back(measured[m]);
            ratios[m].push_back(measured[m] / baseline);
        }
    }

    std::printf("log lines per second, median of %d interleaved repetitions; ratio to the baseline of the same\n"
                "repetition: median [lowest, highest]\n", kRepetitions);
    std::printf("%-44s %14s %8s %20s\n", "", "lines/s", "ratio", "spread");
    for (int m = 0; m < 4; ++m) {
        const auto [low, high] = std::minmax_element(ratios[m].begin(), ratios[m].end());
        std::printf("%-44s %14.0f %8.2f     [%6.2f, %6.2f]\n", names[m], median(rates[m]), median(ratios[m]), *low,
                    *high);
    }
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
