// The send path of XR9ALEthernet: the send queue with its bound (any
// thread), the send step (any thread) and the writes (owner thread).
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>

#include "XR9ALEthernet/EthernetFrameCodec.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/Console.h"
#include "support/TsanAnnotations.h"
#include "vocabulary/XRErrorCodes.h"

namespace {

bool isChannel(enMsgType type) {
    return type == MSG_TYPE_COMMAND || type == MSG_TYPE_STREAM || type == MSG_TYPE_SHM || type == MSG_TYPE_BROADCAST;
}

// The whole frame in one array, for a write that takes one array.
QByteArray frameOf(enMsgType type, const QByteArray& payload) {
    char header[xr9eth::kFrameHeaderSize];
    const int headerSize = xr9eth::encodeFrameHeader(type, payload.size(), header);
    QByteArray frame(headerSize + payload.size(), Qt::Uninitialized);
    std::memcpy(frame.data(), header, size_t(headerSize));
    if (!payload.isEmpty()) std::memcpy(frame.data() + headerSize, payload.constData(), size_t(payload.size()));
    return frame;
}

// The frames that sendmsg takes in one call: two pieces each.
constexpr int kFramesPerCall = IOV_MAX / 2 < 256 ? IOV_MAX / 2 : 256;

// Hands frames(0..count) to Qt's write buffer, each in one write (which
// copies it there). A stream frame that Qt refuses is reported and lost.
template <typename FrameAt>
void bufferFrames(QTcpSocket* socket, FrameAt frames, int count) {
    for (int i = 0; i < count; ++i) {
        if (socket->write(frameOf(frames(i).first, frames(i).second)) == -1 && frames(i).first == MSG_TYPE_STREAM) {
            xr9::consoleLine("XREthernet::sendMessages() => STREAM send Error: " +
                             socket->errorString().toUtf8().toStdString());
        }
    }
}

// Hands frames(0..count) (each a channel and payload) to a connected TCP
// socket, in order, as far as the system takes them at once: straight from
// the frames' own arrays, header and payload side by side and many frames per
// call, with no copy of ours. The frame the system stops in, or the next one
// when it takes nothing, goes to Qt's buffer (a copy), so that Qt writes it
// when the system has room and reports that (bytesWritten); the frames behind
// it are left to the caller. While Qt's buffer holds bytes nothing is handed
// over. A failure other than a full system is Qt's to find and report: then
// every frame goes through its buffer, as it always did. Returns how many
// frames were handed over. Owner thread.
template <typename FrameAt>
int writeFrames(QTcpSocket* socket, FrameAt frameAt, int count) {
    const int fd = int(socket->socketDescriptor());
    if (socket->bytesToWrite() > 0) return 0;
    int handed = 0;
    while (handed < count) {
        auto frames = [&](int i) -> const QPair<enMsgType, QByteArray>& { return frameAt(handed + i); };
        const int n = qMin(count - handed, kFramesPerCall);
        char headers[kFramesPerCall][xr9eth::kFrameHeaderSize];
        iovec pieces[2 * kFramesPerCall];
        int frameOfPiece[2 * kFramesPerCall];
        int used = 0;
        for (int i = 0; i < n; ++i) {
            const QByteArray& payload = frames(i).second;
            frameOfPiece[used] = i;
            const int headerSize = xr9eth::encodeFrameHeader(frames(i).first, payload.size(), headers[i]);
            pieces[used++] = iovec{headers[i], size_t(headerSize)};
            if (payload.isEmpty()) continue;
            frameOfPiece[used] = i;
            pieces[used++] = iovec{const_cast<char*>(payload.constData()), size_t(payload.size())};
        }
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = size_t(used);
        ssize_t sent = -1;
        do {
            sent = fd >= 0 ? ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            bufferFrames(socket, frames, count - handed);
            return count;
        }
        size_t left = size_t(qMax<ssize_t>(sent, 0));
        int piece = 0;
        for (; piece < used && left >= pieces[piece].iov_len; ++piece) left -= pieces[piece].iov_len;
        if (piece == used) {
            handed += n;
            continue;
        }
        const int f = frameOfPiece[piece];
        if (left == 0 && pieces[piece].iov_base == headers[f]) {
            bufferFrames(socket, [&](int) -> const QPair<enMsgType, QByteArray>& { return frames(f); }, 1);
        } else {
            for (int p = piece; p < used && frameOfPiece[p] == f; ++p) {
                const size_t skip = p == piece ? left : 0;
                socket->write(static_cast<const char*>(pieces[p].iov_base) + skip, qint64(pieces[p].iov_len - skip));
            }
        }
        return handed + f + 1;
    }
    return handed;
}

struct Taken {
    int moved = 0, dropped = 0;
};

// Under mutexTxQueue: takes up to maxSteps heads of queue while their
// connection is up as given, each into outbox (written by the owner in the
// order taken, after what was taken before) or, SHM without its connection,
// dropped with its cost off *commandQueued. A command or stream message
// whose connection is down waits at the head, holding up what is behind it.
Taken takeHeads(EthernetQueue* queue, EthernetQueue* outbox_, qint64* commandQueued, bool commandUp, bool streamUp,
                int maxSteps) {
    Taken taken;
    for (; taken.moved + taken.dropped < maxSteps && !queue->isEmpty();) {
        const QPair<enMsgType, QByteArray>& head = queue->first();
        if ((head.first == MSG_TYPE_COMMAND && !commandUp) || (head.first == MSG_TYPE_STREAM && !streamUp)) break;
        if (head.first == MSG_TYPE_SHM && !commandUp) {
            *commandQueued -= xr9eth::queuedCost(head.second.size());
            queue->removeFirst();  // lost, as SHM is without a connection
            ++taken.dropped;
        } else {
            outbox_->append(queue->takeFirst());
            ++taken.moved;
        }
    }
    return taken;
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
    const qint64 waiting = txAccounts_[endpoint].queued + txAccounts_[endpoint].inSocket;
    return waiting == 0 || waiting + cost <= qint64(sendBoundBytes_.load());
}

KT::int32 XR9ALEthernet::queueForPeer(enMsgType type, const QByteArray& payload) {
    const int endpoint = endpointOf(type);
    const qint64 cost = xr9eth::queuedCost(payload.size());
    const bool owner = QThread::currentThread() == thread();
    const int timeout = sendTimeoutMs_.load();
    const QDeadlineTimer deadline(timeout < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeout));
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    if (sendersClosed_) return XR_USER_ABORT;
    const quint64 epoch = txEpoch_;
    ++sendersInside_;
    KT::int32 result = XR_SUCCESS;
    while (result == XR_SUCCESS && !hasRoom(endpoint, cost)) {
        // The owner drains the sockets: it cannot wait for itself.
        if (owner || deadline.hasExpired()) {
            result = XR9AL_QUEUE_FULL;
        } else {
            locker.wait(&txRoom_, remainingMs(deadline));
            if (txEpoch_ != epoch) result = XR_USER_ABORT;  // ClosePort or the destructor let go of us
        }
    }
    if (result == XR_SUCCESS) {
        txQueue->append(qMakePair(type, payload));
        txAccounts_[endpoint].queued += cost;
    }
    // The last touch of the transport: a destructor waiting for the senders
    // to leave goes on from here.
    if (--sendersInside_ == 0 && sendersClosed_) sendersLeft_.wakeAll();
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
    txAccounts_[endpointOf(type)].queued += xr9eth::queuedCost(payload.size());
    return 1;
}

