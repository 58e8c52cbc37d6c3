// Rebuilds the messages of one CAN channel from its length and data frames
// into a buffer of kCapacity bytes, taken from the heap once, at construction.
//
// A length frame starts a message and drops one in progress. Data frames add
// their bytes; the message is complete when the announced count is reached
// exactly. A length frame announcing 0 starts nothing.
//
// Bytes that would not fit never reach the buffer. A message announced longer
// than kCapacity, data arriving while no message is in progress, and a data
// frame bringing more bytes than are still expected each drop the message
// (one Dropped outcome); everything up to the channel's next length frame is
// then ignored. A data frame without bytes changes nothing. When frames were
// lost between two that arrived (the socket's queue overflowed), lost() gives
// up a message in progress the same way, so a message is never completed
// with bytes of the next one.
//
// Not locked: one thread at a time (the receive task owns its assemblers).
#ifndef CANMESSAGEASSEMBLER_H
#define CANMESSAGEASSEMBLER_H

#include <cstdint>
#include <memory>

namespace xr9can {

class CanMessageAssembler {
public:
    static constexpr uint32_t kCapacity = 1024;

    enum class Outcome {
        Pending,   // a message is in progress (or none was started by a 0 announcement)
        Complete,  // message()/messageSize() hold a whole message
        Dropped,   // the message was given up; dropReason() says why
        Ignored    // the frame changed nothing
    };
    enum class DropReason { None, TooLong, Unannounced, Overrun, FramesLost };

    CanMessageAssembler();
    CanMessageAssembler(const CanMessageAssembler&) = delete;
    CanMessageAssembler& operator=(const CanMessageAssembler&) = delete;

    // A length frame announcing length bytes.
    Outcome announce(uint32_t length);
    // A data frame carrying count bytes (any count is safe).
    Outcome add(const uint8_t* bytes, uint32_t count);
    // Frames of this channel were lost: Dropped when a message was in
    // progress, otherwise Ignored.
    Outcome lost();

    // After Complete: the message, valid until the next announce or add.
    const uint8_t* message() const { return buffer_.get(); }
    uint32_t messageSize() const { return completeSize_; }

    // After Dropped: why.
    DropReason dropReason() const { return dropReason_; }

    uint32_t expected() const { return expected_; }  // bytes still expected
    uint32_t gathered() const { return offset_; }    // bytes of the message so far

private:
    enum class State { Idle, Gathering, Discarding };

    Outcome drop(DropReason reason);

    std::unique_ptr<uint8_t[]> buffer_;
    State state_ = State::Idle;
    uint32_t expected_ = 0;
    uint32_t offset_ = 0;
    uint32_t completeSize_ = 0;
    DropReason dropReason_ = DropReason::None;
};

}  // namespace xr9can

#endif
