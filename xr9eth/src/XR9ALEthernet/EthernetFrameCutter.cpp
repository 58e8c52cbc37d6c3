#include "XR9ALEthernet/EthernetFrameCutter.h"

#include "XR9ALEthernet/EthernetFrameCodec.h"
#include "vocabulary/XRErrorCodes.h"

namespace {

// The piece of the whole frame of type at frame, with the payloadBytes after
// its 8-byte header (the SHM short form: 0, its value decoded).
EthernetFrameCutter::Piece pieceAt(const char* frame, enMsgType type, qint64 payloadBytes) {
    return EthernetFrameCutter::Piece{type, QByteArray(frame + xr9eth::kFrameHeaderSize, int(payloadBytes)),
                                      type == MSG_TYPE_SHM ? xr9eth::decodeShmValue(frame) : 0};
}

}  // namespace

bool EthernetFrameCutter::carries(enMsgType type) const {
    switch (endpoint_) {
    case Endpoint::Command:
        return type == MSG_TYPE_COMMAND || type == MSG_TYPE_SHM;
    case Endpoint::Stream:
        return type == MSG_TYPE_STREAM;
    case Endpoint::Broadcast:
        return type == MSG_TYPE_BROADCAST;
    }
    return false;
}

EthernetFrameCutter::Pass EthernetFrameCutter::cut(QByteArray* buffer, qint64 room) {
    Pass pass;
    const qint64 size = buffer->size();
    const char* base = buffer->constData();
    qint64 offset = qMin(skipRemaining_, size);
    skipRemaining_ -= offset;
    pass.skipped = offset;
    if (size - offset < xr9eth::kFrameHeaderSize) pass.status = XR_FAILURE;
    if (size - offset >= xr9eth::kFrameHeaderSize) {
        // As many pieces as frames like the first would make, up to a few
        // pages of them: one allocation where growing one at a time makes several.
        const qint64 first = qMax(xr9eth::decodeFrameLength(base + offset), 0);
        pass.pieces.reserve(size_t(qMin<qint64>((size - offset) / (xr9eth::kFrameHeaderSize + first) + 1, 1024)));
    }
    qint64 cost = 0;
    while (size - offset >= xr9eth::kFrameHeaderSize && cost < room) {
        const char* frame = base + offset;
        const enMsgType type = xr9eth::decodeFrameType(frame);
        const int length = xr9eth::decodeFrameLength(frame);
        const bool malformed = type == MSG_TYPE_NONE || (type != MSG_TYPE_SHM && length < 0);
        if (malformed || !carries(type)) {
            buffer->clear();
            pass.status = malformed ? XR_FAILURE : XR_SUCCESS;
            pass.dropped = true;
            return pass;
        }
        offset += xr9eth::kFrameHeaderSize;
        if (type == MSG_TYPE_SHM) {
            pass.pieces.push_back(pieceAt(frame, type, 0));
            continue;
        }
        const qint64 available = size - offset;
        if (endpoint_ != Endpoint::Broadcast && KT::uint32(length) > maxFrameLength_) {
            // Counted off as it comes, so the connection stays in step with
            // the peer and nothing inside the payload is read as a frame.
            const qint64 passed = qMin<qint64>(length, available);
            offset += passed;
            pass.skipped += passed;
            skipRemaining_ = length - passed;
            continue;
        }
        qint64 take = length;
        if (available < take) {
            if (endpoint_ != Endpoint::Broadcast) {
                offset -= xr9eth::kFrameHeaderSize;  // wait for the rest of the frame
                break;
            }
            take = available;
        }
        pass.pieces.push_back(pieceAt(frame, type, take));
        cost += xr9eth::queuedCost(take);
        offset += take;
    }
    pass.full = cost >= room;
    if (offset > 0) buffer->remove(0, int(offset));
    return pass;
}

bool xr9eth::cutFrame(QByteArray* buffer, enMsgType type, int length, EthernetFrameCutter::Piece* piece) {
    if (length < 0) {
        buffer->clear();
        return false;
    }
    if (qint64(buffer->size()) < qint64(length) + xr9eth::kFrameHeaderSize) return false;
    *piece = pieceAt(buffer->constData(), type, length);
    buffer->remove(0, xr9eth::kFrameHeaderSize + length);
    return true;
}

