#include <gtest/gtest.h>

#include "peer/CanWire.h"
#include "peer/EthernetWire.h"

namespace {

using peer::EthChannel;

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

TEST(PeerEthernetWire, EncodesFramesAndTheShortShmForm) {
    EXPECT_EQ(bytes({0xA5, 0xA5, 0xA5, 0xA5, 0, 0, 0, 3, 'a', 'b', 'c'}), peer::encodeEthFrame(EthChannel::Command, "abc"));
    EXPECT_EQ(bytes({0xA7, 0xA7, 0xA7, 0xA7, 0, 0, 0, 0}), peer::encodeEthFrame(EthChannel::Stream, ""));
    EXPECT_EQ(bytes({0xA1, 0xA1, 0xA1, 0xA1, 0x2A, 0, 0, 0}), peer::encodeEthShm(42));
    auto big = peer::encodeEthFrame(EthChannel::Broadcast, std::string(256, 'x'));
    ASSERT_EQ(264u, big.size());
    EXPECT_EQ(bytes({0xA2, 0xA2, 0xA2, 0xA2, 0, 0, 1, 0}), std::vector<uint8_t>(big.begin(), big.begin() + 8));
}

TEST(PeerEthernetWire, ReaderCutsFramesFedByteByByte) {
    std::vector<uint8_t> stream;
    for (const auto& f : {peer::encodeEthFrame(EthChannel::Command, "hello"), peer::encodeEthShm(-2),
                          peer::encodeEthFrame(EthChannel::Stream, "")}) {
        stream.insert(stream.end(), f.begin(), f.end());
    }
    peer::EthFrameReader reader;
    std::vector<peer::EthMessage> got;
    for (uint8_t b : stream) {
        reader.feed(&b, 1);
        peer::EthMessage m;
        while (reader.next(&m)) got.push_back(m);
    }
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(EthChannel::Command, got[0].channel);
    EXPECT_EQ("hello", got[0].payload);
    EXPECT_EQ(EthChannel::Shm, got[1].channel);
    EXPECT_EQ(-2, got[1].shmValue);
    EXPECT_EQ(EthChannel::Stream, got[2].channel);
    EXPECT_EQ("", got[2].payload);
    EXPECT_EQ(0u, reader.buffered());
}

TEST(PeerEthernetWire, ReaderRejectsGarbageNegativeAndOversizeLengths) {
    for (const auto& bad : {bytes({0xA5, 0xA5, 0xA5, 0xA7, 0, 0, 0, 0}), bytes({0xA5, 0xA5, 0xA5, 0xA5, 0x80, 0, 0, 0}),
                            bytes({0xA7, 0xA7, 0xA7, 0xA7, 0x10, 0, 0, 0}), bytes({0, 1, 2, 3, 4, 5, 6, 7})}) {
        peer::EthFrameReader reader(1 << 20);
        reader.feed(bad.data(), bad.size());
        peer::EthMessage m;
        EXPECT_FALSE(reader.next(&m));
        EXPECT_TRUE(reader.failed());
        reader.reset();
        EXPECT_FALSE(reader.failed());
    }
}

TEST(PeerCanWire, MessageOf20BytesIsALengthFrameAndThreePieces) {
    std::string msg(20, '\0');
    for (int i = 0; i < 20; ++i) msg[i] = static_cast<char>(i);
    auto frames = peer::encodeCanMessage(0x101, 0x100, msg);
    ASSERT_EQ(4u, frames.size());
    EXPECT_EQ(0x101u, frames[0].id);
    EXPECT_EQ(8, frames[0].dlc);
    EXPECT_EQ(bytes({0, 0xA5, 0xA5, 0xA5, 0, 0, 0, 0x14}), std::vector<uint8_t>(frames[0].data, frames[0].data + 8));
    EXPECT_EQ(8, frames[1].dlc);
    EXPECT_EQ(8, frames[2].dlc);
    EXPECT_EQ(4, frames[3].dlc);
    EXPECT_EQ(16, frames[3].data[0]);
    EXPECT_EQ(0x100u, frames[3].id);
    EXPECT_EQ(39u, peer::encodeCanMessage(1, 2, std::string(300, 'x')).size());
    EXPECT_EQ(3u, peer::encodeCanMessage(1, 2, std::string(16, 'x')).size()) << "no empty frame after a full one";
}

TEST(PeerCanWire, WireLayoutRoundTrips) {
    peer::CanFrame f = peer::encodeCanShm(0x80000123u, 0x12345678u);
    uint8_t wire[16];
    peer::toWire(f, wire);
    EXPECT_EQ(8, wire[4]);
    EXPECT_EQ(bytes({0xA1, 0xA1, 0xA1, 0xA1, 0x12, 0x34, 0x56, 0x78}), std::vector<uint8_t>(wire + 8, wire + 16));
    peer::CanFrame back;
    ASSERT_TRUE(peer::fromWire(wire, 16, &back));
    EXPECT_EQ(0x80000123u, back.id);
    EXPECT_FALSE(peer::fromWire(wire, 15, &back));
    wire[4] = 9;
    EXPECT_FALSE(peer::fromWire(wire, 16, &back));
}

TEST(PeerCanWire, ReaderRebuildsInterleavedChannelsAndShm) {
    peer::CanIds ids{0x100, 0x101, 0x200, 0x201};
    auto cmd = peer::encodeCanMessage(ids.commandLength, ids.command, std::string(20, 'c'));
    auto str = peer::encodeCanMessage(ids.streamLength, ids.stream, std::string(12, 's'));
    std::vector<peer::CanFrame> mixed;
    for (size_t i = 0; i < std::max(cmd.size(), str.size()); ++i) {
        if (i < cmd.size()) mixed.push_back(cmd[i]);
        if (i < str.size()) mixed.push_back(str[i]);
        if (i == 1) mixed.push_back(peer::encodeCanShm(ids.commandLength, 256));
    }
    using Event = peer::CanMessageReader::Event;
    peer::CanMessageReader reader(ids);
    std::vector<std::pair<Event, std::string>> got;
    for (const auto& f : mixed) {
        const Event e = reader.feed(f);
        if (e == Event::Shm) got.push_back({e, std::to_string(reader.shmValue())});
        else if (e != Event::None) got.push_back({e, reader.message()});
    }
    EXPECT_EQ((std::vector<std::pair<Event, std::string>>{
                  {Event::Shm, "256"}, {Event::Stream, std::string(12, 's')}, {Event::Command, std::string(20, 'c')}}),
              got);
}

TEST(PeerCanWire, ReaderDropsAMessageThatOverrunsItsLength) {
    peer::CanIds ids{0x100, 0x101, 0x200, 0x201};
    auto frames = peer::encodeCanMessage(ids.commandLength, ids.command, std::string(12, 'c'));
    frames[0].data[7] = 10;  // announce fewer bytes than follow
    peer::CanMessageReader reader(ids);
    for (const auto& f : frames) EXPECT_EQ(peer::CanMessageReader::Event::None, reader.feed(f));
    auto empty = peer::encodeCanMessage(ids.commandLength, ids.command, "");
    EXPECT_EQ(peer::CanMessageReader::Event::Command, reader.feed(empty[0]));
    EXPECT_EQ("", reader.message());
}

}  // namespace
