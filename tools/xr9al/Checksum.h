// CRC-32 (IEEE 802.3) of transferred files, computed at both ends, and the
// deterministic test data the demo sends.
#ifndef XR9TOOL_CHECKSUM_H
#define XR9TOOL_CHECKSUM_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace xr9tool {

// Continues crc over data; start with 0.
uint32_t crc32(uint32_t crc, const void* data, size_t size);
// size bytes of reproducible pseudo-random data for seed.
std::string testData(size_t size, uint32_t seed);

}  // namespace xr9tool

#endif
