#include "CanWire.h"

#include <cstring>

namespace peer {

namespace {

uint32_t bigEndianAt(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void putBigEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace

void toWire(const CanFrame& frame, uint8_t out[16]) {
    std::memset(out, 0, 16);
    std::memcpy(out, &frame.id, 4);  // the kernel's frame keeps the id in host order
    out[4] = frame.dlc;
    std::memcpy(out + 8, frame.data, 8);
}

bool fromWire(const uint8_t* in, size_t n, CanFrame* frame) {
    if (n != 16 || in[4] > 8) return false;
    std::memcpy(&frame->id, in, 4);
    frame->dlc = in[4];
    std::memcpy(frame->data, in + 8, 8);
    return true;
}

std::vector<CanFrame> encodeCanMessage(uint32_t lengthId, uint32_t dataId, const std::string& message) {
    std::vector<CanFrame> frames;
    CanFrame length;
    length.id = lengthId;
    length.dlc = 8;
    length.data[0] = 0x00;
    length.data[1] = length.data[2] = length.data[3] = 0xA5;
    putBigEndian(length.data + 4, static_cast<uint32_t>(message.size()));
    frames.push_back(length);
    for (size_t offset = 0; offset < message.size(); offset += 8) {
        CanFrame piece;
        piece.id = dataId;
        piece.dlc = static_cast<uint8_t>(message.size() - offset < 8 ? message.size() - offset : 8);
        std::memcpy(piece.data, message.data() + offset, piece.dlc);
        frames.push_back(piece);
    }
    return frames;
}

CanFrame encodeCanShm(uint32_t commandLengthId, uint32_t value) {
    CanFrame frame;
    frame.id = commandLengthId;
    frame.dlc = 8;
    frame.data[0] = frame.data[1] = frame.data[2] = frame.data[3] = 0xA1;
    putBigEndian(frame.data + 4, value);
    return frame;
}

// A length frame starts the channel's next message; one announcing 0 bytes is
// an empty message, complete at once.
CanMessageReader::Event CanMessageReader::announce(Channel& channel, const CanFrame& frame, Event kind) {
    channel = Channel{true, bigEndianAt(frame.data + 4), {}};
    if (channel.expected != 0) return Event::None;
    channel.active = false;
    done_.clear();
    return kind;
}

CanMessageReader::Event CanMessageReader::data(Channel& channel, const CanFrame& frame, Event kind) {
    if (!channel.active) return Event::None;
    if (frame.dlc > channel.expected) {  // more than announced: the message is broken
        channel.active = false;
        return Event::None;
    }
    channel.bytes.append(reinterpret_cast<const char*>(frame.data), frame.dlc);
    channel.expected -= frame.dlc;
    if (channel.expected != 0) return Event::None;
    channel.active = false;
    done_.swap(channel.bytes);
    channel.bytes.clear();
    return kind;
}

CanMessageReader::Event CanMessageReader::feed(const CanFrame& frame) {
    const bool isShm = frame.dlc == 8 && frame.data[0] == 0xA1 && frame.data[1] == 0xA1 &&
                       frame.data[2] == 0xA1 && frame.data[3] == 0xA1;
    if (frame.id == ids_.streamLength) return announce(stream_, frame, Event::Stream);
    if (frame.id == ids_.stream) return data(stream_, frame, Event::Stream);
    if (frame.id == ids_.commandLength) {
        if (isShm) {
            shm_ = bigEndianAt(frame.data + 4);
            return Event::Shm;
        }
        return announce(command_, frame, Event::Command);
    }
    if (frame.id == ids_.command) return data(command_, frame, Event::Command);
    return Event::None;
}

}  // namespace peer
