// The send path of XR9ALEthernet: the send queue with its bound (any
// thread), the send step (any thread) and the writes (owner thread).
#include <climits>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>

#include "XR9ALEthernet/EthernetUtilities.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/Console.h"
#include "support/TsanAnnotations.h"
#include "vocabulary/XRErrorCodes.h"

namespace {

bool isChannel(enMsgType type) {
    return type == MSG_TYPE_COMMAND || type == MSG_TYPE_STREAM || type == MSG_TYPE_SHM || type == MSG_TYPE_BROADCAST;
}

// marker x4, the payload size as a big-endian signed 32-bit number (left out
// for SHM), the payload: one array, so one write per frame.
QByteArray frameOf(enMsgType type, const QByteArray& payload) {
    const bool shortForm = type == MSG_TYPE_SHM;
    QByteArray frame;
    frame.reserve(xr9eth::kFrameHeaderSize + payload.size());
    frame.fill(static_cast<char>(xr9eth::markerOf(type)), xr9eth::kMarkerSize);
    if (!shortForm) {
        const KT::uint32 size = KT::uint32(payload.size());
        frame.append(static_cast<char>(size >> 24));
        frame.append(static_cast<char>(size >> 16));
        frame.append(static_cast<char>(size >> 8));
        frame.append(static_cast<char>(size));
    }
    frame.append(payload);
    return frame;
}

QEvent::Type writeEventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool connectedSocket(QTcpSocket* socket) {
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

unsigned long remainingMs(const QDeadlineTimer& deadline) {
    return deadline.isForever() ? ULONG_MAX : static_cast<unsigned long>(deadline.remainingTime());
}

}  // namespace

int XR9ALEthernet::endpointOf(enMsgType type) {
    return type == MSG_TYPE_STREAM ? 1 : type == MSG_TYPE_BROADCAST ? 2 : 0;  // SHM rides the command connection
}

bool XR9ALEthernet::hasRoom(int endpoint, qint64 cost) const {
    // An endpoint with nothing waiting takes any message, however large.
    const qint64 waiting = txAccounts[endpoint].queued + txAccounts[endpoint].inSocket;
    return waiting == 0 || waiting + cost <= qint64(sendBoundBytes.load());
}

KT::int32 XR9ALEthernet::queueForPeer(enMsgType type, const QByteArray& payload) {
    const int endpoint = endpointOf(type);
    const qint64 cost = xr9eth::queuedCost(payload.size());
    const bool owner = QThread::currentThread() == thread();
    const int timeout = sendTimeoutMs.load();
    const QDeadlineTimer deadline(timeout < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeout));
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    if (sendersClosed) return XR_USER_ABORT;
    const quint64 epoch = txEpoch;
    ++sendersInside;
    KT::int32 result = XR_SUCCESS;
    while (result == XR_SUCCESS && !hasRoom(endpoint, cost)) {
        // The owner drains the sockets: it cannot wait for itself.
        if (owner || deadline.hasExpired()) {
            result = XR9AL_QUEUE_FULL;
        } else {
            locker.wait(&txRoom, remainingMs(deadline));
            if (txEpoch != epoch) result = XR_USER_ABORT;  // ClosePort or the destructor let go of us
        }
    }
    if (result == XR_SUCCESS) {
        txQueue->append(qMakePair(type, payload));
        txAccounts[endpoint].queued += cost;
    }
    // The last touch of the transport: a destructor waiting for the senders
    // to leave goes on from here.
    if (--sendersInside == 0 && sendersClosed) sendersLeft.wakeAll();
    return result;
}

KT::int32 XR9ALEthernet::SendData(KT::uint8* data, KT::uint32 length, enMsgType type) {
    if ((!data && length > 0) || length > KT::uint32(INT32_MAX)) return XR_INVALID_PARAMETER;
    if (!isChannel(type)) return XR_SUCCESS;  // MSG_TYPE_NONE does nothing, another channel is dropped
    return queueForPeer(type, QByteArray(reinterpret_cast<const char*>(data), int(length)));
}

