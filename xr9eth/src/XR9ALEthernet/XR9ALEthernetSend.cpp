// The send path of XR9ALEthernet: the send queue (any thread) and the send
// step, whose socket part runs in the owner thread.
#include <QCoreApplication>
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

QEvent::Type sendRequestEventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool connectedSocket(QTcpSocket* socket) {
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

}  // namespace

KT::int32 XR9ALEthernet::SendData(KT::uint8* data, KT::uint32 length, enMsgType type) {
    if ((!data && length > 0) || length > KT::uint32(INT32_MAX)) return XR_INVALID_PARAMETER;
    if (type == MSG_TYPE_NONE) return 0;
    enqueueTxMsg(type, QByteArray(reinterpret_cast<const char*>(data), int(length)));
    return 0;
}

KT::int32 XR9ALEthernet::SendData(QByteArray* data, enMsgType type) {
    if (type == MSG_TYPE_NONE) {
        sendMessages();
        return 0;
    }
    if (!data) return -2;
    return enqueueTxMsg(type, *data) == 1 ? 0 : -1;
}

int XR9ALEthernet::enqueueTxMsg(enMsgType type, QByteArray payload) {
    if (!isChannel(type)) return 0;
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    txQueue->append(qMakePair(type, payload));
    return 1;
}

QByteArray XR9ALEthernet::dequeueTxMsg(enMsgType& type) {
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    if (!txQueue || txQueue->isEmpty()) return QByteArray();
    QPair<enMsgType, QByteArray> head = txQueue->takeFirst();
    type = head.first;
    return head.second;
}

void XR9ALEthernet::putBackTxMsg(enMsgType type, const QByteArray& payload) {
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    txQueue->prepend(qMakePair(type, payload));
}

bool XR9ALEthernet::isSendQueueEmpty() {
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    return !txQueue || txQueue->isEmpty();
}

int XR9ALEthernet::sendMessages() {
    return sendQueuedMessages(1);
}

int XR9ALEthernet::sendQueuedMessages(int maxSteps) {
    if (QThread::currentThread() == thread()) return sendStepsInOwner(maxSteps);
    // The caller waits until the owner has run the steps; see the deadlock
    // rule in the header.
    SendRequest request{maxSteps};
    {
        std::lock_guard<std::mutex> guard(sendRequestLock);
        sendRequests.push_back(&request);
        ++sendersHandingOver;
    }
    QEvent* wake = new QEvent(sendRequestEventType());
    xr9::tsanRelease(&sendRequestLock);  // the event was allocated here and is freed by the owner
    QCoreApplication::postEvent(this, wake);
    std::unique_lock<std::mutex> lock(sendRequestLock);
    sendRequestDone.wait(lock, [&] { return request.done; });
    const int result = request.result;
    // The last touch of the transport: a destructor waiting for the senders
    // to leave goes on from here.
    if (--sendersHandingOver == 0) sendRequestDone.notify_all();
    return result;
}

void XR9ALEthernet::serveSendRequests() {
    std::unique_lock<std::mutex> lock(sendRequestLock);
    while (!sendRequests.empty()) {
        SendRequest* request = sendRequests.front();
        sendRequests.pop_front();
        lock.unlock();
        const int result = sendStepsInOwner(request->maxSteps);
        lock.lock();
        request->result = result;
        request->done = true;
        sendRequestDone.notify_all();
    }
}

bool XR9ALEthernet::event(QEvent* e) {
    xr9::tsanAcquire(&sendRequestLock);  // pairs with the release before each postEvent
    if (serveResumeReading(e)) return true;
    if (e->type() != sendRequestEventType()) return QObject::event(e);
    serveSendRequests();
    return true;
}

int XR9ALEthernet::sendStepsInOwner(int maxSteps) {
    int dealtWith = 0;
    while (dealtWith < maxSteps && sendMessagesInOwner() == 1) ++dealtWith;
    return dealtWith;
}

int XR9ALEthernet::sendMessagesInOwner() {
    enMsgType type = MSG_TYPE_NONE;
    const QByteArray payload = dequeueTxMsg(type);
    if (type == MSG_TYPE_NONE) return 0;
    switch (type) {
    case MSG_TYPE_COMMAND:
        if (!connectedSocket(commandSocket)) break;
        commandSocket->write(frameOf(type, payload));
        return 1;
    case MSG_TYPE_STREAM:
        if (!connectedSocket(streamSocket)) break;
        if (streamSocket->write(frameOf(type, payload)) == -1) {
            xr9::consoleLine("XREthernet::sendMessages() => STREAM send Error: " +
                             streamSocket->errorString().toUtf8().toStdString());
        }
        return 1;
    case MSG_TYPE_SHM:
        if (connectedSocket(commandSocket)) commandSocket->write(frameOf(type, payload));
        return 1;
    case MSG_TYPE_BROADCAST:
        // Without a kept record there is no port to send to: dropped, as in client mode.
        if (settings && settings->clientMode == 0) {
            udpSocket->writeDatagram(frameOf(type, payload), *senderAddress,
                                     quint16(settings->broadcastPort & 0xFFFFu));
        }
        return 1;
    default:
        return 1;
    }
    putBackTxMsg(type, payload);
    return 0;
}
