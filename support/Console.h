// Console diagnostics: faults that cannot reach a caller go to standard
// output as whole lines, each flushed at once.
#ifndef XR9AL_CONSOLE_H
#define XR9AL_CONSOLE_H

#include <string>

namespace xr9 {

// Writes text and a newline to standard output and flushes. Lines written
// by different threads never interleave. Any thread.
void consoleLine(const std::string& text);

}  // namespace xr9

#endif
