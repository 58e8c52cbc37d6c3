// The demo's pieces: one session per medium, each counted from the remote
// tool's side and checked end to end.
#ifndef XR9TOOL_DEMO_H
#define XR9TOOL_DEMO_H

#include <cstdint>
#include <string>
#include <vector>

#include "Stats.h"

namespace xr9tool {

struct DemoConfig {
    uint64_t fileBytes = 8u << 20;   // each way, over the stream channel
    uint64_t canFileBytes = 4096;    // the CAN bus is slow: a small file
    int pings = 200;                 // command round trips for the latency figures
    int timeoutMs = 20000;           // per session
    bool interactive = false;        // progress bars instead of lines
    // Ethernet ports of both sessions; 0: the system picks free ones.
    uint16_t commandPort = 0, streamPort = 0, broadcastPort = 0;
};

// What one session found: its figures and the checks that did not hold.
struct SessionResult {
    MediumSummary summary;
    std::vector<std::string> failures;
    void check(bool ok, const std::string& what) {
        if (!ok) failures.push_back(summary.medium + ": " + what);
    }
};

// Ethernet on loopback; clientMode false: the terminal listens (server mode).
SessionResult runEthernetSession(bool clientMode, const DemoConfig& config);
// CAN on a real interface when one works, else on the user-space bus.
SessionResult runCanSession(const DemoConfig& config);
// The USB drive as GetDeviceList reports it.
SessionResult runMemoryMediaSession();

}  // namespace xr9tool

#endif
