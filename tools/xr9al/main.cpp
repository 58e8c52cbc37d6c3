// xr9al: the library's command-line tool for host developers and
// integrators bringing a terminal up.
#include <cstring>
#include <iostream>
#include <string>

#include "CanMedium.h"
#include "Cli.h"
#include "Commands.h"

namespace {

const char kUsage[] =
    "usage: xr9al COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  demo                 a complete session over every medium this machine offers\n"
    "  peer eth|can ACTION  play the remote update tool against a terminal\n"
    "  status CODE          the message of a status code\n"
    "  usb [--watch]        the USB memory drive as the library sees it\n"
    "  bitrate CHANNEL RATE set a CAN controller's bit rate through sysfs\n"
    "\n"
    "xr9al COMMAND --help shows the options of a command.\n";

struct Command {
    const char* name;
    int (*run)(int, char**);
};

const Command kCommands[] = {{"demo", xr9tool::runDemo},
                             {"peer", xr9tool::runPeer},
                             {"status", xr9tool::runStatus},
                             {"usb", xr9tool::runUsb},
                             {"bitrate", xr9tool::runBitrate}};

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argc < 2 ? "demo" : argv[1];
    if (name == "demo") xr9tool::preloadUserSpaceBusIfNeeded(argv);
    if (argc < 2) return xr9tool::runDemo(0, argv + argc);
    if (name == "--help" || name == "-h" || name == "help") {
        std::cout << kUsage;
        return xr9tool::kExitOk;
    }
    for (const Command& c : kCommands) {
        if (name == c.name) return c.run(argc - 2, argv + 2);
    }
    std::cerr << "xr9al: unknown command '" << name << "'\n" << kUsage;
    return xr9tool::kExitUsage;
}
