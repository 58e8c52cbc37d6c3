/// \file
/// Hands out one transport per interface type. The registry is the three
/// exported slots below; it has no lock (first creation and destruction are
/// made from one thread at a time).
#ifndef XR9ALCOMMFACTORY_H
#define XR9ALCOMMFACTORY_H

#include "access/XR9AL.h"

/// The factory behind Xr9AlGetHandle; it has no state of its own.
class XR9AL_EXPORT XR9ALCOMMFactory {
public:
    /// The transport of type: created with new when its slot is empty, the
    /// slot's transport otherwise. Null for every type without a transport.
    /// An exception from a constructor reaches the caller; the slot stays null.
    XR9AL* createInstance(enInterfaceType type);
};

/// The factory instance that Xr9AlGetHandle uses.
extern XR9AL_EXPORT XR9ALCOMMFactory objCommFactory;
/// The CAN transport, or null.
extern XR9AL_EXPORT XR9AL* pCANhandle;
/// The XR9AL base of the XR9ALEthernet object, or null.
extern XR9AL_EXPORT XR9AL* pETHhandle;
/// The memory-media transport, or null.
extern XR9AL_EXPORT XR9AL* pUSBhandle;

#endif
