#include "access/XR9ALCOMMFactory.h"

#include "XR9ALEthernet/XR9ALEthernet.h"
#include "can/XR9ALCAN.h"
#include "memorymedia/XR9ALMM.h"

XR9ALCOMMFactory objCommFactory;
XR9AL* pCANhandle = nullptr;
XR9AL* pETHhandle = nullptr;
XR9AL* pUSBhandle = nullptr;

namespace {

template <typename Transport>
XR9AL* slotOrNew(XR9AL*& slot) {
    if (!slot) slot = new Transport();
    return slot;
}

}  // namespace

XR9AL* XR9ALCOMMFactory::createInstance(enInterfaceType type) {
    switch (type) {
    case IF_TYPE_ETHERNET:
        return slotOrNew<XR9ALEthernet>(pETHhandle);
    case IF_TYPE_MM:
        return slotOrNew<XR9ALMM>(pUSBhandle);
    case IF_TYPE_CAN:
        return slotOrNew<XR9ALCAN>(pCANhandle);
    default:
        return nullptr;
    }
}
