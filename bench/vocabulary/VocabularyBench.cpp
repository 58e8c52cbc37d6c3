// Status messages and names per second, each against a baseline measured in
// the same run:
//  - getErrorString over every code of -503..0 and a few outside, against a
//    bare malloc + strncpy + free of one fixed 254-byte message;
//  - each name lookup, against constructing a std::string from literals of
//    the same texts;
//  - the update-message report, against joining its eight pieces as literals.
// Prints each figure and its ratio to the baseline (1.0 = as fast).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

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

// Collects the time per item of every run for the ratio lines.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) nsPerItem[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nsPerItem;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
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
    std::printf("\nTime per call relative to the in-run baseline (1.00 = as fast, lower is faster):\n");
    for (const auto& p : pairs) {
        auto m = reporter.nsPerItem.find(p.measured);
        auto b = reporter.nsPerItem.find(p.baseline);
        if (m == reporter.nsPerItem.end() || b == reporter.nsPerItem.end() || b->second <= 0) continue;
        std::printf("  %-28s %6.2f x %s\n", p.measured, m->second / b->second, p.baseline);
    }
    benchmark::Shutdown();
    return 0;
}
