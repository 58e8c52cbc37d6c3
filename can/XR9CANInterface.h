// Sets the bit rate of a CAN controller interface ("can0" to "can3") through
// the kernel's per-interface sysfs attribute. Objects come only from create;
// the caller owns them and deletes them through this interface.
//
// Channels are numbered from 1: channel n is interface "can<n-1>".
// Rates of 1000 or less are kbit/s, larger ones bit/s.
//
// An object remembers the attribute file of its last channel, so it serves
// one thread at a time. Nothing is logged or printed.
#ifndef XR9CANINTERFACE_H
#define XR9CANINTERFACE_H

#include "support/Xr9AlExport.h"

class XR9AL_EXPORT XR9CANInterface {
public:
    // A new XR9Flexcan; the argument is not used.
    static XR9CANInterface* create(int kind);

    virtual ~XR9CANInterface();
    // Scales rate, then setBaudrateInternal(channel, rate): 0 or -1.
    virtual int setBaudrate(unsigned int channel, unsigned int rate) = 0;
    // Reads the rate of the last channel's attribute file and sets *matches
    // when it equals rate within 1.5 % of the value read. 0 when the file
    // could be read (matched or not), -1 otherwise.
    virtual int readBaudrateInternal(unsigned int rate, bool* matches) = 0;
    // Sets channel to rate bit/s, taking the interface down only when the
    // rate has to change and always up again at the end. 0 or -1.
    virtual int setBaudrateInternal(unsigned int channel, unsigned int rate) = 0;
};

#endif
