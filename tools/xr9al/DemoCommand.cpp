// xr9al demo: a complete session between the terminal side (the library,
// driven as a host drives it) and the remote update tool, over every medium
// this machine offers; ends with a summary table and fails loudly.
#include <QCoreApplication>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>

#include "Cli.h"
#include "Commands.h"
#include "Demo.h"
#include "support/Xr9Log.h"

namespace xr9tool {

const CommandHelp kDemoHelp{
    "demo",
    "a complete session over every medium this machine offers",
    {"demo [--file-mib N] [--pings N] [--log BASE] [--skip LIST] [--ports C,S,B]"},
    {"Runs the terminal side (the library, driven as a host drives it) and the remote tool side in one "
     "process, then prints a table per medium. Exits 0 when every check holds, 1 naming each check that "
     "failed. Without a command, xr9al runs the demo."},
    {{"Media",
      {{"eth", "Ethernet on loopback, server mode then client mode: command round trips, a file each way over "
               "the stream channel (checksummed at both ends), broadcast discovery, a shared-memory notice "
               "arriving as an update message"},
       {"can", "CAN on can0 or vcan0 when the kernel has CAN, otherwise on the user-space bus libxr9canbus.so, "
               "which the demo preloads itself"},
       {"usb", "the USB memory drive as GetDeviceList reports it"}}},
     {"Options",
      {{"--file-mib N", "size of the file sent each way, in MiB (1 to 1024, default 8)"},
       {"--pings N", "command round trips per session (default 200)"},
       {"--log BASE", "the library's log files BASE.0 and BASE.1 (default /tmp/xr9al-demo)"},
       {"--skip LIST", "media to leave out, comma-separated: eth, can, usb"},
       {"--ports C,S,B", "command, stream and broadcast ports of both Ethernet sessions (default: free ones), "
                         "for example the remote tool's own 5000,5001,5002 for a capture"}}}}};

namespace {

// Writes enough host lines to carry the log over into its second file.
bool exerciseLogRotation(const std::string& base) {
    char function[] = "int xr9tool::runDemo(int, char**)";
    char line[200];
    for (int i = 0; i < 12000 && Xr9Log::m_Logfile != base + ".1"; ++i) {
        std::snprintf(line, sizeof line, "demo log line %05d: the log takes turns between two 1 MiB files .....", i);
        Xr9Log::WriteLogMsg(__LINE__, function, line);
    }
    return Xr9Log::m_Logfile == base + ".1";
}

bool parsePorts(const std::string& text, DemoConfig* config) {
    uint64_t v[3];
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t comma = text.find(',', start);
        if ((comma == std::string::npos) != (i == 2)) return false;
        if (!parseNumber(text.substr(start, comma - start), 1, 65535, &v[i])) return false;
        start = comma + 1;
    }
    config->commandPort = static_cast<uint16_t>(v[0]);
    config->streamPort = static_cast<uint16_t>(v[1]);
    config->broadcastPort = static_cast<uint16_t>(v[2]);
    return true;
}

}  // namespace

int runDemo(int argc, char** argv) {
    Args args;
    const std::string usage = helpText(kDemoHelp);
    if (!args.parse(argc, argv, 0, optionTable(kDemoHelp)) || !args.positional().empty()) {
        std::cerr << (args.error().empty() ? "" : "xr9al demo: " + args.error() + "\n") << usage;
        return kExitUsage;
    }
    if (args.has("help")) {
        std::cout << usage;
        return kExitOk;
    }
    DemoConfig config;
    uint64_t mib, pings;
    if (!args.number("file-mib", 8, 1, 1024, &mib) || !args.number("pings", 200, 1, 100000, &pings)) {
        std::cerr << "xr9al demo: " << args.error() << "\n";
        return kExitUsage;
    }
    config.fileBytes = mib << 20;
    config.pings = static_cast<int>(pings);
    config.interactive = isatty(1) == 1;
    const std::string skip = args.value("skip");
    if (args.has("ports") && !parsePorts(args.value("ports"), &config)) {
        std::cerr << "xr9al demo: --ports wants three port numbers COMMAND,STREAM,BROADCAST\n";
        return kExitUsage;
    }

    int qtArgc = 1;
    char qtName[] = "xr9al";
    char* qtArgv[] = {qtName, nullptr};
    QCoreApplication app(qtArgc, qtArgv);

    const std::string base = args.value("log", "/tmp/xr9al-demo");
    std::remove((base + ".0").c_str());
    std::remove((base + ".1").c_str());
    std::vector<SessionResult> sessions;
    std::vector<std::string> failures;
    if (Xr9Log::CreateLogFile(base) != 0) failures.push_back("log: CreateLogFile failed");
    Xr9Log::SetLogLevel(5);
    std::cout << "log: " << base << ".0 and " << base << ".1\n";

    auto started = std::chrono::steady_clock::now();
    if (skip.find("eth") == std::string::npos) {
        sessions.push_back(runEthernetSession(false, config));
        sessions.push_back(runEthernetSession(true, config));
    }
    if (skip.find("can") == std::string::npos) sessions.push_back(runCanSession(config));
    if (skip.find("usb") == std::string::npos) sessions.push_back(runMemoryMediaSession());
    if (!exerciseLogRotation(base)) failures.push_back("log: did not rotate into " + base + ".1");

    std::vector<MediumSummary> rows;
    for (SessionResult& s : sessions) {
        rows.push_back(s.summary);
        failures.insert(failures.end(), s.failures.begin(), s.failures.end());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "\n" << renderSummary(rows) << "\nper channel (message bytes; a shared-memory notice counts its 4-byte value)\n"
              << renderChannels(rows);
    std::cout << "log now writing " << Xr9Log::m_Logfile << "; demo took " << static_cast<int>(seconds + 0.5) << " s\n";
    if (failures.empty()) {
        std::cout << "all checks passed\n";
        return kExitOk;
    }
    for (const std::string& f : failures) std::cout << "FAILED: " << f << "\n";
    return kExitFailed;
}

}  // namespace xr9tool
