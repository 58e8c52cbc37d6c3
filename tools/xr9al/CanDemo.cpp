// CAN session of the demo. The terminal side is the library's CAN transport
// driven as a host drives it: receivers blocked in ReceiveData on host
// threads, released at the end by ExitReceiveData. The remote side writes
// and reads raw frames: on can0 when the kernel has CAN, otherwise on the
// user-space bus that the preloaded libxr9canbus.so provides.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "CanMedium.h"
#include "Checksum.h"
#include "Demo.h"
#include "access/Xr9AlHandle.h"
#include "can/CANPortSetting.h"
#include "osal.h"
#include "peer/PeerSockets.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace xr9tool {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kCanChunk = 1000;  // the terminal gathers at most 1024 bytes a message
constexpr uint32_t kShmToTerminal = 0x12345678;
constexpr uint32_t kShmFromTerminal = 0x0BADF00D;
const peer::CanIds kIds{0x100, 0x101, 0x200, 0x201};

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string idText(uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", id);
    return text;
}

bool isReleaseItem(const KT::uint8* data, KT::uint32 length) {
    static const KT::uint8 zeros[12] = {};
    return length == 12 && std::memcmp(data, zeros, 12) == 0;
}

// The terminal's host on CAN: blocking receivers, answers on the command channel.
class CanHost {
public:
    explicit CanHost(XR9AL* can) : can_(can) {}

    void start() {
        threads_.emplace_back([this] { commands(); });
        threads_.emplace_back([this] { streams(); });
    }
    // ExitReceiveData releases one waiter on each of the two queues.
    void stop() {
        stopping_ = true;
        can_->ExitReceiveData();
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

    std::mutex lock;
    uint64_t uploadExpected = 0, uploadGot = 0;
    uint32_t uploadCrc = 0;

private:
    void reply(const std::string& text) {
        can_->SendData(reinterpret_cast<KT::uint8*>(const_cast<char*>(text.data())), static_cast<KT::uint32>(text.size()),
                       MSG_TYPE_COMMAND);
    }

    void commands() {
        KT::uint8 buffer[1024];
        for (;;) {
            KT::uint32 length = 0;
            if (can_->ReceiveData(buffer, &length, MSG_TYPE_COMMAND) != 0) continue;
            if (stopping_ && isReleaseItem(buffer, length)) return;
            std::istringstream in(std::string(reinterpret_cast<char*>(buffer), length));
            std::string verb;
            in >> verb;
            if (verb == "ping") {
                std::string n;
                in >> n;
                reply("pong " + n);
            } else if (verb == "upload") {
                std::lock_guard<std::mutex> g(lock);
                in >> uploadExpected;
                uploadGot = 0;
                uploadCrc = 0;
                reply("ready");
            } else if (verb == "download") {
                uint64_t size = 0;
                uint32_t seed = 0;
                in >> size >> seed;
                const std::string data = testData(size, seed);
                for (size_t off = 0; off < data.size(); off += kCanChunk) {
                    std::string piece = data.substr(off, kCanChunk);
                    can_->SendData(reinterpret_cast<KT::uint8*>(&piece[0]), static_cast<KT::uint32>(piece.size()),
                                   MSG_TYPE_STREAM);
                }
                reply("download-done " + std::to_string(crc32(0, data.data(), data.size())));
            } else if (verb == "shm") {
                uint32_t value = kShmFromTerminal;
                can_->SendData(reinterpret_cast<KT::uint8*>(&value), 4, MSG_TYPE_SHM);
            }
        }
    }

    void streams() {
        KT::uint8 buffer[1024];
        for (;;) {
            KT::uint32 length = 0;
            if (can_->ReceiveData(buffer, &length, MSG_TYPE_STREAM) != 0) continue;
            if (stopping_ && isReleaseItem(buffer, length)) return;
            std::string done;
            {
                std::lock_guard<std::mutex> g(lock);
                uploadCrc = crc32(uploadCrc, buffer, length);
                uploadGot += length;
                if (uploadExpected > 0 && uploadGot >= uploadExpected) {
                    done = (uploadGot == uploadExpected ? "upload-ok " : "upload-bad ") + std::to_string(uploadCrc);
                    uploadExpected = 0;
                }
            }
            if (!done.empty()) reply(done);
        }
    }

    XR9AL* can_;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
};

// The remote tool on the bus.
class CanTool {
public:
    CanTool(peer::CanLink* link, SessionResult* result, int timeoutMs)
        : link_(link), result_(result), reader_(kIds), timeoutMs_(timeoutMs) {}

    bool send(bool command, const std::string& message) {
        std::string error;
        auto frames = peer::encodeCanMessage(command ? kIds.commandLength : kIds.streamLength,
                                             command ? kIds.command : kIds.stream, message);
        // The terminal reads one frame at a time: a short pause per frame keeps
        // a real bus's receive queue from overflowing.
        if (!link_->sendAll(frames, 100, &error)) return fail(error);
        result_->summary.count(command ? "command" : "stream", true, message.size());
        return true;
    }

