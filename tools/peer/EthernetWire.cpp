#include "EthernetWire.h"

namespace peer {

namespace {

constexpr size_t kHeader = 8;

bool channelOfMarker(uint8_t marker, EthChannel* channel) {
    switch (marker) {
    case 0xA5: *channel = EthChannel::Command; return true;
    case 0xA7: *channel = EthChannel::Stream; return true;
    case 0xA1: *channel = EthChannel::Shm; return true;
    case 0xA2: *channel = EthChannel::Broadcast; return true;
    default: return false;
    }
}

}  // namespace

uint8_t markerOf(EthChannel channel) {
    switch (channel) {
    case EthChannel::Command: return 0xA5;
    case EthChannel::Stream: return 0xA7;
    case EthChannel::Shm: return 0xA1;
    case EthChannel::Broadcast: return 0xA2;
    }
    return 0;
}

std::vector<uint8_t> encodeEthFrame(EthChannel channel, const std::string& payload) {
    std::vector<uint8_t> frame(kHeader + payload.size());
    const uint8_t marker = markerOf(channel);
    const uint32_t n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) frame[i] = marker;
    frame[4] = static_cast<uint8_t>(n >> 24);
    frame[5] = static_cast<uint8_t>(n >> 16);
    frame[6] = static_cast<uint8_t>(n >> 8);
    frame[7] = static_cast<uint8_t>(n);
    for (size_t i = 0; i < payload.size(); ++i) frame[kHeader + i] = static_cast<uint8_t>(payload[i]);
    return frame;
}

std::vector<uint8_t> encodeEthShm(int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    return {0xA1, 0xA1, 0xA1, 0xA1, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
}

void EthFrameReader::feed(const uint8_t* data, size_t n) {
    if (offset_ > 0 && offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + n);
}

bool EthFrameReader::next(EthMessage* message) {
    if (failed_ || buffered() < kHeader) return false;
    const uint8_t* head = buffer_.data() + offset_;
    EthChannel channel;
    if (!channelOfMarker(head[0], &channel) || head[1] != head[0] || head[2] != head[0] || head[3] != head[0]) {
        failed_ = true;
        return false;
    }
    if (channel == EthChannel::Shm) {
        message->channel = channel;
        message->payload.clear();
        message->shmValue = static_cast<int32_t>(uint32_t(head[4]) | uint32_t(head[5]) << 8 |
                                                 uint32_t(head[6]) << 16 | uint32_t(head[7]) << 24);
        offset_ += kHeader;
        return true;
    }
    const int32_t length = static_cast<int32_t>(uint32_t(head[4]) << 24 | uint32_t(head[5]) << 16 |
                                                uint32_t(head[6]) << 8 | uint32_t(head[7]));
    if (length < 0 || static_cast<size_t>(length) > maxPayload_) {
        failed_ = true;
        return false;
    }
    if (buffered() < kHeader + static_cast<size_t>(length)) return false;
    message->channel = channel;
    message->payload.assign(reinterpret_cast<const char*>(head + kHeader), static_cast<size_t>(length));
    message->shmValue = 0;
    offset_ += kHeader + static_cast<size_t>(length);
    if (offset_ > (1u << 20) && offset_ * 2 > buffer_.size()) {  // compact now and then, not per frame
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
    }
    return true;
}

void EthFrameReader::reset() {
    buffer_.clear();
    offset_ = 0;
    failed_ = false;
}

}  // namespace peer
