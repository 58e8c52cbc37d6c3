/// \file
/// The CAN transport's settings record and its two enumerations; host and
/// library share this layout.
#ifndef CANPORTSETTING_H
#define CANPORTSETTING_H

#include <cstddef>

#include "KTTypes.h"

/// Bit rate of the bus; the value is the rate in kbit/s. Any 32-bit value may
/// arrive from a host: those outside the table mean "no rate" (0 bit/s).
enum enBaudRate : int {
    CAN_BITRATE_10K = 10,
    CAN_BITRATE_20K = 20,
    CAN_BITRATE_50K = 50,
    CAN_BITRATE_83K = 83,
    CAN_BITRATE_100K = 100,
    CAN_BITRATE_111K = 111,
    CAN_BITRATE_125K = 125,
    CAN_BITRATE_250K = 250,
    CAN_BITRATE_500K = 500,
    CAN_BITRATE_800K = 800,
    CAN_BITRATE_1M = 1000
};

/// Identifier width: CAN_MODE_EXTENDED selects 29-bit identifiers, every
/// other value 11-bit ones.
enum enCANMode : int {
    CAN_MODE_STANDARD = 1,
    CAN_MODE_EXTENDED = 2
};

/// What the host passes to the CAN transport's OpenPort, which reads it once
/// and keeps no pointer to it: bit rate, identifier width and the four
/// identifiers (there are no defaults).
struct CANPortSetting {
    enBaudRate baudRate;         ///< handed to the host's data-exchange service in bit/s
    enCANMode canMode;           ///< CAN_MODE_EXTENDED sets bit 31 on every identifier
    KT::uint32 commandId;        ///< command data frames
    KT::uint32 commandLengthId;  ///< command length frames and shared-memory notices
    KT::uint32 streamId;         ///< stream data frames
    KT::uint32 streamLengthId;   ///< stream length frames
};
static_assert(sizeof(enBaudRate) == 4 && sizeof(enCANMode) == 4, "enumerations are 32-bit words");
static_assert(sizeof(CANPortSetting) == 24, "CANPortSetting is six 32-bit fields");
static_assert(offsetof(CANPortSetting, canMode) == 4, "CANPortSetting layout");
static_assert(offsetof(CANPortSetting, commandId) == 8, "CANPortSetting layout");
static_assert(offsetof(CANPortSetting, commandLengthId) == 12, "CANPortSetting layout");
static_assert(offsetof(CANPortSetting, streamId) == 16, "CANPortSetting layout");
static_assert(offsetof(CANPortSetting, streamLengthId) == 20, "CANPortSetting layout");

#endif
