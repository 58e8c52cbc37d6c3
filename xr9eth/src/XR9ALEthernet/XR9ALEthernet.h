/// \file
/// The Ethernet transport: command and SHM messages on one TCP connection,
/// stream messages on a second, broadcast messages as UDP datagrams, in
/// server mode (two listening servers accept the peer's connections) or client
/// mode (the terminal connects out). SHM values from the peer are posted as
/// update messages (type 4, SHM_MODULE, event 102), never queued.
///
/// Threads. The transport belongs to the thread that created it (the owner):
/// its sockets and servers live there and its readers run from that thread's
/// Qt event loop, which the host must run. Its Qt sockets are used in the
/// owner alone, and nothing waits for it; a send step in another thread may
/// write command messages itself (EthernetSendHandover.h). A receiver or a
/// sender waiting for room returns XR_USER_ABORT (-503) when ClosePort or the
/// destructor runs; the destructor waits until every one of them has left.
///
/// The readers' frames: EthernetFrameCutter.h; the receive queues and their
/// budget: EthernetReceiveQueues.h; what the transport may hold for and
/// towards the peer: EthernetLimits.h.
#ifndef XR9ALETHERNET_H
#define XR9ALETHERNET_H

#include <atomic>

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

#include "XR9ALEthernet/EthernetFrameCutter.h"
#include "XR9ALEthernet/EthernetLimits.h"
#include "XR9ALEthernet/EthernetReceiveQueues.h"
#include "XR9ALEthernet/EthernetSendHandover.h"
#include "XR9ALEthernet/EthernetSettings.h"
#include "access/XR9AL.h"

class QHostAddress;
class QTcpSocket;
class QUdpSocket;
class XRTcpServer;

/// \name Queue locks and wait conditions, shared with hosts
/// A host that takes one of the locks must not call the transport while it
/// holds it.
///@{
extern XR9AL_EXPORT QMutex mutexRxQueue;                   ///< guards the three receive queues
extern XR9AL_EXPORT QMutex mutexTxQueue;                   ///< guards the send queue, the outbox and the send accounts
extern XR9AL_EXPORT QWaitCondition commandQueueNotifier;    ///< woken when a command message is queued
extern XR9AL_EXPORT QWaitCondition streamQueueNotifier;     ///< woken when a stream message is queued
extern XR9AL_EXPORT QWaitCondition broadcastQueueNotifier;  ///< woken when a broadcast message is queued
extern XR9AL_EXPORT QWaitCondition shmQueueNotifier;        ///< exported; nothing signals or waits on it
///@}

/// Largest message the byte-buffer ReceiveData delivers; the caller's buffer
/// holds this many bytes.
constexpr KT::uint32 kEthernetByteReceiveLimit = 1024;

/// The XR9AL implementation for IF_TYPE_ETHERNET. Owner thread: OpenPort,
/// ClosePort, Xr9AlCloseHandle, the slots and the reader operations; any
/// thread: sending, receiving and the limits.
class XR9AL_EXPORT XR9ALEthernet : public QObject, public XR9AL {
    Q_OBJECT

public:
    XR9ALEthernet();
    ~XR9ALEthernet() override;

    /// Empties the queues and the reassembly buffers, lets go of waiting
    /// receivers and senders (XR_USER_ABORT), asks every socket to
    /// disconnect, creates what does not exist yet; the servers keep
    /// listening and the kept settings stay. Always 0. Owner thread.
    KT::int32 init();

