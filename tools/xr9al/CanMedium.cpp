#include "CanMedium.h"

#include <dlfcn.h>
#include <linux/can.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace xr9tool {

namespace {

constexpr char kBusAccessor[] = "xr9canbus_bus_fd";
constexpr char kReexecMark[] = "XR9AL_DEMO_PRELOADED";

using BusFd = int (*)();

BusFd busAccessor() {
    return reinterpret_cast<BusFd>(dlsym(RTLD_DEFAULT, kBusAccessor));
}

bool kernelHasCan() {
    int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool haveCan0() {
    if (if_nametoindex("can0") != 0) return true;
    // A virtual bus named can0, where the kernel and our rights allow it.
    return std::system("ip link add dev can0 type vcan >/dev/null 2>&1 && ip link set can0 up >/dev/null 2>&1") == 0 &&
           if_nametoindex("can0") != 0;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string findPreloadLibrary() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    self[n] = '\0';
    const std::string dir = directoryOf(self);
    for (const std::string& candidate :
         {dir + "/canbus/libxr9canbus.so", dir + "/" XR9AL_CANBUS_FROM_BIN "/libxr9canbus.so"}) {
        if (::access(candidate.c_str(), R_OK) == 0) return candidate;
    }
    return "";
}

}  // namespace

bool CanMedium::attach(peer::CanLink* link, std::string* error) const {
    if (!userSpaceBus) return link->open("can0", error);
    BusFd accessor = busAccessor();
    const int fd = accessor ? accessor() : -1;
    if (fd < 0) {
        *error = "the user-space bus has no CAN socket open";
        return false;
    }
    link->adopt(::dup(fd));
    return true;
}

CanMedium findCanMedium() {
    CanMedium m;
    if (busAccessor()) {
        m.usable = m.userSpaceBus = true;
        m.description = "user-space bus, preloaded: the kernel has no CAN";
    } else if (kernelHasCan() && haveCan0()) {
        m.usable = true;
        m.description = "socketCAN can0";
    } else {
        m.description = "no CAN: the kernel has none and libxr9canbus.so was not found";
    }
    return m;
}

void preloadUserSpaceBusIfNeeded(char** argv) {
    if (busAccessor() || std::getenv(kReexecMark) || (kernelHasCan() && haveCan0())) return;
    const std::string library = findPreloadLibrary();
    if (library.empty()) return;
    const char* existing = std::getenv("LD_PRELOAD");
    const std::string preload = existing && *existing ? library + ":" + existing : library;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::setenv(kReexecMark, "1", 1);
    // A sanitizer build wants its runtime first in the library list; the bus
    // only interposes socket calls, so that order does not matter here.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
    ::setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
    ::execv("/proc/self/exe", argv);
    // execv failed: carry on without the bus, and the CAN session says so.
}

}  // namespace xr9tool
