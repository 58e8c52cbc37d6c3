// Load and soak of the Ethernet transport over loopback: many host threads
// and peer threads at once, a gibibyte stream in each direction, thousands of
// open/close cycles, hundreds of stalled partial frames. Counts and sizes go
// through xr9test::soakCount so slow builds can scale them down; every wait
// has a deadline. The transport's owner is the test's main thread, which runs
// the Qt event loop while host and peer threads work.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QCoreApplication>

#include "KTDEI.h"
#include "LoopbackSettings.h"
#include "PosixPeer.h"
#include "XR9ALEthernet/EthernetThread.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "access/Xr9AlHandle.h"
#include "common/TestSupport.h"

namespace {

using namespace ethtest;
using Clock = std::chrono::steady_clock;
using xr9test::soakCount;

constexpr int kTimeoutCode = -304;
constexpr uint8_t kCommandMarker = 0xA5;
constexpr uint8_t kStreamMarker = 0xA7;
// Longest a phase of a test may take before it is declared hung; below the
// executable's time limit so a failure is reported rather than killed.
constexpr int kPhaseMs = 80000;

Clock::time_point deadlineIn(int milliseconds) {
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(std::min<long long>(left, 1000));
}

// ---------------------------------------------------------------------------
// Peer sockets usable from any thread: plain blocking POSIX calls bounded by
// poll() and a deadline, never the Qt event loop (which belongs to the main
// thread).

class PeerSocket {
public:
    PeerSocket() = default;
    ~PeerSocket() { close(); }
    PeerSocket(const PeerSocket&) = delete;
    PeerSocket& operator=(const PeerSocket&) = delete;

    // 127.0.0.1:port. The kernel completes the handshake against a listening
    // socket without the listener's event loop, so this returns promptly.
    bool connectTo(uint16_t port) {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close();
            return false;
        }
        return true;
    }
    bool sendAll(const char* data, size_t size, Clock::time_point deadline) {
        size_t sent = 0;
        while (sent < size) {
            const ssize_t n = ::send(fd_, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent += size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (Clock::now() >= deadline) return false;
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, std::min(msLeft(deadline), 20));
            } else {
                return false;
            }
        }
        return true;
    }
    bool sendAll(const std::string& bytes, Clock::time_point deadline) {
        return sendAll(bytes.data(), bytes.size(), deadline);
    }
    // Whatever is there within waitMs: the byte count, 0 when nothing came,
    // -1 when the connection ended.
    ssize_t receiveSome(char* buffer, size_t size, int waitMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0) return 0;
        const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
        if (n > 0) return n;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
        return -1;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // The other end sees a reset, not an orderly close.
    void reset() {
        linger abort{1, 0};
        if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close();
    }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Decodes the frames of one TCP connection as they arrive, without the
// library's framing code: payload bytes are handed on as they come, so a
// gibibyte never needs to sit in memory.
class FrameDecoder {
public:
    using BytesSink = std::function<void(const char*, size_t)>;
    using EndSink = std::function<void(uint32_t size)>;

    FrameDecoder(uint8_t marker, BytesSink bytes, EndSink end)
        : marker_(marker), bytes_(std::move(bytes)), end_(std::move(end)) {}

    // False once a header was not a well-formed frame of this connection's
    // channel; the decoder stays failed.
    bool feed(const char* data, size_t size) {
        while (size > 0 && !failed_) {
            if (remaining_ < 0) {
                const size_t take = std::min(size, sizeof header_ - headerBytes_);
                std::memcpy(header_ + headerBytes_, data, take);
                headerBytes_ += take;
                data += take;
                size -= take;
                if (headerBytes_ < sizeof header_) break;
                headerBytes_ = 0;
                for (int i = 0; i < 4; ++i) failed_ = failed_ || header_[i] != marker_;
                const uint32_t length = uint32_t(header_[4]) << 24 | uint32_t(header_[5]) << 16 |
                                        uint32_t(header_[6]) << 8 | uint32_t(header_[7]);
                failed_ = failed_ || length > 0x7FFFFFFFu;
                if (failed_) break;
                size_ = length;
                remaining_ = length;
                if (remaining_ == 0) finishFrame();
                continue;
            }
            const size_t take = size_t(std::min<long long>(remaining_, (long long)size));
            bytes_(data, take);
            data += take;
            size -= take;
            remaining_ -= (long long)take;
            if (remaining_ == 0) finishFrame();
        }
        return !failed_;
    }
    bool failed() const { return failed_; }
    // True between frames (no header or payload half read).
    bool atBoundary() const { return remaining_ < 0 && headerBytes_ == 0; }

private:
    void finishFrame() {
        remaining_ = -1;
        end_(size_);
    }

    uint8_t marker_;
    BytesSink bytes_;
    EndSink end_;
    unsigned char header_[8] = {};
    size_t headerBytes_ = 0;
    long long remaining_ = -1;  // payload bytes still to come; -1 while reading a header
    uint32_t size_ = 0;
    bool failed_ = false;
};

// A 64-bit hash of a byte stream that does not depend on how the stream is
// cut into pieces, fed eight bytes at a time where it can.
class StreamHash {
public:
    void add(const char* data, size_t size) {
        total_ += size;
        while (size > 0 && tailBytes_ > 0) {
            takeByte(static_cast<unsigned char>(*data++));
            --size;
        }
        while (size >= 8) {
            uint64_t word;
            std::memcpy(&word, data, 8);
            mix(word);
            data += 8;
            size -= 8;
        }
        while (size > 0) {
            takeByte(static_cast<unsigned char>(*data++));
            --size;
        }
    }
    uint64_t value() const {
        StreamHash copy = *this;
        copy.mix(copy.tail_ ^ (uint64_t(copy.tailBytes_) << 56));
        copy.mix(total_);
        return copy.h_;
    }
    uint64_t bytes() const { return total_; }

private:
    void takeByte(unsigned char byte) {
        tail_ |= uint64_t(byte) << (8 * tailBytes_);
        if (++tailBytes_ == 8) {
            mix(tail_);
            tail_ = 0;
            tailBytes_ = 0;
        }
    }
    void mix(uint64_t word) {
        h_ ^= word;
        h_ *= 0x9E3779B97F4A7C15ull;
        h_ ^= h_ >> 29;
        h_ *= 0xBF58476D1CE4E5B9ull;
        h_ ^= h_ >> 32;
    }