    KT::int32 GetDeviceList(InterfaceSetting* setting) override;  ///< 0, record untouched
    /// settings points to an EthernetSettings record, kept from the first call
    /// that passes one (later records are ignored; the host edits the kept one).
    /// -2 when no record was ever given (nothing touched); otherwise 0 when the
    /// broadcast socket could be bound, -1 when not. type and number are
    /// ignored. Owner thread.
    KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) override;
    /// Queues a copy for channels 1-4; another channel is dropped; MSG_TYPE_NONE
    /// does nothing. 0; -2 for null data with a non-zero length and for a
    /// length of 2^31 or more (more than a frame can carry; documented as 0
    /// before, with the bytes read past the caller's buffer). Past the send
    /// bound: a host thread waits for room up to the send time-out, then -407
    /// (XR9AL_QUEUE_FULL); the owner gets -407 at once; -503 (XR_USER_ABORT)
    /// when ClosePort or the destructor ends the wait. Nothing is queued
    /// unless the result is 0. Any thread.
    KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) override;
    /// MSG_TYPE_NONE: one sendMessages() step, 0. Channels 1-4: queued, 0.
    /// Another channel: -1. Null data for a channel: -2. Past the send bound
    /// as the byte form, except that the owner gets -1 (refused). Any thread.
    KT::int32 SendData(QByteArray* data, enMsgType type) override;
    /// Polls the channel's queue: 0 with the oldest message copied to data and
    /// its size in *length; -304 when none is queued; -1 for a channel other
    /// than command, stream or broadcast; -2 for null data or length; -403
    /// when the oldest message is longer than 1024 bytes: it is taken off the
    /// queue (so the next call gets the next message) and neither *length nor
    /// data is written (it used to be lost with 0). Any thread.
    KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) override;
    /// As ReceiveData(data, length, type); timeout is ignored.
    KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout, enMsgType type) override;
    /// Appends the oldest message of the channel to *data, waiting up to
    /// timeout ms for one (-1: no limit, 0: poll). 0; -304 on time-out; -1 for
    /// a channel other than command, stream or broadcast; -2 for null data;
    /// -503 (XR_USER_ABORT) when ClosePort or the transport's destruction
    /// released the wait (as documented before, only a message or the
    /// time-out ended it, and a waiter at the transport's end woke on freed
    /// memory). Any thread but the owner with a long time-out (nothing fills
    /// the queue while the owner waits).
    KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) override;
    KT::int32 ClosePort() override;        ///< init(); owner thread
    KT::int32 ExitReceiveData() override;  ///< 0, releases nobody
    KT::int32 ResetPort() override;        ///< 0

    /// Called by the listening servers with an accepted socket (owner thread).
    /// Null is ignored. The previous socket is deleted at once and the
    /// endpoint's reassembly buffer emptied.
    void setCommandSocket(QTcpSocket* socket);
    /// As setCommandSocket, for the stream connection.
    void setStreamSocket(QTcpSocket* socket);
    /// Both own client sockets have connected (client mode only).
    bool isConnected();

    /// Queues (type, payload) under mutexRxQueue and wakes the channel's
    /// waiters: 1; 0 for a channel that has no receive queue.
    int enqueueRxMsg(enMsgType type, QByteArray payload);
    /// Owner thread. Command: one reader pass over the command connection.
    /// Stream: every available byte queued as one stream message, unframed
    /// (nothing while no stream connection is open), then -1. Other: -1.
    KT::int32 receivedMsg(enMsgType type);
    /// Cuts one frame of length payload bytes off the head of buffer and
    /// queues it for type: 1; 0 when it is not complete yet. A negative length
    /// is malformed: buffer is emptied and 0 returned.
    int readMessage(QByteArray* buffer, int length, enMsgType type);
    /// Cuts one SHM short frame (8 bytes, present) off the head of buffer and
    /// posts its value as an update message. Always 1.
    int readSHMMessage(QByteArray* buffer);
    bool isReceiveQueueEmpty();  ///< the command queue only

    /// Appends (type, payload) to the send queue for channels 1-4, whatever
    /// the send bound: 1; 0 and nothing queued otherwise. Does not wake the
    /// send thread.
    int enqueueTxMsg(enMsgType type, QByteArray payload);
    /// Removes the head of the send queue, its channel into type; empty array
    /// and type unchanged when the queue is empty.
    QByteArray dequeueTxMsg(enMsgType& type);
    /// One send step: 1 when a message was taken (written, handed to the owner
    /// to write, or dropped); 0 when the queue was empty or its head waits for
    /// its connection. Never waits for the owner. Any thread (see above).
    int sendMessages();
    /// Up to maxSteps sendMessages() steps back to back, ending at the first
    /// step that gives 0; in another thread than the owner, with maxSteps
    /// above 1, all of the queue when its connections are up. The number of
    /// messages taken. Any thread.
    int sendQueuedMessages(int maxSteps);
    /// Writes, in order, the messages that steps in other threads have taken
    /// for the owner to write. Owner thread; run by the owner's event loop.
    void serveSendRequests();
    /// Nothing waits in the send queue or for the owner to write it.
    bool isSendQueueEmpty();

    /// Serves the hand-over events of the send steps and resumeReading.
    bool event(QEvent* event) override;

    /// The largest payload a frame on a connection may announce (default and
    /// most 2^31 - 1: no limit below the frame's own); a longer frame is
    /// passed over as it arrives. Datagrams are not limited. Any thread;
    /// applies from the next frame header read.
    void setMaxFrameLength(KT::uint32 bytes);
    KT::uint32 maxFrameLength() const;  ///< the limit in force (at most 2^31 - 1); any thread
    /// The cost (payload and charge per message) a channel's receive queue
    /// may hold before its socket is left unread (default 16 MiB). With 0 a
    /// reader queues one message at a time. Any thread; a larger budget
    /// resumes paused readers.
    void setReceiveBudget(KT::uint32 bytes);
    KT::uint32 receiveBudget() const;  ///< as set; any thread
    /// The bytes a channel holds now: the cost of its queued messages, its
    /// reassembly buffer's allocation and what Qt has buffered of its socket.
    /// Command, stream or broadcast; 0 for another channel. Owner thread.
    qint64 bytesHeld(enMsgType type);
    /// The bytes that may wait towards the peer on each endpoint before
    /// SendData waits or is refused (default 16 MiB); an endpoint with nothing
    /// waiting takes one message of any size. Any thread; a larger bound lets
    /// waiting senders in.
    void setSendBound(KT::uint32 bytes);
    KT::uint32 sendBound() const;  ///< as set; any thread
    /// How long SendData in a host thread waits for room past the send bound,
    /// in ms: -1 (the default, as is any negative value) without limit, 0 not
    /// at all. Any thread; applies to waits that begin afterwards.
    void setSendTimeout(int milliseconds);
    int sendTimeout() const;  ///< as set (negative: -1); any thread
    /// The bytes waiting towards the peer on the endpoint of channel (command
    /// and SHM share the command connection): the cost of its messages not yet
    /// written and what its socket has not yet handed to the system. 0 for a
    /// value that is no channel. Any thread.
    qint64 bytesWaiting(enMsgType type);

