// 32-bit values in byte buffers, most significant byte first (network
// order): the order of every length and value on this library's wires. By
// shifts, so the host's own byte order and the buffer's alignment never
// matter. No state: any thread.
#ifndef XR9AL_BYTEORDER_H
#define XR9AL_BYTEORDER_H

#include <cstdint>

namespace xr9 {

// Writes value into dst[0..3], most significant byte first.
inline void encodeBigEndian32(uint8_t* dst, uint32_t value) {
    dst[0] = static_cast<uint8_t>(value >> 24);
    dst[1] = static_cast<uint8_t>(value >> 16);
    dst[2] = static_cast<uint8_t>(value >> 8);
    dst[3] = static_cast<uint8_t>(value);
}

// The value of src[0..3], most significant byte first.
inline uint32_t decodeBigEndian32(const uint8_t* src) {
    return static_cast<uint32_t>(src[0]) << 24 | static_cast<uint32_t>(src[1]) << 16 |
           static_cast<uint32_t>(src[2]) << 8 | static_cast<uint32_t>(src[3]);
}

}  // namespace xr9

#endif
