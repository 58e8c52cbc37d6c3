// The receive path of XR9ALEthernet: readers (owner thread) and takers (any thread).
#include <cstring>

#include <QHostAddress>
#include <QTcpSocket>
#include <QUdpSocket>

#include "XR9ALEthernet/EthernetUtilities.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/TsanAnnotations.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

// -304 "OS ERROR TIMEOUT", -403 buffer overflow, -2 "INVALID PARAMETER".
constexpr KT::int32 kTimeout = -304;
constexpr KT::int32 kTooLong = -403;
constexpr KT::int32 kBadArgument = -2;

void postShmValue(KT::int32 value) {
    (void)sendUpdateMessage(kShmNoticeType, SHM_MODULE, kShmNoticeEvent, value, nullptr);
}

}  // namespace

bool XR9ALEthernet::rxRoute(enMsgType type, EthernetQueue** queue, QWaitCondition** notifier) const {
    switch (type) {
    case MSG_TYPE_COMMAND:
        *queue = commandRxQueue;
        *notifier = &commandQueueNotifier;
        return true;
    case MSG_TYPE_STREAM:
        *queue = streamRxQueue;
        *notifier = &streamQueueNotifier;
        return true;
    case MSG_TYPE_SHM:
        *queue = broadcastRxQueue;
        *notifier = nullptr;
        return true;
    case MSG_TYPE_BROADCAST:
        *queue = broadcastRxQueue;
        *notifier = &broadcastQueueNotifier;
        return true;
    default:
        return false;
    }
}

int XR9ALEthernet::enqueueRxMsg(enMsgType type, QByteArray payload) {
    EthernetQueue* queue = nullptr;
    QWaitCondition* notifier = nullptr;
    if (!rxRoute(type, &queue, &notifier)) return 0;
    {
        xr9::AnnotatedLocker locker(&mutexRxQueue);
        queue->append(qMakePair(type, payload));
    }
    if (notifier) notifier->wakeAll();
    return 1;
}

int XR9ALEthernet::queuePieces(const EthernetFrameCutter::Pass& pass) {
    for (const EthernetFrameCutter::Piece& piece : pass.pieces) {
        if (piece.type == MSG_TYPE_SHM) {
            postShmValue(piece.value);
        } else {
            enqueueRxMsg(piece.type, piece.payload);
        }
    }
    return pass.status;
}

KT::int32 XR9ALEthernet::receivedMsg(enMsgType type) {
    if (type == MSG_TYPE_COMMAND) {
        commandBuffer.append(commandSocket->read(commandSocket->bytesAvailable()));
        return queuePieces(EthernetFrameCutter(EthernetFrameCutter::Endpoint::Command).cut(&commandBuffer));
    }
    if (type == MSG_TYPE_STREAM) {
        enqueueRxMsg(MSG_TYPE_STREAM, streamSocket->read(streamSocket->bytesAvailable()));
    }
    return -1;
}

KT::int32 XR9ALEthernet::ReceivedCommandMsg() {
    return receivedMsg(MSG_TYPE_COMMAND);
}

KT::int32 XR9ALEthernet::ReceivedStreamMsg() {
    streamBuffer.append(streamSocket->read(streamSocket->bytesAvailable()));
    return queuePieces(EthernetFrameCutter(EthernetFrameCutter::Endpoint::Stream).cut(&streamBuffer));
}

KT::int32 XR9ALEthernet::ReceivedBroadcastMsg() {
    // Every pending datagram is taken, so none waits for a further signal.
    KT::int32 result = -1;
    const EthernetFrameCutter cutter(EthernetFrameCutter::Endpoint::Broadcast);
    while (udpSocket->hasPendingDatagrams()) {
        QByteArray datagram(int(udpSocket->pendingDatagramSize()), Qt::Uninitialized);
        QHostAddress sender;
        const qint64 got = udpSocket->readDatagram(datagram.data(), datagram.size(), &sender);
        if (got < 0) break;
        datagram.truncate(int(got));
        *senderAddress = sender;
        broadcastBuffer.append(datagram);
        EthernetFrameCutter::Pass pass = cutter.cut(&broadcastBuffer);
        if (settings && settings->clientMode != 0) {
            const QByteArray suffix = "*ip=" + senderAddress->toString().toUtf8();
            for (EthernetFrameCutter::Piece& piece : pass.pieces) piece.payload.append(suffix);
        }
        result = queuePieces(pass);
    }
    return result;
}

int XR9ALEthernet::readMessage(QByteArray* buffer, int length, enMsgType type) {
    if (length < 0) {
        buffer->clear();
        return 0;
    }
    if (qint64(buffer->size()) < qint64(length) + xr9eth::kFrameHeaderSize) return 0;
    QByteArray payload = buffer->mid(xr9eth::kFrameHeaderSize, length);
    buffer->remove(0, xr9eth::kFrameHeaderSize + length);
    enqueueRxMsg(type, payload);
    return 1;
}

int XR9ALEthernet::readSHMMessage(QByteArray* buffer) {
    const KT::int32 value = xr9eth::readInt32Le(buffer->constData() + xr9eth::kMarkerSize);
    buffer->remove(0, xr9eth::kFrameHeaderSize);
    postShmValue(value);
    return 1;
}

bool XR9ALEthernet::isReceiveQueueEmpty() {
    xr9::AnnotatedLocker locker(&mutexRxQueue);
    return !commandRxQueue || commandRxQueue->isEmpty();
}

KT::int32 XR9ALEthernet::takeRxMsg(enMsgType type, QByteArray* data, int timeout, int sizeLimit,
                                   KT::uint32* tooLong) {
    EthernetQueue* queue = nullptr;
    QWaitCondition* notifier = nullptr;
    // Shared-memory values are posted as update messages, never taken here.
    if (type == MSG_TYPE_SHM || !rxRoute(type, &queue, &notifier)) return -1;
    xr9::AnnotatedLocker locker(&mutexRxQueue);
    while (!queue || queue->isEmpty()) {
        // A wake that finds the queue empty again (another taker was
        // faster) waits a full time-out once more.
        if (!locker.wait(notifier, static_cast<unsigned long>(timeout))) return kTimeout;
    }
    if (sizeLimit >= 0 && queue->first().second.size() > sizeLimit) {
        *tooLong = KT::uint32(queue->first().second.size());
        return kTooLong;
    }
    data->append(queue->takeFirst().second);
    return 0;
}

KT::int32 XR9ALEthernet::ReceiveData(QByteArray* data, enMsgType type, int timeout) {
    if (!data) return kBadArgument;
    return takeRxMsg(type, data, timeout, -1, nullptr);
}

KT::int32 XR9ALEthernet::ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) {
    if (!data || !length) return kBadArgument;
    QByteArray message;
    KT::uint32 tooLong = 0;
    const KT::int32 result = takeRxMsg(type, &message, 0, int(kEthernetByteReceiveLimit), &tooLong);
    if (result == kTooLong) *length = tooLong;
    if (result != 0) return result;
    if (!message.isEmpty()) std::memcpy(data, message.constData(), size_t(message.size()));
    *length = KT::uint32(message.size());
    return 0;
}

KT::int32 XR9ALEthernet::ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32, enMsgType type) {
    return ReceiveData(data, length, type);
}
