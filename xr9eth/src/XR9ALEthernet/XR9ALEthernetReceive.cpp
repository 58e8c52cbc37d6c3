// The receive path of XR9ALEthernet: readers (owner thread) and takers (any thread).
#include <cstring>
#include <vector>

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QTcpSocket>
#include <QUdpSocket>

#include "XR9ALEthernet/EthernetUtilities.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/TsanAnnotations.h"
#include "vocabulary/XRErrorCodes.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

void postShmValue(KT::int32 value) {
    (void)sendUpdateMessage(kShmNoticeType, SHM_MODULE, kShmNoticeEvent, value, nullptr);
}

// Asks the owner to run the reader of a channel that a taker brought back
// under its budget.
class ResumeReadingEvent : public QEvent {
public:
    explicit ResumeReadingEvent(enMsgType readerChannel) : QEvent(eventType()), channel(readerChannel) {}
    static QEvent::Type eventType() {
        static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    const enMsgType channel;
};

// Appends a read to a reassembly buffer. An empty buffer takes the read's
// own array, a short remainder is joined into an array of the exact size,
// and only a frame longer than a read grows the buffer the amortised way;
// so a buffer holds little more than its bytes.
void appendRead(QByteArray* buffer, const QByteArray& read) {
    if (buffer->isEmpty()) {
        *buffer = read;
    } else if (buffer->size() < xr9eth::kSocketReadChunk) {
        QByteArray joined(buffer->size() + read.size(), Qt::Uninitialized);
        std::memcpy(joined.data(), buffer->constData(), size_t(buffer->size()));
        std::memcpy(joined.data() + buffer->size(), read.constData(), size_t(read.size()));
        *buffer = joined;
    } else {
        buffer->append(read);
    }
}

// After a cut: an emptied buffer lets its array go, and a large frame, once
// cut, leaves no more than twice what is still held behind.
void trimBuffer(QByteArray* buffer) {
    if (buffer->isEmpty()) {
        buffer->clear();
    } else if (buffer->capacity() > 2 * qMax(buffer->size(), xr9eth::kSocketReadChunk)) {
        buffer->squeeze();
    }
}

}  // namespace

bool XR9ALEthernet::rxRoute(enMsgType type, RxRoute* route) {
    switch (type) {
    case MSG_TYPE_COMMAND:
        *route = RxRoute{commandRxQueue, &commandQueueNotifier, &commandRxAccount, MSG_TYPE_COMMAND};
        return true;
    case MSG_TYPE_STREAM:
        *route = RxRoute{streamRxQueue, &streamQueueNotifier, &streamRxAccount, MSG_TYPE_STREAM};
        return true;
    case MSG_TYPE_SHM:
        *route = RxRoute{broadcastRxQueue, nullptr, &broadcastRxAccount, MSG_TYPE_BROADCAST};
        return true;
    case MSG_TYPE_BROADCAST:
        *route = RxRoute{broadcastRxQueue, &broadcastQueueNotifier, &broadcastRxAccount, MSG_TYPE_BROADCAST};
        return true;
    default:
        return false;
    }
}

bool XR9ALEthernet::overBudget(const RxAccount& account) const {
    // A queue that holds nothing never stops its reader, whatever the budget.
    return account.bytes > 0 && account.bytes >= qint64(receiveBudgetBytes.load());
}

bool XR9ALEthernet::admitRead(RxAccount* account) {
    xr9::AnnotatedLocker locker(&mutexRxQueue);
    if (!overBudget(*account)) return true;
    account->paused = true;
    return false;
}

void XR9ALEthernet::resumeReading(enMsgType channel) {
    // Posted to the owner: the readers and their sockets are the owner's. An
    // event still pending when the transport is destroyed goes with it.
    QEvent* resume = new ResumeReadingEvent(channel);
    xr9::tsanRelease(&sendRequestLock);  // the event was built here and is read by the owner
    QCoreApplication::postEvent(this, resume);
}

bool XR9ALEthernet::serveResumeReading(QEvent* event) {
    if (event->type() != ResumeReadingEvent::eventType()) return false;
    switch (static_cast<ResumeReadingEvent*>(event)->channel) {
    case MSG_TYPE_COMMAND:
        receivedMsg(MSG_TYPE_COMMAND);
        break;
    case MSG_TYPE_STREAM:
        ReceivedStreamMsg();
        break;
    case MSG_TYPE_BROADCAST:
        ReceivedBroadcastMsg();
        break;
    default:
        break;
    }
    return true;
}

void XR9ALEthernet::setMaxFrameLength(KT::uint32 bytes) {
    maxFrameBytes.store(qMin<KT::uint32>(bytes, 0x7FFFFFFFu));
}

KT::uint32 XR9ALEthernet::maxFrameLength() const {
    return maxFrameBytes.load();
}

void XR9ALEthernet::setReceiveBudget(KT::uint32 bytes) {
    receiveBudgetBytes.store(bytes);
    std::vector<enMsgType> resumed;
    {
        xr9::AnnotatedLocker locker(&mutexRxQueue);
        for (enMsgType channel : {MSG_TYPE_COMMAND, MSG_TYPE_STREAM, MSG_TYPE_BROADCAST}) {
            RxRoute route;
            rxRoute(channel, &route);
            if (route.account->paused && !overBudget(*route.account)) {
                route.account->paused = false;
                resumed.push_back(channel);
            }
        }
    }
    for (enMsgType channel : resumed) resumeReading(channel);
}

KT::uint32 XR9ALEthernet::receiveBudget() const {
    return receiveBudgetBytes.load();
}