QByteArray XR9ALEthernet::dequeueTxMsg(enMsgType& type) {
    QPair<enMsgType, QByteArray> head;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        if (!txQueue || txQueue->isEmpty()) return QByteArray();
        head = txQueue->takeFirst();
        txAccounts_[endpointOf(head.first)].queued -= xr9eth::queuedCost(head.second.size());
    }
    txRoom_.wakeAll();
    type = head.first;
    return head.second;
}

bool XR9ALEthernet::isSendQueueEmpty() {
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    return (!txQueue || txQueue->isEmpty()) && outbox_.isEmpty();
}

int XR9ALEthernet::sendMessages() { return sendQueuedMessages(1); }

int XR9ALEthernet::sendQueuedMessages(int maxSteps) {
    const bool owner = QThread::currentThread() == thread();
    int dealtWith = 0;
    if (owner) {
        while (dealtWith < maxSteps && sendStep(true) == 1) ++dealtWith;
        return dealtWith;
    }
    // Another thread's steps only hand messages over to the owner: a batch of
    // them is taken under one lock, with one hand-over event and one wake-up.
    bool wakeOwner = false;
    Taken taken;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        // What the owner last saw of its connections.
        taken = takeHeads(txQueue, &outbox_, &txAccounts_[0].queued, commandConnectedNow_, streamConnectedNow_,
                          maxSteps);
        wakeOwner = taken.moved > 0 && !outboxPosted_;
        outboxPosted_ = outboxPosted_ || taken.moved > 0;
    }
    if (taken.dropped > 0) txRoom_.wakeAll();
    if (wakeOwner) {
        QEvent* write = new QEvent(writeEventType());
        xr9::tsanRelease(this);  // the event was allocated here and is freed by the owner
        QCoreApplication::postEvent(this, write);
    }
    return taken.moved + taken.dropped;
}

int XR9ALEthernet::sendStep(bool owner) {
    if (!owner) return sendQueuedMessages(1);
    Taken taken;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        taken = takeHeads(txQueue, &outbox_, &txAccounts_[0].queued, connectedSocket(commandSocket),
                          connectedSocket(streamSocket), 1);
    }
    if (taken.dropped > 0) txRoom_.wakeAll();
    if (taken.moved > 0) serveSendRequests();
    return taken.moved + taken.dropped;
}