public slots:
    /// \name Socket signals, owner thread
    /// The readers return their pass's status (-1: nothing to cut, a
    /// malformed head); the connection slots keep isConnected() up to date.
    ///@{
    KT::int32 ReceivedBroadcastMsg();  ///< the broadcast socket's readyRead
    KT::int32 ReceivedCommandMsg();    ///< the command connection's readyRead
    KT::int32 ReceivedStreamMsg();     ///< the stream connection's readyRead
    void commandSocketConnected();     ///< the own command client socket connected
    void streamSocketConnected();      ///< the own stream client socket connected
    void commandSocketDisconnected();  ///< the own command client socket disconnected
    void streamSocketDisconnected();   ///< the own stream client socket disconnected
    ///@}

private:
    // Writes one message to its endpoint: false, nothing written, when it is
    // a command or stream message and its connection is down. Owner thread.
    bool writeToPeer(enMsgType type, const QByteArray& payload);
    // Forwarders to sendHandover_, kept for the export table; sendStep(owner): one step.
    static int endpointOf(enMsgType type);
    bool hasRoom(int endpoint, qint64 cost) const;
    KT::int32 queueForPeer(enMsgType type, const QByteArray& payload);
    int sendStep(bool owner);
    void noteSocketBacklogLocked();
    void noteSockets();
    void releaseSenders();
    // Readies a command or stream socket its member holds: a bounded read
    // buffer, its reader, noteSockets() now and on each of its changes.
    void watchSocket(QTcpSocket* socket);

    struct RxAccount : EthernetReceiveQueues::Account {};
    struct RxRoute : EthernetReceiveQueues::Route {};
    bool rxRoute(enMsgType type, RxRoute* route);  // false for a channel without a queue
    KT::int32 takeRxMsg(enMsgType type, QByteArray* data, int timeout, int sizeLimit);
    bool serveResumeReading(QEvent* event);  // runs the reader a resume event names; owner thread
    // One pass of the reader of an endpoint (command, stream or broadcast):
    // what is buffered is cut, then reads (chunks, datagrams) are taken and
    // cut while the socket has bytes and the budget allows. Owner thread.
    KT::int32 readEndpoint(enMsgType type);
    // Posts the SHM values and queues the messages of a pass, each followed by suffix: the pass's status.
    KT::int32 queuePieces(const EthernetFrameCutter::Pass& pass, const QByteArray& suffix);
    // Forwarders to receiveQueues_, kept for the export table.
    bool overBudget(const RxAccount& account) const;
    bool admitRead(RxAccount* account, qint64* room);
    void resumeReading(enMsgType channel);
    void releaseReceivers();

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
    // The buffer of a connection collects the payload of one large frame,
    // the frame's header kept at its end; false: it holds bytes as they came.
    // Owner thread. (Both live in the record's padding on every target, so
    // its size and the other members' offsets stay as hosts declare them.)
    bool commandCollecting_ = false;
    bool streamCollecting_ = false;
    QByteArray commandBuffer;
    QByteArray streamBuffer;
    QByteArray broadcastBuffer;
    QList<QString> broadcastIPs;
    QHostAddress* senderAddress = nullptr;
    EthernetSettings* settings = nullptr;

    EthernetReceiveQueues receiveQueues_;
    // One per endpoint, owner thread: each remembers an oversized frame it is passing over.
    EthernetFrameCutter commandCutter_{EthernetFrameCutter::Endpoint::Command};
    EthernetFrameCutter streamCutter_{EthernetFrameCutter::Endpoint::Stream};
    EthernetFrameCutter broadcastCutter_{EthernetFrameCutter::Endpoint::Broadcast};
    std::atomic<KT::uint32> maxFrameBytes_{xr9eth::kDefaultMaxFrameLength};
    std::atomic<KT::uint32> receiveBudgetBytes_{xr9eth::kDefaultReceiveBudget};

    EthernetSendHandover sendHandover_;
};

#endif
