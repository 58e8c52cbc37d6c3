#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "peer/PeerSockets.h"

namespace {

using peer::EthChannel;

TEST(PeerSockets, FramesCrossALoopbackConnectionWhole) {
    std::string error;
    uint16_t port = 0;
    peer::Fd listener = peer::listenTcp("127.0.0.1", 0, &port, &error);
    ASSERT_TRUE(listener.valid()) << error;
    ASSERT_NE(0, port);
    std::string big(300000, 'z');
    std::thread client([&] {
        std::string e;
        peer::FrameLink link(peer::connectTcp("127.0.0.1", port, 2000, &e));
        link.sendAll(peer::encodeEthFrame(EthChannel::Command, "ping"), &e);
        link.sendAll(peer::encodeEthShm(7), &e);
        link.sendAll(peer::encodeEthFrame(EthChannel::Stream, big), &e);
    });
    peer::FrameLink server(peer::acceptTcp(listener.get(), 2000, &error));
    ASSERT_TRUE(server.valid()) << error;
    peer::EthMessage m;
    ASSERT_TRUE(server.receive(&m, 2000, &error)) << error;
    EXPECT_EQ("ping", m.payload);
    ASSERT_TRUE(server.receive(&m, 2000, &error)) << error;
    EXPECT_EQ(EthChannel::Shm, m.channel);
    EXPECT_EQ(7, m.shmValue);
    ASSERT_TRUE(server.receive(&m, 2000, &error)) << error;
    EXPECT_EQ(big, m.payload);
    client.join();
    EXPECT_FALSE(server.receive(&m, 500, &error));
    EXPECT_EQ("connection closed by the terminal", error);
}

TEST(PeerSockets, WaitsAreBoundedAndNamed) {
    std::string error;
    uint16_t port = 0;
    peer::Fd listener = peer::listenTcp("127.0.0.1", 0, &port, &error);
    ASSERT_TRUE(listener.valid());
    EXPECT_FALSE(peer::acceptTcp(listener.get(), 50, &error).valid());
    EXPECT_EQ("no connection within 50 ms", error);
    listener.reset();
    EXPECT_FALSE(peer::connectTcp("127.0.0.1", port, 100, &error).valid());
    EXPECT_NE(std::string::npos, error.find("connect to 127.0.0.1")) << error;
    EXPECT_FALSE(peer::connectTcp("not-an-address", 1, 100, &error).valid());
    EXPECT_EQ("not an IPv4 address: not-an-address", error);
}

TEST(PeerSockets, DatagramsCarryTheirSender) {
    std::string error;
    peer::DatagramLink a, b;
    uint16_t portA = 0, portB = 0;
    ASSERT_TRUE(a.bind("127.0.0.1", 0, &portA, &error)) << error;
    ASSERT_TRUE(b.bind("127.0.0.1", 0, &portB, &error)) << error;
    ASSERT_TRUE(a.sendTo("127.0.0.1", portB, peer::encodeEthFrame(EthChannel::Broadcast, "who"), &error)) << error;
    std::vector<uint8_t> got;
    std::string sender;
    ASSERT_TRUE(b.receive(&got, &sender, 2000, &error)) << error;
    EXPECT_EQ(peer::encodeEthFrame(EthChannel::Broadcast, "who"), got);
    EXPECT_EQ("127.0.0.1", sender);
    EXPECT_FALSE(b.receive(&got, &sender, 20, &error));
}

TEST(PeerSockets, CanFramesCrossADescriptorPair) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair));
    peer::CanLink left, right;
    left.adopt(pair[0]);
    right.adopt(pair[1]);
    std::string error;
    auto frames = peer::encodeCanMessage(0x101, 0x100, "twelve bytes");
    ASSERT_TRUE(left.sendAll(frames, 0, &error)) << error;
    for (const auto& sent : frames) {
        peer::CanFrame f;
        ASSERT_TRUE(right.receive(&f, 1000, &error)) << error;
        EXPECT_EQ(sent.id, f.id);
        EXPECT_EQ(sent.dlc, f.dlc);
    }
    peer::CanFrame none;
    EXPECT_FALSE(right.receive(&none, 20, &error));
}

}  // namespace
