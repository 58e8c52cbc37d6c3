// The Ethernet tests' harness. The remote tool's end: plain POSIX sockets on 127.0.0.1 and a frame encoder of its
// own, independent of the library's framing code. The host's end: a transport in server mode on free loopback ports,
// owned by the test's main thread. Every wait ends at a deadline; in the main thread, waits pump the Qt event loop.
#ifndef XR9ETH_ETHERNETHARNESS_H
#define XR9ETH_ETHERNETHARNESS_H

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KTDEI.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "access/XR9ALCOMMFactory.h"
#include "access/Xr9AlHandle.h"
#include "common/TestSupport.h"

namespace ethtest {

// Pumps the Qt event loop until predicate holds or timeoutMs passes.
bool pumpUntil(const std::function<bool()>& predicate, int timeoutMs = 5000);
// Pumps for a fixed time (to give a wrong delivery its chance to show).
void pumpFor(int milliseconds);

// marker x4 | big-endian length | payload
std::string frame(uint8_t marker, const std::string& payload);
std::string frameWithLength(uint8_t marker, int32_t length, const std::string& payload);
// A1 x4 | little-endian value
std::string shmFrame(int32_t value);
// Origin byte, big-endian sequence number, then a filler derived from both up to size bytes (at least 5): a cut or
// spliced message shows.
std::string numbered(uint8_t origin, uint32_t sequence, size_t size);
// True when message is exactly a numbered one; sets its origin and sequence.
bool parseNumbered(const std::string& message, uint8_t* origin, uint32_t* sequence);

// A port of type (SOCK_STREAM, SOCK_DGRAM) that was free a moment ago.
uint16_t freePort(int type);

// An owned socket, closed on destruction.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void close();

protected:
    int fd_ = -1;
};

class TcpPeer : public Socket {
public:
    bool connectTo(uint16_t port);
    // Any thread. False on an error, at the deadline or once *stop is set; *sent counts what the kernel took.
    bool sendAll(const std::string& bytes, int timeoutMs = 10000, std::atomic<size_t>* sent = nullptr,
                 const std::atomic<bool>* stop = nullptr);
    // Pumps until exactly n more bytes have arrived (false at the deadline).
    bool receive(size_t n, std::string* bytes, int timeoutMs = 5000);
    // Pumps until the other end has closed the connection.
    bool waitClosed(int timeoutMs = 5000);
    // Aborts the connection: the other end sees a reset, not an orderly close.
    void reset();

private:
    // Pumps while reading up to n bytes; true once n have arrived or the other end closed.
    bool read(size_t n, std::string* bytes, bool* closed, int timeoutMs);
    friend class TcpListener;
};

class TcpListener : public Socket {
public:
    TcpListener();  // a port of the system's choice
    uint16_t port() const;
    // Pumps until a connection is pending and accepts it.
    bool accept(TcpPeer* peer, int timeoutMs = 5000);
    bool pending() const;  // a connection is pending now
};

class UdpPeer : public Socket {
public:
    // Bound to port (0: the system's choice), sharing the address.
    explicit UdpPeer(uint16_t port = 0);
    bool sendTo(uint16_t port, const std::string& datagram);
    bool receive(std::string* datagram, int timeoutMs = 5000);
};

constexpr int kTimeoutCode = -304;
constexpr int kPhaseMs = 80000;  // longest a phase of background work may take: below the test's time limit

// Server mode, command and stream ports that were free a moment ago, 127.0.0.1 for the peer and the broadcast socket.
inline EthernetSettings loopbackSettings() {
    EthernetSettings s{};
    s.commandPort = freePort(SOCK_STREAM);
    s.streamPort = freePort(SOCK_STREAM);
    s.broadcastPort = freePort(SOCK_DGRAM);
    const short ip[4] = {127, 0, 0, 1};
    std::copy(ip, ip + 4, s.ipAddress);
    std::copy(ip, ip + 4, s.bindAddress);
    return s;
}

