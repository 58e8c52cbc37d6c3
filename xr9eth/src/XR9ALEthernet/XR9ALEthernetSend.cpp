// The send path of XR9ALEthernet: the send queue with its bound (any
// thread), the send step (any thread) and the writes (owner thread).
#include <climits>

#include <QEvent>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>

#include "XR9ALEthernet/EthernetFrameCodec.h"
#include "XR9ALEthernet/EthernetFrameWriter.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/Console.h"
#include "support/TsanAnnotations.h"
#include "vocabulary/XRErrorCodes.h"

namespace {

bool isChannel(enMsgType type) {
    return type == MSG_TYPE_COMMAND || type == MSG_TYPE_STREAM || type == MSG_TYPE_SHM || type == MSG_TYPE_BROADCAST;
}

// The connection a message of type goes on: null for a broadcast.
QTcpSocket* connectionOf(enMsgType type, QTcpSocket* command, QTcpSocket* stream) {
    return type == MSG_TYPE_STREAM ? stream : type == MSG_TYPE_BROADCAST ? nullptr : command;
}

using xr9eth::frameOf;

// Hands count frames from frames[from] on to Qt's write buffer, each in one
// write (which copies it there). A stream frame that Qt refuses is reported
// and lost.
void bufferFrames(QTcpSocket* socket, const EthernetQueue& frames, int from, int count) {
    for (int i = from; i < from + count; ++i) {
        if (socket->write(frameOf(frames[i].first, frames[i].second)) == -1 && frames[i].first == MSG_TYPE_STREAM) {
            xr9::consoleLine("XREthernet::sendMessages() => STREAM send Error: " +
                             socket->errorString().toUtf8().toStdString());
        }
    }
}

// Hands count frames from frames[from] on to a connected TCP socket, in
// order, as far as the system takes them at once (xr9eth::sendFrames). The
// frame the system stops in, or the next one when it takes nothing, goes to
// Qt's buffer (a copy), so that Qt writes it when the system has room and
// reports that (bytesWritten); the frames behind it are left to the caller.
// While Qt's buffer holds bytes nothing is handed over. A failure other than
// a full system is Qt's to find and report: then every frame goes through its
// buffer, as it always did. Returns how many frames were handed over. Owner
// thread.
int writeFrames(QTcpSocket* socket, const EthernetQueue& frames, int from, int count) {
    if (socket->bytesToWrite() > 0) return 0;
    const xr9eth::FramesSent sent = xr9eth::sendFrames(int(socket->socketDescriptor()), frames, from, count);
    if (sent.failed) {
        bufferFrames(socket, frames, from + sent.whole, count - sent.whole);
        return count;
    }
    if (sent.whole == count) return count;
    const int cut = from + sent.whole;
    if (sent.cutAt == 0) {
        bufferFrames(socket, frames, cut, 1);
    } else {
        socket->write(xr9eth::frameRest(frames[cut], sent.cutAt));
    }
    return sent.whole + 1;
}

}  // namespace

int XR9ALEthernet::endpointOf(enMsgType type) { return EthernetSendHandover::endpointOf(type); }

bool XR9ALEthernet::hasRoom(int endpoint, qint64 cost) const { return sendHandover_.hasRoom(endpoint, cost); }

KT::int32 XR9ALEthernet::queueForPeer(enMsgType type, const QByteArray& payload) {
    return sendHandover_.queueWithin(txQueue, type, payload, QThread::currentThread() == thread());
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
    sendHandover_.add(txQueue, type, payload);
    return 1;
}

QByteArray XR9ALEthernet::dequeueTxMsg(enMsgType& type) {
    QPair<enMsgType, QByteArray> head;
    if (!sendHandover_.takeHead(txQueue, &head)) return QByteArray();
    type = head.first;
    return head.second;
}

bool XR9ALEthernet::isSendQueueEmpty() { return sendHandover_.idle(txQueue); }

int XR9ALEthernet::sendMessages() { return sendQueuedMessages(1); }

int XR9ALEthernet::sendQueuedMessages(int maxSteps) {
    // Another thread's steps write command messages or hand them over to the owner.
    if (QThread::currentThread() != thread()) return sendHandover_.handOver(txQueue, maxSteps, this);
    int dealtWith = 0;
    while (dealtWith < maxSteps && sendStep(true) == 1) ++dealtWith;
    return dealtWith;
}

