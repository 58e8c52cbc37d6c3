// The host's end of the Ethernet tests: a transport in server mode on free
// loopback ports, owned by the test's main thread, and background threads
// whose every wait is bounded.
#ifndef XR9ETH_ETHERNETFIXTURE_H
#define XR9ETH_ETHERNETFIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "KTDEI.h"
#include "PosixPeer.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "access/Xr9AlHandle.h"
#include "common/TestSupport.h"

namespace ethtest {

constexpr int kTimeoutCode = -304;
constexpr int kPhaseMs = 80000;  // longest a phase of background work may take: below the test's time limit

// Server mode, command and stream ports that were free a moment ago, 127.0.0.1 for the peer and the broadcast socket.
inline EthernetSettings loopbackSettings() {
    EthernetSettings s{};
    s.commandPort = freeTcpPort();
    s.streamPort = freeTcpPort();
    s.broadcastPort = freeUdpPort();
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

class EthernetFixture : public ::testing::Test {
protected:
    void SetUp() override {
        KT::KTDEI::instance()->reset();
        settings = loopbackSettings();
        eth = new XR9ALEthernet();
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
    std::string next(enMsgType channel) {  // "<none>" at the deadline
        QByteArray out;
        return take(channel, &out) ? out.toStdString() : "<none>";
    }
    bool send(QByteArray payload, enMsgType type) { return eth->SendData(&payload, type) == 0; }
    // Connects peer to channel's port; true once the transport has taken the socket (an empty frame went through).
    bool connect(TcpPeer* peer, enMsgType channel) {
        return peer->connectTo(portOf(channel)) && peer->sendAll(frame(markerOf(channel), "")) && next(channel).empty();
    }

    EthernetSettings settings{};
    XR9ALEthernet* eth = nullptr;
};

}  // namespace ethtest

#endif