qint64 XR9ALEthernet::bytesHeld(enMsgType type) {
    const QByteArray* buffer = nullptr;
    const QIODevice* socket = nullptr;
    if (type == MSG_TYPE_COMMAND) {
        buffer = &commandBuffer;
        socket = commandSocket;
    } else if (type == MSG_TYPE_STREAM) {
        buffer = &streamBuffer;
        socket = streamSocket;
    } else if (type == MSG_TYPE_BROADCAST) {
        buffer = &broadcastBuffer;
    } else {
        return 0;
    }
    RxRoute route;
    rxRoute(type, &route);
    qint64 held = buffer->capacity() + (socket ? socket->bytesAvailable() : 0);
    xr9::AnnotatedLocker locker(&mutexRxQueue);
    return held + route.account->bytes;
}

int XR9ALEthernet::enqueueRxMsg(enMsgType type, QByteArray payload) {
    RxRoute route;
    if (!rxRoute(type, &route)) return 0;
    {
        xr9::AnnotatedLocker locker(&mutexRxQueue);
        route.account->bytes += payload.size();
        route.queue->append(qMakePair(type, payload));
    }
    if (route.notifier) route.notifier->wakeAll();
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

KT::int32 XR9ALEthernet::readConnection(enMsgType type) {
    const bool command = type == MSG_TYPE_COMMAND;
    QTcpSocket* socket = command ? commandSocket : streamSocket;
    QByteArray* buffer = command ? &commandBuffer : &streamBuffer;
    RxAccount* account = command ? &commandRxAccount : &streamRxAccount;
    const EthernetFrameCutter cutter(command ? EthernetFrameCutter::Endpoint::Command
                                             : EthernetFrameCutter::Endpoint::Stream,
                                     maxFrameBytes.load());
    KT::int32 status = buffer->size() < xr9eth::kFrameHeaderSize ? -1 : 0;
    while (socket && socket->bytesAvailable() > 0 && admitRead(account)) {
        appendRead(buffer, socket->read(qMin<qint64>(socket->bytesAvailable(), xr9eth::kSocketReadChunk)));
        status = queuePieces(cutter.cut(buffer));
        trimBuffer(buffer);
    }
    return status;
}

KT::int32 XR9ALEthernet::receivedMsg(enMsgType type) {
    if (type == MSG_TYPE_COMMAND) return readConnection(MSG_TYPE_COMMAND);
    if (type == MSG_TYPE_STREAM && streamSocket && streamSocket->isOpen()) {
        enqueueRxMsg(MSG_TYPE_STREAM, streamSocket->read(streamSocket->bytesAvailable()));
    }
    return -1;
}

KT::int32 XR9ALEthernet::ReceivedCommandMsg() {
    return receivedMsg(MSG_TYPE_COMMAND);
}

KT::int32 XR9ALEthernet::ReceivedStreamMsg() {
    return readConnection(MSG_TYPE_STREAM);
}

KT::int32 XR9ALEthernet::ReceivedBroadcastMsg() {
    // Every pending datagram is taken, so none waits for a further signal,
    // unless the broadcast queue is over its budget.
    KT::int32 result = -1;
    const EthernetFrameCutter cutter(EthernetFrameCutter::Endpoint::Broadcast, maxFrameBytes.load());
    while (udpSocket->hasPendingDatagrams() && admitRead(&broadcastRxAccount)) {
        QByteArray datagram(int(udpSocket->pendingDatagramSize()), Qt::Uninitialized);
        QHostAddress sender;
        const qint64 got = udpSocket->readDatagram(datagram.data(), datagram.size(), &sender);
        if (got < 0) break;
        datagram.truncate(int(got));
        *senderAddress = sender;
        appendRead(&broadcastBuffer, datagram);
        EthernetFrameCutter::Pass pass = cutter.cut(&broadcastBuffer);
        trimBuffer(&broadcastBuffer);
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

KT::int32 XR9ALEthernet::takeRxMsg(enMsgType type, QByteArray* data, int timeout, int sizeLimit) {
    RxRoute route;
    // Shared-memory values are posted as update messages, never taken here.
    if (type == MSG_TYPE_SHM || !rxRoute(type, &route)) return XR_FAILURE;
    bool resume = false;
    KT::int32 result = XR_SUCCESS;
    {
        xr9::AnnotatedLocker locker(&mutexRxQueue);
        while (!route.queue || route.queue->isEmpty()) {
            // A wake that finds the queue empty again (another taker was
            // faster) waits a full time-out once more.
            if (!locker.wait(route.notifier, static_cast<unsigned long>(timeout))) return XR_OS_ERROR_TIMEOUT;
        }
        const QByteArray message = route.queue->takeFirst().second;
        const int size = message.size();
        if (sizeLimit < 0 || size <= sizeLimit) data->append(message);
        result = sizeLimit >= 0 && size > sizeLimit ? XR9AL_BUFFER_OVERFLOW : XR_SUCCESS;
        route.account->bytes -= size;
        if (route.account->paused && !overBudget(*route.account)) {
            route.account->paused = false;
            resume = true;
        }
    }
    if (resume) resumeReading(route.reader);
    return result;
}

KT::int32 XR9ALEthernet::ReceiveData(QByteArray* data, enMsgType type, int timeout) {
    if (!data) return XR_INVALID_PARAMETER;
    return takeRxMsg(type, data, timeout, -1);
}

KT::int32 XR9ALEthernet::ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) {
    if (!data || !length) return XR_INVALID_PARAMETER;
    QByteArray message;
    const KT::int32 result = takeRxMsg(type, &message, 0, int(kEthernetByteReceiveLimit));
    if (result != XR_SUCCESS) return result;
    if (!message.isEmpty()) std::memcpy(data, message.constData(), size_t(message.size()));
    *length = KT::uint32(message.size());
    return 0;
}

KT::int32 XR9ALEthernet::ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32, enMsgType type) {
    return ReceiveData(data, length, type);
}
