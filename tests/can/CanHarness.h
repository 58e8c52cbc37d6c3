// The CAN transport tests' settings, frames built by hand (independently of the library's codec),
// and a fixture with a fresh log, bus, host queue 2 and transport; port state is process-wide.
#ifndef CANHARNESS_H
#define CANHARNESS_H

#include <gtest/gtest.h>
#include <linux/can.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KTDEI.h"
#include "UserSpaceCanBus.h"
#include "can/XR9ALCAN.h"
#include "common/TestSupport.h"
#include "osal.h"
#include "support/Xr9Log.h"

namespace cantest {

constexpr KT::uint32 kCommandId = 0x123;
constexpr KT::uint32 kCommandLengthId = 0x122;
constexpr KT::uint32 kStreamId = 0x321;
constexpr KT::uint32 kStreamLengthId = 0x320;
constexpr KT::uint32 kEff = 0x80000000u;
constexpr KT::uint32 kShmQueue = 2;
// How the receive task names itself in the log.
const std::string kTaskFn = "  void ReadDataFunc()  ";

using Bytes = std::vector<uint8_t>;

inline CANPortSetting portSetting(enCANMode mode = CAN_MODE_STANDARD, enBaudRate rate = CAN_BITRATE_1M) {
    return CANPortSetting{rate, mode, kCommandId, kCommandLengthId, kStreamId, kStreamLengthId};
}

// n bytes: seed, seed + 1, ... (mod 256).
inline Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i);
    return b;
}

inline can_frame makeFrame(uint32_t id, const Bytes& data) {
    can_frame f{};
    f.can_id = id;
    f.can_dlc = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.begin() + std::min<size_t>(data.size(), 8), f.data);
    return f;
}

// 00 A5 A5 A5 and the length, big-endian.
inline can_frame lengthFrame(uint32_t id, uint32_t length) {
    return makeFrame(id, {0x00, 0xA5, 0xA5, 0xA5, uint8_t(length >> 24), uint8_t(length >> 16),
                          uint8_t(length >> 8), uint8_t(length)});
}

// The length frame and the data frames of message.
inline std::vector<can_frame> messageFrames(uint32_t lengthId, uint32_t dataId, const Bytes& message) {
    std::vector<can_frame> frames{lengthFrame(lengthId, static_cast<uint32_t>(message.size()))};
    for (size_t at = 0; at < message.size(); at += 8) {
        const size_t n = std::min<size_t>(8, message.size() - at);
        frames.push_back(makeFrame(dataId, Bytes(message.begin() + at, message.begin() + at + n)));
    }
    return frames;
}

inline std::vector<can_frame> commandFrames(const Bytes& message) {
    return messageFrames(kCommandLengthId, kCommandId, message);
}

inline std::vector<can_frame> streamFrames(const Bytes& message) {
    return messageFrames(kStreamLengthId, kStreamId, message);
}

inline Bytes frameData(const can_frame& frame) {
    return Bytes(frame.data, frame.data + std::min<int>(frame.can_dlc, 8));
}

// How many frames from the start of a and b agree in identifier and data.
inline size_t sameFrames(const std::vector<can_frame>& a, const std::vector<can_frame>& b) {
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n].can_id == b[n].can_id && frameData(a[n]) == frameData(b[n])) ++n;
    return n;
}

// How often what occurs in text, without overlaps.
inline int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

class CanTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, Xr9Log::CreateLogFile(logBase));
        Xr9Log::SetLogLevel(6);
        KT::KTDEI::instance()->reset();
        bus.reset();
        can = std::make_unique<XR9ALCAN>();
        KT::uint32 hostQueue = kShmQueue;  // a re-created queue keeps the larger size
        ASSERT_EQ(OS_SUCCESS, osQueueCreate(&hostQueue, "host queue 2", 1, 256));
        std::vector<uint8_t> sink(64 * 1024);  // the queues emptied without waiting
        for (KT::uint32 queue : {uiCCQueueId, uiFTQueueId, kShmQueue}) {
            for (KT::uint32 size = 0; osQueueGetTimed(queue, sink.data(), &size, 0) == OS_SUCCESS;) continue;
        }
    }
    void TearDown() override {
        can.reset();  // joins the receive task
        bus.reset();
    }

    // OpenPort with setting on interface number; asserts success.
    void open(const CANPortSetting& setting = portSetting(), KT::uint32 number = 0) {
        CANPortSetting copy = setting;
        ASSERT_EQ(0, can->OpenPort(IF_TYPE_CAN, &copy, number));
        ASSERT_GE(bus.busFd(), 0);
    }
    void sendFrames(const std::vector<can_frame>& frames) {
        for (const can_frame& f : frames) ASSERT_TRUE(bus.send(f));
    }
    std::vector<can_frame> busFrames() {  // written by the library, taken without waiting
        std::vector<can_frame> frames;
        for (can_frame f; bus.receive(&f, 0);) frames.push_back(f);
        return frames;
    }
    // ReceiveDataTimed with a 5 s limit; the test fails when nothing came.
    Bytes receive(enMsgType type) {
        Bytes bytes(4096);
        KT::uint32 length = 0;
        const KT::int32 result = can->ReceiveDataTimed(bytes.data(), &length, 5000, type);
        EXPECT_EQ(0, result) << "nothing received on channel " << type;
        bytes.resize(result == 0 ? length : 0);
        return bytes;
    }
    std::string logText() const { return xr9test::readFile(logBase + ".0"); }
    bool logHas(const std::string& text) const { return logText().find(text) != std::string::npos; }
    bool waitForLog(const std::string& text) const {  // bounded
        return xr9test::waitFor([&] { return logHas(text); });
    }

    canbus::UserSpaceCanBus& bus = canbus::UserSpaceCanBus::instance();
    xr9test::TempDir dir;
    std::string logBase = dir.file("log");
    std::unique_ptr<XR9ALCAN> can;
};

}  // namespace cantest

#endif