KT::int32 XR9ALEthernet::SendData(QByteArray* data, enMsgType type) {
    if (type == MSG_TYPE_NONE) {
        sendMessages();
        return XR_SUCCESS;
    }
    if (!data) return XR_INVALID_PARAMETER;
    if (!isChannel(type)) return XR_FAILURE;
    const KT::int32 result = queueForPeer(type, *data);
    // In the owner a full queue refuses the message, as for a refused channel.
    return result == XR9AL_QUEUE_FULL && QThread::currentThread() == thread() ? XR_FAILURE : result;
}

int XR9ALEthernet::enqueueTxMsg(enMsgType type, QByteArray payload) {
    if (!isChannel(type)) return 0;
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    txQueue->append(qMakePair(type, payload));
    txAccounts[endpointOf(type)].queued += xr9eth::queuedCost(payload.size());
    return 1;
}

QByteArray XR9ALEthernet::dequeueTxMsg(enMsgType& type) {
    QPair<enMsgType, QByteArray> head;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        if (!txQueue || txQueue->isEmpty()) return QByteArray();
        head = txQueue->takeFirst();
        txAccounts[endpointOf(head.first)].queued -= xr9eth::queuedCost(head.second.size());
    }
    txRoom.wakeAll();
    type = head.first;
    return head.second;
}

bool XR9ALEthernet::isSendQueueEmpty() {
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    return (!txQueue || txQueue->isEmpty()) && outbox.isEmpty();
}

int XR9ALEthernet::sendMessages() {
    return sendQueuedMessages(1);
}

int XR9ALEthernet::sendQueuedMessages(int maxSteps) {
    const bool owner = QThread::currentThread() == thread();
    int dealtWith = 0;
    while (dealtWith < maxSteps && sendStep(owner) == 1) ++dealtWith;
    return dealtWith;
}

int XR9ALEthernet::sendStep(bool owner) {
    QPair<enMsgType, QByteArray> taken;
    bool direct = false, wakeOwner = false;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        if (txQueue->isEmpty()) return 0;
        const QPair<enMsgType, QByteArray>& head = txQueue->first();
        // The owner sees its sockets; another thread what the owner last saw.
        const bool commandUp = owner ? connectedSocket(commandSocket) : commandConnectedNow.load();
        const bool streamUp = owner ? connectedSocket(streamSocket) : streamConnectedNow.load();
        if ((head.first == MSG_TYPE_COMMAND && !commandUp) || (head.first == MSG_TYPE_STREAM && !streamUp))
            return 0;  // waits at the head for its connection, holding up what is behind it
        if (head.first == MSG_TYPE_SHM && !commandUp) {
            txAccounts[0].queued -= xr9eth::queuedCost(head.second.size());
            txQueue->removeFirst();  // lost, as SHM is without a connection
            locker.unlock();
            txRoom.wakeAll();
            return 1;
        }
        if (owner && outbox.isEmpty()) {
            taken = txQueue->takeFirst();
            direct = true;
        } else {
            // Written by the owner in the order taken, after what others took before.
            outbox.append(txQueue->takeFirst());
            wakeOwner = !owner && !outboxPosted;
            outboxPosted = outboxPosted || wakeOwner;
        }
    }
    if (direct) {
        writeToPeer(taken.first, taken.second);  // its connection was seen up just now, in this thread
        {
            xr9::AnnotatedLocker locker(&mutexTxQueue);
            txAccounts[endpointOf(taken.first)].queued -= xr9eth::queuedCost(taken.second.size());
            noteSocketBacklogLocked();
        }
        txRoom.wakeAll();
    } else if (owner) {
        serveSendRequests();
    } else if (wakeOwner) {
        QEvent* write = new QEvent(writeEventType());
        xr9::tsanRelease(this);  // the event was allocated here and is freed by the owner
        QCoreApplication::postEvent(this, write);
    }
    return 1;
}

