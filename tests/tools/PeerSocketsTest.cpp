#include <gtest/gtest.h>

#include "peer/PeerSockets.h"

namespace {

// Frames, datagrams and CAN frames crossing these links are exercised end to
// end by the tool's demo (ToolDemo.CompletesEveryMediumOnThisMachine).
TEST(PeerSockets, WaitsAreBoundedAndFailuresNamed) {
    std::string error;
    uint16_t port = 0;
    peer::Fd listener = peer::listenTcp("127.0.0.1", 0, &port, &error);
    ASSERT_TRUE(listener.valid());
    EXPECT_FALSE(peer::acceptTcp(listener.get(), 50, &error).valid());
    EXPECT_EQ("no connection within 50 ms", error);
    peer::Fd client = peer::connectTcp("127.0.0.1", port, 2000, &error);
    ASSERT_TRUE(client.valid()) << error;
    peer::FrameLink server(peer::acceptTcp(listener.get(), 2000, &error));
    ASSERT_TRUE(server.valid()) << error;
    client.reset();
    peer::EthMessage m;
    EXPECT_FALSE(server.receive(&m, 500, &error));
    EXPECT_EQ("connection closed by the terminal", error);
    listener.reset();
    EXPECT_FALSE(peer::connectTcp("127.0.0.1", port, 100, &error).valid());
    EXPECT_NE(std::string::npos, error.find("connect to 127.0.0.1")) << error;
    EXPECT_FALSE(peer::connectTcp("not-an-address", 1, 100, &error).valid());
    EXPECT_EQ("not an IPv4 address: not-an-address", error);
    peer::DatagramLink quiet;
    ASSERT_TRUE(quiet.bind("127.0.0.1", 0, &port, &error)) << error;
    std::vector<uint8_t> got;
    std::string sender;
    EXPECT_FALSE(quiet.receive(&got, &sender, 20, &error));
}

}  // namespace
