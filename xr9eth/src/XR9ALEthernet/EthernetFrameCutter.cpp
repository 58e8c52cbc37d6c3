#include "XR9ALEthernet/EthernetFrameCutter.h"

#include "XR9ALEthernet/EthernetUtilities.h"

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
    if (size - offset < xr9eth::kFrameHeaderSize) pass.status = -1;
    qint64 cost = 0;
    while (size - offset >= xr9eth::kFrameHeaderSize && cost < room) {
        // The readers look at the head only: an 8-byte view, no copy.
        const QByteArray head = QByteArray::fromRawData(base + offset, xr9eth::kFrameHeaderSize);
        enMsgType type = MSG_TYPE_NONE;
        int length = 0;
        const int info = EthernetUtilities::GetMessageInfo(head, &type, length);
        const bool malformed = info != 0 || (type != MSG_TYPE_SHM && length < 0);
        if (malformed || !carries(type)) {
            buffer->clear();
            pass.status = malformed ? -1 : 0;
            pass.dropped = true;
            return pass;
        }
        offset += xr9eth::kFrameHeaderSize;
        if (type == MSG_TYPE_SHM) {
            pass.pieces.push_back(Piece{MSG_TYPE_SHM, QByteArray(), xr9eth::readInt32Le(base + offset - 4)});
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
        pass.pieces.push_back(Piece{type, QByteArray(base + offset, int(take)), 0});
        cost += xr9eth::queuedCost(take);
        offset += take;
    }
    pass.full = cost >= room;
    if (offset > 0) buffer->remove(0, int(offset));
    return pass;
}
