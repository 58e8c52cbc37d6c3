#include "XR9ALEthernet/EthernetSendHandover.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <unordered_map>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QTcpSocket>

#include "XR9ALEthernet/EthernetFrameCodec.h"
#include "XR9ALEthernet/EthernetFrameWriter.h"
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

// For steps' own writes on the command connection: the socket and
// descriptor the owner last saw up, the duplicate steps write to (-1: none),
// and the rest of a frame a step's write cut, for the owner to buffer first.
// One writer at a time, the owner or a step, and neither waits for the
// other: a step writes outside mutexTxQueue, so that senders queue meanwhile.
struct EthernetSendHandover::Direct {
    QTcpSocket* socket = nullptr;
    qintptr source = -1;
    int fd = -1;
    QByteArray rest;
    bool ownerWriting = false;  // between takeOutbox and settle
    bool stepWriting = false;   // a step writes outside the lock
    QList<int> retired;         // duplicates replaced while a step wrote: it closes them
    quint64 resets = 0;         // moves on when ClosePort drops what a step holds
};

namespace {

// Guarded by mutexTxQueue; never destroyed, so that a transport that outlives
// static destruction still finds it.
std::unordered_map<const EthernetSendHandover*, EthernetSendHandover::Direct>& directs() {
    static auto* all = new std::unordered_map<const EthernetSendHandover*, EthernetSendHandover::Direct>;
    return *all;
}

}  // namespace

EthernetSendHandover::~EthernetSendHandover() {
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    const auto found = directs().find(this);
    if (found == directs().end()) return;
    if (found->second.fd >= 0) ::close(found->second.fd);
    for (int fd : found->second.retired) ::close(fd);
    directs().erase(found);
}

EthernetSendHandover::Direct& EthernetSendHandover::direct() { return directs()[this]; }

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
    const Direct& d = direct();
    return (!queue || queue->isEmpty()) && outbox_.isEmpty() && !d.stepWriting && d.rest.isEmpty();
}

int EthernetSendHandover::writeDirect(EthernetQueue* queue, int most, QObject* owner) {
    EthernetQueue run;  // the command connection's heads, taken off the queue still charged
    int fd = -1;
    quint64 resets = 0;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        Direct& d = direct();
        auto onCommand = [](const QPair<enMsgType, QByteArray>& m) { return endpointOf(m.first) == 0; };
        if (d.stepWriting || d.ownerWriting || !outbox_.isEmpty() || d.fd < 0 || accounts_[0].inSocket > 0 ||
            !d.rest.isEmpty() || !queue || queue->isEmpty() || !onCommand(queue->first()))
            return 0;
        int n = 1;
        while (n < most && n < queue->size() && onCommand((*queue)[n])) ++n;
        if (n == queue->size()) {
            run.swap(*queue);
        } else {
            run = queue->mid(0, n);
            queue->erase(queue->begin(), queue->begin() + n);
        }
        d.stepWriting = true;
        fd = d.fd;
        resets = d.resets;
    }
    const int taken = run.size();
    const xr9eth::FramesSent sent = xr9eth::sendFrames(fd, run, 0, taken);
    bool ask = false;
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        Direct& d = direct();
        d.stepWriting = false;
        // Distinct while retired ones stay open: the same connection is still up.
        const bool sameConnection = d.fd == fd;
        for (int old : d.retired) ::close(old);
        d.retired.clear();
        int gone = sent.whole;
        if (sent.cutAt > 0) {
            // Part of it is on the wire: the rest follows on that connection, whatever else happened meanwhile.
            const QPair<enMsgType, QByteArray>& cut = run[gone++];
            if (sameConnection) {
                d.rest = xr9eth::frameRest(cut, sent.cutAt);
                accounts_[0].inSocket += d.rest.size();
            }
        }
        if (d.resets == resets) {  // else ClosePort emptied the queues and their accounts: the others are dropped
            for (int i = 0; i < gone; ++i) charge(run[i], -1);
            if (gone < taken) {
                // Full or failed: the owner writes them, before all handed over meanwhile.
                run.erase(run.begin(), run.begin() + gone);
                run += outbox_;
                outbox_.swap(run);
            }
        }
        ask = (!outbox_.isEmpty() || !d.rest.isEmpty()) && !outboxPosted_;
        outboxPosted_ = outboxPosted_ || ask;
    }
    room_.wakeAll();
    if (ask) post(owner);
    return taken;
}

int EthernetSendHandover::handOver(EthernetQueue* queue, int maxSteps, QObject* owner, QTcpSocket* command,
                                   QTcpSocket* stream, bool* moved) {
    if (!moved) {
        const int written = writeDirect(queue, maxSteps > 1 ? INT_MAX : maxSteps, owner);
        if (written > 0) return written;
    }
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

EthernetQueue EthernetSendHandover::takeOutbox(QByteArray* rest) {
    EthernetQueue batch;
    // Served, even when ClosePort has emptied the outbox meanwhile: a flag
    // left set would keep every later hand-over from asking again.
    xr9::AnnotatedLocker locker(&mutexTxQueue);
    outboxPosted_ = false;
    Direct& d = direct();
    if (d.stepWriting) return batch;  // the step asks again when it is done
    batch.swap(outbox_);
    rest->swap(d.rest);
    d.ownerWriting = !batch.isEmpty() || !rest->isEmpty();
    return batch;
}

void EthernetSendHandover::settle(EthernetQueue* queue, EthernetQueue* rest, int held, const qint64 (&written)[3],
                                  QTcpSocket* command, QTcpSocket* stream) {
    {
        xr9::AnnotatedLocker locker(&mutexTxQueue);
        direct().ownerWriting = false;
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
    Direct& d = direct();
    const qintptr source = isUp(command) ? command->socketDescriptor() : -1;
    if (command != d.socket || source != d.source) {
        // Another connection, or none: a rest of the last one's frame would
        // corrupt the next, and the old duplicate would hold its connection
        // open past Qt's close.
        if (d.fd >= 0) d.stepWriting ? d.retired.append(d.fd) : void(::close(d.fd));
        d.fd = source >= 0 ? ::fcntl(int(source), F_DUPFD_CLOEXEC, 0) : -1;
        d.socket = command;
        d.source = source;
        d.rest.clear();
    }
    accounts_[0].inSocket = (command ? command->bytesToWrite() : 0) + d.rest.size();
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
        ++direct().resets;
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
