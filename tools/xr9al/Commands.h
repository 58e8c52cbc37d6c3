// Subcommands of the xr9al tool. Each takes the arguments after its own
// name and returns an exit code (Cli.h); its help (Help.h) is what --help
// prints, what the manual page says and which options it accepts.
#ifndef XR9TOOL_COMMANDS_H
#define XR9TOOL_COMMANDS_H

#include "Help.h"

namespace xr9tool {

int runDemo(int argc, char** argv);
int runPeer(int argc, char** argv);
int runStatus(int argc, char** argv);
int runUsb(int argc, char** argv);
int runBitrate(int argc, char** argv);

extern const CommandHelp kDemoHelp;
extern const CommandHelp kPeerHelp;
extern const CommandHelp kStatusHelp;
extern const CommandHelp kUsbHelp;
extern const CommandHelp kBitrateHelp;

}  // namespace xr9tool

#endif
