// Progress of a long transfer: a bar redrawn in place on a terminal, plain
// lines (every quarter) otherwise, so logs of a CI run stay readable.
#ifndef XR9TOOL_PROGRESS_H
#define XR9TOOL_PROGRESS_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace xr9tool {

class Progress {
public:
    // out is where it draws; interactive chooses the bar over plain lines.
    Progress(std::string label, uint64_t total, FILE* out, bool interactive);
    // Reports done bytes (monotonic; clipped to total). Cheap when nothing changes.
    void update(uint64_t done);
    // Draws the final state and ends the line.
    void finish();
    // The text of the bar for done bytes, without the carriage return.
    std::string bar(uint64_t done) const;

private:
    std::string label_;
    uint64_t total_;
    FILE* out_;
    bool interactive_;
    int lastDrawn_ = -1;  // percent (bar) or quarter (lines) last shown
    bool finished_ = false;
};

}  // namespace xr9tool

#endif