    // The next event of the wanted kind; others in between are kept count of.
    bool await(peer::CanMessageReader::Event wanted, std::string* message, uint32_t* shm = nullptr) {
        std::string error;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
        while (Clock::now() < deadline) {
            peer::CanFrame frame;
            if (!link_->receive(&frame, timeoutMs_, &error)) return fail(error);
            auto event = reader_.feed(frame);
            if (event == peer::CanMessageReader::Event::None) continue;
            if (event == peer::CanMessageReader::Event::Shm) {
                result_->summary.count("shm", false, 4);
                if (shm) *shm = reader_.shmValue();
            } else {
                const bool command = event == peer::CanMessageReader::Event::Command;
                result_->summary.count(command ? "command" : "stream", false, reader_.message().size());
                if (message) *message = reader_.message();
            }
            if (event == wanted) return true;
        }
        return fail("nothing from the terminal within " + std::to_string(timeoutMs_) + " ms");
    }

    bool fail(const std::string& what) {
        result_->check(false, what);
        return false;
    }

private:
    peer::CanLink* link_;
    SessionResult* result_;
    peer::CanMessageReader reader_;
    int timeoutMs_;
};

void remoteScript(CanTool& tool, SessionResult& result, const DemoConfig& config) {
    using Event = peer::CanMessageReader::Event;
    MediumSummary& s = result.summary;
    std::string answer;
    // The receive task may still be in its idle sleep right after OpenPort:
    // the first ping is allowed the whole time-out.
    for (int i = 0; i < 20; ++i) {
        auto start = Clock::now();
        if (!tool.send(true, "ping " + std::to_string(i)) || !tool.await(Event::Command, &answer)) return;
        if (i > 0) s.latenciesMs.push_back(msSince(start));
        result.check(answer == "pong " + std::to_string(i), "ping answered '" + answer + "'");
    }
    const std::string file = testData(config.canFileBytes, 3);
    auto start = Clock::now();
    if (!tool.send(true, "upload " + std::to_string(file.size())) || !tool.await(Event::Command, &answer)) return;
    for (size_t off = 0; off < file.size(); off += kCanChunk)
        if (!tool.send(false, file.substr(off, kCanChunk))) return;
    if (!tool.await(Event::Command, &answer)) return;
    result.check(answer == "upload-ok " + std::to_string(crc32(0, file.data(), file.size())),
                 "upload checksum: terminal says '" + answer + "'");
    if (!tool.send(true, "download " + std::to_string(config.canFileBytes) + " 4")) return;
    std::string received, piece;
    while (received.size() < config.canFileBytes) {
        if (!tool.await(Event::Stream, &piece)) return;
        received += piece;
    }
    if (!tool.await(Event::Command, &answer)) return;
    s.seconds = msSince(start) / 1000;
    result.check(received == testData(config.canFileBytes, 4), "downloaded file differs");
    result.check(answer == "download-done " + std::to_string(crc32(0, received.data(), received.size())),
                 "download checksum: terminal says '" + answer + "'");
    s.integrityChecked = true;
    // A shared-memory notice from the terminal, asked for by a command.
    if (!tool.send(true, "shm")) return;
    uint32_t value = 0;
    if (!tool.await(Event::Shm, nullptr, &value)) return;
    result.check(value == kShmFromTerminal, "shared-memory notice from the terminal carried " + std::to_string(value));
}

}  // namespace

SessionResult runCanSession(const DemoConfig& config) {
    SessionResult result;
    CanMedium medium = findCanMedium();
    result.summary.medium = medium.userSpaceBus ? "CAN (user-space bus)" : "CAN (can0)";
    result.summary.carry("command", "can " + idText(kIds.commandLength) + "," + idText(kIds.command));
    result.summary.carry("stream", "can " + idText(kIds.streamLength) + "," + idText(kIds.stream));
    result.summary.carry("shm", "can " + idText(kIds.commandLength));
    if (!medium.usable) {
        result.check(false, medium.description);
        return result;
    }
    std::cout << "CAN: using " << medium.description << "\n";
    KT::uint32 shmQueue = 2;
    osQueueCreate(&shmQueue, "SHM_Queue", 1, 64);

    XR9AL* can = Xr9AlGetHandle(IF_TYPE_CAN);
    CANPortSetting settings{CAN_BITRATE_1M, CAN_MODE_STANDARD, kIds.command, kIds.commandLength, kIds.stream,
                            kIds.streamLength};
    const int opened = can->OpenPort(IF_TYPE_CAN, &settings, 0);
    result.check(opened == 0, "OpenPort returned " + std::to_string(opened));
    peer::CanLink link;
    std::string error;
    if (opened == 0 && !medium.attach(&link, &error)) result.check(false, error);
    if (result.failures.empty()) {
        CanHost host(can);
        host.start();
        CanTool tool(&link, &result, config.timeoutMs);
        remoteScript(tool, result, config);
        // A notice from the remote side arrives in the host's queue 2 as an
        // update message (read with a time limit, unlike the transport's
        // shared-memory receive, which waits without one).
        if (link.send(peer::encodeCanShm(kIds.commandLength, kShmToTerminal), &error)) {
            result.summary.count("shm", true, 4);
            unsigned int raw[64];
            KT::uint32 length = 0;
            const int rc = osQueueGetTimed(shmQueue, raw, &length, static_cast<KT::uint32>(config.timeoutMs));
            std::unique_ptr<XRUpdateMessage> message(rc == 0 ? getUpdateMessage(raw, length) : nullptr);
            result.check(message && message->module == SHM_MODULE && message->event == kShmNoticeEvent &&
                             static_cast<uint32_t>(message->result) == kShmToTerminal,
                         "shared-memory notice from the remote side in queue 2");
        }
        host.stop();
    }
    result.summary.integrityOk = result.failures.empty();
    result.check(can->ClosePort() == 0, "ClosePort");
    Xr9AlCloseHandle(can);
    return result;
}

}  // namespace xr9tool
