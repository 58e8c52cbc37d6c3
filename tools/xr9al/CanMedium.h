// Which CAN medium the demo can use here: a socketCAN interface can0 (made
// as a virtual interface when the kernel allows it), or the user-space bus
// of libxr9canbus.so, which the demo preloads by starting itself again.
#ifndef XR9TOOL_CANMEDIUM_H
#define XR9TOOL_CANMEDIUM_H

#include <string>

#include "peer/PeerSockets.h"

namespace xr9tool {

struct CanMedium {
    bool usable = false;
    bool userSpaceBus = false;
    std::string description;  // what the demo tells the user; the reason when unusable
    // Connects the remote side's link to the medium, once the terminal's port is open.
    bool attach(peer::CanLink* link, std::string* error) const;
};

CanMedium findCanMedium();

// When neither socketCAN nor the user-space bus is at hand, starts this
// program again with libxr9canbus.so preloaded (argv as given to main). Returns
// only when that is not needed or not possible.
void preloadUserSpaceBusIfNeeded(char** argv);

}  // namespace xr9tool

#endif
