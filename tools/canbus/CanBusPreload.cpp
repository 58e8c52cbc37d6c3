// The user-space bus as a preload library (libxr9canbus.so): a program
// started with it in LD_PRELOAD gets the bus's socket calls, and finds the
// bus end of its newest CAN socket through this C entry point with
// dlsym(RTLD_DEFAULT, "xr9canbus_bus_fd").
#include "UserSpaceCanBus.h"

extern "C" __attribute__((visibility("default"))) int xr9canbus_bus_fd() {
    return canbus::UserSpaceCanBus::instance().busFd();
}