int XR9ALEthernet::sendStep(bool owner) {
    if (!owner) return sendQueuedMessages(1);
    bool moved = false;
    const int taken = sendHandover_.handOver(txQueue, 1, this, commandSocket, streamSocket, &moved);
    if (moved) serveSendRequests();
    return taken;
}

bool XR9ALEthernet::writeToPeer(enMsgType type, const QByteArray& payload) {
    if (type == MSG_TYPE_BROADCAST) {
        // Without a kept record there is no port to send to: dropped, as in client mode.
        if (settings && settings->clientMode == 0)
            udpSocket->writeDatagram(frameOf(type, payload), *senderAddress,
                                     quint16(settings->broadcastPort & 0xFFFFu));
        return true;
    }
    if (!isChannel(type)) return true;
    QTcpSocket* socket = connectionOf(type, commandSocket, streamSocket);
    if (!EthernetSendHandover::isUp(socket)) return type == MSG_TYPE_SHM;  // SHM is lost, the others wait
    const EthernetQueue only{qMakePair(type, payload)};
    if (writeFrames(socket, only, 0, 1) == 0) bufferFrames(socket, only, 0, 1);
    return true;
}

void XR9ALEthernet::serveSendRequests() {
    QByteArray rest;  // of a frame a step's write cut: before all else on the command connection
    EthernetQueue batch = sendHandover_.takeOutbox(&rest);
    if (batch.isEmpty() && rest.isEmpty()) return;
    if (!rest.isEmpty() && EthernetSendHandover::isUp(commandSocket)) commandSocket->write(rest);
    // Messages for a connection whose socket still holds bytes in Qt's buffer
    // wait here, in order, until Qt has handed those to the system (its
    // bytesWritten has the outbox served again); they then go out from their
    // own arrays. Other connections' messages go on meanwhile. What is written
    // leaves the batch as it goes, so what stays is never copied, however
    // much waits.
    qint64 written[3] = {};  // the cost written (or dropped), per endpoint
    int next = 0;
    while (next < batch.size()) {
        QTcpSocket* socket = connectionOf(batch[next].first, commandSocket, streamSocket);
        int end = next + 1, handed = 1;
        if (EthernetSendHandover::isUp(socket)) {
            while (end < batch.size() && connectionOf(batch[end].first, commandSocket, streamSocket) == socket) ++end;
            handed = writeFrames(socket, batch, next, end - next);
        } else if (!writeToPeer(batch[next].first, batch[next].second)) {
            break;
        }
        for (int i = next; i < next + handed; ++i)
            written[endpointOf(batch[i].first)] += xr9eth::queuedCost(batch[i].second.size());
        if (handed > 0) batch.erase(batch.begin() + next, batch.begin() + next + handed);
        next = end - handed;
    }
    sendHandover_.settle(txQueue, &batch, next, written, commandSocket, streamSocket);
}

void XR9ALEthernet::noteSocketBacklogLocked() { sendHandover_.noteLocked(commandSocket, streamSocket); }

void XR9ALEthernet::noteSockets() { sendHandover_.note(commandSocket, streamSocket); }

void XR9ALEthernet::releaseSenders() { sendHandover_.release(); }

void XR9ALEthernet::setSendBound(KT::uint32 bytes) { sendHandover_.setBound(bytes); }

KT::uint32 XR9ALEthernet::sendBound() const { return sendHandover_.bound(); }

void XR9ALEthernet::setSendTimeout(int milliseconds) { sendHandover_.setTimeout(milliseconds); }

int XR9ALEthernet::sendTimeout() const { return sendHandover_.timeout(); }

qint64 XR9ALEthernet::bytesWaiting(enMsgType type) {
    return isChannel(type) ? sendHandover_.waiting(endpointOf(type)) : 0;
}

bool XR9ALEthernet::event(QEvent* e) {
    xr9::tsanAcquire(this);  // pairs with the release before each postEvent
    if (serveResumeReading(e)) return true;
    if (!EthernetSendHandover::isWriteEvent(e)) return QObject::event(e);
    serveSendRequests();
    return true;
}
