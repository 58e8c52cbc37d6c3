// xr9al: the library's command-line tool for host developers and
// integrators bringing a terminal up.
#include <iostream>
#include <string>
#include <vector>

#include "CanMedium.h"
#include "Cli.h"
#include "Commands.h"

namespace {

using xr9tool::CommandHelp;

const CommandHelp kToolHelp{
    "",
    "the libxr9al tool for host developers and integrators",
    {"COMMAND [options] [ARG...]", "--help | --man"},
    {"xr9al exercises libxr9al, the communication layer between a terminal's software-update process and its "
     "remote update tool, over CAN bus, Ethernet and USB memory drives: it runs a whole session on this machine, "
     "plays the remote tool against a real terminal, and asks the library about status codes, the USB drive "
     "and CAN bit rates.",
     "xr9al COMMAND --help shows the options of a command."},
    {{"Options",
      {{"--help", "print the help"}, {"--man", "print the manual page in roff; read it with: xr9al --man | man -l -"}}},
     {"Exit status",
      {{std::to_string(xr9tool::kExitOk), "done"},
       {std::to_string(xr9tool::kExitFailed), "a check or operation failed"},
       {std::to_string(xr9tool::kExitUsage), "wrong usage"},
       {std::to_string(xr9tool::kExitUnavailable), "the medium is not available on this machine"}}}}};

struct Command {
    const CommandHelp* help;
    int (*run)(int, char**);
};

const Command kCommands[] = {{&xr9tool::kDemoHelp, xr9tool::runDemo},
                             {&xr9tool::kPeerHelp, xr9tool::runPeer},
                             {&xr9tool::kStatusHelp, xr9tool::runStatus},
                             {&xr9tool::kUsbHelp, xr9tool::runUsb},
                             {&xr9tool::kBitrateHelp, xr9tool::runBitrate}};

std::vector<const CommandHelp*> commandHelps() {
    std::vector<const CommandHelp*> helps;
    for (const Command& c : kCommands) helps.push_back(c.help);
    return helps;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argc < 2 ? "demo" : argv[1];
    if (name == "demo") xr9tool::preloadUserSpaceBusIfNeeded(argv);
    if (argc < 2) return xr9tool::runDemo(0, argv + argc);
    if (name == "--help" || name == "-h" || name == "help") {
        std::cout << xr9tool::helpText(kToolHelp, commandHelps());
        return xr9tool::kExitOk;
    }
    if (name == "--man") {
        std::cout << xr9tool::manPage(kToolHelp, commandHelps(), XR9AL_VERSION);
        return xr9tool::kExitOk;
    }
    for (const Command& c : kCommands) {
        if (name == c.help->name) return c.run(argc - 2, argv + 2);
    }
    std::cerr << "xr9al: unknown command '" << name << "'\n" << xr9tool::helpText(kToolHelp, commandHelps());
    return xr9tool::kExitUsage;
}
