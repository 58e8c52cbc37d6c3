#include "support/Utilities.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>

#include "osal.h"
#include "support/GXSError.h"
#include "support/Xr9LogCall.h"
#include "vocabulary/XRConstants.h"
#include "vocabulary/XRErrorCodes.h"

std::string Utilities::TOOLCHAIN_VERSION;
KT::int32 Utilities::APP_TYPE = 0;

// Source lines that hosts' log readers know the traces by.
namespace {

constexpr int kFileSizeEntryLine = 50;
constexpr int kFileSizeReturnLine = 60;
constexpr int kXmlNameEntryLine = 93;
constexpr int kXmlNameReturnLine = 138;
constexpr int kFileNameEntryLine = 169;
constexpr int kFileNameReturnLine = 198;
constexpr int kFilePathEntryLine = 222;
constexpr int kFilePathReturnLine = 245;
constexpr int kInvalidPathLine = 294;
// The function text of the invalid-path report as hosts' log readers know it;
// current GCC renders the parameter as "std::string", so it is spelt out.
constexpr char kIsFilePathValidFunction[] = "static KT::int32 Utilities::IsFilePathValid(std::__cxx11::string)";

const char* shown(const char* text) {
    return text ? text : "(null)";
}

// The last '/' or '\\' of path, or null when it has none.
const char* lastSeparator(const char* path) {
    for (const char* p = path + std::strlen(path); p != path;) {
        --p;
        if (*p == '/' || *p == '\\') return p;
    }
    return nullptr;
}

const char* fileNamePart(const char* path) {
    const char* separator = lastSeparator(path);
    return separator ? separator + 1 : path;
}

}  // namespace

KT::int32 Utilities::GetFileSize(const char* pFileName) {
    XR9_LOG_AT(kFileSizeEntryLine, xr9::kLogTrace, "Params pFileName = %s", shown(pFileName));
    KT::int32 size = 0;
    struct stat st;
    if (pFileName && stat(pFileName, &st) == 0)
        size = st.st_size > INT32_MAX ? INT32_MAX : static_cast<KT::int32>(st.st_size);
    XR9_RETURN_AT(kFileSizeReturnLine, xr9::kLogTrace, size);
}

KT::int32 Utilities::GetXmlFileName(char* pchFileName, const char* pchFilePath) {
    XR9_LOG_AT(kXmlNameEntryLine, xr9::kLogTrace, "Params pchFileName = %s,pchFilePath = %s", shown(pchFileName),
               shown(pchFilePath));
    if (!pchFileName || !pchFilePath) XR9_RETURN_AT(kXmlNameReturnLine, xr9::kLogTrace, XR_FAILURE);
    const char* name = fileNamePart(pchFilePath);
    const size_t length = strnlen(name, kMaxFileNamePart);
    const void* dot = std::memchr(name, '.', length);
    const size_t stem = dot ? static_cast<size_t>(static_cast<const char*>(dot) - name) : length;
    std::memmove(pchFileName, name, stem);
    std::memcpy(pchFileName + stem, ".xml", sizeof ".xml");
    XR9_RETURN_AT(kXmlNameReturnLine, xr9::kLogTrace, XR_SUCCESS);
}

KT::int32 Utilities::GetFileName(char* pchFileName, const char* pchFilePath) {
    XR9_LOG_AT(kFileNameEntryLine, xr9::kLogTrace, "Params pchFileName = %s,pchFilePath = %s", shown(pchFileName),
               shown(pchFilePath));
    if (!pchFileName || !pchFilePath) XR9_RETURN_AT(kFileNameReturnLine, xr9::kLogTrace, XR_FAILURE);
    const char* name = fileNamePart(pchFilePath);
    std::memmove(pchFileName, name, std::strlen(name) + 1);
    XR9_RETURN_AT(kFileNameReturnLine, xr9::kLogTrace, XR_SUCCESS);
}

KT::int32 Utilities::GetFilePath(char* absFilePath, const char* absFilename) {
    XR9_LOG_AT(kFilePathEntryLine, xr9::kLogTrace, "Params absFilePath = %s,absFilename = %s", shown(absFilePath),
               shown(absFilename));
    const char* separator = absFilePath && absFilename ? lastSeparator(absFilename) : nullptr;
    if (!separator) XR9_RETURN_AT(kFilePathReturnLine, xr9::kLogTrace, XR_FAILURE);
    const size_t length = static_cast<size_t>(separator - absFilename);
    std::memmove(absFilePath, absFilename, length);
    absFilePath[length] = '\0';
    XR9_RETURN_AT(kFilePathReturnLine, xr9::kLogTrace, XR_SUCCESS);
}

KT::int32 Utilities::GetTerminalRootPath(char* path) {
    if (!path) return XR_FAILURE;
    std::memcpy(path, TERMINAL_ROOT_PATH.c_str(), TERMINAL_ROOT_PATH.size() + 1);
    return XR_SUCCESS;
}

KT::int32 Utilities::IsFilePathValid(std::string path) {
    KT::int32 code;
    if (path.size() > kMaxValidPathLength) {
        code = XR_OS_INVALID_NAME_SIZE;
    } else if (osIsFileExists(path.c_str()) == 0) {
        return XR_SUCCESS;
    } else {
        code = XR_NO_SUCH_FILE_OR_DIRECTORY;
    }
    if (LOG_LEVEL > xr9::kLogAlways)
        xr9::logFormatted(kInvalidPathLine, kIsFilePathValidFunction, "File not valid: %s ERROR: %s", path.c_str(),
                          xr9::statusText(code));
    GXSError::setErrorString("Invalid FILE PATH: " + path);
    return code;
}
