#include "can/CanMessageAssembler.h"

#include <cstring>

namespace xr9can {

CanMessageAssembler::CanMessageAssembler() : buffer_(new uint8_t[kCapacity]()) {}

CanMessageAssembler::Outcome CanMessageAssembler::announce(uint32_t length) {
    expected_ = length;
    offset_ = 0;
    if (length > kCapacity) return drop(DropReason::TooLong);
    state_ = length == 0 ? State::Idle : State::Gathering;
    return Outcome::Pending;
}

CanMessageAssembler::Outcome CanMessageAssembler::add(const uint8_t* bytes, uint32_t count) {
    if (count == 0 || state_ == State::Discarding) return Outcome::Ignored;
    if (state_ == State::Idle) return drop(DropReason::Unannounced);
    if (count > expected_) return drop(DropReason::Overrun);
    std::memcpy(buffer_.get() + offset_, bytes, count);
    offset_ += count;
    expected_ -= count;
    if (expected_ != 0) return Outcome::Pending;
    completeSize_ = offset_;
    offset_ = 0;
    state_ = State::Idle;
    return Outcome::Complete;
}

CanMessageAssembler::Outcome CanMessageAssembler::lost() {
    return state_ == State::Gathering ? drop(DropReason::FramesLost) : Outcome::Ignored;
}

CanMessageAssembler::Outcome CanMessageAssembler::drop(DropReason reason) {
    dropReason_ = reason;
    state_ = State::Discarding;
    expected_ = 0;
    offset_ = 0;
    return Outcome::Dropped;
}

}  // namespace xr9can
