#include "XR9ALEthernet/EthernetSendHandover.h"

#include <climits>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QTcpSocket>

#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/TsanAnnotations.h"
#include "vocabulary/XRErrorCodes.h"

namespace {

QEvent::Type writeEventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

unsigned long remainingMs(const QDeadlineTimer& deadline) {
    return deadline.isForever() ? ULONG_MAX : static_cast<unsigned long>(deadline.remainingTime());
}

}  // namespace

bool EthernetSendHandover::isUp(QTcpSocket* socket) {
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

void EthernetSendHandover::charge(const QPair<enMsgType, QByteArray>& message, int sign) {
    accounts_[endpointOf(message.first)].queued += sign * xr9eth::queuedCost(message.second.size());
}

bool EthernetSendHandover::hasRoom(int endpoint, qint64 cost) const {
    // An endpoint with nothing waiting takes any message, however large.
    const qint64 waiting = accounts_[endpoint].queued + accounts_[endpoint].inSocket;
    return waiting == 0 || waiting + cost <= qint64(boundBytes_.load());
}

KT::int32 EthernetSendHandover::queueWithin(EthernetQueue* queue, enMsgType type, const QByteArray& payload,
                                            bool owner) {
    const int endpoint = endpointOf(type);
    const qint64 cost = xr9eth::queuedCost(payload.size());
    const int timeout = timeoutMs_.load();
    const QDeadlineTimer deadline(timeout < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeout));
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    quint64 epoch = 0;
    if (!gate_.enter(&epoch)) return XR_USER_ABORT;
    KT::int32 result = XR_SUCCESS;
    while (result == XR_SUCCESS && !hasRoom(endpoint, cost)) {
        if (owner || deadline.hasExpired()) {
            result = XR9AL_QUEUE_FULL;
        } else {
            locker.wait(&room_, remainingMs(deadline));
            if (gate_.released(epoch)) result = XR_USER_ABORT;  // ClosePort or the destructor let go of us
        }
    }
    if (result == XR_SUCCESS) {
        appendMessage(queue, type, payload);
        accounts_[endpoint].queued += cost;
    }
    gate_.leave();
    return result;
}

void EthernetSendHandover::add(EthernetQueue* queue, enMsgType type, const QByteArray& payload) {
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    appendMessage(queue, type, payload);
    charge(queue->last(), 1);
}

bool EthernetSendHandover::takeHead(EthernetQueue* queue, QPair<enMsgType, QByteArray>* head) {
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        if (!queue || queue->isEmpty()) return false;
        *head = queue->takeFirst();
        charge(*head, -1);
    }
    room_.wakeAll();
    return true;
}

bool EthernetSendHandover::idle(const EthernetQueue* queue) {
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    return (!queue || queue->isEmpty()) && outbox_.isEmpty();
}

int EthernetSendHandover::handOver(EthernetQueue* queue, int maxSteps, QObject* owner, QTcpSocket* command,
                                   QTcpSocket* stream, bool* moved) {
    // A batch is taken under one lock, with one hand-over event and one wake-up.
    int taken = 0, dropped = 0;
    bool wakeOwner = false;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        const bool commandUp = moved ? isUp(command) : commandUp_.load();
        const bool streamUp = moved ? isUp(stream) : streamUp_.load();
        if (commandUp && streamUp && (queue->size() <= maxSteps || maxSteps > 1)) {
            // All of it may go: into an empty outbox it moves whole, in one step.
            taken = queue->size();
            if (outbox_.isEmpty()) {
                outbox_.swap(*queue);
            } else {
                outbox_ += *queue;
                queue->erase(queue->begin(), queue->end());  // its array stays for the next ones
            }
        }
        for (; taken < maxSteps && !queue->isEmpty(); ++taken) {
            const QPair<enMsgType, QByteArray>& head = queue->first();
            if ((head.first == MSG_TYPE_COMMAND && !commandUp) || (head.first == MSG_TYPE_STREAM && !streamUp)) break;
            if (head.first == MSG_TYPE_SHM && !commandUp) {
                charge(head, -1);
                queue->removeFirst();  // lost, as SHM is without a connection
                ++dropped;
            } else {
                outbox_.append(queue->takeFirst());
            }
        }
        wakeOwner = !moved && taken > dropped && !outboxPosted_;
        outboxPosted_ = outboxPosted_ || wakeOwner;
    }
    if (dropped > 0) room_.wakeAll();
    if (wakeOwner) post(owner);
    if (moved) *moved = taken > dropped;
    return taken;
}

EthernetQueue EthernetSendHandover::takeOutbox() {
    EthernetQueue batch;
    // Served, even when ClosePort has emptied the outbox meanwhile: a flag
    // left set would keep every later hand-over from asking again.
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    outboxPosted_ = false;
    batch.swap(outbox_);
    return batch;
}

void EthernetSendHandover::settle(EthernetQueue* queue, EthernetQueue* rest, int held, const qint64 (&written)[3],
                                  QTcpSocket* command, QTcpSocket* stream) {
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        for (int endpoint = 0; endpoint < 3; ++endpoint) accounts_[endpoint].queued -= written[endpoint];
        const bool down = rest->size() > held;
        *rest += outbox_;  // the ones taken meanwhile come after: only they are copied
        outbox_.clear();
        if (down) {
            // A connection went down after the step took its message: that
            // goes back to the head with all behind it (the held ones came
            // before it), the ones taken meanwhile included.
            *rest += *queue;
            queue->swap(*rest);
        } else {
            outbox_.swap(*rest);
        }
        noteLocked(command, stream);
    }
    room_.wakeAll();
}

void EthernetSendHandover::noteLocked(QTcpSocket* command, QTcpSocket* stream) {
    accounts_[0].inSocket = command ? command->bytesToWrite() : 0;
    accounts_[1].inSocket = stream ? stream->bytesToWrite() : 0;
    commandUp_ = isUp(command);
    streamUp_ = isUp(stream);
}

void EthernetSendHandover::note(QTcpSocket* command, QTcpSocket* stream, QObject* owner) {
    bool ask = false;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        noteLocked(command, stream);
        ask = owner && !outbox_.isEmpty() && !outboxPosted_;
        outboxPosted_ = outboxPosted_ || ask;
    }
    room_.wakeAll();
    if (ask) post(owner);
}

void EthernetSendHandover::reset(EthernetQueue* queue, QTcpSocket* command, QTcpSocket* stream) {
    {
        // One step with the release: a sender let go must not find the room
        // the emptying made.
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        queue->clear();
        outbox_.clear();
        for (Account& account : accounts_) account.queued = 0;
        gate_.releaseAll();
        noteLocked(command, stream);
    }
    room_.wakeAll();
}

void EthernetSendHandover::release() { gate_.close(&mutexTxQueue, {&room_}); }

qint64 EthernetSendHandover::waiting(int endpoint) {
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    return accounts_[endpoint].queued + accounts_[endpoint].inSocket;
}

void EthernetSendHandover::setBound(KT::uint32 bytes) {
    boundBytes_.store(bytes);
    room_.wakeAll();
}

bool EthernetSendHandover::isWriteEvent(const QEvent* event) { return event->type() == writeEventType(); }

void EthernetSendHandover::post(QObject* owner) {
    QEvent* write = new QEvent(writeEventType());
    xr9::tsanRelease(owner);  // the event was allocated here and is freed by the owner
    QCoreApplication::postEvent(owner, write);
}