bool XR9ALEthernet::writeToPeer(enMsgType type, const QByteArray& payload) {
    switch (type) {
    case MSG_TYPE_COMMAND:
    case MSG_TYPE_STREAM:
    case MSG_TYPE_SHM: {
        QTcpSocket* socket = type == MSG_TYPE_STREAM ? streamSocket : commandSocket;
        if (!connectedSocket(socket)) return type == MSG_TYPE_SHM;  // SHM is lost, the others wait
        const QPair<enMsgType, QByteArray> frame(type, payload);
        auto only = [&](int) -> const QPair<enMsgType, QByteArray>& { return frame; };
        if (writeFrames(socket, only, 1) == 0) bufferFrames(socket, only, 1);
        return true;
    }
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
        // Served, even when ClosePort has emptied the outbox meanwhile: a
        // flag left set would keep every later hand-over from asking again.
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        outboxPosted_ = false;
        if (outbox_.isEmpty()) return;
        batch.swap(outbox_);
    }
    auto tcpSocketOf = [this](enMsgType type) -> QTcpSocket* {
        return type == MSG_TYPE_STREAM ? streamSocket : type == MSG_TYPE_BROADCAST ? nullptr : commandSocket;
    };
    // Messages for a connection whose socket still holds bytes in Qt's buffer
    // wait here, in order, until Qt has handed those to the system (its
    // bytesWritten has the outbox served again); they then go out from their
    // own arrays. Other connections' messages go on meanwhile.
    EthernetQueue held;
    qint64 written[3] = {0, 0, 0};
    int next = 0;
    while (next < batch.size()) {
        QTcpSocket* socket = tcpSocketOf(batch[next].first);
        if (!connectedSocket(socket)) {
            if (!writeToPeer(batch[next].first, batch[next].second)) break;
            written[endpointOf(batch[next].first)] += xr9eth::queuedCost(batch[next].second.size());
            ++next;
            continue;
        }
        int end = next;
        while (end < batch.size() && tcpSocketOf(batch[end].first) == socket) ++end;
        const int from = next;
        const int handed =
            writeFrames(socket, [&](int i) -> const QPair<enMsgType, QByteArray>& { return batch.at(from + i); },
                        end - from);
        for (; next < from + handed; ++next)
            written[endpointOf(batch[next].first)] += xr9eth::queuedCost(batch[next].second.size());
        for (; next < end; ++next) held.append(batch[next]);
    }
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        if (next < batch.size()) {
            // Its connection went down after the step took it: it goes back to
            // the head with all behind it (the held ones came before it), the
            // ones taken meanwhile included.
            EthernetQueue back = held + batch.mid(next) + outbox_;
            outbox_.clear();
            *txQueue = back + *txQueue;
        } else if (!held.isEmpty()) {
            outbox_ = held + outbox_;
        }
        for (int endpoint = 0; endpoint < 3; ++endpoint) txAccounts_[endpoint].queued -= written[endpoint];
        noteSocketBacklogLocked();
    }
    txRoom_.wakeAll();
}

void XR9ALEthernet::noteSocketBacklogLocked() {
    txAccounts_[0].inSocket = commandSocket ? commandSocket->bytesToWrite() : 0;
    txAccounts_[1].inSocket = streamSocket ? streamSocket->bytesToWrite() : 0;
    commandConnectedNow_ = connectedSocket(commandSocket);
    streamConnectedNow_ = connectedSocket(streamSocket);
}

void XR9ALEthernet::noteSockets() {
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        noteSocketBacklogLocked();
    }
    txRoom_.wakeAll();
}

void XR9ALEthernet::watchSocket(QTcpSocket* socket) {
    // Both keep the send account and the connected state other threads see,
    // and have messages held for a socket's room served (through the event
    // loop: never from inside a write of the outbox's).
    auto changed = [this] {
        noteSockets();
        bool post = false;
        {
            xr9::AnnotatedLocker locker(&mutexTxQueue);
            post = !outbox_.isEmpty() && !outboxPosted_;
            outboxPosted_ = outboxPosted_ || post;
        }
        if (post) QCoreApplication::postEvent(this, new QEvent(writeEventType()));
    };
    connect(socket, &QTcpSocket::bytesWritten, this, changed);
    connect(socket, &QTcpSocket::stateChanged, this, changed);
}

void XR9ALEthernet::releaseSenders() {
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        ++txEpoch_;
        sendersClosed_ = true;
    }
    txRoom_.wakeAll();
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    while (sendersInside_ > 0) locker.wait(&sendersLeft_, ULONG_MAX);
}

void XR9ALEthernet::setSendBound(KT::uint32 bytes) {
    sendBoundBytes_.store(bytes);
    txRoom_.wakeAll();
}

KT::uint32 XR9ALEthernet::sendBound() const { return sendBoundBytes_.load(); }

void XR9ALEthernet::setSendTimeout(int milliseconds) { sendTimeoutMs_.store(milliseconds < 0 ? -1 : milliseconds); }

int XR9ALEthernet::sendTimeout() const { return sendTimeoutMs_.load(); }

qint64 XR9ALEthernet::bytesWaiting(enMsgType type) {
    if (!isChannel(type)) return 0;
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    const TxAccount& account = txAccounts_[endpointOf(type)];
    return account.queued + account.inSocket;
}

bool XR9ALEthernet::event(QEvent* e) {
    xr9::tsanAcquire(this);  // pairs with the release before each postEvent
    if (serveResumeReading(e)) return true;
    if (e->type() != writeEventType()) return QObject::event(e);
    serveSendRequests();
    return true;
}
