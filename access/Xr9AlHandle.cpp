#include "access/Xr9AlHandle.h"

#include "access/XR9ALCOMMFactory.h"

XR9AL::~XR9AL() = default;

KT::int32 Xr9AlInit() {
    return 0;
}

XR9AL* Xr9AlGetHandle(enInterfaceType type) {
    return objCommFactory.createInstance(type);
}

KT::int32 Xr9AlCloseHandle(XR9AL* handle) {
    for (XR9AL** slot : {&pCANhandle, &pETHhandle, &pUSBhandle}) {
        if (handle && *slot == handle) {
            *slot = nullptr;
            delete handle;
            break;
        }
    }
    return 0;
}
