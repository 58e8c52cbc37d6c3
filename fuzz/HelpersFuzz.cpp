// The IP, path and byte-conversion helpers against arbitrary text and
// lengths: no crash, no write past the documented buffer sizes, and the
// round trips that must hold.
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "XR9ALEthernet/EthernetUtilities.h"
#include "support/HAL.h"
#include "support/Utilities.h"
#include "support/Xr9Log.h"

namespace {

void trap(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        Xr9Log::SetLogLevel(-1);  // the traces would only slow the search
        return true;
    }();
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = text.substr(0, text.find('\0'));

    // IP helpers: whatever parses prints back as four numbers that parse again the same.
    short address[4] = {7, 7, 7, 7};
    const QString qtext = QString::fromUtf8(text.data(), int(text.size()));
    if (EthernetUtilities::setIPArray(qtext, address) == 0) {
        short again[4];
        trap(EthernetUtilities::setIPArray(EthernetUtilities::getIPStr(address), again) == 0);
        trap(std::memcmp(address, again, sizeof again) == 0);
    }
    const QString broadcast = EthernetUtilities::GetBroadcastIP(qtext);
    trap(broadcast.endsWith("255"));

    // Path helpers, each with the buffer its header asks callers to provide,
    // and guard bytes behind it.
    const size_t guard = 16;
    std::vector<char> name(path.size() + 1 + guard, '#');
    name[0] = '\0';
    Utilities::GetFileName(name.data(), path.c_str());
    for (size_t k = path.size() + 1; k < name.size(); ++k) trap(name[k] == '#');
    std::vector<char> xml(Utilities::kXmlFileNameSize + guard, '#');
    xml[0] = '\0';
    Utilities::GetXmlFileName(xml.data(), path.c_str());
    for (size_t k = Utilities::kXmlFileNameSize; k < xml.size(); ++k) trap(xml[k] == '#');
    std::vector<char> dir(path.size() + 1 + guard, '#');
    dir[0] = '\0';
    Utilities::GetFilePath(dir.data(), path.c_str());
    for (size_t k = path.size() + 1; k < dir.size(); ++k) trap(dir[k] == '#');

    // Byte conversion within GetBufferSize(length), twice reversed is the identity.
    const unsigned length = unsigned(size % 64);
    const unsigned rounded = HAL::GetBufferSize(length);
    std::vector<unsigned char> src(rounded + guard, 0), dst(rounded + guard, 0xEE), back(rounded + guard, 0xEE);
    std::memcpy(src.data(), data, std::min<size_t>(size, rounded));
    HAL::HALForceConversion(src.data(), dst.data(), length);
    HAL::HALForceConversion(dst.data(), back.data(), length);
    for (unsigned k = rounded; k < rounded + guard; ++k) trap(dst[k] == 0xEE && back[k] == 0xEE);
    if (length % 4 == 0) trap(std::memcmp(src.data(), back.data(), length) == 0);
    return 0;
}