    uint64_t h_ = 0x6A09E667F3BCC908ull;
    uint64_t tail_ = 0;
    int tailBytes_ = 0;
    uint64_t total_ = 0;
};

// A deterministic pseudo-random source of message sizes and contents.
class Pattern {
public:
    explicit Pattern(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Sizes from 0 to 128 KiB (64 KiB on average), an empty message now and then.
    uint32_t nextSize() {
        const uint64_t r = next();
        return r % 997 == 0 ? 0 : uint32_t(r % (128 * 1024 + 1));
    }
    void fill(char* data, size_t size) {
        while (size >= 8) {
            const uint64_t word = next();
            std::memcpy(data, &word, 8);
            data += 8;
            size -= 8;
        }
        if (size > 0) {
            const uint64_t word = next();
            std::memcpy(data, &word, size);
        }
    }

private:
    uint64_t state_;
};

// Sequence-numbered messages: origin byte, sequence number (big-endian
// 32-bit), then a filler whose length and bytes derive from both, so a
// message cut short, spliced or corrupted is recognised.
std::string numbered(uint8_t origin, uint32_t sequence) {
    std::string message(1, char(origin));
    for (int shift = 24; shift >= 0; shift -= 8) message += char(sequence >> shift);
    const size_t filler = (sequence * 7u + origin * 13u) % 200u;
    for (size_t k = 0; k < filler; ++k) message += char(uint8_t(sequence + k * 31u + origin));
    return message;
}

// The origin and sequence number of a well-formed numbered message.
bool parseNumbered(const char* data, size_t size, uint8_t* origin, uint32_t* sequence) {
    if (size < 5) return false;
    *origin = uint8_t(data[0]);
    *sequence = uint32_t(uint8_t(data[1])) << 24 | uint32_t(uint8_t(data[2])) << 16 |
                uint32_t(uint8_t(data[3])) << 8 | uint32_t(uint8_t(data[4]));
    return numbered(*origin, *sequence) == std::string(data, size);
}

// Exactly-once bookkeeping of one flow of numbered messages.
class Ledger {
public:
    explicit Ledger(size_t expected) : seen_(expected, 0) {}
    // Counts one delivery; sequence numbers outside the flow are strays.
    void record(uint32_t sequence) {
        std::lock_guard<std::mutex> guard(lock_);
        if (sequence >= seen_.size()) {
            ++strays_;
        } else if (seen_[sequence]++ > 0) {
            ++duplicated_;
        } else {
            ++delivered_;
        }
    }
    void recordMalformed() {
        std::lock_guard<std::mutex> guard(lock_);
        ++malformed_;
    }
    size_t delivered() const {
        std::lock_guard<std::mutex> guard(lock_);
        return delivered_;
    }
    bool complete() const { return delivered() == seen_.size(); }
    size_t lost() const {
        std::lock_guard<std::mutex> guard(lock_);
        return size_t(std::count(seen_.begin(), seen_.end(), 0));
    }
    size_t duplicated() const {
        std::lock_guard<std::mutex> guard(lock_);
        return duplicated_;
    }
    size_t strays() const {
        std::lock_guard<std::mutex> guard(lock_);
        return strays_ + malformed_;
    }

private:
    mutable std::mutex lock_;
    std::vector<uint32_t> seen_;
    size_t delivered_ = 0;
    size_t duplicated_ = 0;
    size_t strays_ = 0;
    size_t malformed_ = 0;
};

// One line of figures on standard output, also kept as test properties.
class Figures {
public:
    explicit Figures(std::string name) : line_("[ figures ] " + std::move(name)) {}
    template <typename T>
    Figures& add(const std::string& key, const T& value) {
        std::ostringstream text;
        text << value;
        line_ += " " + key + "=" + text.str();
        ::testing::Test::RecordProperty(key, text.str());
        return *this;
    }
    Figures& change(const std::string& key, long long before, long long after) {
        return add(key, std::to_string(before) + "->" + std::to_string(after));
    }
    ~Figures() {
        std::printf("%s\n", line_.c_str());
        std::fflush(stdout);
    }

private:
    std::string line_;
};

// Equality of long byte strings, reported by size and first difference
// rather than in full.
::testing::AssertionResult sameBytes(const std::string& expected, const std::string& got) {
    if (expected == got) return ::testing::AssertionSuccess();
    const auto diff = std::mismatch(expected.begin(), expected.end(), got.begin(), got.end());
    const size_t at = size_t(diff.first - expected.begin());
    return ::testing::AssertionFailure() << got.size() << " bytes instead of " << expected.size()
                                         << ", first difference at " << at << ": "
                                         << ::testing::PrintToString(got.substr(at, 24));
}

double mebibytesPerSecond(unsigned long long bytes, Clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return seconds > 0 ? double(bytes) / (1024.0 * 1024.0) / seconds : 0.0;
}

// Whether a thread of this process is asleep (blocked), from /proc.
bool threadIsSleeping(long tid) {
    const std::string stat = xr9test::readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
}

// Runs work on a thread of its own and remembers when it has finished.
class Worker {
public:
    explicit Worker(std::function<void()> work)
        : thread_([this, work = std::move(work)] {
              work();
              done_ = true;
          }) {}
    ~Worker() { join(); }
    bool done() const { return done_; }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

bool allDone(const std::vector<std::unique_ptr<Worker>>& workers) {
    return std::all_of(workers.begin(), workers.end(), [](const std::unique_ptr<Worker>& w) { return w->done(); });
}

// A transport in server mode on free ports; the test's main thread owns it.
class EthernetLoad : public ::testing::Test {
protected:
    void SetUp() override {
        KT::KTDEI::instance()->reset();
        // A sanitizer's runtime starts a helper thread of its own with the
        // first thread; one short thread first keeps it out of the figures.
        std::thread([] {}).join();
        pumpFor(20);  // lets the event loop settle its own descriptors before the baseline
        fdsBefore = xr9test::openFdCount();
        threadsBefore = xr9test::threadCount();
        settings = loopbackSettings();
    }
    void TearDown() override {
        if (eth) {
            EXPECT_EQ(0, Xr9AlCloseHandle(eth));
        }
        KT::KTDEI::instance()->reset();
    }

