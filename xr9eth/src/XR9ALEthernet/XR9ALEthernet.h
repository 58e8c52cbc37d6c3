// The Ethernet transport: command and SHM messages on one TCP connection,
// stream messages on a second, broadcast messages as UDP datagrams, in
// server mode (two listening servers accept the peer's connections) or client
// mode (the terminal connects out).
//
// Threads. The transport belongs to the thread that created it (the owner):
// its sockets and servers live there and its readers run from that thread's
// Qt event loop, which the host must run. OpenPort, ClosePort and
// Xr9AlCloseHandle are called from the owner. Any thread may call SendData
// and the receive operations.
//  - Every socket operation runs in the owner. sendMessages() called from
//    another thread (the send thread, or a host thread pumping with
//    MSG_TYPE_NONE) hands its whole step (take the head of the send queue,
//    frame it, write it or put it back) to the owner (a request served by
//    the owner's event loop) and waits for the owner's result; in the owner
//    it runs directly. One step at a time, in one thread, keeps queue order
//    and the put-back and drop rules whichever thread asks. The frame is
//    built in the owner too: taking the head and deciding to write or put
//    back must be one step, or two senders could reorder the queue.
//  - Deadlock rule: the owner must not wait for a thread that may be inside
//    sendMessages() without serving its requests. EthernetThread::stop()
//    (and its destructor) called from the owner serves them while it waits
//    (serveSendRequests), so stopping the send thread from the owner is
//    safe. A host thread that waits in ReceiveData from the owner thread
//    stalls every sender until its wait ends; a sender still waiting when
//    the transport is destroyed is released with 0, and the destructor
//    waits until it has let go of the transport.
//
// Locks: mutexRxQueue guards the three receive queues, mutexTxQueue the send
// queue; each is held for one append, removal or re-insertion (and released
// during a receiver's wait). Wait conditions are woken with wake-all after
// the lock is released.
//
// Receive. Each endpoint has a reassembly buffer; a pass cuts every
// complete frame off its head (EthernetFrameCutter). A head that is no
// marker, a negative length or a frame of a channel that the endpoint does
// not carry empties the buffer. A buffer is also emptied when its socket is
// replaced and when the port is closed, so bytes of a dropped connection
// never complete a frame of the next one. SHM short frames are not queued:
// their value is posted as an update message (type 4, SHM_MODULE, event 102).
//
// Bounded memory (figures in EthernetLimits.h). Every queued message counts
// at its payload plus a fixed charge for the array and list around it, so a
// flood of empty frames is bounded like one of large frames. Each receive
// queue has a budget: a reader cuts only as many messages as the budget has
// room for; once the queue is full it leaves the rest in its buffer and the
// socket unread (Qt's buffer of the socket is one chunk, so TCP's flow
// control then holds the peer), and a taker that brings the queue back
// under the budget has the owner read on. Nothing accepted is dropped. A
// frame on a connection that announces more than the largest frame (by
// default no limit below the frame's own; a host may set one) is passed
// over as it arrives, its payload counted off and never stored, so the
// connection stays in step and nothing inside it is taken for a frame; the
// original interface stopped at 16 MiB and emptied the buffer instead,
// reading the rest of that payload as frames. A datagram yields the bytes it
// carries whatever the limit.
#ifndef XR9ALETHERNET_H
#define XR9ALETHERNET_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QString>
#include <QWaitCondition>

#include "XR9ALEthernet/EthernetFrameCutter.h"
#include "XR9ALEthernet/EthernetLimits.h"
#include "XR9ALEthernet/EthernetSettings.h"
#include "access/XR9AL.h"

class QHostAddress;
class QTcpSocket;
class QUdpSocket;
class XRTcpServer;

typedef QList<QPair<enMsgType, QByteArray>> EthernetQueue;

// Queue locks and wait conditions, shared with hosts.
extern XR9AL_EXPORT QMutex mutexRxQueue;
extern XR9AL_EXPORT QMutex mutexTxQueue;
extern XR9AL_EXPORT QWaitCondition commandQueueNotifier;
extern XR9AL_EXPORT QWaitCondition streamQueueNotifier;
extern XR9AL_EXPORT QWaitCondition broadcastQueueNotifier;
extern XR9AL_EXPORT QWaitCondition shmQueueNotifier;  // exported; nothing signals or waits on it

// Largest message the byte-buffer ReceiveData delivers; the caller's buffer
// holds this many bytes.
constexpr KT::uint32 kEthernetByteReceiveLimit = 1024;

class XR9AL_EXPORT XR9ALEthernet : public QObject, public XR9AL {
    Q_OBJECT

public:
    XR9ALEthernet();
    ~XR9ALEthernet() override;

    // Empties the queues and the reassembly buffers, asks every socket to
    // disconnect, creates what does not exist yet; the servers keep
    // listening and the kept settings stay. Always 0. Owner thread.
    KT::int32 init();

