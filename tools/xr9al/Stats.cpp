#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace xr9tool {

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    p = std::min(100.0, std::max(0.0, p));
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
    return samples[rank == 0 ? 0 : rank - 1];
}

std::string formatRate(uint64_t bytes, double seconds) {
    if (seconds <= 0) return "-";
    double rate = static_cast<double>(bytes) / seconds;
    const char* unit = "B/s";
    if (rate >= 1024.0 * 1024.0) {
        rate /= 1024.0 * 1024.0;
        unit = "MiB/s";
    } else if (rate >= 1024.0) {
        rate /= 1024.0;
        unit = "KiB/s";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", rate, unit);
    return text;
}

namespace {

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Columns aligned, each as align says ('L' left, 'R' right: numbers); a rule
// under the heading.
std::string renderTable(const std::vector<std::vector<std::string>>& cells, const std::string& align) {
    std::vector<size_t> width(cells[0].size(), 0);
    for (const auto& row : cells)
        for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    std::string out;
    for (size_t r = 0; r < cells.size(); ++r) {
        for (size_t c = 0; c < cells[r].size(); ++c) {
            const std::string& cell = cells[r][c];
            std::string pad(width[c] - cell.size(), ' ');
            out += align[c] == 'L' ? cell + pad : pad + cell;
            out += c + 1 < cells[r].size() ? "  " : "";
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        out += '\n';
        if (r == 0) {
            size_t total = 0;
            for (size_t w : width) total += w + 2;
            out += std::string(total - 2, '-') + '\n';
        }
    }
    return out;
}

}  // namespace

ChannelTally& MediumSummary::tally(const std::string& channel) {
    for (ChannelTally& t : channels)
        if (t.channel == channel) return t;
    channels.push_back(ChannelTally{channel, "", 0, 0, 0, 0});
    return channels.back();
}

void MediumSummary::carry(const std::string& channel, const std::string& carrier) {
    tally(channel).carrier = carrier;
}

void MediumSummary::count(const std::string& channel, bool toTerminal, uint64_t bytes) {
    ChannelTally& t = tally(channel);
    (toTerminal ? t.messagesOut : t.messagesIn)++;
    (toTerminal ? t.bytesOut : t.bytesIn) += bytes;
    (toTerminal ? messagesOut : messagesIn)++;
    (toTerminal ? bytesOut : bytesIn) += bytes;
}

std::string renderSummary(const std::vector<MediumSummary>& rows) {
    std::vector<std::vector<std::string>> cells = {{"medium", "msgs to", "msgs from", "bytes to", "bytes from",
                                                    "throughput", "lat p50 ms", "lat p99 ms", "integrity"}};
    for (const MediumSummary& r : rows) {
        std::string integrity = !r.integrityChecked ? "n/a" : (r.integrityOk ? "ok" : "FAILED");
        if (!r.note.empty()) integrity += " (" + r.note + ")";
        const bool hasLatency = !r.latenciesMs.empty();
        cells.push_back({r.medium, std::to_string(r.messagesOut), std::to_string(r.messagesIn),
                         std::to_string(r.bytesOut), std::to_string(r.bytesIn),
                         formatRate(r.bytesOut + r.bytesIn, r.seconds),
                         hasLatency ? fixed(percentile(r.latenciesMs, 50), 3) : "-",
                         hasLatency ? fixed(percentile(r.latenciesMs, 99), 3) : "-", integrity});
    }
    return renderTable(cells, "LRRRRRRRL");
}

std::string renderChannels(const std::vector<MediumSummary>& rows) {
    std::vector<std::vector<std::string>> cells = {
        {"medium", "channel", "carried on", "msgs to", "msgs from", "bytes to", "bytes from"}};
    for (const MediumSummary& r : rows) {
        for (const ChannelTally& t : r.channels) {
            cells.push_back({r.medium, t.channel, t.carrier, std::to_string(t.messagesOut),
                             std::to_string(t.messagesIn), std::to_string(t.bytesOut), std::to_string(t.bytesIn)});
        }
    }
    return cells.size() > 1 ? renderTable(cells, "LLLRRRR") : "";
}

}  // namespace xr9tool
