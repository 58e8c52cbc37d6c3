// The library's log call sites. A site writes only when LOG_LEVEL is above its
// threshold, checked before it formats anything, through Xr9Log::WriteLogMsg
// with its source line and its pretty-function text.
#ifndef XR9LOGCALL_H
#define XR9LOGCALL_H

#include "support/Xr9Log.h"

namespace xr9 {

constexpr int kLogSetup = 3;   // set-up steps and faults
constexpr int kLogTrace = 4;   // parameters, return values, per-message data
constexpr int kLogAlways = -1; // errors, silenced only by a negative level

// Formats into a per-thread 1000-byte buffer (cut at 999 characters) and
// writes the line. Any thread.
void logFormatted(int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace xr9

#define XR9_LOG_AT(line, above, ...)                                                \
    do {                                                                            \
        if (LOG_LEVEL > (above)) ::xr9::logFormatted((line), __PRETTY_FUNCTION__, __VA_ARGS__); \
    } while (0)

#define XR9_LOG(above, ...) XR9_LOG_AT(__LINE__, above, __VA_ARGS__)

// Returns result from the calling function, traced first as "function return
// value = %d" when LOG_LEVEL is above the threshold.
#define XR9_RETURN_AT(line, above, result)                                                   \
    do {                                                                                     \
        const auto xr9Returned = (result);                                                   \
        XR9_LOG_AT((line), above, "function return value = %d", static_cast<int>(xr9Returned)); \
        return xr9Returned;                                                                  \
    } while (0)

#define XR9_RETURN(above, result) XR9_RETURN_AT(__LINE__, above, result)

#endif
