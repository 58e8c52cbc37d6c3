#include "BenchReport.h"

#include <time.h>

#include <algorithm>
#include <cstdlib>

namespace xr9bench {

namespace {

constexpr int kMinimumRepetitions = 5;

double now(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Four significant digits or so, never an exponent for the figures here.
std::string number(double v) {
    char text[64];
    const double a = v < 0 ? -v : v;
    const char* format = a >= 1000 ? "%.0f" : a >= 100 ? "%.1f" : a >= 10 ? "%.2f" : a >= 0.1 ? "%.3f" : "%.3g";
    std::snprintf(text, sizeof text, format, v);
    return text;
}

std::string withSpread(const Summary& s) {
    return number(s.median) + " [" + number(s.min) + "-" + number(s.max) + "]";
}

std::string jsonText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

std::string jsonSpread(const Summary& s) {
    return "{\"min\":" + jsonNumber(s.min) + ",\"max\":" + jsonNumber(s.max) + "}";
}

}  // namespace

int repetitions() {
    const char* asked = std::getenv("XR9AL_BENCH_REPETITIONS");
    const int n = asked ? std::atoi(asked) : 0;
    return std::max(n, kMinimumRepetitions);
}

void interleave(const std::vector<std::function<void(bool warmUp)>>& steps) {
    for (const auto& step : steps) step(true);
    for (int round = 0; round < repetitions(); ++round) {
        for (const auto& step : steps) step(false);
    }
}

Summary summarize(std::vector<double> samples) {
    Summary s;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    s.min = samples.front();
    s.max = samples.back();
    return s;
}

Stopwatch::Stopwatch() : wallStart_(now(CLOCK_MONOTONIC)), cpuStart_(now(CLOCK_PROCESS_CPUTIME_ID)) {}

double Stopwatch::wallSeconds() const {
    return now(CLOCK_MONOTONIC) - wallStart_;
}

double Stopwatch::cpuSeconds() const {
    return now(CLOCK_PROCESS_CPUTIME_ID) - cpuStart_;
}

Report::Report(std::string benchmark) : benchmark_(std::move(benchmark)) {
    const char* path = std::getenv("XR9AL_BENCH_RECORDS");
    if (path && *path) {
        records_ = std::fopen(path, "a");
        if (!records_) std::printf("(cannot append records to %s)\n", path);
    }
}

Report::~Report() {
    if (records_) std::fclose(records_);
}

void Report::section(const std::string& title, const std::string& metric, const std::string& unit, Better better) {
    metric_ = metric;
    unit_ = unit;
    better_ = better;
    lastCase_.clear();
    std::printf("\n%s, %s (%s is better; median [min-max] of %d interleaved rounds)\n", title.c_str(), unit.c_str(),
                better == Better::Higher ? "higher" : "lower", repetitions());
    std::printf("%-40s %-28s %-34s %s\n", "case", "figure", "baseline", "ratio to baseline");
    std::fflush(stdout);
}

void Report::figure(const std::string& caseName, const std::vector<double>& samples) {
    const Summary s = summarize(samples);
    row(caseName, s, "", nullptr, nullptr);
    record(caseName, s, "", nullptr, nullptr);
}

void Report::compare(const std::string& caseName, const std::vector<double>& samples,
                     const std::string& baselineName, const std::vector<double>& baselineSamples) {
    std::vector<double> ratios;
    for (size_t i = 0; i < samples.size() && i < baselineSamples.size(); ++i) {
        if (baselineSamples[i] > 0) ratios.push_back(samples[i] / baselineSamples[i]);
    }
    const Summary s = summarize(samples);
    const Summary b = summarize(baselineSamples);
    const Summary r = summarize(ratios);
    row(caseName, s, baselineName, &b, &r);
    record(caseName, s, baselineName, &b, &r);
}

void Report::compareToConstant(const std::string& caseName, const std::vector<double>& samples,
                               const std::string& referenceName, double reference) {
    compare(caseName, samples, referenceName, std::vector<double>(samples.size(), reference));
}

void Report::note(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void Report::row(const std::string& caseName, const Summary& figure, const std::string& baselineName,
                 const Summary* baseline, const Summary* ratio) {
    const bool again = caseName == lastCase_;
    lastCase_ = caseName;
    std::printf("%-40s %-28s %-34s %s\n", again ? "" : caseName.c_str(), again ? "" : withSpread(figure).c_str(),
                baseline ? baselineName.c_str() : "", ratio ? withSpread(*ratio).c_str() : "");
    std::fflush(stdout);
}

void Report::record(const std::string& caseName, const Summary& figure, const std::string& baselineName,
                    const Summary* baseline, const Summary* ratio) {
    if (!records_) return;
    std::string line = "{\"benchmark\":" + jsonText(benchmark_) + ",\"case\":" + jsonText(caseName) +
                       ",\"metric\":" + jsonText(metric_) + ",\"unit\":" + jsonText(unit_) + ",\"better\":" +
                       (better_ == Better::Higher ? "\"higher\"" : "\"lower\"") +
                       ",\"repetitions\":" + std::to_string(repetitions()) + ",\"median\":" + jsonNumber(figure.median) +
                       ",\"spread\":" + jsonSpread(figure) + ",\"baseline\":";
    if (baseline) {
        line += "{\"case\":" + jsonText(baselineName) + ",\"median\":" + jsonNumber(baseline->median) +
                ",\"spread\":" + jsonSpread(*baseline) + "}";
    } else {
        line += "null";
    }
    line += ",\"ratio\":";
    line += ratio ? "{\"median\":" + jsonNumber(ratio->median) + ",\"spread\":" + jsonSpread(*ratio) + "}" : "null";
    line += "}\n";
    std::fputs(line.c_str(), records_);
    std::fflush(records_);
}

}  // namespace xr9bench