    KT::int32 GetDeviceList(InterfaceSetting* setting) override;  // 0, record untouched
    // settings points to an EthernetSettings record, kept from the first call
    // that passes one (later records are ignored; the host edits the kept one).
    // -2 when no record was ever given (nothing touched); otherwise 0 when the
    // broadcast socket could be bound, -1 when not. type and number are
    // ignored. Owner thread.
    KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) override;
    // Queues a copy for channels 1-4; another channel is dropped; MSG_TYPE_NONE
    // does nothing. 0; -2 for null data with a non-zero length and for a
    // length of 2^31 or more (more than a frame can carry), nothing queued.
    // Any thread.
    KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) override;
    // MSG_TYPE_NONE: one sendMessages() step, 0. Channels 1-4: queued, 0.
    // Another channel: -1. Null data for a channel: -2. Any thread.
    KT::int32 SendData(QByteArray* data, enMsgType type) override;
    // Polls the channel's queue: 0 with the oldest message copied to data and
    // its size in *length; -304 when none is queued; -1 for a channel other
    // than command, stream or broadcast; -2 for null data or length; -403
    // when the oldest message is longer than 1024 bytes: it is taken off the
    // queue (so the next call gets the next message) and neither *length nor
    // data is written, where the original interface lost it with 0 and
    // nothing written. Any thread.
    KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) override;
    // As ReceiveData(data, length, type); timeout is ignored.
    KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout, enMsgType type) override;
    // Appends the oldest message of the channel to *data, waiting up to
    // timeout ms for one (-1: no limit, 0: poll). 0; -304 on time-out; -1 for
    // a channel other than command, stream or broadcast; -2 for null data;
    // -503 (XR_USER_ABORT) when ClosePort or the transport's destruction
    // released the wait (the original interface left such a waiter to wake
    // on freed memory). Any thread but the owner with a long time-out
    // (nothing fills the queue while the owner waits).
    KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) override;
    KT::int32 ClosePort() override;        // init(); owner thread
    KT::int32 ExitReceiveData() override;  // 0, releases nobody
    KT::int32 ResetPort() override;        // 0

    // Called by the listening servers with an accepted socket (owner thread).
    // Null is ignored. The previous socket is deleted at once and the
    // endpoint's reassembly buffer emptied.
    void setCommandSocket(QTcpSocket* socket);
    void setStreamSocket(QTcpSocket* socket);
    // Both own client sockets have connected (client mode only).
    bool isConnected();

    // Queues (type, payload) under mutexRxQueue and wakes the channel's
    // waiters: 1; 0 for a channel that has no receive queue.
    int enqueueRxMsg(enMsgType type, QByteArray payload);
    // Owner thread. Command: one reader pass over the command connection.
    // Stream: every available byte queued as one stream message, unframed
    // (nothing while no stream connection is open), then -1. Other: -1.
    KT::int32 receivedMsg(enMsgType type);
    // Cuts one frame of length payload bytes off the head of buffer and
    // queues it for type: 1; 0 when it is not complete yet. A negative length
    // is malformed: buffer is emptied and 0 returned.
    int readMessage(QByteArray* buffer, int length, enMsgType type);
    // Cuts one SHM short frame (8 bytes, present) off the head of buffer and
    // posts its value as an update message. Always 1.
    int readSHMMessage(QByteArray* buffer);
    bool isReceiveQueueEmpty();  // the command queue only

    // Appends (type, payload) to the send queue for channels 1-4: 1; 0 and
    // nothing queued otherwise. Does not wake the send thread.
    int enqueueTxMsg(enMsgType type, QByteArray payload);
    // Removes the head of the send queue, its channel into type; empty array
    // and type unchanged when the queue is empty.
    QByteArray dequeueTxMsg(enMsgType& type);
    // One send step: 1 when a message was taken and written, failed or was
    // dropped; 0 when the queue was empty or its head was put back because
    // its connection is down. Any thread (see above).
    int sendMessages();
    // Up to maxSteps sendMessages() steps back to back, ending at the first
    // step that gives 0; from another thread, in one hand-off to the owner.
    // The number of messages dealt with. Any thread.
    int sendQueuedMessages(int maxSteps);
    // Runs, in order, the send steps that other threads have handed over and
    // not yet seen run. Owner thread; called by the owner's event loop, and
    // by whoever in the owner thread must wait for a sending thread.
    void serveSendRequests();
    bool isSendQueueEmpty();

    // Serves the hand-over events of sendQueuedMessages and resumeReading.
    bool event(QEvent* event) override;

    // The largest payload a frame on a connection may announce (default and
    // most 2^31 - 1: no limit below the frame's own); a longer frame is
    // passed over as it arrives. Datagrams are not limited. Any thread;
    // applies from the next frame header read.
    void setMaxFrameLength(KT::uint32 bytes);
    KT::uint32 maxFrameLength() const;
    // The cost (payload and charge per message) a channel's receive queue
    // may hold before its socket is left unread (default 16 MiB). With 0 a
    // reader queues one message at a time. Any thread; a larger budget
    // resumes paused readers.
    void setReceiveBudget(KT::uint32 bytes);
    KT::uint32 receiveBudget() const;
    // The bytes a channel holds now: the cost of its queued messages, its
    // reassembly buffer's allocation and what Qt has buffered of its socket.
    // Command, stream or broadcast; 0 for another channel. Owner thread.
    qint64 bytesHeld(enMsgType type);

