// xr9al bitrate CHANNEL RATE: the library's sysfs bit-rate service.
#include <sys/stat.h>

#include <iostream>
#include <memory>

#include "Cli.h"
#include "Commands.h"
#include "can/XR9CANInterface.h"

namespace xr9tool {

const CommandHelp kBitrateHelp{
    "bitrate",
    "set a CAN controller's bit rate through sysfs",
    {"bitrate CHANNEL RATE"},
    {"Sets CAN channel 1 to 4 (can0 to can3) to RATE, in kbit/s when 1000 or less and in bit/s otherwise, "
     "through /sys/class/net/canN/can_bitrate, taking the interface down and up around the change. Where the "
     "kernel has no can_bitrate attribute it names the netlink command that does the same."},
    {}};

int runBitrate(int argc, char** argv) {
    const std::string usage = helpText(kBitrateHelp);
    Args args;
    if (!args.parse(argc, argv, 0, optionTable(kBitrateHelp)) || (args.positional().size() != 2 && !args.has("help"))) {
        std::cerr << (args.error().empty() ? "" : "xr9al bitrate: " + args.error() + "\n") << usage;
        return kExitUsage;
    }
    if (args.has("help")) {
        std::cout << usage;
        return kExitOk;
    }
    uint64_t channel, rate;
    if (!parseNumber(args.positional()[0], 1, 4, &channel)) {
        std::cerr << "xr9al bitrate: CHANNEL is 1 to 4 (can0 to can3)\n";
        return kExitUsage;
    }
    if (!parseNumber(args.positional()[1], 1, UINT32_MAX, &rate)) {
        std::cerr << "xr9al bitrate: RATE is a positive number\n";
        return kExitUsage;
    }
    const std::string iface = "can" + std::to_string(channel - 1);
    const std::string dir = "/sys/class/net/" + iface;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        std::cerr << "xr9al bitrate: there is no interface " << iface << " on this machine\n";
        return kExitUnavailable;
    }
    if (stat((dir + "/can_bitrate").c_str(), &st) != 0) {
        const uint64_t bits = rate <= 1000 ? rate * 1000 : rate;
        std::cerr << "xr9al bitrate: " << iface << " has no can_bitrate attribute (mainline kernels set the rate "
                  << "over netlink instead):\n  ip link set " << iface << " down && ip link set " << iface
                  << " type can bitrate " << bits << " && ip link set " << iface << " up\n";
        return kExitUnavailable;
    }
    std::unique_ptr<XR9CANInterface> service(XR9CANInterface::create(0));
    const int rc = service->setBaudrate(static_cast<unsigned>(channel), static_cast<unsigned>(rate));
    std::cout << "setBaudrate(" << channel << ", " << rate << ") returned " << rc << "\n";
    return rc == 0 ? kExitOk : kExitFailed;
}

}  // namespace xr9tool
