// Sample host: takes each handle the library offers and gives it back.
#include <cstdio>

#include "access/Xr9AlHandle.h"
#include "support/Xr9Log.h"

int main() {
    if (Xr9AlInit() != 0) return 1;
    Xr9Log::SetLogLevel(3);
    int failures = 0;
    for (enInterfaceType type : {IF_TYPE_UNDEFINED, IF_TYPE_CAN, IF_TYPE_ETHERNET, IF_TYPE_RS232, IF_TYPE_MM}) {
        XR9AL* handle = Xr9AlGetHandle(type);
        std::printf("interface %d: %s\n", static_cast<int>(type), handle ? "transport" : "none");
        if (handle && Xr9AlGetHandle(type) != handle) ++failures;
        Xr9AlCloseHandle(handle);
    }
    return failures == 0 ? 0 : 1;
}
