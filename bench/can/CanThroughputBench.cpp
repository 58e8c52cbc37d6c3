// Frames per second of the CAN transport on the user-space CAN bus:
//   - baseline: 16-byte records through a bare SOCK_SEQPACKET pair, one
//     writer thread and one reader thread (what the bus itself costs);
//   - receive: the receive task rebuilding 1024-byte stream messages (1
//     length frame + 128 data frames each) into its queue, a host thread
//     taking them out; at log level 3 (quiet) and 6 (every trace);
//   - send: SendData of 1024-byte stream messages, with its 1 ms gap before
//     every data frame, a thread draining the bus.
// Each figure is the median of three runs and is printed with its ratio to
// the baseline and to a 1 Mbit/s bus (about 7,700 eight-byte frames/s with
// 11-bit identifiers).
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "UserSpaceCanBus.h"
#include "can/XR9ALCAN.h"
#include "osal.h"
#include "support/Xr9Log.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kBusLimit = 7700.0;
constexpr uint32_t kMessage = 1024;
constexpr uint32_t kFramesPerMessage = 1 + kMessage / 8;
constexpr KT::uint32 kStreamLengthId = 0x320;
constexpr KT::uint32 kStreamId = 0x321;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double framesPerSecond(const std::function<uint64_t()>& run) {
    std::vector<double> rates;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        const uint64_t frames = run();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        rates.push_back(frames ? frames / seconds : 0.0);
    }
    return median(rates);
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

void report(const char* what, double rate, double baseline) {
    std::printf("%-34s %12.0f frames/s   x%.4f of baseline   x%.3f of the 1 Mbit/s bus\n", what, rate,
                rate / baseline, rate / kBusLimit);
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
    receiveTask(can, 1);  // the task's first idle sleep ends here

    const double baseline = framesPerSecond(rawPair);
    const double quiet = framesPerSecond([&] { return receiveTask(can, 400); });
    Xr9Log::SetLogLevel(6);
    const double traced = framesPerSecond([&] { return receiveTask(can, 400); });
    Xr9Log::SetLogLevel(3);
    const double send = framesPerSecond([&] { return sendPath(can, 4); });

    std::printf("%-34s %12.0f frames/s   (baseline)          x%.3f of the 1 Mbit/s bus\n",
                "raw socket pair, 16-byte records", baseline, baseline / kBusLimit);
    report("receive task, log level 3", quiet, baseline);
    report("receive task, log level 6", traced, baseline);
    report("send path (1 ms gap per frame)", send, baseline);

    can.ClosePort();
    std::string cleanup = std::string("rm -rf '") + logDir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
