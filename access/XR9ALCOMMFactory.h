// Hands out one transport per interface type. The registry is the three
// exported slots below; it has no lock (first creation and destruction are
// made from one thread at a time).
#ifndef XR9ALCOMMFACTORY_H
#define XR9ALCOMMFACTORY_H

#include "access/XR9AL.h"

class XR9AL_EXPORT XR9ALCOMMFactory {
public:
    // The transport of type: created with new when its slot is empty, the
    // slot's transport otherwise. Null for every type without a transport.
    // An exception from a constructor reaches the caller; the slot stays null.
    XR9AL* createInstance(enInterfaceType type);
};

extern XR9AL_EXPORT XR9ALCOMMFactory objCommFactory;
extern XR9AL_EXPORT XR9AL* pCANhandle;
extern XR9AL_EXPORT XR9AL* pETHhandle;  // the XR9AL base of the XR9ALEthernet object
extern XR9AL_EXPORT XR9AL* pUSBhandle;

#endif