public slots:
    KT::int32 ReceivedBroadcastMsg();
    KT::int32 ReceivedCommandMsg();
    KT::int32 ReceivedStreamMsg();
    void commandSocketConnected();
    void streamSocketConnected();
    void commandSocketDisconnected();
    void streamSocketDisconnected();

private:
    int sendMessagesInOwner();
    int sendStepsInOwner(int maxSteps);

    // A batch of send steps handed to the owner by another thread. The
    // hand-over runs under a standard mutex rather than through Qt's
    // blocking call so that the sanitizers see it, and so that the
    // destructor can release a waiting sender.
    struct SendRequest {
        int maxSteps;
        int result = 0;
        bool done = false;
    };
    std::mutex sendRequestLock;
    std::condition_variable sendRequestDone;
    std::deque<SendRequest*> sendRequests;
    int sendersHandingOver = 0;  // senders between their request and their return; guarded by sendRequestLock
    void putBackTxMsg(enMsgType type, const QByteArray& payload);
    // Takes the oldest message of type off its queue; one longer than
    // sizeLimit (>= 0) is taken off but not appended (XR9AL_BUFFER_OVERFLOW).
    KT::int32 takeRxMsg(enMsgType type, QByteArray* data, int timeout, int sizeLimit);

    // What a receive queue holds and whether its reader stopped for the
    // budget. Guarded by mutexRxQueue.
    struct RxAccount {
        qint64 bytes = 0;
        bool paused = false;
    };
    struct RxRoute {
        EthernetQueue* queue = nullptr;
        QWaitCondition* notifier = nullptr;  // null for SHM, which nobody waits for
        RxAccount* account = nullptr;
        enMsgType reader = MSG_TYPE_NONE;  // the channel whose reader fills the queue
    };
    // The route of a channel; false for a refused channel.
    bool rxRoute(enMsgType type, RxRoute* route);
    bool overBudget(const RxAccount& account) const;
    // Takes mutexRxQueue: true, with the cost the queue may still take in
    // *room (at least 1), when the reader may go on; otherwise marks the
    // account paused. Owner thread.
    bool admitRead(RxAccount* account, qint64* room);
    // Has the owner run the reader of channel again (a posted event). Any
    // thread, mutexRxQueue not held.
    void resumeReading(enMsgType channel);
    // Runs the reader that a resume event names: true; false for another
    // event. Owner thread.
    bool serveResumeReading(QEvent* event);
    // One pass of the reader of an endpoint (command, stream or broadcast):
    // what is buffered is cut, then reads (chunks, datagrams) are taken and
    // cut while the socket has bytes and the budget allows. Owner thread.
    KT::int32 readEndpoint(enMsgType type);
    // Posts the SHM values and queues the messages of a pass, each message
    // followed by suffix. The pass's status.
    KT::int32 queuePieces(const EthernetFrameCutter::Pass& pass, const QByteArray& suffix);
    // Releases every receiver waiting now (they return XR_USER_ABORT); for
    // good (the destructor) also refuses later ones and waits until every
    // receiver has left. Owner thread, mutexRxQueue not held.
    void releaseReceivers(bool forGood);

    QUdpSocket* udpSocket = nullptr;
    XRTcpServer* commandServer = nullptr;
    XRTcpServer* streamServer = nullptr;
    QTcpSocket* commandSocket = nullptr;
    QTcpSocket* streamSocket = nullptr;
    EthernetQueue* commandRxQueue = nullptr;
    EthernetQueue* broadcastRxQueue = nullptr;
    EthernetQueue* streamRxQueue = nullptr;
    EthernetQueue* txQueue = nullptr;
    bool commandConnected = false;
    bool streamConnected = false;
    QByteArray commandBuffer;
    QByteArray streamBuffer;
    QByteArray broadcastBuffer;
    QList<QString> broadcastIPs;
    QHostAddress* senderAddress = nullptr;
    EthernetSettings* settings = nullptr;

    RxAccount commandRxAccount;
    RxAccount streamRxAccount;
    RxAccount broadcastRxAccount;
    // Receivers inside takeRxMsg and their release; guarded by mutexRxQueue.
    quint64 rxEpoch = 0;           // moved on by every release: waiters of an older one leave
    bool receiversClosed = false;  // the transport is going: no receiver may enter
    int receiversInside = 0;
    QWaitCondition receiversLeft;  // the last receiver of a closed transport has left
    // One per endpoint, owner thread: each remembers an oversized frame it is passing over.
    EthernetFrameCutter commandCutter{EthernetFrameCutter::Endpoint::Command};
    EthernetFrameCutter streamCutter{EthernetFrameCutter::Endpoint::Stream};
    EthernetFrameCutter broadcastCutter{EthernetFrameCutter::Endpoint::Broadcast};
    std::atomic<KT::uint32> maxFrameBytes{xr9eth::kDefaultMaxFrameLength};
    std::atomic<KT::uint32> receiveBudgetBytes{xr9eth::kDefaultReceiveBudget};
};

#endif
