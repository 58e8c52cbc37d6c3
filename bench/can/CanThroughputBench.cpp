// Frames per second of the CAN transport on the user-space CAN bus:
//   - baseline: 16-byte records through a bare SOCK_SEQPACKET pair, one
//     writer thread and one reader thread (what the bus itself costs);
//   - receive: the receive task rebuilding 1024-byte stream messages (1
//     length frame + 128 data frames each) into its queue, a host thread
//     taking them out; at log level 3 (quiet) and 6 (every trace);
//   - send: SendData of 1024-byte stream messages, with its 1 ms gap before
//     every data frame, a thread draining the bus.
// The four runs are interleaved (BenchReport.h); each figure is printed with
// its ratio to the baseline and to a saturated 1 Mbit/s bus.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BenchReport.h"
#include "UserSpaceCanBus.h"
#include "can/XR9ALCAN.h"
#include "osal.h"
#include "support/Xr9Log.h"

namespace {

// A classic data frame of 8 bytes with an 11-bit identifier is 111 bits on
// the wire without stuff bits (108 bits of frame, 3 of intermission): a
// saturated 1 Mbit/s bus carries at most 1e6 / 111 such frames a second.
constexpr double kBusFramesPerSecond = 1e6 / 111;
constexpr uint32_t kMessage = 1024;
constexpr uint32_t kFramesPerMessage = 1 + kMessage / 8;
constexpr KT::uint32 kStreamLengthId = 0x320;
constexpr KT::uint32 kStreamId = 0x321;

// Frames per second of one run.
double framesPerSecond(const std::function<uint64_t()>& run) {
    const xr9bench::Stopwatch watch;
    const uint64_t frames = run();
    return frames / watch.wallSeconds();
}

uint64_t rawPair() {
    constexpr int kFrames = 200000;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) return 0;
    std::thread writer([&] {
        can_frame f;
        std::memset(&f, 0, sizeof f);
        for (int i = 0; i < kFrames; ++i) {
            if (write(ends[0], &f, sizeof f) != sizeof f) break;
        }
    });
    uint64_t got = 0;
    can_frame f;
    while (got < kFrames && read(ends[1], &f, sizeof f) == sizeof f) ++got;
    writer.join();
    close(ends[0]);
    close(ends[1]);
    return got;
}

std::vector<can_frame> streamMessage() {
    std::vector<can_frame> frames(kFramesPerMessage);
    for (can_frame& f : frames) std::memset(&f, 0, sizeof f);
    frames[0].can_id = kStreamLengthId;
    frames[0].can_dlc = 8;
    const uint8_t header[8] = {0x00, 0xA5, 0xA5, 0xA5, 0x00, 0x00, kMessage >> 8, kMessage & 0xFF};
    std::memcpy(frames[0].data, header, 8);
    for (uint32_t i = 1; i < kFramesPerMessage; ++i) {
        frames[i].can_id = kStreamId;
        frames[i].can_dlc = 8;
        frames[i].data[0] = static_cast<uint8_t>(i);
    }
    return frames;
}

// Messages put on the bus by one thread, taken from the stream queue by
// another; frames counted for the messages that arrived.
uint64_t receiveTask(XR9ALCAN& can, int messages) {
    canbus::UserSpaceCanBus& bus = canbus::UserSpaceCanBus::instance();
    const std::vector<can_frame> frames = streamMessage();
    std::thread writer([&] {
        for (int m = 0; m < messages; ++m) {
            for (const can_frame& f : frames) {
                if (!bus.send(f)) return;
            }
        }
    });
    std::vector<uint8_t> buffer(kMessage);
    int got = 0;
    KT::uint32 length = 0;
    while (got < messages && can.ReceiveDataTimed(buffer.data(), &length, 2000, MSG_TYPE_STREAM) == 0) ++got;
    writer.join();
    if (got < messages) std::printf("  (%d of %d messages arrived)\n", got, messages);
    return static_cast<uint64_t>(got) * kFramesPerMessage;
}

uint64_t sendPath(XR9ALCAN& can, int messages) {
    canbus::UserSpaceCanBus& bus = canbus::UserSpaceCanBus::instance();
    std::atomic<uint64_t> drained{0};
    std::atomic<bool> done{false};
    std::thread drain([&] {
        can_frame f;
        while (!done.load() || bus.receive(&f, 0)) {
            if (bus.receive(&f, 20)) drained.fetch_add(1);
        }
    });
    std::vector<uint8_t> message(kMessage, 0x5A);
    for (int m = 0; m < messages; ++m) can.SendData(message.data(), kMessage, MSG_TYPE_STREAM);
    done = true;
    drain.join();
    return drained.load();
}

}  // namespace

int main() {
    char logDir[] = "/tmp/xr9bench.XXXXXX";
    if (!mkdtemp(logDir)) return 1;
    Xr9Log::CreateLogFile(std::string(logDir) + "/log");
    Xr9Log::SetLogLevel(3);

    XR9ALCAN can;
    CANPortSetting setting = {CAN_BITRATE_1M, CAN_MODE_STANDARD, 0x123, 0x122, kStreamId, kStreamLengthId};
    if (can.OpenPort(IF_TYPE_CAN, &setting, 0) != 0) {
        std::printf("OpenPort failed: is the user-space CAN bus linked in?\n");
        return 1;
    }
    std::vector<double> baseline, quiet, traced, send;
    auto step = [](std::vector<double>* into, std::function<uint64_t()> run) {
        return [into, run](bool warmUp) {
            const double rate = framesPerSecond(run);
            if (!warmUp) into->push_back(rate);
        };
    };
    xr9bench::interleave({
        step(&baseline, rawPair),
        step(&quiet, [&] { return receiveTask(can, 400); }),
        step(&traced,
             [&] {
                 Xr9Log::SetLogLevel(6);
                 const uint64_t frames = receiveTask(can, 400);
                 Xr9Log::SetLogLevel(3);
                 return frames;
             }),
        step(&send, [&] { return sendPath(can, 4); }),
    });

    xr9bench::Report report("bench_can");
    const char* raw = "raw socket pair, 16-byte records";
    const char* bus = "saturated 1 Mbit/s bus";
    report.section("CAN frames through the user-space bus", "frame rate", "frames/s", xr9bench::Better::Higher);
    report.figure(raw, baseline);
    report.compareToConstant(raw, baseline, bus, kBusFramesPerSecond);
    for (const auto& run : {std::make_pair("receive task, log level 3", &quiet),
                            std::make_pair("receive task, log level 6", &traced),
                            std::make_pair("send path, 1 ms gap per frame", &send)}) {
        report.compare(run.first, *run.second, raw, baseline);
        report.compareToConstant(run.first, *run.second, bus, kBusFramesPerSecond);
    }
    report.note("(the saturated bus: " + std::to_string(int(kBusFramesPerSecond)) +
                " frames/s of 8 bytes with 11-bit identifiers and no stuff bits)");

    can.ClosePort();
    std::string cleanup = std::string("rm -rf '") + logDir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
