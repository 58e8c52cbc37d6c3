// Figures of the demo's closing summary: latency percentiles, throughput and
// the table that shows them per medium.
#ifndef XR9TOOL_STATS_H
#define XR9TOOL_STATS_H

#include <cstdint>
#include <string>
#include <vector>

namespace xr9tool {

// Nearest-rank percentile (p in 0..100) of samples; 0 for no samples.
double percentile(std::vector<double> samples, double p);

// Bytes per second as "12.3 MiB/s" (or KiB/s, B/s); "-" for no time.
std::string formatRate(uint64_t bytes, double seconds);

// One medium's figures, counted at the remote side: "to" the terminal and
// "from" it.
struct MediumSummary {
    std::string medium;
    uint64_t messagesOut = 0, messagesIn = 0;  // to, from the terminal
    uint64_t bytesOut = 0, bytesIn = 0;
    double seconds = 0;
    std::vector<double> latenciesMs;
    bool integrityChecked = false;
    bool integrityOk = false;
    std::string note;
};

// The closing table, one row per medium, columns aligned.
std::string renderSummary(const std::vector<MediumSummary>& rows);

}  // namespace xr9tool

#endif
