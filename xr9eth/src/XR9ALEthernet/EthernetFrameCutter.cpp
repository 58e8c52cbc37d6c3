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

EthernetFrameCutter::Pass EthernetFrameCutter::cut(QByteArray* buffer) const {
    Pass pass;
    const qint64 size = buffer->size();
    if (size < xr9eth::kFrameHeaderSize) {
        pass.status = -1;
        return pass;
    }
    const char* base = buffer->constData();
    qint64 offset = 0;
    while (size - offset >= xr9eth::kFrameHeaderSize) {
        // The readers look at the head only: an 8-byte view, no copy.
        const QByteArray head = QByteArray::fromRawData(base + offset, xr9eth::kFrameHeaderSize);
        enMsgType type = MSG_TYPE_NONE;
        int length = 0;
        const int info = EthernetUtilities::GetMessageInfo(head, &type, length);
        const bool malformed = info != 0 || (type != MSG_TYPE_SHM && !acceptedLength(length));
        if (malformed || !carries(type)) {
            buffer->clear();
            pass.status = malformed ? -1 : 0;
            pass.dropped = true;
            return pass;
        }
        if (type == MSG_TYPE_SHM) {
            pass.pieces.push_back(
                Piece{MSG_TYPE_SHM, QByteArray(), xr9eth::readInt32Le(base + offset + xr9eth::kMarkerSize)});
            offset += xr9eth::kFrameHeaderSize;
            continue;
        }
        const qint64 available = size - offset - xr9eth::kFrameHeaderSize;
        qint64 take = length;
        if (available < take) {
            if (endpoint_ != Endpoint::Broadcast) break;  // wait for the rest of the frame
            take = available;
        }
        pass.pieces.push_back(Piece{type, QByteArray(base + offset + xr9eth::kFrameHeaderSize, int(take)), 0});
        offset += xr9eth::kFrameHeaderSize + take;
    }
    if (offset > 0) buffer->remove(0, int(offset));
    return pass;
}
