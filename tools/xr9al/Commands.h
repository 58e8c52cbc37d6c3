// Subcommands of the xr9al tool. Each takes the arguments after its own
// name and returns an exit code (Cli.h).
#ifndef XR9TOOL_COMMANDS_H
#define XR9TOOL_COMMANDS_H

namespace xr9tool {

int runDemo(int argc, char** argv);
int runPeer(int argc, char** argv);
int runStatus(int argc, char** argv);
int runUsb(int argc, char** argv);
int runBitrate(int argc, char** argv);

}  // namespace xr9tool

#endif
