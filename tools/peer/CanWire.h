// The CAN wire format as the remote update tool sees it, written apart from
// the transport so that it checks the transport from outside.
//   length frame: 00 A5 A5 A5 | length (uint32, big-endian), dlc 8
//   data frames:  the message in pieces of 8 (last 1..8), dlc = piece size
//   SHM frame:    A1 A1 A1 A1 | value (uint32, big-endian), dlc 8, on the
//                 command length identifier
#ifndef PEER_CANWIRE_H
#define PEER_CANWIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace peer {

struct CanFrame {
    uint32_t id = 0;  // identifier word, bit 31 for extended frames
    uint8_t dlc = 0;
    uint8_t data[8] = {};
};

// 16-byte socketCAN classic frame layout: id (host order), dlc, 3 pad, 8 data.
void toWire(const CanFrame& frame, uint8_t out[16]);
bool fromWire(const uint8_t* in, size_t n, CanFrame* frame);

struct CanIds {
    uint32_t command = 0, commandLength = 0, stream = 0, streamLength = 0;
};

// Length frame and data frames of one message.
std::vector<CanFrame> encodeCanMessage(uint32_t lengthId, uint32_t dataId, const std::string& message);
CanFrame encodeCanShm(uint32_t commandLengthId, uint32_t value);

// Rebuilds messages of both channels from frames, as a remote tool would.
class CanMessageReader {
public:
    explicit CanMessageReader(const CanIds& ids) : ids_(ids) {}
    enum class Event { None, Command, Stream, Shm };
    // Feeds one frame; returns what it completed. message/shmValue hold the result.
    Event feed(const CanFrame& frame);
    const std::string& message() const { return done_; }
    uint32_t shmValue() const { return shm_; }

private:
    struct Channel {
        bool active = false;
        uint32_t expected = 0;
        std::string bytes;
    };
    Event announce(Channel& channel, const CanFrame& frame, Event kind);
    Event data(Channel& channel, const CanFrame& frame, Event kind);
    CanIds ids_;
    Channel command_, stream_;
    std::string done_;
    uint32_t shm_ = 0;
};

}  // namespace peer

#endif
