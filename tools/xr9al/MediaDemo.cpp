// Memory-media part of the demo: what GetDeviceList reports on this machine.
#include <iostream>

#include "Demo.h"
#include "access/Xr9AlHandle.h"

namespace xr9tool {

SessionResult runMemoryMediaSession() {
    SessionResult result;
    result.summary.medium = "Memory media";
    XR9AL* media = Xr9AlGetHandle(IF_TYPE_MM);
    if (!media) {
        result.check(false, "no memory-media transport");
        return result;
    }
    InterfaceSetting setting{0, 0, std::string()};
    const int first = media->GetDeviceList(&setting);
    const int second = media->GetDeviceList(&setting);
    if (first == 0) {
        std::cout << "Memory media: USB memory drive mounted at " << setting.device << "\n";
        result.check(second == -281, "a drive still present must read as already reported (-281)");
        result.summary.note = "drive at " + setting.device;
    } else {
        std::cout << "Memory media: no USB memory drive mounted (GetDeviceList returned " << first << ")\n";
        result.check(first == -280 && second == -280, "no drive must read as -280");
        result.summary.note = "no drive";
    }
    result.check(media->ClosePort() == 0, "ClosePort");
    Xr9AlCloseHandle(media);
    return result;
}

}  // namespace xr9tool