bool XR9ALEthernet::writeToPeer(enMsgType type, const QByteArray& payload) {
    switch (type) {
    case MSG_TYPE_COMMAND:
        if (!connectedSocket(commandSocket)) return false;
        commandSocket->write(frameOf(type, payload));
        return true;
    case MSG_TYPE_STREAM:
        if (!connectedSocket(streamSocket)) return false;
        if (streamSocket->write(frameOf(type, payload)) == -1) {
            xr9::consoleLine("XREthernet::sendMessages() => STREAM send Error: " +
                             streamSocket->errorString().toUtf8().toStdString());
        }
        return true;
    case MSG_TYPE_SHM:
        if (connectedSocket(commandSocket)) commandSocket->write(frameOf(type, payload));
        return true;
    case MSG_TYPE_BROADCAST:
        // Without a kept record there is no port to send to: dropped, as in client mode.
        if (settings && settings->clientMode == 0) {
            udpSocket->writeDatagram(frameOf(type, payload), *senderAddress,
                                     quint16(settings->broadcastPort & 0xFFFFu));
        }
        return true;
    default:
        return true;
    }
}

void XR9ALEthernet::serveSendRequests() {
    EthernetQueue batch;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        if (outbox.isEmpty()) return;
        batch.swap(outbox);
        outboxPosted = false;
    }
    qint64 written[3] = {0, 0, 0};
    int next = 0;
    for (; next < batch.size() && writeToPeer(batch[next].first, batch[next].second); ++next)
        written[endpointOf(batch[next].first)] += xr9eth::queuedCost(batch[next].second.size());
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        if (next < batch.size()) {
            // Its connection went down after the step took it: it goes back to
            // the head with all behind it, the ones taken meanwhile included.
            EthernetQueue back = batch.mid(next) + outbox;
            outbox.clear();
            *txQueue = back + *txQueue;
        }
        for (int endpoint = 0; endpoint < 3; ++endpoint) txAccounts[endpoint].queued -= written[endpoint];
        noteSocketBacklogLocked();
    }
    txRoom.wakeAll();
}

void XR9ALEthernet::noteSocketBacklogLocked() {
    txAccounts[0].inSocket = commandSocket ? commandSocket->bytesToWrite() : 0;
    txAccounts[1].inSocket = streamSocket ? streamSocket->bytesToWrite() : 0;
    commandConnectedNow = connectedSocket(commandSocket);
    streamConnectedNow = connectedSocket(streamSocket);
}

void XR9ALEthernet::noteSockets() {
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        noteSocketBacklogLocked();
    }
    txRoom.wakeAll();
}

void XR9ALEthernet::watchSocket(QTcpSocket* socket) {
    // Both keep the send account and the connected state other threads see.
    connect(socket, &QTcpSocket::bytesWritten, this, [this] { noteSockets(); });
    connect(socket, &QTcpSocket::stateChanged, this, [this] { noteSockets(); });
}

void XR9ALEthernet::releaseSenders() {
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        ++txEpoch;
        sendersClosed = true;
    }
    txRoom.wakeAll();
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    while (sendersInside > 0) locker.wait(&sendersLeft, ULONG_MAX);
}

void XR9ALEthernet::setSendBound(KT::uint32 bytes) {
    sendBoundBytes.store(bytes);
    txRoom.wakeAll();
}

KT::uint32 XR9ALEthernet::sendBound() const {
    return sendBoundBytes.load();
}

void XR9ALEthernet::setSendTimeout(int milliseconds) {
    sendTimeoutMs.store(milliseconds < 0 ? -1 : milliseconds);
}

int XR9ALEthernet::sendTimeout() const {
    return sendTimeoutMs.load();
}

qint64 XR9ALEthernet::bytesWaiting(enMsgType type) {
    if (!isChannel(type)) return 0;
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    const TxAccount& account = txAccounts[endpointOf(type)];
    return account.queued + account.inSocket;
}

bool XR9ALEthernet::event(QEvent* e) {
    xr9::tsanAcquire(this);  // pairs with the release before each postEvent
    if (serveResumeReading(e)) return true;
    if (e->type() != writeEventType()) return QObject::event(e);
    serveSendRequests();
    return true;
}
