// xr9al status CODE: the message of a status code.
#include <cstdlib>
#include <iostream>

#include "Cli.h"
#include "Commands.h"
#include "vocabulary/XRErrorCodes.h"

namespace xr9tool {

const CommandHelp kStatusHelp{
    "status",
    "the message of status codes",
    {"status CODE..."},
    {"Prints the message of each status code, as the library's getErrorString gives it. Codes are decimal, "
     "negative for failures; 0 is success."},
    {}};

int runStatus(int argc, char** argv) {
    const std::string usage = helpText(kStatusHelp);
    Args args;
    if (!args.parse(argc, argv, 0, optionTable(kStatusHelp)) || (args.positional().empty() && !args.has("help"))) {
        std::cerr << (args.error().empty() ? "" : "xr9al status: " + args.error() + "\n") << usage;
        return kExitUsage;
    }
    if (args.has("help")) {
        std::cout << usage;
        return kExitOk;
    }
    for (const std::string& text : args.positional()) {
        char* end = nullptr;
        long long code = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || code < INT32_MIN || code > INT32_MAX) {
            std::cerr << "xr9al status: not a status code: '" << text << "'\n";
            return kExitUsage;
        }
        char* message = getErrorString(static_cast<int>(code));
        if (!message) {
            std::cerr << "xr9al status: out of memory\n";
            return kExitFailed;
        }
        std::cout << code << ": " << message << "\n";
        std::free(message);
    }
    return kExitOk;
}

}  // namespace xr9tool
