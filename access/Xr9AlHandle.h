/// \file
/// The host's entry points: take, and give back, the transport of a type.
#ifndef XR9ALHANDLE_H
#define XR9ALHANDLE_H

#include "access/XR9AL.h"

/// Does nothing; returns 0. Nothing depends on it having been called.
XR9AL_EXPORT KT::int32 Xr9AlInit();
/// objCommFactory.createInstance(type): the one live transport of that type,
/// or null for a type without a transport. Every caller of the same type gets
/// the same pointer. The first call of a type and Xr9AlCloseHandle come from
/// one thread at a time; the Ethernet transport belongs to the thread of its
/// first call.
XR9AL_EXPORT XR9AL* Xr9AlGetHandle(enInterfaceType type);
/// Destroys the transport (its destructor releases what it holds; ClosePort is
/// not called) and empties its registry slot, so the next Xr9AlGetHandle of
/// that type builds a new one. Only a live handle (one that Xr9AlGetHandle
/// handed out and that was not closed since) is destroyed: null, a handle
/// closed before and any other pointer are left alone, where the documented
/// interface deleted whatever it was given (a second close was a double free).
/// Always 0. No other thread may be inside the transport meanwhile.
XR9AL_EXPORT KT::int32 Xr9AlCloseHandle(XR9AL* handle);

#endif
