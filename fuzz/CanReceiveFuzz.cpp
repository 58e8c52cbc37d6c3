// The CAN receive handling against arbitrary frame sequences on the four
// identifiers (and foreign ones): the receive task's classification and
// reassembly, checked against a plain model of the documented rules. Every
// 10 input bytes make a frame: identifier choice, dlc, 8 data bytes.
#include <linux/can.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "can/CanFrameCodec.h"
#include "can/CanMessageAssembler.h"

namespace {

using xr9can::CanMessageAssembler;

void trap(bool ok) {
    if (!ok) __builtin_trap();
}

// The model: a message completes when data brings the announced count
// (at most 1024) to exactly 0; anything else gives nothing until the next
// length frame.
struct Model {
    bool gathering = false;
    uint32_t expected = 0;
    std::string bytes;
    void announce(uint32_t n) {
        gathering = n > 0 && n <= CanMessageAssembler::kCapacity;
        expected = n;
        bytes.clear();
    }
    // True when a message completes; it is in bytes then.
    bool add(const uint8_t* data, uint32_t n) {
        if (n == 0) return false;
        if (!gathering || n > expected) {
            gathering = false;
            return false;
        }
        bytes.append(reinterpret_cast<const char*>(data), n);
        expected -= n;
        if (expected != 0) return false;
        gathering = false;
        return true;
    }
};

void data(CanMessageAssembler& channel, Model& model, const can_frame& frame) {
    const uint8_t n = xr9can::dataLength(frame);
    const auto outcome = channel.add(frame.data, n);
    const bool modelDone = model.add(frame.data, n);
    trap((outcome == CanMessageAssembler::Outcome::Complete) == modelDone);
    if (modelDone) {
        trap(channel.messageSize() == model.bytes.size());
        trap(std::memcmp(channel.message(), model.bytes.data(), model.bytes.size()) == 0);
    }
    trap(channel.gathered() <= CanMessageAssembler::kCapacity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    const xr9can::CanChannelIds ids{0x100, 0x101, 0x80000200u, 0x80000201u};
    const uint32_t choice[] = {ids.command, ids.commandLength, ids.stream, ids.streamLength, 0x200, 0x7FF};
    CanMessageAssembler stream, command;
    Model streamModel, commandModel;
    for (size_t off = 0; off + 10 <= size; off += 10) {
        can_frame frame;
        std::memset(&frame, 0, sizeof frame);
        frame.can_id = choice[input[off] % 6];
        frame.len = input[off + 1] & 0x0F;
        std::memcpy(frame.data, input + off + 2, 8);
        switch (xr9can::classifyFrame(frame, ids)) {
        case xr9can::FrameKind::StreamLength:
            stream.announce(xr9can::frameValue(frame));
            streamModel.announce(xr9can::frameValue(frame));
            break;
        case xr9can::FrameKind::StreamData: data(stream, streamModel, frame); break;
        case xr9can::FrameKind::CommandLength:
            command.announce(xr9can::frameValue(frame));
            commandModel.announce(xr9can::frameValue(frame));
            break;
        case xr9can::FrameKind::CommandData: data(command, commandModel, frame); break;
        case xr9can::FrameKind::ShmNotice:
            trap(frame.can_id == ids.commandLength && frame.len == 8 && frame.data[0] == 0xA1);
            break;
        case xr9can::FrameKind::Foreign: trap(frame.can_id == 0x200 || frame.can_id == 0x7FF); break;
        }
    }
    return 0;
}
