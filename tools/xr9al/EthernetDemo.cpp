// Ethernet session of the demo: the terminal side is the library driven as a
// host drives it (handle, OpenPort, a send thread, receivers on host
// threads, the Qt event loop in the owner thread); the remote side is the
// peer, on plain sockets.
#include <QByteArray>
#include <QCoreApplication>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "Checksum.h"
#include "Demo.h"
#include "Progress.h"
#include "XR9ALEthernet/EthernetThread.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "access/Xr9AlHandle.h"
#include "osal.h"
#include "peer/PeerSockets.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRNames.h"
#include "vocabulary/XRUpdateMessage.h"

namespace xr9tool {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = 64 * 1024;
constexpr KT::uint32 kShmQueue = 2;
constexpr int32_t kShmValue = 0x00C0FFEE;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A port that was free a moment ago, for the terminal to listen on.
uint16_t freePort(bool udp) {
    peer::Fd fd(::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return 0;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

void setAddress(short* field, int a, int b, int c, int d) {
    field[0] = static_cast<short>(a);
    field[1] = static_cast<short>(b);
    field[2] = static_cast<short>(c);
    field[3] = static_cast<short>(d);
}

std::string text(const QByteArray& a) {
    return std::string(a.constData(), static_cast<size_t>(a.size()));
}

// The terminal's host: one thread per channel, answering the remote tool.
class TerminalHost {
public:
    TerminalHost(XR9AL* eth, EthernetThread* sender) : eth_(eth), sender_(sender) {}
    ~TerminalHost() { stop(); }

    void start() {
        threads_.emplace_back([this] { commands(); });
        threads_.emplace_back([this] { streams(); });
        threads_.emplace_back([this] { broadcasts(); });
        threads_.emplace_back([this] { notices(); });
    }
    void stop() {
        stopping_ = true;
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

    std::mutex lock;  // guards the findings below
    std::string broadcastSeen;
    std::string shmReport;
    bool shmOk = false;

private:
    void send(enMsgType type, const std::string& payload) {
        QByteArray bytes(payload.data(), static_cast<int>(payload.size()));
        eth_->SendData(&bytes, type);
        sender_->notify();
    }

    void commands() {
        while (!stopping_) {
            QByteArray m;
            if (eth_->ReceiveData(&m, MSG_TYPE_COMMAND, 50) != 0) continue;
            std::istringstream in(text(m));
            std::string verb;
            in >> verb;
            if (verb == "ping") {
                std::string n;
                in >> n;
                send(MSG_TYPE_COMMAND, "pong " + n);
            } else if (verb == "upload") {
                uint64_t size = 0;
                in >> size;
                {
                    std::lock_guard<std::mutex> g(uploadLock_);
                    uploadExpected_ = size;
                    uploadGot_ = 0;
                    uploadCrc_ = 0;
                }
                send(MSG_TYPE_COMMAND, "ready");
            } else if (verb == "download") {
                uint64_t size = 0;
                uint32_t seed = 0;
                in >> size >> seed;
                const std::string data = testData(size, seed);
                for (size_t off = 0; off < data.size(); off += kChunk) {
                    QByteArray piece(data.data() + off, static_cast<int>(std::min(kChunk, data.size() - off)));
                    eth_->SendData(&piece, MSG_TYPE_STREAM);
                    sender_->notify();
                }
                send(MSG_TYPE_COMMAND, "download-done " + std::to_string(crc32(0, data.data(), data.size())));
            }
        }
    }

    void streams() {
        while (!stopping_) {
            QByteArray m;
            if (eth_->ReceiveData(&m, MSG_TYPE_STREAM, 50) != 0) continue;
            std::string reply;
            {
                std::lock_guard<std::mutex> g(uploadLock_);
                uploadCrc_ = crc32(uploadCrc_, m.constData(), static_cast<size_t>(m.size()));
                uploadGot_ += static_cast<uint64_t>(m.size());
                if (uploadExpected_ > 0 && uploadGot_ >= uploadExpected_) {
                    reply = (uploadGot_ == uploadExpected_ ? "upload-ok " : "upload-bad ") + std::to_string(uploadCrc_);
                    uploadExpected_ = 0;
                }
            }
            if (!reply.empty()) send(MSG_TYPE_COMMAND, reply);
        }
    }

    void broadcasts() {
        while (!stopping_) {
            QByteArray m;
            if (eth_->ReceiveData(&m, MSG_TYPE_BROADCAST, 50) != 0) continue;
            {
                std::lock_guard<std::mutex> g(lock);
                broadcastSeen = text(m);
            }
            send(MSG_TYPE_BROADCAST, "terminal xr9al-demo");
        }
    }

    // The host's own queue 2 receives the shared-memory notices.
    void notices() {
        while (!stopping_) {
            unsigned int raw[64];
            KT::uint32 size = 0;
            if (osQueueGetTimed(kShmQueue, raw, &size, 50) != 0) continue;
            std::unique_ptr<XRUpdateMessage> message(getUpdateMessage(raw, size));
            if (!message) continue;
            std::lock_guard<std::mutex> g(lock);
            shmReport = getUpdateMessageString(*message);
            shmOk = message->result == kShmValue && message->module == SHM_MODULE && message->event == kShmNoticeEvent;
        }
    }

    XR9AL* eth_;
    EthernetThread* sender_;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
    std::mutex uploadLock_;
    uint64_t uploadExpected_ = 0, uploadGot_ = 0;
    uint32_t uploadCrc_ = 0;
};

// The remote tool's script, on its own thread.
class RemoteTool {
public:
    RemoteTool(SessionResult* result, const DemoConfig& config) : result_(result), config_(config) {}

    bool command(peer::FrameLink& link, const std::string& out, std::string* answer) {
        std::string error;
        if (!link.sendAll(peer::encodeEthFrame(peer::EthChannel::Command, out), &error)) return fail(error);
        count("command", out.size(), true);
        peer::EthMessage m;
        if (!link.receive(&m, config_.timeoutMs, &error)) return fail(error);
        count("command", m.payload.size(), false);
        *answer = m.payload;
        return true;
    }

    // The script: each step reports its own failure and ends the run.
    void run(peer::FrameLink& cmd, peer::FrameLink& stream) {
        pings(cmd) && upload(cmd, stream) && download(cmd, stream) && notice(cmd);
    }

    bool fail(const std::string& error) {
        result_->check(false, error);
        return false;
    }
    void count(const std::string& channel, size_t bytes, bool toTerminal) {
        std::lock_guard<std::mutex> g(lock_);
        result_->summary.count(channel, toTerminal, bytes);
    }

private:
    // Latency: command round trips.
    bool pings(peer::FrameLink& cmd) {
        std::string answer;
        for (int i = 0; i < config_.pings; ++i) {
            auto start = Clock::now();
            if (!command(cmd, "ping " + std::to_string(i), &answer)) return false;
            result_->summary.latenciesMs.push_back(msSince(start));
            if (answer != "pong " + std::to_string(i))
                return fail("ping " + std::to_string(i) + " answered '" + answer + "'");
        }
        return true;
    }

    // The remote tool sends a file over the stream channel.
    bool upload(peer::FrameLink& cmd, peer::FrameLink& stream) {
        MediumSummary& s = result_->summary;
        const std::string file = testData(config_.fileBytes, 1);
        const uint32_t crc = crc32(0, file.data(), file.size());
        std::string answer, error;
        if (!command(cmd, "upload " + std::to_string(file.size()), &answer)) return false;
        auto start = Clock::now();
        Progress up(s.medium + " upload", file.size(), stdout, config_.interactive);
        for (size_t off = 0; off < file.size(); off += kChunk) {
            const std::string piece = file.substr(off, kChunk);
            if (!stream.sendAll(peer::encodeEthFrame(peer::EthChannel::Stream, piece), &error)) return fail(error);
            count("stream", piece.size(), true);
            up.update(off + piece.size());
        }
        up.finish();
        peer::EthMessage m;
        if (!cmd.receive(&m, config_.timeoutMs, &error)) return fail(error);
        count("command", m.payload.size(), false);
        s.seconds += msSince(start) / 1000;
        result_->check(m.payload == "upload-ok " + std::to_string(crc),
                       "upload checksum: sent " + std::to_string(crc) + ", terminal says '" + m.payload + "'");
        return true;
    }

    // The terminal sends a file back.
    bool download(peer::FrameLink& cmd, peer::FrameLink& stream) {
        MediumSummary& s = result_->summary;
        auto start = Clock::now();
        std::string request = "download " + std::to_string(config_.fileBytes) + " 2", error;
        if (!cmd.sendAll(peer::encodeEthFrame(peer::EthChannel::Command, request), &error)) return fail(error);
        count("command", request.size(), true);
        Progress down(s.medium + " download", config_.fileBytes, stdout, config_.interactive);
        uint64_t got = 0;
        uint32_t gotCrc = 0;
        peer::EthMessage m;
        while (got < config_.fileBytes) {
            if (!stream.receive(&m, config_.timeoutMs, &error)) return fail(error);
            count("stream", m.payload.size(), false);
            gotCrc = crc32(gotCrc, m.payload.data(), m.payload.size());
            got += m.payload.size();
            down.update(got);
        }
        down.finish();
        if (!cmd.receive(&m, config_.timeoutMs, &error)) return fail(error);
        count("command", m.payload.size(), false);
        s.seconds += msSince(start) / 1000;
        result_->check(got == config_.fileBytes, "download size");
        result_->check(m.payload == "download-done " + std::to_string(gotCrc),
                       "download checksum: received " + std::to_string(gotCrc) + ", terminal says '" + m.payload + "'");
        s.integrityChecked = true;
        return true;
    }

    // A shared-memory notice.
    bool notice(peer::FrameLink& cmd) {
        std::string error;
        if (!cmd.sendAll(peer::encodeEthShm(kShmValue), &error)) return fail(error);
        count("shm", 4, true);
        return true;
    }

    SessionResult* result_;
    const DemoConfig& config_;
    std::mutex lock_;
};

// Runs the Qt event loop of this (the owner) thread until done or deadline.
bool pumpUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

}  // namespace

SessionResult runEthernetSession(bool clientMode, const DemoConfig& config) {
    SessionResult result;
    result.summary.medium = clientMode ? "Ethernet (client mode)" : "Ethernet (server mode)";
    KT::uint32 shmQueue = kShmQueue;
    osQueueCreate(&shmQueue, "SHM_Queue", 1, 64);

    XR9AL* handle = Xr9AlGetHandle(IF_TYPE_ETHERNET);
    auto* eth = dynamic_cast<XR9ALEthernet*>(handle);
    if (!eth) {
        result.check(false, "no Ethernet transport");
        return result;
    }
    // A session that fails with messages waiting for the tool must not keep
    // the host's threads from ending.
    eth->setSendTimeout(config.timeoutMs);
    const uint16_t cmdPort = config.commandPort ? config.commandPort : freePort(false);
    const uint16_t streamPort = config.streamPort ? config.streamPort : freePort(false);
    const uint16_t bcPort = config.broadcastPort ? config.broadcastPort : freePort(true);
    MediumSummary& s = result.summary;
    s.carry("command", "tcp " + std::to_string(cmdPort));
    s.carry("stream", "tcp " + std::to_string(streamPort));
    s.carry("shm", "tcp " + std::to_string(cmdPort));
    s.carry("broadcast", "udp " + std::to_string(bcPort));
    EthernetSettings settings{};
    settings.commandPort = cmdPort;
    settings.streamPort = streamPort;
    settings.broadcastPort = bcPort;
    setAddress(settings.ipAddress, 127, 0, 0, 1);
    setAddress(settings.bindAddress, 127, 0, 0, 1);
    settings.clientMode = clientMode ? 1 : 0;

    // Client mode: the remote tool listens first, the terminal connects out.
    std::string error;
    peer::Fd cmdListen, streamListen;
    if (clientMode) {
        cmdListen = peer::listenTcp("127.0.0.1", cmdPort, nullptr, &error);
        streamListen = peer::listenTcp("127.0.0.1", streamPort, nullptr, &error);
        if (!cmdListen.valid() || !streamListen.valid()) {
            result.check(false, error);
            Xr9AlCloseHandle(handle);
            return result;
        }
    }
    result.check(handle->OpenPort(IF_TYPE_ETHERNET, &settings, 0) == 0, "OpenPort");

    auto sender = std::make_unique<EthernetThread>("demo-sender", false, eth);
    sender->start();
    TerminalHost host(handle, sender.get());
    host.start();

    std::atomic<bool> done{false};
    RemoteTool remote(&result, config);
    std::thread tool([&] {
        std::string e;
        peer::Fd cmdFd, streamFd;
        if (clientMode) {
            cmdFd = peer::acceptTcp(cmdListen.get(), config.timeoutMs, &e);
            streamFd = peer::acceptTcp(streamListen.get(), config.timeoutMs, &e);
        } else {
            cmdFd = peer::connectTcp("127.0.0.1", cmdPort, config.timeoutMs, &e);
            streamFd = peer::connectTcp("127.0.0.1", streamPort, config.timeoutMs, &e);
        }
        if (!cmdFd.valid() || !streamFd.valid()) {
            remote.fail(e);
        } else {
            peer::FrameLink cmd(std::move(cmdFd)), stream(std::move(streamFd));
            remote.run(cmd, stream);
            // Discovery: a broadcast frame from another loopback address.
            peer::DatagramLink udp;
            const std::string discover = "discover";
            if (udp.bind("127.0.0.2", bcPort, nullptr, &e) &&
                udp.sendTo("127.0.0.1", bcPort, peer::encodeEthFrame(peer::EthChannel::Broadcast, discover), &e)) {
                remote.count("broadcast", discover.size(), true);
                std::vector<uint8_t> answer;
                std::string sender;
                if (!clientMode) {
                    // Server mode answers to the last sender on the broadcast port.
                    bool got = udp.receive(&answer, &sender, config.timeoutMs, &e);
                    peer::EthFrameReader reader;
                    reader.feed(answer.data(), answer.size());
                    peer::EthMessage m;
                    const bool answered = got && reader.next(&m);
                    result.check(answered && m.payload == "terminal xr9al-demo", "broadcast discovery answer (" + e + ")");
                    if (answered) remote.count("broadcast", m.payload.size(), false);
                }
            } else {
                remote.fail(e);
            }
        }
        done = true;
    });
    const bool finished = pumpUntil([&] { return done.load(); }, config.timeoutMs * 3);
    if (!finished) result.check(false, "session did not finish in time");
    // Let the last notices and broadcasts land before looking.
    pumpUntil([&] {
        std::lock_guard<std::mutex> g(host.lock);
        return host.shmOk && !host.broadcastSeen.empty();
    }, 2000);
    tool.join();
    host.stop();
    sender.reset();  // the send thread goes before its transport
    {
        std::lock_guard<std::mutex> g(host.lock);
        const std::string expected = clientMode ? "discover*ip=127.0.0.2" : "discover";
        result.check(host.broadcastSeen == expected, "broadcast received as '" + host.broadcastSeen + "', expected '" +
                                                         expected + "'");
        result.check(host.shmOk, "shared-memory notice on queue 2");
        if (!host.shmReport.empty()) std::cout << result.summary.medium << " update message:" << host.shmReport << "\n";
    }
    result.summary.integrityOk = result.failures.empty();
    result.check(handle->ClosePort() == 0, "ClosePort");
    Xr9AlCloseHandle(handle);
    return result;
}

}  // namespace xr9tool
