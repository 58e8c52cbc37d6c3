// Status messages and names per second, each against a baseline measured in
// the same run:
//  - getErrorString over every code of -503..0 and a few outside, against a
//    bare malloc + strncpy + free of one fixed 254-byte message;
//  - each name lookup, against constructing a std::string from literals of
//    the same texts;
//  - the update-message report, against joining its eight pieces as literals.
// Google Benchmark runs the repetitions of all of them in interleaved rounds
// (random order within a round); BenchReport.h prints each time per call as
// the median of its rounds with the spread, and its ratio to the baseline
// (1.00 = as fast, lower is faster). Command-line flags of Google Benchmark
// come after the defaults set here, so they win.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "BenchReport.h"

#include "vocabulary/XRErrorCodes.h"
#include "vocabulary/XRNames.h"

namespace {

std::vector<int> allCodes() {
    std::vector<int> codes;
    for (int code = 3; code >= -510; --code) codes.push_back(code);
    return codes;
}

void BaselineMallocStrncpy(benchmark::State& state) {
    const char* texts[] = {"CHECKSUM VERIFICATION FAILED", "OS QUEUE TIMEOUT", "UNKOWN ERROR", "XR SUCCESS"};
    size_t i = 0;
    for (auto _ : state) {
        char* buffer = static_cast<char*>(std::malloc(254));
        std::strncpy(buffer, texts[i++ & 3], 253);  // zero-fills as getErrorString does
        buffer[253] = '\0';
        benchmark::DoNotOptimize(buffer);
        std::free(buffer);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BaselineMallocStrncpy);

void GetErrorString(benchmark::State& state) {
    const std::vector<int> codes = allCodes();
    size_t i = 0;
    for (auto _ : state) {
        char* message = getErrorString(codes[i]);
        benchmark::DoNotOptimize(message);
        std::free(message);
        if (++i == codes.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(GetErrorString);

// The texts of the update-state table, as literals the compiler sees.
void BaselineStringFromLiteral(benchmark::State& state) {
    const char* texts[] = {"STATE_IDLE",          "STATE_CONNECTED",    "STATE_CONNECTING",  "STATE_UPLOADING",
                           "STATE_UPLOADED",      "STATE_INSTALLING",   "STATE_INSTALLED",   "STATE_RESTARTING",
                           "ASTATE_RESTARTED",    "STATE_DISCONNECTING", "STATE_DISCONNECTED", "STATE_INIT",
                           "STATE_CREATING_PACKAGE", "STATE_CREATED_PACKAGE", "STATE_ERROR", "UNKNOWN_STATE"};
    size_t i = 0;
    for (auto _ : state) {
        std::string s(texts[i++ & 15]);
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BaselineStringFromLiteral);

void UpdateStateName(benchmark::State& state) {
    const int values[] = {257, 258, 259, 260, 261, 262, 263, 264, 265, 266, 267, 268, 269, 270, 511, 7};
    size_t i = 0;
    for (auto _ : state) {
        std::string s = getXRUpdateStateString(static_cast<enXRUpdateState>(values[i++ & 15]));
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(UpdateStateName);

void ModuleName(benchmark::State& state) {
    int values[16];
    for (int b = 0; b < 16; ++b) values[b] = b < 11 ? 1 << (16 + b) : b;
    size_t i = 0;
    for (auto _ : state) {
        std::string s = getXRModuleString(values[i++ & 15]);
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ModuleName);

void InternalEventName(benchmark::State& state) {
    const unsigned int values[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 32, 64, 102, 0, 10, 11};
    size_t i = 0;
    for (auto _ : state) {
        std::string s = getXRInternalEventString(values[i++ & 15]);
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(InternalEventName);

void ConnectionRequestStatusName(benchmark::State& state) {
    size_t i = 0;
    for (auto _ : state) {
        std::string s = getConnectionRequestStatusString(static_cast<enConnRequestStatus>(i++ & 7));
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ConnectionRequestStatusName);

void BaselineReportFromLiterals(benchmark::State& state) {
    for (auto _ : state) {
        std::string s;
        s.reserve(96);
        s.append("\n ################").append("\n Module: ").append("SHM_MODULE").append("\n Event: ");
        s.append("EVENT_INSTALL_STARTED").append("\n Result: ").append("XR SUCCESS").append("\n ################");
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BaselineReportFromLiterals);

void UpdateMessageReport(benchmark::State& state) {
    XRUpdateMessage message{};
    message.module = 0x800000;
    message.event = 9;
    for (auto _ : state) {
        std::string s = getUpdateMessageString(message);
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(UpdateMessageReport);

// Keeps the time per call of every repetition, in the order they ran.
class RoundsReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            if (run.error_occurred) {
                std::printf("%s: %s\n", run.benchmark_name().c_str(), run.error_message.c_str());
                continue;
            }
            nsPerCall[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
        }
    }
    std::map<std::string, std::vector<double>> nsPerCall;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string repetitions = "--benchmark_repetitions=" + std::to_string(xr9bench::repetitions());
    std::vector<char*> args{argv[0], const_cast<char*>(repetitions.c_str()),
                            const_cast<char*>("--benchmark_enable_random_interleaving=true"),
                            const_cast<char*>("--benchmark_min_time=0.1")};
    args.insert(args.end(), argv + 1, argv + argc);
    int count = int(args.size());
    args.push_back(nullptr);  // argv[argc], as for main
    benchmark::Initialize(&count, args.data());
    RoundsReporter rounds;
    benchmark::RunSpecifiedBenchmarks(&rounds);
    const struct {
        const char* measured;
        const char* baseline;
    } pairs[] = {
        {"GetErrorString", "BaselineMallocStrncpy"},
        {"UpdateStateName", "BaselineStringFromLiteral"},
        {"ModuleName", "BaselineStringFromLiteral"},
        {"InternalEventName", "BaselineStringFromLiteral"},
        {"ConnectionRequestStatusName", "BaselineStringFromLiteral"},
        {"UpdateMessageReport", "BaselineReportFromLiterals"},
    };
    xr9bench::Report report("bench_vocabulary");
    report.section("status messages and names", "time per call", "ns/call", xr9bench::Better::Lower);
    for (const char* baseline : {"BaselineMallocStrncpy", "BaselineStringFromLiteral", "BaselineReportFromLiterals"}) {
        auto b = rounds.nsPerCall.find(baseline);
        if (b != rounds.nsPerCall.end()) report.figure(baseline, b->second);
    }
    for (const auto& p : pairs) {
        auto m = rounds.nsPerCall.find(p.measured);
        auto b = rounds.nsPerCall.find(p.baseline);
        if (m == rounds.nsPerCall.end()) continue;
        if (b == rounds.nsPerCall.end()) {
            report.figure(p.measured, m->second);  // its baseline was filtered out
        } else {
            report.compare(p.measured, m->second, p.baseline, b->second);
        }
    }
    benchmark::Shutdown();
    return 0;
}
