// The Ethernet frame cutting against arbitrary input, two ways, under an
// input-chosen largest frame and room per pass:
//  - the raw bytes, in chunks, on each endpoint: it must neither crash, nor
//    keep more than it was given, nor keep more than one unfinished frame of
//    at most the largest length, nor cut a payload longer than that from a
//    connection;
//  - frames built from the input (their own encoder, not the library's),
//    some longer than the largest frame, fed in chunks of an input-chosen
//    size: the messages cut must be exactly the frames within the limit, in
//    order, as a one-shot feed gives them; the longer ones are passed over by
//    count, whatever their payload holds; cut one by one as a host's reader
//    does (read each head, then xr9eth::cutFrame, as readMessage and
//    readSHMMessage do), they give the same messages.
#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "XR9ALEthernet/EthernetFrameCutter.h"
#include "XR9ALEthernet/EthernetUtilities.h"

namespace {

using Endpoint = EthernetFrameCutter::Endpoint;

struct Expected {
    enMsgType type;
    QByteArray payload;
    KT::int32 value;
};

void trap(bool ok) {
    if (!ok) __builtin_trap();
}

QByteArray header(uint8_t marker, uint32_t n) {
    QByteArray h(8, char(marker));
    h[4] = char(n >> 24);
    h[5] = char(n >> 16);
    h[6] = char(n >> 8);
    h[7] = char(n);
    return h;
}

std::vector<EthernetFrameCutter::Piece> feed(Endpoint endpoint, const QByteArray& bytes, size_t chunk,
                                             KT::uint32 maxFrame, qint64 room) {
    EthernetFrameCutter cutter(endpoint, maxFrame);
    QByteArray buffer;
    std::vector<EthernetFrameCutter::Piece> out;
    qint64 given = 0;
    for (int off = 0; off < bytes.size(); off += int(chunk)) {
        const QByteArray part = bytes.mid(off, int(chunk));
        buffer.append(part);
        given += part.size();
        for (bool full = true; full;) {  // as a reader does while its queue has room
            const int before = buffer.size();
            EthernetFrameCutter::Pass pass = cutter.cut(&buffer, room);
            trap(buffer.size() <= before);
            trap(pass.skipped <= before);
            for (auto& p : pass.pieces) {
                trap(endpoint == Endpoint::Broadcast ? p.payload.size() <= before
                                                     : KT::uint32(p.payload.size()) <= maxFrame);
                out.push_back(p);
            }
            full = pass.full;
        }
        trap(buffer.size() <= given);
        trap(buffer.size() < 8 || KT::uint32(buffer.size()) < 8 + maxFrame);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t chunk = 1 + data[0] % 97;
    // One message per pass, or every whole frame.
    const qint64 room = data[0] & 0x80 ? xr9eth::queuedCost(0) : EthernetFrameCutter::kNoRoomLimit;
    const bool stream = data[1] & 1;
    const QByteArray raw(reinterpret_cast<const char*>(data + 2), int(size - 2));
    // A small largest frame, so that the input reaches past it; 127 the default.
    const KT::uint32 maxFrame = (data[1] >> 1) == 127 ? xr9eth::kDefaultMaxFrameLength : KT::uint32(data[1] >> 1);
    for (auto endpoint : {Endpoint::Command, Endpoint::Stream, Endpoint::Broadcast})
        feed(endpoint, raw, chunk, maxFrame, room);

    // Well-formed frames: per frame one kind byte and one length byte, then payload.
    QByteArray wire;
    std::vector<Expected> expected;
    size_t frames = 0;
    size_t i = 2;
    while (i + 2 <= size) {
        const bool shm = !stream && (data[i] & 1);
        const size_t n = std::min<size_t>(data[i + 1], size - i - 2);
        const QByteArray payload(reinterpret_cast<const char*>(data + i + 2), int(n));
        i += 2 + n;
        ++frames;
        if (shm) {
            QByteArray v = payload.left(4).leftJustified(4, '\0');
            wire.append(QByteArray(4, char(0xA1))).append(v);
            const KT::int32 value = KT::int32(uint32_t(uint8_t(v[0])) | uint32_t(uint8_t(v[1])) << 8 |
                                              uint32_t(uint8_t(v[2])) << 16 | uint32_t(uint8_t(v[3])) << 24);
            expected.push_back({MSG_TYPE_SHM, QByteArray(), value});
        } else {
            wire.append(header(stream ? 0xA7 : 0xA5, uint32_t(n))).append(payload);
            if (n <= maxFrame) expected.push_back({stream ? MSG_TYPE_STREAM : MSG_TYPE_COMMAND, payload, 0});
        }
    }
    const auto endpoint = stream ? Endpoint::Stream : Endpoint::Command;
    const auto chunked = feed(endpoint, wire, chunk, maxFrame, room);
    const auto whole = feed(endpoint, wire, size_t(wire.size()) + 1, maxFrame, EthernetFrameCutter::kNoRoomLimit);
    trap(chunked.size() == expected.size() && whole.size() == expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        trap(chunked[k].type == expected[k].type && whole[k].type == expected[k].type);
        trap(chunked[k].payload == expected[k].payload && whole[k].payload == expected[k].payload);
        trap(chunked[k].value == expected[k].value && whole[k].value == expected[k].value);
    }
    if (expected.size() == frames) {  // the takers pass nothing over
        QByteArray buffer = wire;
        for (const Expected& e : expected) {
            enMsgType type = MSG_TYPE_NONE;
            int length = 0;
            trap(EthernetUtilities::GetMessageInfo(buffer, &type, length) == 0 && type == e.type);
            EthernetFrameCutter::Piece piece;
            trap(xr9eth::cutFrame(&buffer, type, type == MSG_TYPE_SHM ? 0 : length, &piece));
            trap(piece.payload == e.payload && piece.value == e.value);
        }
        trap(buffer.isEmpty());
    }
    return 0;
}
