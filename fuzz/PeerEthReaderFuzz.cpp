// The remote tool's frame reader against arbitrary bytes in arbitrary chunks:
// the messages cut from a chunked feed equal those of a one-shot feed.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "peer/EthernetWire.h"

namespace {

std::vector<peer::EthMessage> cut(const uint8_t* data, size_t size, size_t chunk) {
    peer::EthFrameReader reader(1 << 16);
    std::vector<peer::EthMessage> out;
    for (size_t off = 0; off < size; off += chunk) {
        const size_t n = size - off < chunk ? size - off : chunk;
        reader.feed(data + off, n);
        peer::EthMessage m;
        while (reader.next(&m)) out.push_back(m);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = 1 + data[0] % 64;
    auto whole = cut(data + 1, size - 1, size);
    auto pieces = cut(data + 1, size - 1, chunk);
    if (whole.size() != pieces.size()) __builtin_trap();
    for (size_t i = 0; i < whole.size(); ++i) {
        if (whole[i].channel != pieces[i].channel || whole[i].payload != pieces[i].payload ||
            whole[i].shmValue != pieces[i].shmValue)
            __builtin_trap();
    }
    return 0;
}
