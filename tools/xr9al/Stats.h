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

// One channel's messages, counted at the remote side. Bytes are message
// bytes, without framing; a shared-memory notice counts its 4-byte value.
struct ChannelTally {
    std::string channel;  // "command", "stream", "shm", "broadcast"
    std::string carrier;  // where it travels: "tcp 5000", "udp 5002", "can 0x101,0x100"
    uint64_t messagesOut = 0, messagesIn = 0;
    uint64_t bytesOut = 0, bytesIn = 0;
};

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
    std::vector<ChannelTally> channels;  // in the order first counted

    // Names the carrier of a channel (before or after its first count).
    void carry(const std::string& channel, const std::string& carrier);
    // One message of a channel, in the channel's and the medium's figures.
    void count(const std::string& channel, bool toTerminal, uint64_t bytes);

private:
    ChannelTally& tally(const std::string& channel);
};

// The closing table, one row per medium, columns aligned.
std::string renderSummary(const std::vector<MediumSummary>& rows);
// The same media, one row per channel with its carrier: what a capture of
// the session shows.
std::string renderChannels(const std::vector<MediumSummary>& rows);

}  // namespace xr9tool

#endif
