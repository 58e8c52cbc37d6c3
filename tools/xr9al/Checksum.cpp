#include "Checksum.h"

namespace xr9tool {

namespace {

struct Table {
    uint32_t entry[256];
    Table() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entry[i] = c;
        }
    }
};

}  // namespace

uint32_t crc32(uint32_t crc, const void* data, size_t size) {
    static const Table table;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = table.entry[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string testData(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    uint32_t x = seed ? seed : 0x9E3779B9u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = static_cast<char>(x);
    }
    return data;
}

}  // namespace xr9tool
