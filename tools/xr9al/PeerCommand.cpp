// xr9al peer: plays the remote update tool against a terminal, on the wire
// formats alone.
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "Cli.h"
#include "Commands.h"
#include "peer/PeerSockets.h"

namespace xr9tool {

const CommandHelp kPeerHelp{
    "peer",
    "play the remote update tool against a terminal",
    {"peer eth [options] ACTION [ARG]", "peer can [options] ACTION [ARG]"},
    {"Plays the remote update tool against a terminal, on the wire formats alone: over Ethernet to the "
     "terminal's command and stream ports (or waiting for a terminal in client mode), or on a CAN interface "
     "with the terminal's identifiers."},
    {{"Actions",
      {{"command TEXT", "send a command message and print the answer"},
       {"send-file PATH", "send a file as one stream message"},
       {"receive-file PATH", "wait for one stream message and store it"},
       {"shm VALUE", "send a shared-memory notice carrying VALUE"},
       {"broadcast TEXT", "(eth) send a broadcast frame and print answers"},
       {"listen", "print every message that arrives"}}},
     {"Ethernet options",
      {{"--host ADDR", "terminal address (default 127.0.0.1)"},
       {"--command-port N", "command TCP port (default 5000)"},
       {"--stream-port N", "stream TCP port (default 5001)"},
       {"--broadcast-port N", "UDP port of broadcast frames (default 5002)"},
       {"--listen-mode", "listen for the terminal (terminal in client mode)"}}},
     {"CAN options",
      {{"--iface NAME", "CAN interface (default can0)"},
       {"--ids C,CL,S,SL", "command, command length, stream and stream length identifiers (default "
                           "0x100,0x101,0x200,0x201)"},
       {"--extended", "29-bit identifiers (bit 31 set on the wire)"}}},
     {"Common options",
      {{"--timeout MS", "how long to wait for an answer (default 5000)"},
       {"--dump", "print the frames the action would send and send nothing (eth: offset and bytes in hex; "
                  "can: candump's form)"}}}}};

namespace {

struct Common {
    std::string action, arg;
    int timeoutMs = 5000;
};

bool readWholeFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

bool writeWholeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

int fail(const std::string& what) {
    std::cerr << "xr9al peer: " << what << "\n";
    return kExitFailed;
}

const char* channelName(peer::EthChannel c) {
    switch (c) {
    case peer::EthChannel::Command: return "command";
    case peer::EthChannel::Stream: return "stream";
    case peer::EthChannel::Shm: return "shm";
    case peer::EthChannel::Broadcast: return "broadcast";
    }
    return "?";
}

int dumpRefused(const std::string& action) {
    std::cerr << "xr9al peer: --dump shows what an action sends; '" << action << "' sends nothing\n";
    return kExitUsage;
}

// Bytes as "  0000  A5 A5 ...", 16 a line, a wider gap after the eighth.
void printHex(const std::vector<uint8_t>& bytes) {
    std::ostringstream out;
    out << std::hex << std::uppercase << std::setfill('0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) out << (i ? "\n" : "") << "  " << std::setw(4) << i << " ";
        out << (i % 16 == 8 ? "  " : " ") << std::setw(2) << unsigned(bytes[i]);
    }
    std::cout << out.str() << "\n";
}

// The frames of an action that sends something, printed instead of sent.
int dumpEth(const Common& c, uint64_t cmdPort, uint64_t streamPort, uint64_t bcPort) {
    std::vector<uint8_t> frame;
    std::string where;
    if (c.action == "command") {
        frame = peer::encodeEthFrame(peer::EthChannel::Command, c.arg);
        where = "command frame, TCP port " + std::to_string(cmdPort);
    } else if (c.action == "shm") {
        uint64_t value;
        if (!parseNumber(c.arg, 0, UINT32_MAX, &value)) return fail("shm wants a 32-bit number, not '" + c.arg + "'");
        frame = peer::encodeEthShm(static_cast<int32_t>(value));
        where = "shm frame, TCP port " + std::to_string(cmdPort);
    } else if (c.action == "send-file") {
        std::string data;
        if (!readWholeFile(c.arg, &data)) return fail("cannot read " + c.arg);
        frame = peer::encodeEthFrame(peer::EthChannel::Stream, data);
        where = "stream frame, TCP port " + std::to_string(streamPort);
    } else if (c.action == "broadcast") {
        frame = peer::encodeEthFrame(peer::EthChannel::Broadcast, c.arg);
        where = "broadcast datagram, UDP port " + std::to_string(bcPort);
    } else {
        return dumpRefused(c.action);
    }
    std::cout << where << ", " << frame.size() << " bytes:\n";
    printHex(frame);
    return kExitOk;
}

int runEth(Args& args, const Common& c) {
    uint64_t cmdPort, streamPort, bcPort;
    if (!args.number("command-port", 5000, 1, 65535, &cmdPort) || !args.number("stream-port", 5001, 1, 65535, &streamPort) ||
        !args.number("broadcast-port", 5002, 1, 65535, &bcPort)) {
        std::cerr << "xr9al peer: " << args.error() << "\n";
        return kExitUsage;
    }
    if (args.has("dump")) return dumpEth(c, cmdPort, streamPort, bcPort);
    const std::string host = args.value("host", "127.0.0.1");
    std::string error;

    if (c.action == "broadcast") {
        peer::DatagramLink udp;
        if (!udp.bind("0.0.0.0", static_cast<uint16_t>(bcPort), nullptr, &error)) return fail(error);
        if (!udp.sendTo(host, static_cast<uint16_t>(bcPort), peer::encodeEthFrame(peer::EthChannel::Broadcast, c.arg), &error))
            return fail(error);
        std::vector<uint8_t> datagram;
        std::string sender;
        int answers = 0;
        while (udp.receive(&datagram, &sender, c.timeoutMs, &error)) {
            peer::EthFrameReader reader;
            reader.feed(datagram.data(), datagram.size());
            peer::EthMessage m;
            while (reader.next(&m)) {
                if (m.channel != peer::EthChannel::Broadcast) continue;
                std::cout << sender << ": " << m.payload << "\n";
                ++answers;
            }
        }
        return answers > 0 ? kExitOk : fail("no answer to the broadcast within " + std::to_string(c.timeoutMs) + " ms");
    }

    // Both TCP connections, as the terminal expects them.
    peer::Fd cmdFd, streamFd;
    if (args.has("listen-mode")) {
        peer::Fd l1 = peer::listenTcp("0.0.0.0", static_cast<uint16_t>(cmdPort), nullptr, &error);
        peer::Fd l2 = peer::listenTcp("0.0.0.0", static_cast<uint16_t>(streamPort), nullptr, &error);
        if (!l1.valid() || !l2.valid()) return fail(error);
        cmdFd = peer::acceptTcp(l1.get(), c.timeoutMs, &error);
        if (cmdFd.valid()) streamFd = peer::acceptTcp(l2.get(), c.timeoutMs, &error);
    } else {
        cmdFd = peer::connectTcp(host, static_cast<uint16_t>(cmdPort), c.timeoutMs, &error);
        if (cmdFd.valid()) streamFd = peer::connectTcp(host, static_cast<uint16_t>(streamPort), c.timeoutMs, &error);
    }
    if (!cmdFd.valid() || !streamFd.valid()) return fail(error);
    peer::FrameLink command(std::move(cmdFd)), stream(std::move(streamFd));

    if (c.action == "command") {
        if (!command.sendAll(peer::encodeEthFrame(peer::EthChannel::Command, c.arg), &error)) return fail(error);
        peer::EthMessage m;
        if (!command.receive(&m, c.timeoutMs, &error)) return fail(error);
        std::cout << m.payload << "\n";
        return kExitOk;
    }
    if (c.action == "shm") {
        uint64_t value;
        if (!parseNumber(c.arg, 0, UINT32_MAX, &value)) return fail("shm wants a 32-bit number, not '" + c.arg + "'");
        return command.sendAll(peer::encodeEthShm(static_cast<int32_t>(value)), &error) ? kExitOk : fail(error);
    }
    if (c.action == "send-file") {
        std::string data;
        if (!readWholeFile(c.arg, &data)) return fail("cannot read " + c.arg);
        if (!stream.sendAll(peer::encodeEthFrame(peer::EthChannel::Stream, data), &error)) return fail(error);
        std::cout << "sent " << data.size() << " bytes\n";
        return kExitOk;
    }
    if (c.action == "receive-file") {
        peer::EthMessage m;
        if (!stream.receive(&m, c.timeoutMs, &error)) return fail(error);
        if (!writeWholeFile(c.arg, m.payload)) return fail("cannot write " + c.arg);
        std::cout << "received " << m.payload.size() << " bytes\n";
        return kExitOk;
    }
    if (c.action == "listen") {
        for (;;) {
            peer::EthMessage m;
            if (command.receive(&m, 50, &error) || stream.receive(&m, 50, &error)) {
                std::cout << channelName(m.channel) << ": " << m.payload.size() << " bytes\n";
            } else if (error.find("within") == std::string::npos) {
                return fail(error);
            }
        }
    }
    std::cerr << "xr9al peer: unknown action '" << c.action << "'\n" << helpText(kPeerHelp);
    return kExitUsage;
}

bool parseIds(const std::string& text, bool extended, peer::CanIds* ids) {
    uint64_t v[4];
    std::stringstream in(text);
    std::string part;
    for (int i = 0; i < 4; ++i) {
        if (!std::getline(in, part, ',') || !parseNumber(part, 0, 0x1FFFFFFF, &v[i])) return false;
    }
    if (std::getline(in, part, ',')) return false;
    const uint32_t flag = extended ? 0x80000000u : 0;
    *ids = peer::CanIds{static_cast<uint32_t>(v[0]) | flag, static_cast<uint32_t>(v[1]) | flag,
                        static_cast<uint32_t>(v[2]) | flag, static_cast<uint32_t>(v[3]) | flag};
    return true;
}

std::string hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

// One frame in candump's form (interface, identifier, [length], data bytes),
// with what it is.
void printCanFrame(const std::string& iface, const peer::CanFrame& f, const std::string& what) {
    std::ostringstream out;
    out << std::hex << std::uppercase << std::setfill('0') << iface << "  ";
    if (f.id & 0x80000000u) {
        out << std::setw(8) << (f.id & 0x1FFFFFFFu);
    } else {
        out << std::setw(3) << f.id;
    }
    out << "   [" << unsigned(f.dlc) << "] ";
    for (int i = 0; i < 8; ++i) {
        if (i < f.dlc) {
            out << " " << std::setw(2) << unsigned(f.data[i]);
        } else {
            out << "   ";
        }
    }
    std::cout << out.str() << "   " << what << "\n";
}

int dumpCan(const Common& c, const peer::CanIds& ids, const std::string& iface) {
    if (c.action == "shm") {
        uint64_t value;
        if (!parseNumber(c.arg, 0, UINT32_MAX, &value)) return fail("shm wants a 32-bit number, not '" + c.arg + "'");
        printCanFrame(iface, peer::encodeCanShm(ids.commandLength, static_cast<uint32_t>(value)),
                      "shm notice, value " + hex32(static_cast<uint32_t>(value)));
        return kExitOk;
    }
    if (c.action != "command" && c.action != "send-file") return dumpRefused(c.action);
    std::string data = c.arg;
    if (c.action == "send-file" && !readWholeFile(c.arg, &data)) return fail("cannot read " + c.arg);
    const bool isCommand = c.action == "command";
    const std::string channel = isCommand ? "command" : "stream";
    const auto frames = peer::encodeCanMessage(isCommand ? ids.commandLength : ids.streamLength,
                                               isCommand ? ids.command : ids.stream, data);
    size_t offset = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i == 0) {
            printCanFrame(iface, frames[i], channel + " length frame, " + std::to_string(data.size()) + " bytes follow");
            continue;
        }
        printCanFrame(iface, frames[i],
                      channel + " data, bytes " + std::to_string(offset) + "-" + std::to_string(offset + frames[i].dlc - 1));
        offset += frames[i].dlc;
    }
    return kExitOk;
}

