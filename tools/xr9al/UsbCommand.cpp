// xr9al usb: the USB memory drive as the library's memory-media transport
// reports it; --watch reports insertion and removal as they happen.
#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>

#include "Cli.h"
#include "Commands.h"
#include "access/Xr9AlHandle.h"

namespace xr9tool {

namespace {

volatile std::sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

// One poll; prints what changed. Returns the library's result.
int pollOnce(XR9AL* media, bool quietWhenUnchanged) {
    InterfaceSetting setting{0, 0, std::string()};
    const int rc = media->GetDeviceList(&setting);
    if (rc == 0) {
        std::cout << "inserted: " << setting.device << std::endl;
    } else if (rc == -280 && !setting.device.empty()) {
        std::cout << "removed: " << setting.device << std::endl;
    } else if (!quietWhenUnchanged) {
        std::cout << (rc == -281 ? "drive present (already reported)" : "no USB memory drive") << std::endl;
    }
    return rc;
}

}  // namespace

const CommandHelp kUsbHelp{
    "usb",
    "the USB memory drive as the library sees it",
    {"usb [--watch] [--interval MS] [--seconds N]"},
    {"Shows whether a USB memory drive is mounted and where, as the memory-media transport's GetDeviceList "
     "reports it."},
    {{"Options",
      {{"--watch", "poll and print each insertion and removal until interrupted"},
       {"--interval MS", "time between polls while watching (default 500)"},
       {"--seconds N", "stop watching after N seconds (default 0: until interrupted)"}}}}};

int runUsb(int argc, char** argv) {
    const std::string usage = helpText(kUsbHelp);
    Args args;
    if (!args.parse(argc, argv, 0, optionTable(kUsbHelp))) {
        std::cerr << "xr9al usb: " << args.error() << "\n" << usage;
        return kExitUsage;
    }
    if (args.has("help")) {
        std::cout << usage;
        return kExitOk;
    }
    uint64_t interval, seconds;
    if (!args.number("interval", 500, 10, 60000, &interval) || !args.number("seconds", 0, 0, 86400 * 365, &seconds)) {
        std::cerr << "xr9al usb: " << args.error() << "\n";
        return kExitUsage;
    }
    XR9AL* media = Xr9AlGetHandle(IF_TYPE_MM);
    if (!media) {
        std::cerr << "xr9al usb: the library offers no memory-media transport\n";
        return kExitUnavailable;
    }
    int rc = pollOnce(media, false);
    if (args.has("watch")) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!gStop && (seconds == 0 || std::chrono::steady_clock::now() < end)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(interval));
            rc = pollOnce(media, true);
        }
    }
    Xr9AlCloseHandle(media);
    return rc == 0 || rc == -281 || rc == -280 ? kExitOk : kExitFailed;
}

}  // namespace xr9tool
