#include "CanHarness.h"

#include <algorithm>

#include "KTDEI.h"
#include "osal.h"
#include "support/Xr9Log.h"

namespace cantest {

CANPortSetting portSetting(enCANMode mode, enBaudRate rate) {
    return CANPortSetting{rate, mode, kCommandId, kCommandLengthId, kStreamId, kStreamLengthId};
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i);
    return b;
}

can_frame makeFrame(uint32_t id, const Bytes& data) {
    can_frame f{};
    f.can_id = id;
    f.can_dlc = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.begin() + std::min<size_t>(data.size(), 8), f.data);
    return f;
}

can_frame lengthFrame(uint32_t id, uint32_t length) {
    return makeFrame(id, {0x00, 0xA5, 0xA5, 0xA5, uint8_t(length >> 24), uint8_t(length >> 16),
                          uint8_t(length >> 8), uint8_t(length)});
}

std::vector<can_frame> messageFrames(uint32_t lengthId, uint32_t dataId, const Bytes& message) {
    std::vector<can_frame> frames{lengthFrame(lengthId, static_cast<uint32_t>(message.size()))};
    for (size_t at = 0; at < message.size(); at += 8) {
        const size_t n = std::min<size_t>(8, message.size() - at);
        frames.push_back(makeFrame(dataId, Bytes(message.begin() + at, message.begin() + at + n)));
    }
    return frames;
}

Bytes frameData(const can_frame& frame) {
    return Bytes(frame.data, frame.data + std::min<int>(frame.can_dlc, 8));
}

std::vector<can_frame> commandFrames(const Bytes& message) {
    return messageFrames(kCommandLengthId, kCommandId, message);
}

std::vector<can_frame> streamFrames(const Bytes& message) {
    return messageFrames(kStreamLengthId, kStreamId, message);
}

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

void drainQueue(KT::uint32 queue) {
    std::vector<uint8_t> sink(64 * 1024);
    for (KT::uint32 size = 0; osQueueGetTimed(queue, sink.data(), &size, 0) == OS_SUCCESS;) continue;
}

void CanTransportTest::SetUp() {
    dir = std::make_unique<xr9test::TempDir>();
    logBase = dir->file("log");
    ASSERT_EQ(0, Xr9Log::CreateLogFile(logBase));
    Xr9Log::SetLogLevel(6);
    KT::KTDEI::instance()->reset();
    bus.reset();
    can = std::make_unique<XR9ALCAN>();
    KT::uint32 hostQueue = kShmQueue;  // a re-created queue keeps the larger size
    ASSERT_EQ(OS_SUCCESS, osQueueCreate(&hostQueue, "host queue 2", 1, 256));
    for (KT::uint32 queue : {uiCCQueueId, uiFTQueueId, kShmQueue}) drainQueue(queue);
}

void CanTransportTest::TearDown() {
    can.reset();
    bus.reset();
    Xr9Log::SetLogLevel(6);
}

void CanTransportTest::open(const CANPortSetting& setting, KT::uint32 number) {
    CANPortSetting copy = setting;
    ASSERT_EQ(0, can->OpenPort(IF_TYPE_CAN, &copy, number));
    ASSERT_GE(bus.busFd(), 0);
}

void CanTransportTest::sendFrames(const std::vector<can_frame>& frames) {
    for (const can_frame& f : frames) ASSERT_TRUE(bus.send(f));
}

std::vector<can_frame> CanTransportTest::busFrames() {
    std::vector<can_frame> frames;
    can_frame f;
    while (bus.receive(&f, 0)) frames.push_back(f);
    return frames;
}

Bytes CanTransportTest::receive(enMsgType type) {
    Bytes bytes(4096);
    KT::uint32 length = 0;
    const KT::int32 result = can->ReceiveDataTimed(bytes.data(), &length, 5000, type);
    EXPECT_EQ(0, result) << "nothing received on channel " << type;
    bytes.resize(result == 0 ? length : 0);
    return bytes;
}

std::string CanTransportTest::logText() const {
    return xr9test::readFile(logBase + ".0");
}

bool CanTransportTest::logHas(const std::string& text) const {
    return logText().find(text) != std::string::npos;
}

bool CanTransportTest::waitForLog(const std::string& text) const {
    return xr9test::waitFor([&] { return logHas(text); });
}

}  // namespace cantest
