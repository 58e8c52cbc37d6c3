/// \file
/// Status codes of the update system and their message texts.
/// A status is a signed 32-bit number: 0 success, negative failure. Codes lie
/// in -503..0 in blocks; numbers between blocks and outside that range have no
/// message of their own and read "UNKOWN ERROR".
#ifndef XRERRORCODES_H
#define XRERRORCODES_H

#include "KTTypes.h"
#include "support/Xr9AlExport.h"

/// \name The codes that this library itself returns
/// Other subsystems use these names, never the bare numbers.
///@{
constexpr KT::int32 XR_SUCCESS = 0;                       ///< "XR SUCCESS"
constexpr KT::int32 XR_FAILURE = -1;                      ///< "XR FAILURE"; also "not offered by this transport"
constexpr KT::int32 XR_INVALID_PARAMETER = -2;            ///< "INVALID PARAMETER"
constexpr KT::int32 XR_OS_ERROR_TIMEOUT = -304;           ///< "OS ERROR TIMEOUT"
constexpr KT::int32 XR_OS_INVALID_NAME_SIZE = -313;       ///< "OS INVALID NAME SIZE"
constexpr KT::int32 XR9AL_BUFFER_OVERFLOW = -403;         ///< "ERR_XR9AL_BUFFER_OVERFLOW"
constexpr KT::int32 XR9AL_QUEUE_FULL = -407;              ///< "QUEUE FULL"
constexpr KT::int32 XR_NO_SUCH_FILE_OR_DIRECTORY = -501;  ///< "NO SUCH FILE OR DIRECTORY"
constexpr KT::int32 XR_NOT_SUPPORTED = -502;              ///< "NOT SUPPORTED"
constexpr KT::int32 XR_USER_ABORT = -503;                 ///< "USER ABORT"
///@}
/// \name Memory-medium polling results; they lie in a gap of the table
///@{
constexpr KT::int32 XR_MM_NO_DRIVE = -280;    ///< no drive, or the reported one has gone
constexpr KT::int32 XR_MM_SAME_DRIVE = -281;  ///< still the drive reported before
///@}

constexpr KT::int32 XR_LOWEST_STATUS_CODE = -503;         ///< the lowest code of the table
constexpr unsigned int XR_STATUS_TEXT_BUFFER_SIZE = 254;  ///< bytes of a getErrorString buffer

/// The message of code in a new malloc'd buffer of XR_STATUS_TEXT_BUFFER_SIZE
/// bytes, zero-filled behind the text; "UNKOWN ERROR" for a code without one.
/// The caller frees it. Null only when the heap cannot supply the buffer.
/// No state; any thread.
XR9AL_EXPORT char* getErrorString(int code);

namespace xr9 {

/// The same message without allocation: a static text, never null. For the
/// library's own call sites; not exported.
const char* statusText(int code);

}  // namespace xr9

#endif
