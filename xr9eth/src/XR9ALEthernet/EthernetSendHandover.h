/// \file
/// The Ethernet transport's hand-over of send work to its owner thread.
///
/// The owner's Qt sockets are used in the owner alone, and nothing waits for
/// it. A send step in another thread takes the head of the send queue, or
/// leaves it while its connection is down as the owner last saw it, and hands
/// it to the owner (the outbox, served by its event loop); in the owner it
/// writes at once. Command and SHM messages at the head a step writes itself
/// when the owner has nothing to write (the outbox empty and not being
/// written, Qt's buffer of the command socket empty as the owner last saw
/// it): to a duplicate of the command socket's descriptor, which the owner
/// makes when it sees the connection up and closes when it sees it go,
/// without waiting and outside mutexTxQueue, one writer at a time. What the
/// system does not take goes to the owner ahead of the outbox, and the rest
/// of a frame it took part of before anything else on that connection. A
/// host's answer so reaches the peer without a switch to the owner. Stream
/// messages keep the hand-over, where the owner's larger batches move small
/// messages faster. Taking heads and handing them over is one step under
/// mutexTxQueue and every write is in the order taken, so the queue's order
/// and its put-back and drop rules hold whichever thread steps; a message
/// whose connection is found down when the owner writes goes back to the head
/// with all behind it, and a connection whose socket Qt still holds bytes for
/// keeps its messages in the outbox, in order. Earlier versions had a
/// stepping thread wait for the owner, so a host whose owner joined that
/// thread hung.
///
/// Each endpoint's send bound (EthernetLimits.h) counts the cost of its
/// messages in the send queue and the outbox and its socket's backlog; a
/// sender past it waits for room in a host thread and is refused in the owner,
/// which cannot wait for itself. mutexTxQueue guards the send queue and all
/// here, held for one short operation (released during a wait); senders are
/// woken after it is released and wait through an EthernetWaiterGate.
#ifndef ETHERNETSENDHANDOVER_H
#define ETHERNETSENDHANDOVER_H

#include <atomic>

#include <QWaitCondition>

#include "XR9ALEthernet/EthernetLimits.h"
#include "XR9ALEthernet/EthernetReceiveQueues.h"

class QEvent;
class QObject;
class QTcpSocket;

