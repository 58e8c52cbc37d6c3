#include "can/CanFrameCodec.h"

#include <cstring>

#include "support/ByteOrder.h"

namespace xr9can {

namespace {

constexpr uint8_t kLengthMarker[4] = {0x00, 0xA5, 0xA5, 0xA5};

void startFrame(uint32_t id, uint8_t dlc, can_frame* frame) {
    std::memset(frame, 0, sizeof *frame);
    frame->can_id = id;
    frame->can_dlc = dlc;
}

bool isShmNotice(const can_frame& frame) {
    return frame.can_dlc == kMaxData && frame.data[0] == kShmMarker && frame.data[1] == kShmMarker &&
           frame.data[2] == kShmMarker && frame.data[3] == kShmMarker;
}

}  // namespace

void encodeLengthFrame(uint32_t id, uint32_t length, can_frame* frame) {
    startFrame(id, kMaxData, frame);
    std::memcpy(frame->data, kLengthMarker, sizeof kLengthMarker);
    xr9::encodeBigEndian32(frame->data + 4, length);
}

void encodeShmFrame(uint32_t id, const uint8_t value[4], can_frame* frame) {
    startFrame(id, kMaxData, frame);
    for (int i = 0; i < 4; ++i) {
        frame->data[i] = kShmMarker;
        frame->data[4 + i] = value[3 - i];
    }
}

uint8_t encodeDataFrame(uint32_t id, const uint8_t* message, uint32_t length, uint32_t offset,
                        can_frame* frame) {
    const uint32_t left = offset < length ? length - offset : 0;
    const uint8_t piece = static_cast<uint8_t>(left < kMaxData ? left : kMaxData);
    startFrame(id, piece, frame);
    if (piece) std::memcpy(frame->data, message + offset, piece);
    return piece;
}

uint32_t frameValue(const can_frame& frame) {
    return xr9::decodeBigEndian32(frame.data + 4);
}

uint8_t dataLength(const can_frame& frame) {
    return frame.can_dlc < kMaxData ? frame.can_dlc : kMaxData;
}

FrameKind classifyFrame(const can_frame& frame, const CanChannelIds& ids) {
    const uint32_t id = frame.can_id;
    if (id == ids.streamLength) return FrameKind::StreamLength;
    if (id == ids.stream) return FrameKind::StreamData;
    if (id == ids.commandLength) return isShmNotice(frame) ? FrameKind::ShmNotice : FrameKind::CommandLength;
    if (id == ids.command) return FrameKind::CommandData;
    return FrameKind::Foreign;
}

}  // namespace xr9can
