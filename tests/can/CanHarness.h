// Shared pieces of the CAN transport tests: port settings, frames built by
// hand (independently of the library's codec), bounded receives, and a
// fixture that gives each test a fresh log, bus, host queue 2 and transport.
// Port state is process-wide: SetUp drains the queues, TearDown destroys the
// transport (which joins its receive task).
#ifndef CANHARNESS_H
#define CANHARNESS_H

#include <gtest/gtest.h>
#include <linux/can.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "UserSpaceCanBus.h"
#include "can/XR9ALCAN.h"
#include "common/TestSupport.h"

namespace cantest {

constexpr KT::uint32 kCommandId = 0x123;
constexpr KT::uint32 kCommandLengthId = 0x122;
constexpr KT::uint32 kStreamId = 0x321;
constexpr KT::uint32 kStreamLengthId = 0x320;
constexpr KT::uint32 kEff = 0x80000000u;
constexpr KT::uint32 kShmQueue = 2;

using Bytes = std::vector<uint8_t>;

CANPortSetting portSetting(enCANMode mode = CAN_MODE_STANDARD, enBaudRate rate = CAN_BITRATE_1M);

// n bytes: seed, seed + 1, ... (mod 256).
Bytes pattern(size_t n, uint8_t seed = 1);
can_frame makeFrame(uint32_t id, const Bytes& data);
// 00 A5 A5 A5 and the length, big-endian.
can_frame lengthFrame(uint32_t id, uint32_t length);
// The length frame and the data frames of message.
std::vector<can_frame> messageFrames(uint32_t lengthId, uint32_t dataId, const Bytes& message);
Bytes frameData(const can_frame& frame);
// messageFrames on the command or the stream identifiers of portSetting().
std::vector<can_frame> commandFrames(const Bytes& message);
std::vector<can_frame> streamFrames(const Bytes& message);
// How often what occurs in text, without overlaps.
int countOf(const std::string& text, const std::string& what);
void drainQueue(KT::uint32 queue);  // without waiting

class CanTransportTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // OpenPort with setting on interface number; asserts success.
    void open(const CANPortSetting& setting = portSetting(), KT::uint32 number = 0);
    void sendFrames(const std::vector<can_frame>& frames);
    std::vector<can_frame> busFrames();  // written by the library, taken without waiting
    // ReceiveDataTimed with a 5 s limit; the test fails when nothing came.
    Bytes receive(enMsgType type);
    std::string logText() const;
    bool logHas(const std::string& text) const;
    bool waitForLog(const std::string& text) const;  // bounded

    canbus::UserSpaceCanBus& bus = canbus::UserSpaceCanBus::instance();
    std::unique_ptr<xr9test::TempDir> dir;
    std::string logBase;
    std::unique_ptr<XR9ALCAN> can;
};

}  // namespace cantest

#endif
