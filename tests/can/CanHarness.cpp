#include "CanHarness.h"

#include <algorithm>
#include <cstring>
#include <future>

#include "KTDEI.h"
#include "osal.h"
#include "support/Xr9Log.h"

namespace cantest {

CANPortSetting portSetting(enCANMode mode, enBaudRate rate) {
    CANPortSetting s;
    s.baudRate = rate;
    s.canMode = mode;
    s.commandId = kCommandId;
    s.commandLengthId = kCommandLengthId;
    s.streamId = kStreamId;
    s.streamLengthId = kStreamLengthId;
    return s;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i);
    return b;
}

can_frame makeFrame(uint32_t id, const Bytes& data) {
    can_frame f;
    std::memset(&f, 0, sizeof f);
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
    KT::uint32 size = 0;
    while (osQueueGetTimed(queue, sink.data(), &size, 0) == OS_SUCCESS) {
    }
}

Received receiveBlocking(XR9AL* transport, enMsgType type, std::chrono::milliseconds timeout) {
    auto job = std::async(std::launch::async, [transport, type] {
        Received r;
        r.bytes.resize(4096);
        KT::uint32 length = 0;
        r.result = transport->ReceiveData(r.bytes.data(), &length, type);
        r.bytes.resize(r.result == 0 ? length : 0);
        return r;
    });
    if (job.wait_for(timeout) != std::future_status::ready) {
        ADD_FAILURE() << "ReceiveData(" << type << ") got nothing in " << timeout.count() << " ms";
        if (type == MSG_TYPE_SHM) {
            const uint8_t record[256] = {};
            osQueuePut(kShmQueue, record, sizeof record);
        } else {
            transport->ExitReceiveData();
        }
    }
    return job.get();
}

void CanTransportTest::SetUp() {
    dir = std::make_unique<xr9test::TempDir>();
    logBase = dir->file("log");
    ASSERT_EQ(0, Xr9Log::CreateLogFile(logBase));
    Xr9Log::SetLogLevel(6);
    KT::KTDEI::instance()->reset();
    bus.reset();
    can = std::make_unique<XR9ALCAN>();
    drainQueue(uiCCQueueId);
    drainQueue(uiFTQueueId);
    drainQueue(kShmQueue);
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

Received CanTransportTest::receive(enMsgType type) {
    Received r;
    r.bytes.resize(4096);
    KT::uint32 length = 0;
    r.result = can->ReceiveDataTimed(r.bytes.data(), &length, 5000, type);
    EXPECT_EQ(0, r.result) << "nothing received on channel " << type;
    r.bytes.resize(r.result == 0 ? length : 0);
    return r;
}

std::string CanTransportTest::logText() const {
    return xr9test::readFile(logBase + ".0");
}

std::vector<std::string> CanTransportTest::logLines() const {
    return xr9test::readLines(logBase + ".0");
}

bool CanTransportTest::logHas(const std::string& text) const {
    return logText().find(text) != std::string::npos;
}

bool CanTransportTest::waitForLog(const std::string& text) const {
    return xr9test::waitFor([&] { return logHas(text); });
}

}  // namespace cantest