int runCan(Args& args, const Common& c) {
    peer::CanIds ids;
    if (!parseIds(args.value("ids", "0x100,0x101,0x200,0x201"), args.has("extended"), &ids)) {
        std::cerr << "xr9al peer: --ids wants four identifiers C,CL,S,SL\n";
        return kExitUsage;
    }
    const std::string iface = args.value("iface", "can0");
    if (args.has("dump")) return dumpCan(c, ids, iface);
    peer::CanLink link;
    std::string error;
    if (!link.open(iface, &error)) return fail(error);
    const int pauseUs = 200;  // the terminal reads one frame at a time
    if (c.action == "command" || c.action == "send-file") {
        std::string data = c.arg;
        if (c.action == "send-file" && !readWholeFile(c.arg, &data)) return fail("cannot read " + c.arg);
        const bool isCommand = c.action == "command";
        auto frames = peer::encodeCanMessage(isCommand ? ids.commandLength : ids.streamLength,
                                             isCommand ? ids.command : ids.stream, data);
        if (!link.sendAll(frames, pauseUs, &error)) return fail(error);
        if (!isCommand) {
            std::cout << "sent " << data.size() << " bytes\n";
            return kExitOk;
        }
    } else if (c.action == "shm") {
        uint64_t value;
        if (!parseNumber(c.arg, 0, UINT32_MAX, &value)) return fail("shm wants a 32-bit number, not '" + c.arg + "'");
        return link.send(peer::encodeCanShm(ids.commandLength, static_cast<uint32_t>(value)), &error) ? kExitOk
                                                                                                       : fail(error);
    } else if (c.action != "receive-file" && c.action != "listen") {
        std::cerr << "xr9al peer: unknown action '" << c.action << "'\n" << helpText(kPeerHelp);
        return kExitUsage;
    }
    peer::CanMessageReader reader(ids);
    for (;;) {
        peer::CanFrame frame;
        if (!link.receive(&frame, c.timeoutMs, &error)) return c.action == "listen" ? kExitOk : fail(error);
        auto event = reader.feed(frame);
        if (event == peer::CanMessageReader::Event::None) continue;
        if (event == peer::CanMessageReader::Event::Shm) {
            std::cout << "shm: " << reader.shmValue() << "\n";
        } else if (c.action == "receive-file" && event == peer::CanMessageReader::Event::Stream) {
            if (!writeWholeFile(c.arg, reader.message())) return fail("cannot write " + c.arg);
            std::cout << "received " << reader.message().size() << " bytes\n";
            return kExitOk;
        } else if (c.action == "command" && event == peer::CanMessageReader::Event::Command) {
            std::cout << reader.message() << "\n";
            return kExitOk;
        } else if (c.action == "listen") {
            std::cout << (event == peer::CanMessageReader::Event::Command ? "command: " : "stream: ")
                      << reader.message().size() << " bytes\n";
        }
    }
}

}  // namespace

int runPeer(int argc, char** argv) {
    Args args;
    if (!args.parse(argc, argv, 0, optionTable(kPeerHelp))) {
        std::cerr << "xr9al peer: " << args.error() << "\n" << helpText(kPeerHelp);
        return kExitUsage;
    }
    if (args.has("help")) {
        std::cout << helpText(kPeerHelp);
        return kExitOk;
    }
    const auto& pos = args.positional();
    if (pos.size() < 2 || (pos[0] != "eth" && pos[0] != "can")) {
        std::cerr << helpText(kPeerHelp);
        return kExitUsage;
    }
    Common c;
    c.action = pos[1];
    c.arg = pos.size() > 2 ? pos[2] : "";
    uint64_t timeout;
    if (!args.number("timeout", 5000, 1, 3600000, &timeout)) {
        std::cerr << "xr9al peer: " << args.error() << "\n";
        return kExitUsage;
    }
    c.timeoutMs = static_cast<int>(timeout);
    return pos[0] == "eth" ? runEth(args, c) : runCan(args, c);
}

}  // namespace xr9tool