    bool open() {
        eth = dynamic_cast<XR9ALEthernet*>(Xr9AlGetHandle(IF_TYPE_ETHERNET));
        return eth && eth->OpenPort(IF_TYPE_ETHERNET, &settings, 0) == 0;
    }
    // The next message of a channel, pumping the event loop meanwhile;
    // "<none>" at the deadline.
    std::string next(enMsgType type, int timeoutMs = 5000) {
        QByteArray out;
        return pumpUntil([&] { return eth->ReceiveData(&out, type, 0) == 0; }, timeoutMs) ? out.toStdString()
                                                                                           : "<none>";
    }
    // Connects peer to the port of channel and waits until the transport has
    // taken the socket (an empty frame goes through).
    bool connect(PeerSocket* peer, enMsgType channel) {
        const bool isCommand = channel == MSG_TYPE_COMMAND;
        return peer->connectTo(quint16(isCommand ? settings.commandPort : settings.streamPort)) &&
               peer->sendAll(frame(isCommand ? kCommandMarker : kStreamMarker, ""), deadlineIn(5000)) &&
               next(channel).empty();
    }
    // Pumps until exactly expected has arrived at peer.
    ::testing::AssertionResult arrives(PeerSocket& peer, const std::string& expected) {
        std::string got;
        pumpUntil([&] {
            char chunk[4096];
            ssize_t n;
            while (got.size() < expected.size() &&
                   (n = peer.receiveSome(chunk, std::min(sizeof chunk, expected.size() - got.size()), 0)) > 0)
                got.append(chunk, size_t(n));
            return got.size() >= expected.size();
        });
        if (got == expected) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "received " << ::testing::PrintToString(got);
    }
    // Pumps until the process holds no more descriptors and threads than at
    // the start of the test.
    bool backToBaseline(int* fds, int* threads) {
        const bool back = pumpUntil(
            [&] {
                *fds = xr9test::openFdCount();
                *threads = xr9test::threadCount();
                return *fds <= fdsBefore && *threads <= threadsBefore;
            },
            10000);
        return back;
    }
    // Closes the handle and waits for descriptors and threads to go back to
    // the baseline; their counts end figures.
    void closeHandleBackToBaseline(Figures* figures) {
        EXPECT_EQ(0, Xr9AlCloseHandle(eth));
        eth = nullptr;
        int fds = 0, threads = 0;
        EXPECT_TRUE(backToBaseline(&fds, &threads));
        figures->change("fds", fdsBefore, fds).change("threads", threadsBefore, threads);
    }
    // A message each way through a freshly connected command peer.
    void carriesBothWays(const std::string& tag) {
        PeerSocket peer;
        ASSERT_TRUE(connect(&peer, MSG_TYPE_COMMAND));
        ASSERT_TRUE(peer.sendAll(frame(kCommandMarker, "in " + tag), deadlineIn(5000)));
        EXPECT_EQ("in " + tag, next(MSG_TYPE_COMMAND));
        const std::string answer = "out " + tag;
        ASSERT_EQ(0, eth->SendData(reinterpret_cast<KT::uint8*>(const_cast<char*>(answer.data())),
                                   KT::uint32(answer.size()), MSG_TYPE_COMMAND));
        EXPECT_EQ(0, eth->SendData(nullptr, MSG_TYPE_NONE));
        EXPECT_TRUE(arrives(peer, frame(kCommandMarker, answer)));
    }

