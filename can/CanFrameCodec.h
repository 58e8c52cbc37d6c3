// The CAN wire format of the transport's messages. A command or stream
// message is one length frame followed by its bytes in data frames of at most
// eight; a shared-memory notice is one frame carrying a 32-bit value:
//
//   length frame  dlc 8   00 A5 A5 A5 | length, most significant byte first
//   data frame    dlc n   the next n (1..8) bytes of the message
//   notice frame  dlc 8   A1 A1 A1 A1 | value, most significant byte first
//
// Frames are socketCAN classic frames (struct can_frame, 16 bytes); the
// identifier word carries bit 31 for 29-bit identifiers. Pure functions
// without state: any thread.
#ifndef CANFRAMECODEC_H
#define CANFRAMECODEC_H

#include <linux/can.h>

#include <cstdint>

namespace xr9can {

constexpr uint32_t kFrameBytes = 16;  // one write or read of the raw socket
constexpr uint8_t kMaxData = 8;       // data bytes of a classic frame
constexpr uint32_t kExtendedFlag = 0x80000000u;
constexpr uint8_t kShmMarker = 0xA1;
static_assert(sizeof(can_frame) == kFrameBytes, "a socketCAN classic frame is 16 bytes");
static_assert(kExtendedFlag == CAN_EFF_FLAG, "bit 31 marks an extended identifier");

// The four identifier words of a port, as stored (bit 31 in extended mode).
struct CanChannelIds {
    uint32_t command = 0;
    uint32_t commandLength = 0;
    uint32_t stream = 0;
    uint32_t streamLength = 0;
};

// The length frame on id announcing length.
void encodeLengthFrame(uint32_t id, uint32_t length, can_frame* frame);
// The notice frame on id; value holds the caller's four bytes, which go out
// in reverse order (bytes 4..7 = value[3], value[2], value[1], value[0]).
void encodeShmFrame(uint32_t id, const uint8_t value[4], can_frame* frame);
// The data frame on id carrying message bytes from offset on, at most 8 of
// them; returns their count (0 when offset is not below length).
uint8_t encodeDataFrame(uint32_t id, const uint8_t* message, uint32_t length, uint32_t offset,
                        can_frame* frame);

// Bytes 4..7 of a frame as an unsigned number, byte 4 most significant
// (the length of a length frame, the value of a notice), whatever its dlc.
uint32_t frameValue(const can_frame& frame);
// Data bytes a received frame carries: its dlc, at most 8 (a classic dlc
// of 9..15 means 8).
uint8_t dataLength(const can_frame& frame);

enum class FrameKind { StreamLength, StreamData, ShmNotice, CommandLength, CommandData, Foreign };

// What a received frame is on a port with ids: its identifier word, bit 31
// included, is compared with streamLength, stream, commandLength, command in
// that order and the first equal one decides; on commandLength a frame of dlc
// 8 with A1 A1 A1 A1 in bytes 0..3 is a notice. Foreign when none is equal.
FrameKind classifyFrame(const can_frame& frame, const CanChannelIds& ids);

}  // namespace xr9can

#endif
