/// \file
/// The Ethernet transport's receive queues (its documented members; a Route
/// names one with its notifier and account): their accounts and takers. Each
/// message counts at xr9eth::queuedCost, so empty frames are bounded like
/// large ones. A reader cuts only what its queue's budget has room for, then
/// leaves its socket unread (TCP's flow control holds the peer) and its
/// account paused; a taker that brings the queue under the budget has the
/// owner read on. Nothing accepted is dropped. mutexRxQueue guards the queues
/// and all here, held for one short operation; notifiers are woken after it
/// is released. Waiting takers go through an EthernetWaiterGate.
#ifndef ETHERNETRECEIVEQUEUES_H
#define ETHERNETRECEIVEQUEUES_H

#include <atomic>
#include <initializer_list>
#include <utility>

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QWaitCondition>

#include "XR9ALEthernet/EthernetLimits.h"
#include "access/XR9AL.h"

class QEvent;
class QMutex;
class QObject;

/// A queue of messages, each with its channel, oldest first.
typedef QList<QPair<enMsgType, QByteArray>> EthernetQueue;

/// Appends (type, message) to queue, moving message in: a pair built first
/// and copied in would count the array's users up twice and down once more,
/// each a write to a line that the thread taking it also writes.
inline void appendMessage(EthernetQueue* queue, enMsgType type, QByteArray message) {
    queue->append(qMakePair(type, QByteArray()));
    queue->last().second.swap(message);
}

/// The gate of a transport's waiters (takers, senders) on one lock: ClosePort
/// and the destructor let them go (XR_USER_ABORT); the destructor also
/// refuses later ones and waits until every one has left. Lock held unless said.
class EthernetWaiterGate {
public:
    /// Counts the caller in, with the epoch it begins in into *epoch: false,
    /// not counted, when the transport is going.
    bool enter(quint64* epoch) {
        if (closed_) return false;
        *epoch = epoch_;
        ++inside_;
        return true;
    }
    bool released(quint64 epoch) const { return epoch_ != epoch; }  ///< the caller, in since epoch, was let go
    /// The caller's last touch of the transport: a destructor waiting for the
    /// waiters to leave goes on from here.
    void leave() {
        if (--inside_ == 0 && closed_) left_.wakeAll();
    }
    void releaseAll() { ++epoch_; }  ///< lets every waiter in now go
    /// For the destructor, lock not held: lets every waiter go, refuses later
    /// ones, wakes wake and waits until every waiter has left.
    void close(QMutex* lock, std::initializer_list<QWaitCondition*> wake);

private:
    quint64 epoch_ = 0;
    bool closed_ = false;
    int inside_ = 0;
    QWaitCondition left_;  // the last waiter of a closed transport has left
};

/// The receive queues' accounts and takers. Any thread unless said.
class EthernetReceiveQueues {
public:
    /// What a receive queue holds and whether its reader stopped for the budget.
    struct Account {
        qint64 bytes = 0;     ///< the cost of its messages
        bool paused = false;  ///< its reader stopped for the budget
    };
    /// A channel's queue, its waiters' notifier (null for SHM, which nobody
    /// waits for), its account and the channel whose reader fills it.
    struct Route {
        EthernetQueue* queue;        ///< the queue
        QWaitCondition* notifier;    ///< woken when a message is queued
        Account* account;            ///< its account
        enMsgType reader;            ///< the channel whose reader fills it
    };

    /// The account of the queue that reader's channel (command, stream or broadcast) fills.
    Account* account(enMsgType reader) {
        return &accounts_[reader == MSG_TYPE_COMMAND ? 0 : reader == MSG_TYPE_STREAM ? 1 : 2];
    }
    /// A queue that holds nothing never stops its reader, whatever the budget.
    static bool overBudget(const Account& account, KT::uint32 budget) {
        return account.bytes > 0 && account.bytes >= qint64(budget);
    }
    /// Takes mutexRxQueue: true, with the cost the queue may still take in
    /// *room (at least 1), when the reader may go on; otherwise marks the
    /// account paused. Owner thread.
    bool admit(Account* account, KT::uint32 budget, qint64* room);
    /// Queues message for type on route and counts it. mutexRxQueue held.
    /// Swapped in: its count is not touched again where the taker's thread
    /// touches it next.
    static void add(const Route& route, enMsgType type, QByteArray message) {
        route.account->bytes += xr9eth::queuedCost(message.size());
        appendMessage(route.queue, type, std::move(message));
    }
    /// The cost queued on reader's queue now.
    qint64 held(enMsgType reader);
    /// Has owner run the readers that a budget raised to budget lets go on.
    void resumeUnder(KT::uint32 budget, QObject* owner);
    /// Empties the queues and accounts in one step and lets waiting takers go.
    void reset(EthernetQueue* const (&queues)[3]);
    void release();  ///< for the destructor (EthernetWaiterGate::close); owner thread
    /// Appends the oldest message of route's queue to data, waiting up to
    /// timeout ms; one longer than sizeLimit (>= 0) is taken off, not appended
    /// (XR9AL_BUFFER_OVERFLOW). Resumes a paused reader brought under budget.
    KT::int32 take(const Route& route, QByteArray* data, int timeout, int sizeLimit,
                   const std::atomic<KT::uint32>& budget, QObject* owner);

    /// Posts owner an event that runs the reader of channel. Any thread,
    /// mutexRxQueue held or not; an event pending when owner goes goes with it.
    static void postResume(QObject* owner, enMsgType channel);
    /// The channel of a resume event into *channel: true; false for another event.
    static bool resumeOf(const QEvent* event, enMsgType* channel);

private:
    Account accounts_[3];  // command, stream, broadcast (SHM values are posted, never queued)
    EthernetWaiterGate gate_;
};

#endif
