// What every benchmark program prints and records, in one format:
//  - each figure is measured in rounds that interleave it with its baseline
//    (figure, baseline, figure, ...), after one warm-up round that is not
//    kept; at least 5 kept rounds (XR9AL_BENCH_REPETITIONS may ask for more);
//  - it is printed as the median with the spread (min-max) of its rounds;
//  - a ratio is figure / baseline per round, and printed as the median and
//    spread of those, so that slow phases of a shared machine (other builds)
//    hit both sides of a pair and cancel out;
//  - with XR9AL_BENCH_RECORDS naming a file, every line also goes there as
//    one JSON object per line (benchmark, case, metric, unit, better,
//    repetitions, median, spread, baseline, ratio); tools/bench.sh --json
//    joins them into one document.
#ifndef XR9BENCH_BENCHREPORT_H
#define XR9BENCH_BENCHREPORT_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace xr9bench {

// Kept rounds per figure: 5, or XR9AL_BENCH_REPETITIONS when that is larger.
int repetitions();

// Runs every step once as a warm-up (warmUp true: nothing to keep), then
// repetitions() rounds of all steps in the given order.
void interleave(const std::vector<std::function<void(bool warmUp)>>& steps);

struct Summary {
    double median = 0;
    double min = 0;
    double max = 0;
};
Summary summarize(std::vector<double> samples);

// Seconds of wall-clock and of CPU (user + system, every thread of the
// process) since construction.
class Stopwatch {
public:
    Stopwatch();
    double wallSeconds() const;
    double cpuSeconds() const;

private:
    double wallStart_;
    double cpuStart_;
};

enum class Better { Higher, Lower };

class Report {
public:
    // benchmark: the program's name, as in the records.
    explicit Report(std::string benchmark);
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // Starts a table: its title line, then the column heads.
    void section(const std::string& title, const std::string& metric, const std::string& unit, Better better);
    // A figure with no baseline of its own (a baseline, or a plain figure).
    void figure(const std::string& caseName, const std::vector<double>& samples);
    // A figure against a baseline measured in the same rounds: the row
    // names the baseline (whose own figure is a row of its own) and gives
    // the ratio. A second call for the same case prints only those two.
    void compare(const std::string& caseName, const std::vector<double>& samples, const std::string& baselineName,
                 const std::vector<double>& baselineSamples);
    // A figure against a fixed reference (such as a bus's limit).
    void compareToConstant(const std::string& caseName, const std::vector<double>& samples,
                           const std::string& referenceName, double reference);
    // A line of text under the table.
    void note(const std::string& text);

private:
    void row(const std::string& caseName, const Summary& figure, const std::string& baselineName,
             const Summary* baseline, const Summary* ratio);
    void record(const std::string& caseName, const Summary& figure, const std::string& baselineName,
                const Summary* baseline, const Summary* ratio);

    std::string benchmark_;
    std::string metric_;
    std::string unit_;
    Better better_ = Better::Higher;
    std::string lastCase_;
    std::FILE* records_ = nullptr;
};

}  // namespace xr9bench

#endif