/// The send accounts, the outbox and the waiting senders. Each operation takes
/// mutexTxQueue unless said; queue is the send queue, command and stream the
/// sockets (null: none); an operation on the sockets runs in the owner.
class EthernetSendHandover {
public:
    EthernetSendHandover() = default;
    ~EthernetSendHandover();  ///< closes the descriptors it duplicated
    EthernetSendHandover(const EthernetSendHandover&) = delete;
    EthernetSendHandover& operator=(const EthernetSendHandover&) = delete;
    static bool isUp(QTcpSocket* socket);  ///< a socket that is there and connected
    /// 0 command connection (with SHM, which rides it), 1 stream, 2 broadcast.
    static int endpointOf(enMsgType type) { return type == MSG_TYPE_STREAM ? 1 : type == MSG_TYPE_BROADCAST ? 2 : 0; }
    bool hasRoom(int endpoint, qint64 cost) const;  ///< the endpoint may take that cost; mutexTxQueue held
    /// Queues (type, payload) within the send bound, waiting for room unless
    /// owner: XR_SUCCESS, XR9AL_QUEUE_FULL or XR_USER_ABORT. type is a channel.
    KT::int32 queueWithin(EthernetQueue* queue, enMsgType type, const QByteArray& payload, bool owner);
    void add(EthernetQueue* queue, enMsgType type, const QByteArray& payload);  ///< queues, whatever the bound
    /// Takes the head of queue into *head: false when there is none.
    bool takeHead(EthernetQueue* queue, QPair<enMsgType, QByteArray>* head);
    bool idle(const EthernetQueue* queue);  ///< nothing waits in queue or in the outbox
    /// Up to maxSteps heads of queue written or into the outbox (SHM without
    /// its connection dropped), as above: the number taken. With both
    /// connections up and maxSteps above 1, the whole queue, however long:
    /// it moves at once, where heads taken one by one each cost their list
    /// node a release and a new allocation. From another thread (moved null)
    /// by the connections the owner last saw: command heads written when it
    /// may, else handed over with one write event posted to owner; in the
    /// owner by command and stream now, *moved telling whether the outbox
    /// holds messages for it to write.
    int handOver(EthernetQueue* queue, int maxSteps, QObject* owner, QTcpSocket* command = nullptr,
                 QTcpSocket* stream = nullptr, bool* moved = nullptr);
    /// The outbox, emptied, and into *rest the rest of a frame a step's
    /// write cut on the command connection, which goes first; until settle,
    /// steps leave all to the owner. Empty while a step writes (it asks the
    /// owner again when done). Owner thread.
    EthernetQueue takeOutbox(QByteArray* rest);
    /// After the owner wrote a batch, written being the cost it wrote per
    /// endpoint: rest holds, in order, the held messages that wait for their
    /// socket's room, then the ones from one whose connection went down; both
    /// go back (rest is emptied) and the sockets are noted.
    void settle(EthernetQueue* queue, EthernetQueue* rest, int held, const qint64 (&written)[3], QTcpSocket* command,
                QTcpSocket* stream);
    /// The sockets' backlog and state into the accounts and for other threads'
    /// steps, mutexTxQueue held.
    void noteLocked(QTcpSocket* command, QTcpSocket* stream);
    /// As noteLocked, and wakes waiting senders; posts owner (unless null) a
    /// write event when the outbox holds messages and none is pending.
    void note(QTcpSocket* command, QTcpSocket* stream, QObject* owner = nullptr);
    /// Empties queue, the outbox and the accounts, lets waiting senders go
    /// and notes the sockets, in one step.
    void reset(EthernetQueue* queue, QTcpSocket* command, QTcpSocket* stream);
    void release();  ///< for the destructor (EthernetWaiterGate::close); owner thread
    qint64 waiting(int endpoint);  ///< the bytes waiting towards the peer on endpoint
    void setBound(KT::uint32 bytes);  ///< in bytes; a larger bound lets waiting senders in
    KT::uint32 bound() const { return boundBytes_.load(); }  ///< as set
    /// The wait for room in ms; negative (kept as -1): without limit.
    void setTimeout(int milliseconds) { timeoutMs_.store(milliseconds < 0 ? -1 : milliseconds); }
    int timeout() const { return timeoutMs_.load(); }  ///< as set
    static bool isWriteEvent(const QEvent* event);  ///< the event has the owner write the outbox

    struct Direct;  ///< what steps in other threads write with; EthernetSendHandover.cpp

private:
    // This one's duplicate descriptor and cut rest (kept beside it: its
    // record's size is fixed); mutexTxQueue held.
    Direct& direct();
    // A step in another thread, lock not held: when the owner leaves the
    // command connection to steps, takes up to most command and SHM heads of
    // queue and writes them, as above. The number taken (0: none, the caller
    // hands over instead).
    int writeDirect(EthernetQueue* queue, int most, QObject* owner);
    static void post(QObject* owner);
    // Adds (sign 1) or takes off (-1) a message's cost on its endpoint's account.
    void charge(const QPair<enMsgType, QByteArray>& message, int sign);
    struct Account {
        qint64 queued = 0;    // cost of its messages in the send queue and the outbox
        qint64 inSocket = 0;  // what its socket has not yet handed to the system, as the owner last saw it
    };
    Account accounts_[3];
    EthernetQueue outbox_;       // taken by steps in other threads, for the owner to write in this order
    bool outboxPosted_ = false;  // the owner has been asked to write the outbox
    EthernetWaiterGate gate_;
    QWaitCondition room_;  // an account went down, or a release
    // The connections as the owner last saw them, for steps in other threads.
    std::atomic<bool> commandUp_{false};
    std::atomic<bool> streamUp_{false};
    std::atomic<KT::uint32> boundBytes_{xr9eth::kDefaultSendBound};
    std::atomic<int> timeoutMs_{-1};
};

#endif
