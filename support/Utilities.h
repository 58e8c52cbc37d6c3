/// \file
/// File and path helpers for the host. Paths are zero-terminated texts in
/// which both '/' and '\\' separate; "the file-name part" is everything after
/// the last separator (the whole path when there is none).
///
/// Destinations are caller-provided and not bounded by these calls; each must
/// already hold a terminated text (an empty one will do: the entry trace
/// prints it) and have room for:
///  - GetFileName: strlen(pchFilePath) + 1 bytes;
///  - GetXmlFileName: kXmlFileNameSize bytes (the file-name part is cut at
///    kMaxFileNamePart characters before its extension is replaced by ".xml");
///  - GetFilePath: strlen(absFilename) bytes;
///  - GetTerminalRootPath: TERMINAL_ROOT_PATH.size() + 1 (6) bytes.
///
/// No state; any thread (traces go through the log lock).
#ifndef XR9AL_UTILITIES_H
#define XR9AL_UTILITIES_H

#include <string>

#include "KTTypes.h"
#include "support/Xr9AlExport.h"

/// The file and path helpers; static members only.
class XR9AL_EXPORT Utilities {
public:
    static constexpr unsigned int kMaxFileNamePart = 254;                 ///< longer parts are cut
    static constexpr unsigned int kXmlFileNameSize = kMaxFileNamePart + 5;  ///< + ".xml" + zero
    static constexpr unsigned int kMaxValidPathLength = 253;              ///< longer: -313

    /// Size in bytes, 0 when the file's status cannot be read (and for a null
    /// name); sizes beyond the 32-bit range read as 0x7FFFFFFF.
    static KT::int32 GetFileSize(const char* pFileName);
    /// The file-name part up to its first '.', followed by ".xml". 0; -1 when
    /// either pointer is null (nothing written).
    static KT::int32 GetXmlFileName(char* pchFileName, const char* pchFilePath);
    /// The file-name part (possibly empty). 0; -1 when either pointer is null.
    static KT::int32 GetFileName(char* pchFileName, const char* pchFilePath);
    /// Everything before the last separator. 0; -1 when either pointer is null
    /// or the path has no separator (nothing written).
    static KT::int32 GetFilePath(char* absFilePath, const char* absFilename);
    /// Copies TERMINAL_ROOT_PATH ("/data"). 0; -1 for a null destination.
    static KT::int32 GetTerminalRootPath(char* path);
    /// 0 when path is at most kMaxValidPathLength characters and exists;
    /// otherwise -313 (too long, existence not tested) or -501 (missing),
    /// logged at LOG_LEVEL 0 and above and recorded in GXSError.
    static KT::int32 IsFilePathValid(std::string path);

    /// Set by the host, never read by the library.
    static std::string TOOLCHAIN_VERSION;
    /// Set by the host, never read by the library.
    static KT::int32 APP_TYPE;
};

#endif
