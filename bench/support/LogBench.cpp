// Log lines per second: Xr9Log (lock, append, close, rotation check per line)
// against the plainest way to keep a log that a crash cannot lose, opening,
// appending and closing the file for every line, measured in the same run.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Xr9Log.h"
#include "support/Xr9LogCall.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLines = 20000;
constexpr int kRounds = 5;

template <typename F>
double linesPerSecond(F&& writeLines, int lines) {
    std::vector<double> rates;
    for (int r = 0; r < kRounds; ++r) {
        auto start = Clock::now();
        writeLines();
        rates.push_back(lines / std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

}  // namespace

int main() {
    char pattern[] = "/tmp/xr9logbench.XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string message = "CAN RX THREAD: COMMAND received, 1024 bytes in queue 8 after 128 frames";

    const double baseline = linesPerSecond([&] {
        for (int i = 0; i < kLines; ++i) {
            std::ofstream out(dir + "/plain.log", std::ios::app);
            out << 123 << "  " << "void ReadDataFunc()" << "  " << message << '\n';
        }
    }, kLines);

    Xr9Log::CreateLogFile(dir + "/xr9");
    Xr9Log::SetLogLevel(6);
    const double single = linesPerSecond([&] {
        for (int i = 0; i < kLines; ++i) XR9_LOG(xr9::kLogSetup, "%s", message.c_str());
    }, kLines);
    const double quiet = linesPerSecond([&] {
        Xr9Log::SetLogLevel(3);  // below the call sites' threshold: nothing is formatted
        for (int i = 0; i < kLines; ++i) XR9_LOG(xr9::kLogSetup, "%s", message.c_str());
        Xr9Log::SetLogLevel(6);
    }, kLines);
    const int threads = 4;
    const double contended = linesPerSecond([&] {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&] {
                for (int i = 0; i < kLines / threads; ++i) XR9_LOG(xr9::kLogSetup, "%s", message.c_str());
            });
        for (auto& t : pool) t.join();
    }, kLines);

    std::printf("%-44s %14s %8s\n", "log lines per second (median of 5 rounds)", "lines/s", "ratio");
    std::printf("%-44s %14.0f %8.2f\n", "baseline: open, append, close per line", baseline, 1.0);
    std::printf("%-44s %14.0f %8.2f\n", "Xr9Log, one thread (with rotation)", single, single / baseline);
    std::printf("%-44s %14.0f %8.2f\n", "Xr9Log, 4 threads", contended, contended / baseline);
    std::printf("%-44s %14.0f %8.2f\n", "call site below its level (nothing written)", quiet, quiet / baseline);
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
