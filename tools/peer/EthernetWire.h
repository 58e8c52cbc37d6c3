// The Ethernet wire format as the remote update tool sees it, written apart
// from the transport so that it checks the transport from outside.
//   full frame:  marker x4 | length (int32, big-endian) | payload
//   SHM frame:   A1 x4 | value (int32, little-endian)
#ifndef PEER_ETHERNETWIRE_H
#define PEER_ETHERNETWIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace peer {

enum class EthChannel : int { Command = 1, Stream = 2, Shm = 3, Broadcast = 4 };

uint8_t markerOf(EthChannel channel);
std::vector<uint8_t> encodeEthFrame(EthChannel channel, const std::string& payload);
std::vector<uint8_t> encodeEthShm(int32_t value);

struct EthMessage {
    EthChannel channel;
    std::string payload;  // empty for SHM
    int32_t shmValue = 0;
};

// Cuts frames from a byte stream. Bytes that do not start with a marker, or
// a negative length, put the reader in error until reset(); a frame that
// announces more than maxPayload is an error too.
class EthFrameReader {
public:
    explicit EthFrameReader(size_t maxPayload = 64u << 20) : maxPayload_(maxPayload) {}
    void feed(const uint8_t* data, size_t n);
    // The next complete message, false when none is complete yet.
    bool next(EthMessage* message);
    bool failed() const { return failed_; }
    size_t buffered() const { return buffer_.size() - offset_; }
    void reset();

private:
    std::vector<uint8_t> buffer_;
    size_t offset_ = 0;
    size_t maxPayload_;
    bool failed_ = false;
};

}  // namespace peer

#endif