// Whether exactly expected arrives at peer; what arrived otherwise.
inline ::testing::AssertionResult arrives(TcpPeer& peer, const std::string& expected) {
    std::string got;
    if (peer.receive(expected.size(), &got) && got == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "received " << got.size() << " bytes: " << ::testing::PrintToString(got);
}

// Threads that count themselves done and end early once timeIsUp(); finish() pumps (bounded), then joins.
struct Workers {
    using Clock = std::chrono::steady_clock;
    std::vector<std::thread> threads;
    std::atomic<size_t> done{0};
    std::atomic<bool> abort{false};
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kPhaseMs);
    bool timeIsUp() const { return abort || Clock::now() >= deadline; }
    void add(std::function<void()> work) { threads.emplace_back([this, work] { work(), ++done; }); }
    bool allDone() const { return done == threads.size(); }
    bool finish(int timeoutMs = kPhaseMs + 5000) {
        const bool finished = pumpUntil([&] { return allDone(); }, timeoutMs);
        for (auto& t : threads) t.joinable() ? t.join() : void();
        return finished;
    }
    ~Workers() { abort = true, finish(0); }
};

// A command message from peer to handle and the answer back, both whole.
inline void exchange(XR9AL* handle, TcpPeer& peer, const std::string& tag) {
    ASSERT_TRUE(peer.sendAll(frame(0xA5, tag)));
    QByteArray in;
    ASSERT_TRUE(pumpUntil([&] { return handle->ReceiveData(&in, MSG_TYPE_COMMAND, 0) == 0; })) << tag;
    ASSERT_EQ(QByteArray::fromStdString(tag), in);
    QByteArray answer = in + " answered";
    ASSERT_EQ(0, handle->SendData(&answer, MSG_TYPE_COMMAND) | handle->SendData(nullptr, MSG_TYPE_NONE));
    EXPECT_TRUE(arrives(peer, frame(0xA5, answer.toStdString()))) << tag;
}

class EthernetFixture : public ::testing::Test {
protected:
    void SetUp() override {
        KT::KTDEI::instance()->reset();
        settings = loopbackSettings();
        ASSERT_EQ(nullptr, pETHhandle) << "a handle left open";
        eth = static_cast<XR9ALEthernet*>(Xr9AlGetHandle(IF_TYPE_ETHERNET));
    }
    void TearDown() override {
        EXPECT_EQ(0, eth ? Xr9AlCloseHandle(eth) : 0);
        eth = nullptr;
        KT::KTDEI::instance()->reset();
    }
    bool open() { return eth->OpenPort(IF_TYPE_ETHERNET, &settings, 0) == 0; }
    uint16_t portOf(enMsgType channel) const {
        return uint16_t(channel == MSG_TYPE_COMMAND ? settings.commandPort : settings.streamPort);
    }
    static uint8_t markerOf(enMsgType channel) {
        return channel == MSG_TYPE_COMMAND ? 0xA5 : channel == MSG_TYPE_STREAM ? 0xA7 : 0xA2;
    }
    // The next message of channel, pumping meanwhile; false at the deadline.
    bool take(enMsgType channel, QByteArray* out, int timeoutMs = 5000) {
        out->clear();
        return pumpUntil([&] { return eth->ReceiveData(out, channel, 0) == 0; }, timeoutMs);
    }
    std::string next(enMsgType channel, int timeoutMs = 5000) {  // "<none>" at the deadline
        QByteArray out;
        return take(channel, &out, timeoutMs) ? out.toStdString() : "<none>";
    }
    bool send(QByteArray payload, enMsgType type) { return eth->SendData(&payload, type) == 0; }
    // Connects peer to channel's port; true once the transport has taken the socket (an empty frame went through).
    bool connect(TcpPeer* peer, enMsgType channel) {
        return peer->connectTo(portOf(channel)) && peer->sendAll(frame(markerOf(channel), "")) && next(channel).empty();
    }
    // Nothing is queued on either channel after a moment's pumping.
    ::testing::AssertionResult nothingQueued() {
        pumpFor(50);
        QByteArray leaked;
        for (enMsgType channel : {MSG_TYPE_COMMAND, MSG_TYPE_STREAM})
            if (eth->ReceiveData(&leaked, channel, 0) != kTimeoutCode)
                return ::testing::AssertionFailure() << "queued on " << channel << ": " << leaked.toHex().data();
        return ::testing::AssertionSuccess();
    }
    void carriesBothWays(const std::string& tag) {  // through a freshly connected command peer
        TcpPeer peer;
        ASSERT_TRUE(connect(&peer, MSG_TYPE_COMMAND));
        exchange(eth, peer, tag);
    }

    EthernetSettings settings{};
    XR9ALEthernet* eth = nullptr;
};

}  // namespace ethtest

#endif
