/// \file
/// Holder of the last error text for the host. The first text recorded stays
/// until it has been fetched; only then may a later one replace it. Reading
/// does not clear it. No lock: callers on several threads serialise.
#ifndef XR9AL_GXSERROR_H
#define XR9AL_GXSERROR_H

#include <string>

#include "support/Xr9AlExport.h"

/// The last-error holder; static members only.
class XR9AL_EXPORT GXSError {
public:
    /// Records text when nothing is recorded or the recorded text was read;
    /// drops it while an unread text is pending.
    static void setErrorString(std::string text);
    /// The recorded text (marked as read), or an empty text.
    static std::string getErrorString();

    static std::string ERROR_STRING;  ///< the recorded text
    static bool WAS_READ;             ///< the recorded text has been fetched
};

#endif