    EthernetSettings settings{};
    XR9ALEthernet* eth = nullptr;
    int fdsBefore = 0;
    int threadsBefore = 0;
};

// ---------------------------------------------------------------------------
// 1. Many host threads and peer threads at once, both directions, both TCP
// channels: every message arrives exactly once and in each sender's order.

TEST_F(EthernetLoad, ConcurrentSendersAndTakersMoveEveryMessageExactlyOnce) {
    ASSERT_TRUE(open());
    PeerSocket command, stream;
    ASSERT_TRUE(connect(&command, MSG_TYPE_COMMAND));
    ASSERT_TRUE(connect(&stream, MSG_TYPE_STREAM));

    constexpr int kSenders = 4;
    constexpr int kTakersPerChannel = 2;
    const uint32_t perSenderChannel = uint32_t(soakCount(20000));  // per sender and channel
    const uint32_t perPeerChannel = uint32_t(soakCount(40000));   // per peer channel
    const auto deadline = deadlineIn(kPhaseMs);
    std::atomic<bool> abort{false};
    auto timeIsUp = [&] { return abort.load() || Clock::now() >= deadline; };

    // Host to peer: one ledger per sender and channel; the peer also checks
    // that each sender's messages of a channel come in the order sent.
    std::vector<std::unique_ptr<Ledger>> outbound;
    for (int i = 0; i < 2 * kSenders; ++i) outbound.push_back(std::make_unique<Ledger>(perSenderChannel));
    std::atomic<unsigned long long> outOfOrder{0}, bytesMoved{0}, peerFramingErrors{0};

    EthernetThread sendThread("EthSend", false, eth);
    sendThread.start();

    std::vector<std::unique_ptr<Worker>> workers;
    for (int s = 0; s < kSenders; ++s) {
        workers.push_back(std::make_unique<Worker>([&, s] {
            for (uint32_t n = 0; n < perSenderChannel && !timeIsUp(); ++n) {
                for (enMsgType channel : {MSG_TYPE_COMMAND, MSG_TYPE_STREAM}) {
                    const uint8_t origin = uint8_t(s * 2 + (channel == MSG_TYPE_STREAM));
                    const std::string message = numbered(origin, n);
                    QByteArray payload(message.data(), int(message.size()));
                    if (eth->SendData(&payload, channel) != 0) abort = true;
                }
                // The queue is drained by the send thread and by the senders
                // themselves, one step now and then from each.
                if (n % 8 == 0) {
                    eth->SendData(nullptr, MSG_TYPE_NONE);
                } else {
                    sendThread.notify();
                }
            }
        }));
    }
    for (PeerSocket* peer : {&command, &stream}) {
        const bool isStream = peer == &stream;
        workers.push_back(std::make_unique<Worker>([&, peer, isStream] {
            std::string payload;
            std::vector<long long> last(kSenders, -1);
            FrameDecoder decoder(
                isStream ? kStreamMarker : kCommandMarker, [&](const char* d, size_t n) { payload.append(d, n); },
                [&](uint32_t size) {
                    bytesMoved += size + 8;
                    uint8_t origin = 0;
                    uint32_t sequence = 0;
                    const bool good = parseNumbered(payload.data(), payload.size(), &origin, &sequence) &&
                                      origin < 2 * kSenders && (origin % 2 == 1) == isStream;
                    if (!good) {
                        ++peerFramingErrors;
                    } else {
                        outbound[origin]->record(sequence);
                        if (last[origin / 2] >= (long long)sequence) ++outOfOrder;
                        last[origin / 2] = sequence;
                    }
                    payload.clear();
                });
            char chunk[65536];
            const auto mine = [&] {
                for (int s = 0; s < kSenders; ++s)
                    if (!outbound[size_t(s * 2 + isStream)]->complete()) return false;
                return true;
            };
            while (!mine() && !timeIsUp()) {
                const ssize_t n = peer->receiveSome(chunk, sizeof chunk, 20);
                if (n < 0 || (n > 0 && !decoder.feed(chunk, size_t(n)))) {
                    ++peerFramingErrors;
                    break;
                }
            }
        }));
    }

    // Peer to host: numbered frames on both connections, several host takers
    // per channel; each taker must see its messages in queue order.
    Ledger inboundCommand(perPeerChannel), inboundStream(perPeerChannel);
    std::atomic<unsigned long long> takerOutOfOrder{0};
    for (PeerSocket* peer : {&command, &stream}) {
        const bool isStream = peer == &stream;
        workers.push_back(std::make_unique<Worker>([&, peer, isStream] {
            std::string batch;
            for (uint32_t n = 0; n < perPeerChannel && !timeIsUp(); ++n) {
                batch += frame(isStream ? kStreamMarker : kCommandMarker, numbered(isStream ? 0x71 : 0x70, n));
                if (batch.size() > 16384 || n + 1 == perPeerChannel) {
                    if (!peer->sendAll(batch, deadline)) abort = true;
                    bytesMoved += batch.size();
                    batch.clear();
                }
            }
        }));
    }
    for (int t = 0; t < 2 * kTakersPerChannel; ++t) {
        const enMsgType channel = t % 2 ? MSG_TYPE_STREAM : MSG_TYPE_COMMAND;
        Ledger& ledger = channel == MSG_TYPE_STREAM ? inboundStream : inboundCommand;
        workers.push_back(std::make_unique<Worker>([&, channel] {
            long long last = -1;
            while (!ledger.complete() && !timeIsUp()) {
                QByteArray message;
                const int result = eth->ReceiveData(&message, channel, 100);
                if (result == kTimeoutCode) continue;
                uint8_t origin = 0;
                uint32_t sequence = 0;
                if (result != 0 || !parseNumbered(message.constData(), size_t(message.size()), &origin, &sequence) ||
                    origin != (channel == MSG_TYPE_STREAM ? 0x71 : 0x70)) {
                    ledger.recordMalformed();
                    continue;
                }
                ledger.record(sequence);
                if (last >= (long long)sequence) ++takerOutOfOrder;
                last = sequence;
            }
        }));
    }

    const auto started = Clock::now();
    const bool finished = pumpUntil([&] { return allDone(workers); }, kPhaseMs + 5000);
    const auto elapsed = Clock::now() - started;
    abort = true;
    sendThread.stop();  // serves pending hand-offs while it waits
    EXPECT_TRUE(pumpUntil([&] { return allDone(workers); }, 10000)) << "workers must end after the abort";
    for (auto& w : workers) w->join();
    EXPECT_TRUE(finished) << "the load did not finish in time";

    unsigned long long lost = 0, duplicated = 0, strays = 0, messages = 0;
    for (const Ledger* ledger : {&inboundCommand, &inboundStream}) {
        lost += ledger->lost();
        duplicated += ledger->duplicated();
        strays += ledger->strays();
        messages += ledger->delivered();
    }
    for (const auto& ledger : outbound) {
        lost += ledger->lost();
        duplicated += ledger->duplicated();
        strays += ledger->strays();
        messages += ledger->delivered();
    }
    EXPECT_EQ(0u, lost);
    EXPECT_EQ(0u, duplicated);
    EXPECT_EQ(0u, strays) << "messages that were malformed or not sent by anybody";
    EXPECT_EQ(0u, peerFramingErrors.load());
    EXPECT_EQ(0u, outOfOrder.load()) << "a sender's messages of one channel overtook each other";
    EXPECT_EQ(0u, takerOutOfOrder.load()) << "a taker saw a later message before an earlier one";
    EXPECT_EQ(2ull * kSenders * perSenderChannel + 2ull * perPeerChannel, messages);
    EXPECT_TRUE(eth->isSendQueueEmpty());

    command.close();
    stream.close();
    Figures figures("EthernetLoad");
    figures.add("messages", messages)
        .add("bytes", bytesMoved.load())
        .add("lost", lost)
        .add("duplicated", duplicated)
        .add("MBps", mebibytesPerSecond(bytesMoved.load(), elapsed));
    closeHandleBackToBaseline(&figures);
}

// ---------------------------------------------------------------------------
// 2. A gibibyte of stream messages of varied sizes in each direction,
// checked by total, message count and a hash of the bytes.

struct StreamTally {
    StreamHash content;
    StreamHash sizes;  // the message boundaries
    unsigned long long messages = 0;
    void addSize(uint32_t size) {
        const char bytes[4] = {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
        sizes.add(bytes, 4);
        ++messages;
    }
};

// Both ends of a stream saw total bytes in the same messages.
void expectSameStream(const StreamTally& sent, const StreamTally& received, unsigned long long total) {
    EXPECT_EQ(total, sent.content.bytes());
    EXPECT_EQ(total, received.content.bytes());
    EXPECT_EQ(sent.messages, received.messages);
    EXPECT_EQ(sent.sizes.value(), received.sizes.value()) << "message boundaries differ";
    EXPECT_EQ(sent.content.value(), received.content.value()) << "content differs";
}

TEST_F(EthernetLoad, GibibyteStreamFromThePeerArrivesIntact) {
    ASSERT_TRUE(open());
    PeerSocket stream;
    ASSERT_TRUE(connect(&stream, MSG_TYPE_STREAM));
    const unsigned long long total = (unsigned long long)soakCount(1024ll * 1024 * 1024);
    const auto deadline = deadlineIn(kPhaseMs);
    std::atomic<bool> abort{false};
    auto timeIsUp = [&] { return abort.load() || Clock::now() >= deadline; };

    StreamTally sent, received;
    std::vector<std::unique_ptr<Worker>> workers;
    workers.push_back(std::make_unique<Worker>([&] {
        Pattern pattern(0x5EED0001);
        std::vector<char> wire;
        unsigned long long left = total;
        while (left > 0 && !timeIsUp()) {
            const uint32_t size = uint32_t(std::min<unsigned long long>(pattern.nextSize(), left));
            wire.resize(8 + size_t(size));
            std::memset(wire.data(), char(kStreamMarker), 4);
            for (int i = 0; i < 4; ++i) wire[size_t(4 + i)] = char(size >> (24 - 8 * i));
            pattern.fill(wire.data() + 8, size);
            sent.content.add(wire.data() + 8, size);
            sent.addSize(size);
            if (!stream.sendAll(wire.data(), wire.size(), deadline)) abort = true;
            left -= size;
        }
    }));
    workers.push_back(std::make_unique<Worker>([&] {
        while (received.content.bytes() < total && !timeIsUp()) {
            QByteArray message;
            if (eth->ReceiveData(&message, MSG_TYPE_STREAM, 100) != 0) continue;
            received.content.add(message.constData(), size_t(message.size()));
            received.addSize(uint32_t(message.size()));
        }
    }));
    const auto started = Clock::now();
    const bool finished = pumpUntil([&] { return allDone(workers); }, kPhaseMs + 5000);
    const auto elapsed = Clock::now() - started;
    abort = true;
    for (auto& w : workers) w->join();
    ASSERT_TRUE(finished);
    pumpFor(50);  // anything beyond the total would show up now

    expectSameStream(sent, received, total);
    QByteArray extra;
    EXPECT_EQ(kTimeoutCode, eth->ReceiveData(&extra, MSG_TYPE_STREAM, 0)) << "nothing beyond what was sent";

    stream.close();
    Figures figures("EthernetLoadStreamIn");
    figures.add("messages", received.messages)
        .add("bytes", received.content.bytes())
        .add("MBps", mebibytesPerSecond(received.content.bytes(), elapsed))
        .add("peakRssMiB", xr9test::peakResidentBytes() / (1024 * 1024));
    closeHandleBackToBaseline(&figures);
}

TEST_F(EthernetLoad, GibibyteStreamFromTheHostArrivesIntact) {
    ASSERT_TRUE(open());
    PeerSocket stream;
    ASSERT_TRUE(connect(&stream, MSG_TYPE_STREAM));
    const unsigned long long total = (unsigned long long)soakCount(1024ll * 1024 * 1024);
    // SendData only queues; the host keeps at most this much on its way so
    // that the queue and the socket's buffer stay small.
    constexpr unsigned long long kWindow = 16ull * 1024 * 1024;
    const auto deadline = deadlineIn(kPhaseMs);
    std::atomic<bool> abort{false};
    std::atomic<bool> framingError{false};
    std::atomic<unsigned long long> arrived{0};
    auto timeIsUp = [&] { return abort.load() || Clock::now() >= deadline; };

    EthernetThread sendThread("EthSend", false, eth);
    sendThread.start();
    StreamTally sent, received;
    std::vector<std::unique_ptr<Worker>> workers;
    workers.push_back(std::make_unique<Worker>([&] {
        Pattern pattern(0x5EED0002);
        unsigned long long left = total, queued = 0;
        while (left > 0 && !timeIsUp()) {
            const uint32_t size = uint32_t(std::min<unsigned long long>(pattern.nextSize(), left));
            QByteArray payload(int(size), Qt::Uninitialized);
            pattern.fill(payload.data(), size);
            sent.content.add(payload.constData(), size);
            sent.addSize(size);
            while (queued - arrived.load() > kWindow && !timeIsUp()) {
                sendThread.notify();
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (eth->SendData(&payload, MSG_TYPE_STREAM) != 0) abort = true;
            sendThread.notify();
            queued += size;
            left -= size;
        }
    }));
    workers.push_back(std::make_unique<Worker>([&] {
        FrameDecoder decoder(
            kStreamMarker,
            [&](const char* d, size_t n) {
                received.content.add(d, n);
                arrived += n;
            },
            [&](uint32_t size) { received.addSize(size); });
        std::vector<char> chunk(256 * 1024);
        while ((received.content.bytes() < total || !decoder.atBoundary()) && !timeIsUp()) {
            const ssize_t n = stream.receiveSome(chunk.data(), chunk.size(), 20);
            if (n < 0 || (n > 0 && !decoder.feed(chunk.data(), size_t(n)))) {
                framingError = true;
                break;
            }
        }
    }));
    const auto started = Clock::now();
    const bool finished = pumpUntil([&] { return allDone(workers); }, kPhaseMs + 5000);
    const auto elapsed = Clock::now() - started;
    abort = true;
    sendThread.stop();
    for (auto& w : workers) w->join();
    ASSERT_TRUE(finished);
    EXPECT_FALSE(framingError.load());

    expectSameStream(sent, received, total);
    char more[16];
    pumpFor(50);
    EXPECT_EQ(0, stream.receiveSome(more, sizeof more, 0)) << "nothing beyond what was sent";

    stream.close();
    Figures figures("EthernetLoadStreamOut");
    figures.add("messages", received.messages)
        .add("bytes", received.content.bytes())
        .add("MBps", mebibytesPerSecond(received.content.bytes(), elapsed))
        .add("peakRssMiB", xr9test::peakResidentBytes() / (1024 * 1024));
    closeHandleBackToBaseline(&figures);
}

// A peer that resets its stream connection again and again while the host
// streams to it: messages written to a dead connection are lost, but every
// new connection starts on a frame boundary and nothing is repeated or
// reordered.
TEST_F(EthernetLoad, StreamToAPeerThatReconnectsResumesOnAFrameBoundary) {
    ASSERT_TRUE(open());
    const uint32_t total = uint32_t(soakCount(200000));
    const long long resets = std::max(1ll, soakCount(200));
    constexpr long long kWindow = 256;  // messages the host keeps ahead of the peer
    const auto deadline = deadlineIn(kPhaseMs);
    std::atomic<long long> lastSeen{-1};
    std::atomic<unsigned long long> received{0}, disorder{0}, framingErrors{0}, resetsDone{0};
    auto timeIsUp = [&] { return Clock::now() >= deadline; };

    EthernetThread sendThread("EthSend", false, eth);
    sendThread.start();
    std::vector<std::unique_ptr<Worker>> workers;
    workers.push_back(std::make_unique<Worker>([&] {
        for (uint32_t n = 0; n < total && !timeIsUp(); ++n) {
            // Messages in a dead connection's buffer never arrive, so the
            // window is waited for a short while only.
            const auto until = deadlineIn(200);
            while ((long long)n - lastSeen.load() > kWindow && Clock::now() < until) {
                sendThread.notify();
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            const std::string message = numbered(0x33, n);
            QByteArray payload(message.data(), int(message.size()));
            eth->SendData(&payload, MSG_TYPE_STREAM);
            sendThread.notify();
        }
    }));
    workers.push_back(std::make_unique<Worker>([&] {
        // Resets only in the first half, so the tail reaches a live connection.
        const unsigned long long perConnection = std::max<unsigned long long>(1, total / 2 / (resets + 1));
        while (lastSeen.load() < (long long)total - 1 && !timeIsUp()) {
            PeerSocket stream;
            if (!stream.connectTo(quint16(settings.streamPort))) {
                ++framingErrors;
                return;
            }
            std::string payload;
            unsigned long long onThisConnection = 0;
            FrameDecoder decoder(
                kStreamMarker, [&](const char* d, size_t n) { payload.append(d, n); },
                [&](uint32_t) {
                    uint8_t origin = 0;
                    uint32_t sequence = 0;
                    if (!parseNumbered(payload.data(), payload.size(), &origin, &sequence) || origin != 0x33) {
                        ++framingErrors;
                    } else {
                        if ((long long)sequence <= lastSeen.load()) ++disorder;
                        lastSeen = sequence;
                        ++received;
                        ++onThisConnection;
                    }
                    payload.clear();
                });
            char chunk[65536];
            while (lastSeen.load() < (long long)total - 1 && !timeIsUp()) {
                if ((long long)resetsDone.load() < resets && onThisConnection >= perConnection) {
                    stream.reset();
                    ++resetsDone;
                    break;
                }
                const ssize_t n = stream.receiveSome(chunk, sizeof chunk, 20);
                if (n < 0 || (n > 0 && !decoder.feed(chunk, size_t(n)))) {
                    ++framingErrors;
                    return;
                }
            }
        }
    }));
    const bool finished = pumpUntil([&] { return allDone(workers); }, kPhaseMs + 5000);
    sendThread.stop();
    for (auto& w : workers) w->join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(0u, framingErrors.load()) << "a connection began inside a frame, or a frame was cut";
    EXPECT_EQ(0u, disorder.load()) << "a message came twice or out of order";
    EXPECT_EQ((long long)total - 1, lastSeen.load()) << "the last message did not arrive";
    EXPECT_EQ((unsigned long long)resets, resetsDone.load());
    EXPECT_TRUE(eth->isSendQueueEmpty());

    Figures figures("EthernetLoadReconnect");
    figures.add("messages", received.load())
        .add("lostInDeadConnections", total - received.load())
        .add("resets", resetsDone.load());
    closeHandleBackToBaseline(&figures);
}

// ---------------------------------------------------------------------------
// 3. Thousands of lifetimes: handles created, opened, used and destroyed
// while peers talk; then one transport opened and closed again and again
// while peers keep connecting. Nothing may leak or hang, and the last open
// still works.

TEST_F(EthernetLoad, HandleLifetimesUnderTrafficLeaveNothingBehind) {
    const long long cycles = soakCount(2000);
    const std::string burst = frame(kStreamMarker, std::string(4096, 'b'));
    unsigned long long exchanged = 0;
    for (long long i = 0; i < cycles; ++i) {
        EthernetSettings record = loopbackSettings();
        XR9AL* handle = Xr9AlGetHandle(IF_TYPE_ETHERNET);
        ASSERT_NE(nullptr, handle);
        ASSERT_EQ(0, handle->OpenPort(IF_TYPE_ETHERNET, &record, 0)) << "cycle " << i;
        PeerSocket command, stream;
        ASSERT_TRUE(command.connectTo(quint16(record.commandPort))) << "cycle " << i;
        const std::string tag = "cycle " + std::to_string(i);
        ASSERT_TRUE(command.sendAll(frame(kCommandMarker, tag), deadlineIn(5000)));
        QByteArray in;
        ASSERT_TRUE(pumpUntil([&] { return handle->ReceiveData(&in, MSG_TYPE_COMMAND, 0) == 0; })) << tag;
        ASSERT_EQ(QByteArray::fromStdString(tag), in);
        QByteArray answer = in + " answered";
        ASSERT_EQ(0, handle->SendData(&answer, MSG_TYPE_COMMAND));
        ASSERT_EQ(0, handle->SendData(nullptr, MSG_TYPE_NONE));
        const std::string expected = frame(kCommandMarker, answer.toStdString());
        std::string got;
        ASSERT_TRUE(pumpUntil([&] {
            char chunk[256];
            const ssize_t n = command.receiveSome(chunk, sizeof chunk, 0);
            if (n > 0) got.append(chunk, size_t(n));
            return got.size() >= expected.size() || n < 0;
        })) << tag;
        ASSERT_EQ(expected, got);
        exchanged += 2;
        // Traffic still in flight when the port closes and the handle goes:
        // a stream burst the transport may not have read yet, a second
        // command message, sometimes a reset.
        ASSERT_TRUE(stream.connectTo(quint16(record.streamPort)));
        ASSERT_TRUE(stream.sendAll(burst + burst, deadlineIn(5000)));
        ASSERT_TRUE(command.sendAll(frame(kCommandMarker, "late"), deadlineIn(5000)));
        QByteArray late = "unsent";
        ASSERT_EQ(0, handle->SendData(&late, MSG_TYPE_STREAM));
        if (i % 3 == 0) command.reset();
        if (i % 2 == 0) QCoreApplication::processEvents();
        ASSERT_EQ(0, handle->ClosePort());
        ASSERT_EQ(0, Xr9AlCloseHandle(handle));
    }
    int fds = 0, threads = 0;
    EXPECT_TRUE(backToBaseline(&fds, &threads));
    ASSERT_TRUE(open());
    carriesBothWays("after the cycles");
    Figures figures("EthernetLoadHandles");
    figures.add("cycles", cycles).add("messages", exchanged);
    closeHandleBackToBaseline(&figures);
}

// Host threads that wait in a send step for the owner when the owner closes
// the handle are released with 0 (the transport's promise) and touch nothing
// of it afterwards.
TEST_F(EthernetLoad, SendersWaitingForTheOwnerAreReleasedWhenTheHandleCloses) {
    const long long cycles = soakCount(300);
    constexpr int kWaiters = 4;
    unsigned long long released = 0;
    for (long long i = 0; i < cycles; ++i) {
        ASSERT_TRUE(open());
        XR9ALEthernet* const transport = eth;
        std::atomic<long> tids[kWaiters];
        std::atomic<int> results[kWaiters];
        std::vector<std::unique_ptr<Worker>> waiters;
        for (int w = 0; w < kWaiters; ++w) {
            tids[w] = 0;
            results[w] = 1;
            waiters.push_back(std::make_unique<Worker>([&, w] {
                tids[w] = long(::syscall(SYS_gettid));
                results[w] = transport->SendData(nullptr, MSG_TYPE_NONE);
            }));
        }
        // The owner does not serve them: each sleeps in its send step until
        // the handle goes.
        EXPECT_TRUE(xr9test::waitFor([&] {
            for (const auto& tid : tids)
                if (tid == 0 || !threadIsSleeping(tid)) return false;
            return true;
        })) << "cycle " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(0, Xr9AlCloseHandle(eth));
        eth = nullptr;
        if (!xr9test::waitFor([&] { return allDone(waiters); }, std::chrono::milliseconds(5000))) {
            std::fprintf(stderr, "a waiting sender was not released by the closing handle\n");
            std::_Exit(1);  // a thread still blocked inside the transport cannot be joined
        }
        for (auto& w : waiters) w->join();
        for (int w = 0; w < kWaiters; ++w) EXPECT_EQ(0, results[w].load());
        released += kWaiters;
        QCoreApplication::sendPostedEvents();
    }
    int fds = 0, threads = 0;
    EXPECT_TRUE(backToBaseline(&fds, &threads));
    Figures("EthernetLoadReleasedSenders")
        .add("cycles", cycles)
        .add("released", released)
        .change("fds", fdsBefore, fds)
        .change("threads", threadsBefore, threads);
}

TEST_F(EthernetLoad, OpenCloseCyclesWhilePeersConnectKeepMessagesWhole) {
    ASSERT_TRUE(open());
    const long long cycles = soakCount(3000);
    constexpr int kPeers = 3;
    // The peers read the port from here; the host moves its listeners now
    // and then by editing the kept record.
    std::atomic<uint32_t> commandPort{settings.commandPort};
    std::atomic<bool> stop{false};
    std::atomic<unsigned long long> connections{0}, refused{0}, slowConnects{0};
    const auto deadline = deadlineIn(kPhaseMs);
    std::vector<std::unique_ptr<Worker>> peers;
    for (int p = 0; p < kPeers; ++p) {
        peers.push_back(std::make_unique<Worker>([&, p] {
            std::vector<std::unique_ptr<PeerSocket>> held;
            for (uint32_t n = 0; !stop && Clock::now() < deadline; ++n) {
                auto peer = std::make_unique<PeerSocket>();
                const auto connectStart = Clock::now();
                const bool connected = peer->connectTo(quint16(commandPort.load()));
                if (Clock::now() - connectStart > std::chrono::milliseconds(200)) ++slowConnects;
                if (!connected) {
                    ++refused;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                ++connections;
                peer->sendAll(frame(kCommandMarker, numbered(uint8_t(0x40 + p), n)), deadlineIn(1000));
                // Paced: on loopback the transport's side keeps every
                // connection it closed in TIME_WAIT, and a new connection
                // that happens to reuse such a pair of ports waits a
                // second for the kernel (counted as a slow connect).
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                switch (n % 4) {
                case 0:
                    peer->reset();
                    break;
                case 1:
                    peer->close();
                    break;
                default:  // stays a while, replaced by a later connection
                    held.push_back(std::move(peer));
                    if (held.size() > 4) held.erase(held.begin());
                }
            }
        }));
    }
    std::set<std::pair<uint8_t, uint32_t>> delivered;
    unsigned long long duplicated = 0, malformed = 0;
    auto drain = [&] {
        QByteArray message;
        while (eth->ReceiveData(&message, MSG_TYPE_COMMAND, 0) == 0) {
            uint8_t origin = 0;
            uint32_t sequence = 0;
            if (!parseNumbered(message.constData(), size_t(message.size()), &origin, &sequence) || origin < 0x40 ||
                origin >= 0x40 + kPeers) {
                ++malformed;
            } else if (!delivered.insert({origin, sequence}).second) {
                ++duplicated;
            }
            message.clear();
        }
    };
    const auto cyclesStart = Clock::now();
    for (long long i = 0; i < cycles && Clock::now() < deadline; ++i) {
        if (i % 500 == 499) {
            settings.commandPort = freeTcpPort();
            commandPort = settings.commandPort;
        }
        ASSERT_EQ(0, eth->OpenPort(IF_TYPE_ETHERNET, nullptr, 0)) << "cycle " << i;
        const auto until = deadlineIn(2);
        pumpUntil([&] {
            drain();
            return Clock::now() >= until;
        });
        ASSERT_EQ(0, eth->ClosePort()) << "cycle " << i;
    }
    const auto cyclesTime = Clock::now() - cyclesStart;
    // Open once more while the peers go on: their messages keep coming.
    ASSERT_EQ(0, eth->OpenPort(IF_TYPE_ETHERNET, nullptr, 0));
    const size_t beforeLastOpen = delivered.size();
    EXPECT_TRUE(pumpUntil([&] {
        drain();
        return delivered.size() > beforeLastOpen;
    })) << "no peer message got through after the cycles";
    stop = true;
    EXPECT_TRUE(pumpUntil([&] { return allDone(peers); }, 10000));
    for (auto& w : peers) w->join();
    peers.clear();
    pumpFor(100);
    drain();
    EXPECT_EQ(0u, malformed) << "a message cut short or spliced from two connections";
    EXPECT_EQ(0u, duplicated);
    carriesBothWays("after the cycles");
    PeerSocket stream;
    ASSERT_TRUE(connect(&stream, MSG_TYPE_STREAM));
    EXPECT_EQ(0, Xr9AlCloseHandle(eth));
    eth = nullptr;
    stream.close();
    int fds = 0, threads = 0;
    EXPECT_TRUE(backToBaseline(&fds, &threads));
    Figures("EthernetLoadOpenClose")
        .add("cycles", cycles)
        .add("cyclesPerSecond", double(cycles) / std::chrono::duration<double>(cyclesTime).count())
        .add("connections", connections.load())
        .add("refused", refused.load())
        .add("slowConnects", slowConnects.load())
        .add("messages", delivered.size())
        .add("duplicated", duplicated)
        .add("malformed", malformed)
        .change("fds", fdsBefore, fds)
        .change("threads", threadsBefore, threads);
}

// ---------------------------------------------------------------------------
// 4. Hundreds of connections that each send part of a frame and stall,
// close or reset: nothing of them is ever delivered, the transport keeps
// answering, and their descriptors go when they go.

struct PartialFrame {
    const char* name;
    std::function<std::string(uint8_t marker)> bytes;
};

const PartialFrame kPartials[] = {
    {"marker only", [](uint8_t m) { return std::string(3, char(m)); }},
    {"seven bytes", [](uint8_t m) { return frame(m, "abc").substr(0, 7); }},
    {"header only", [](uint8_t m) { return frameWithLength(m, 1000, ""); }},
    {"header and some payload", [](uint8_t m) { return frameWithLength(m, 5000, std::string(1200, 'p')); }},
    {"huge length announced", [](uint8_t m) { return frameWithLength(m, 0x7FFFFFF0, std::string(3000, 'h')); }},
    {"one byte short", [](uint8_t m) { return frame(m, std::string(2000, 's')).substr(0, 2007); }},
};

enum class PartialEnd { Stall, Close, Reset };

TEST_F(EthernetLoad, StalledPartialFramesFromManyConnectionsAreNeverDelivered) {
    ASSERT_TRUE(open());
    pumpFor(20);
    const int fdsOpen = xr9test::openFdCount();
    const long long connectionsPerPeer = soakCount(100);
    constexpr int kPeerThreads = 4;
    const auto deadline = deadlineIn(kPhaseMs);
    std::vector<std::vector<std::unique_ptr<PeerSocket>>> stalled(kPeerThreads);
    std::atomic<unsigned long long> made{0}, failed{0}, closedEarly{0}, reset{0};
    std::vector<std::unique_ptr<Worker>> peers;
    for (int p = 0; p < kPeerThreads; ++p) {
        peers.push_back(std::make_unique<Worker>([&, p] {
            for (long long n = 0; n < connectionsPerPeer && Clock::now() < deadline; ++n) {
                const long long k = n * kPeerThreads + p;
                const bool toStream = k % 2 == 1;
                const PartialFrame& partial = kPartials[size_t(k / 2) % (sizeof kPartials / sizeof *kPartials)];
                const auto end = static_cast<PartialEnd>((k / 12) % 3);
                auto peer = std::make_unique<PeerSocket>();
                if (!peer->connectTo(quint16(toStream ? settings.streamPort : settings.commandPort)) ||
                    !peer->sendAll(partial.bytes(toStream ? kStreamMarker : kCommandMarker), deadlineIn(5000))) {
                    ++failed;
                    continue;
                }
                ++made;
                if (end == PartialEnd::Close) {
                    peer->close();
                    ++closedEarly;
                } else if (end == PartialEnd::Reset) {
                    peer->reset();
                    ++reset;
                } else {
                    stalled[size_t(p)].push_back(std::move(peer));
                }
            }
        }));
    }
    ASSERT_TRUE(pumpUntil([&] { return allDone(peers); }, kPhaseMs + 5000));
    for (auto& w : peers) w->join();
    EXPECT_EQ(0u, failed.load()) << "every partial peer connects and writes";
    pumpFor(300);  // the transport takes every pending connection meanwhile
    QByteArray leaked;
    EXPECT_EQ(kTimeoutCode, eth->ReceiveData(&leaked, MSG_TYPE_COMMAND, 0)) << leaked.left(16).toHex().constData();
    EXPECT_EQ(kTimeoutCode, eth->ReceiveData(&leaked, MSG_TYPE_STREAM, 0)) << leaked.left(16).toHex().constData();

    // While the stalled peers still hold their connections, good ones are
    // served at once and whole, each after the last partial of its port.
    const std::string commandPayload(70000, 'C');
    const std::string streamPayload(70000, 'S');
    PeerSocket goodCommand, goodStream;
    ASSERT_TRUE(goodCommand.connectTo(quint16(settings.commandPort)));
    ASSERT_TRUE(goodStream.connectTo(quint16(settings.streamPort)));
    ASSERT_TRUE(goodCommand.sendAll(frame(kCommandMarker, commandPayload), deadlineIn(5000)));
    ASSERT_TRUE(goodStream.sendAll(frame(kStreamMarker, streamPayload), deadlineIn(5000)));
    EXPECT_TRUE(sameBytes(commandPayload, next(MSG_TYPE_COMMAND)));
    EXPECT_TRUE(sameBytes(streamPayload, next(MSG_TYPE_STREAM)));
    carriesBothWays("after the partial frames");

    // The peers go; nothing of theirs turns up, and their descriptors go.
    for (auto& list : stalled) {
        for (size_t i = 0; i < list.size(); ++i) {
            if (i % 2) {
                list[i]->reset();
            } else {
                list[i]->close();
            }
        }
        list.clear();
    }
    goodCommand.close();
    goodStream.close();
    int fds = 0;
    EXPECT_TRUE(pumpUntil(
        [&] {
            fds = xr9test::openFdCount();
            return fds <= fdsOpen;
        },
        10000))
        << fds << " descriptors, " << fdsOpen << " when opened";
    pumpFor(50);
    EXPECT_EQ(kTimeoutCode, eth->ReceiveData(&leaked, MSG_TYPE_COMMAND, 0));
    EXPECT_EQ(kTimeoutCode, eth->ReceiveData(&leaked, MSG_TYPE_STREAM, 0));

    EXPECT_EQ(0, Xr9AlCloseHandle(eth));
    eth = nullptr;
    int fdsAfter = 0, threads = 0;
    EXPECT_TRUE(backToBaseline(&fdsAfter, &threads));
    Figures("EthernetLoadPartial")
        .add("connections", made.load())
        .add("stalled", made.load() - closedEarly.load() - reset.load())
        .add("closed", closedEarly.load())
        .add("reset", reset.load())
        .add("delivered", 0)
        .change("fdsOpen", fdsOpen, fds)
        .change("fds", fdsBefore, fdsAfter)
        .change("threads", threadsBefore, threads);
}

}  // namespace
