// The receive path of XR9ALEthernet: readers (owner thread) and takers (any thread).
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>
#include <utility>

#include <QHostAddress>
#include <QTcpSocket>
#include <QUdpSocket>

#include "XR9ALEthernet/EthernetFrameCodec.h"
#include "XR9ALEthernet/XR9ALEthernet.h"
#include "support/TsanAnnotations.h"
#include "vocabulary/XRErrorCodes.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

void postShmValue(KT::int32 value) {
    (void)sendUpdateMessage(kShmNoticeType, SHM_MODULE, kShmNoticeEvent, value, nullptr);
}

// a followed by b in one array of the exact size.
QByteArray joined(const QByteArray& a, const QByteArray& b) {
    QByteArray both(a.size() + b.size(), Qt::Uninitialized);
    if (!a.isEmpty()) std::memcpy(both.data(), a.constData(), size_t(a.size()));
    if (!b.isEmpty()) std::memcpy(both.data() + a.size(), b.constData(), size_t(b.size()));
    return both;
}

// Appends a datagram to the broadcast buffer. An empty buffer takes the
// datagram's own array; a remainder is joined to it in an array of the exact
// size, so the buffer holds little more than its bytes.
void appendDatagram(QByteArray* buffer, const QByteArray& datagram) {
    *buffer = buffer->isEmpty() ? datagram : joined(*buffer, datagram);
}

// What the socket holds for us: Qt's buffer of it, and with direct the system's.
qint64 available(QTcpSocket* socket, bool direct) {
    int system = 0;
    if (direct && ::ioctl(int(socket->socketDescriptor()), FIONREAD, &system) != 0) system = 0;
    return socket->bytesAvailable() + system;
}

// Reads at most max bytes to to, without waiting: first what Qt's buffer of
// the socket holds, then, with direct, straight from its descriptor, so that
// the bytes of a large arrival are copied once. The end or a failure of the
// connection is left for Qt's own read to find. The bytes read.
qint64 readSocket(QTcpSocket* socket, char* to, qint64 max, bool direct) {
    qint64 got = qMax<qint64>(socket->read(to, max), 0);
    if (direct && got < max && socket->bytesAvailable() == 0) {
        const ssize_t past = ::recv(int(socket->socketDescriptor()), to + got, size_t(max - got), MSG_DONTWAIT);
        got += qMax<ssize_t>(past, 0);
    }
    return got;
}

// Reads what the socket has, at most max bytes, onto the end of a
// reassembly buffer: the bytes read.
qint64 readOnto(QTcpSocket* socket, QByteArray* buffer, qint64 max, bool direct) {
    const int held = buffer->size();
    const qint64 want = qMin(available(socket, direct), max);
    if (want <= 0) return 0;
    // Reserved, so that a cut that empties it keeps the array for the next
    // read of the pass.
    if (held + want > buffer->capacity()) buffer->reserve(held + int(want));
    buffer->resize(held + int(want));
    const qint64 got = readSocket(socket, buffer->data() + held, want, direct);
    buffer->resize(held + int(got));
    return got;
}

// A payload at least this large is collected in an array of its own, which
// becomes the message: read into it straight from the socket, never cut out
// of the reassembly buffer.
constexpr int kCollectedPayload = 4096;

// The payload length of a frame header that starts a collected payload on a
// connection whose reader queues channel; -1 when the frame is to be left to
// the frame cutter (another channel, SHM, malformed, small, over the limit).
int collectedLength(const char* header, enMsgType channel, KT::uint32 maxFrameLength) {
    if (xr9eth::decodeFrameType(header) != channel) return -1;
    const int length = xr9eth::decodeFrameLength(header);
    return length >= kCollectedPayload && KT::uint32(length) <= maxFrameLength ? length : -1;
}

// Turns a buffer that holds one unfinished frame into a collected payload
// when the frame is large; an empty buffer first takes the next header off
// the socket (what came of it stays when the frame is not collected). The
// buffer then holds the payload so far followed by the frame's 8-byte header
// (kept for its length; a read moves it on, 8 bytes). The array holds the
// bytes that came, never more than the announced length. true when it did.
bool beginCollecting(QTcpSocket* socket, QByteArray* buffer, enMsgType channel, KT::uint32 maxFrameLength,
                     bool direct) {
    if (buffer->isEmpty()) {
        char header[xr9eth::kFrameHeaderSize];
        buffer->append(header, int(readSocket(socket, header, xr9eth::kFrameHeaderSize, direct)));
    }
    if (buffer->size() < xr9eth::kFrameHeaderSize || collectedLength(buffer->constData(), channel, maxFrameLength) < 0)
        return false;
    const int payload = buffer->size() - xr9eth::kFrameHeaderSize;  // fewer than the frame's: the cutter left it
    QByteArray collected(buffer->size(), Qt::Uninitialized);
    std::memcpy(collected.data(), buffer->constData() + xr9eth::kFrameHeaderSize, size_t(payload));
    std::memcpy(collected.data() + payload, buffer->constData(), xr9eth::kFrameHeaderSize);
    *buffer = collected;
    return true;
}

// Reads more of a collected payload from the socket, no further than its
// end: the bytes read; *complete when it is complete, the buffer then holding
// exactly the payload. The array grows to twice what it holds at most, and
// never past the payload.
qint64 collectPayload(QTcpSocket* socket, QByteArray* buffer, bool* complete, bool direct) {
    char header[xr9eth::kFrameHeaderSize];
    const int held = buffer->size() - xr9eth::kFrameHeaderSize;
    std::memcpy(header, buffer->constData() + held, xr9eth::kFrameHeaderSize);
    const int length = xr9eth::decodeFrameLength(header);
    const int want = int(qMin<qint64>(available(socket, direct), length - held));
    if (want <= 0) return 0;
    const int whole = held + want + xr9eth::kFrameHeaderSize;
    if (whole > buffer->capacity())
        buffer->reserve(qMin(length + xr9eth::kFrameHeaderSize, qMax(whole, 2 * buffer->size())));
    buffer->resize(whole);
    const int got = int(readSocket(socket, buffer->data() + held, want, direct));
    std::memcpy(buffer->data() + held + got, header, xr9eth::kFrameHeaderSize);
    buffer->resize(held + got + xr9eth::kFrameHeaderSize);
    *complete = held + got == length;
    if (*complete) buffer->resize(length);  // the header goes; the array stays
    return got;
}

// After a cut: a large frame, once cut, leaves no more than twice what is
// still held behind.
void trimBuffer(QByteArray* buffer) {
    if (buffer->capacity() > 2 * qMax(buffer->size(), xr9eth::kSocketReadChunk)) buffer->squeeze();
}

}  // namespace

bool XR9ALEthernet::rxRoute(enMsgType type, RxRoute* route) {
    auto to = [&](EthernetQueue* queue, QWaitCondition* notifier, enMsgType reader) {
        *route = RxRoute{{queue, notifier, receiveQueues_.account(reader), reader}};
        return true;
    };
    switch (type) {
    case MSG_TYPE_COMMAND:
        return to(commandRxQueue, &commandQueueNotifier, MSG_TYPE_COMMAND);
    case MSG_TYPE_STREAM:
        return to(streamRxQueue, &streamQueueNotifier, MSG_TYPE_STREAM);
    case MSG_TYPE_SHM:
        return to(broadcastRxQueue, nullptr, MSG_TYPE_BROADCAST);
    case MSG_TYPE_BROADCAST:
        return to(broadcastRxQueue, &broadcastQueueNotifier, MSG_TYPE_BROADCAST);
    default:
        return false;
    }
}

// Forwarders kept for the export table.
bool XR9ALEthernet::overBudget(const RxAccount& a) const { return receiveQueues_.overBudget(a, receiveBudget()); }
bool XR9ALEthernet::admitRead(RxAccount* a, qint64* room) { return receiveQueues_.admit(a, receiveBudget(), room); }
void XR9ALEthernet::resumeReading(enMsgType channel) { EthernetReceiveQueues::postResume(this, channel); }
void XR9ALEthernet::releaseReceivers() { receiveQueues_.release(); }

bool XR9ALEthernet::serveResumeReading(QEvent* event) {
    enMsgType channel = MSG_TYPE_NONE;
    if (!EthernetReceiveQueues::resumeOf(event, &channel)) return false;
    readEndpoint(channel);
    return true;
}

void XR9ALEthernet::setMaxFrameLength(KT::uint32 bytes) { maxFrameBytes_.store(qMin<KT::uint32>(bytes, 0x7FFFFFFFu)); }

KT::uint32 XR9ALEthernet::maxFrameLength() const { return maxFrameBytes_.load(); }

void XR9ALEthernet::setReceiveBudget(KT::uint32 bytes) {
    receiveBudgetBytes_.store(bytes);
    receiveQueues_.resumeUnder(bytes, this);
}

KT::uint32 XR9ALEthernet::receiveBudget() const { return receiveBudgetBytes_.load(); }

qint64 XR9ALEthernet::bytesHeld(enMsgType type) {
    if (type != MSG_TYPE_COMMAND && type != MSG_TYPE_STREAM && type != MSG_TYPE_BROADCAST) return 0;
    const bool command = type == MSG_TYPE_COMMAND, stream = type == MSG_TYPE_STREAM;
    const QByteArray& buffer = command ? commandBuffer : stream ? streamBuffer : broadcastBuffer;
    const QIODevice* socket = command ? commandSocket : stream ? streamSocket : nullptr;
    return buffer.capacity() + (socket ? socket->bytesAvailable() : 0) + receiveQueues_.held(type);
}

int XR9ALEthernet::enqueueRxMsg(enMsgType type, QByteArray payload) {
    RxRoute route;
    if (!rxRoute(type, &route)) return 0;
    {
        xr9::AnnotatedLocker locker(&mutexRxQueue);
        EthernetReceiveQueues::add(route, type, std::move(payload));
    }
    if (route.notifier) route.notifier->wakeAll();
    return 1;
}

KT::int32 XR9ALEthernet::queuePieces(const EthernetFrameCutter::Pass& pass, const QByteArray& suffix) {
    // The messages between SHM values go into their queue under one lock, with
    // one wake-up: a pass of many small frames costs its waiters one wake.
    size_t next = 0;
    while (next < pass.pieces.size()) {
        const EthernetFrameCutter::Piece& piece = pass.pieces[next];
        if (piece.type == MSG_TYPE_SHM) {
            postShmValue(piece.value);
            ++next;
            continue;
        }
        RxRoute route;
        if (!rxRoute(piece.type, &route)) {
            ++next;
            continue;
        }
        {
            xr9::AnnotatedLocker locker(&mutexRxQueue);
            for (; next < pass.pieces.size() && pass.pieces[next].type == piece.type; ++next) {
                const QByteArray& payload = pass.pieces[next].payload;
                EthernetReceiveQueues::add(route, piece.type, suffix.isEmpty() ? payload : joined(payload, suffix));
            }
        }
        if (route.notifier) route.notifier->wakeAll();
    }
    return pass.status;
}

KT::int32 XR9ALEthernet::readEndpoint(enMsgType type) {
    const bool command = type == MSG_TYPE_COMMAND, stream = type == MSG_TYPE_STREAM;
    QTcpSocket* socket = command ? commandSocket : stream ? streamSocket : nullptr;
    QByteArray* buffer = command ? &commandBuffer : stream ? &streamBuffer : &broadcastBuffer;
    EthernetFrameCutter* cutter = command ? &commandCutter_ : stream ? &streamCutter_ : &broadcastCutter_;
    bool* collecting = command ? &commandCollecting_ : stream ? &streamCollecting_ : nullptr;
    RxRoute route;
    rxRoute(type, &route);
    const KT::uint32 maxFrame = maxFrameBytes_.load();
    cutter->setMaxFrameLength(maxFrame);
    // What is buffered is cut before anything more is read, so a queue that
    // reached its budget in the middle of a read resumes from its buffer.
    KT::int32 status = buffer->size() < xr9eth::kFrameHeaderSize ? XR_FAILURE : XR_SUCCESS;
    bool fresh = false;  // the buffer took a read since the last cut
    bool collected = false;  // messages collected in this pass, their waiters not woken yet
    // Qt's buffer full: more waits in the system, read past Qt. Otherwise
    // Qt's buffer holds all that came, read without asking the system.
    const bool direct = socket && socket->bytesAvailable() >= socket->readBufferSize();
    // A pass reads a chunk at most, so that its waiters are woken while the
    // peer sends and other sockets get their turn; Qt's buffer is empty by
    // then, and Qt signals again for what the system still holds.
    qint64 taken = 0;
    qint64 room = 0;
    while (receiveQueues_.admit(route.account, receiveBudgetBytes_.load(), &room)) {
        if (collecting && *collecting) {
            bool complete = false;
            const qint64 got = taken < xr9eth::kSocketReadChunk ? collectPayload(socket, buffer, &complete, direct) : 0;
            if (got == 0) break;
            taken += got;
            status = XR_SUCCESS;
            if (complete) {
                *collecting = false;
                // Queued at once, woken for once at the end of the pass: a
                // waiter woken per large message costs more than it gains.
                xr9::AnnotatedLocker locker(&mutexRxQueue);
                EthernetReceiveQueues::add(route, type, std::exchange(*buffer, QByteArray()));
                collected = true;
            }
            continue;
        }
        const EthernetFrameCutter::Pass pass = cutter->cut(buffer, room);
        trimBuffer(buffer);
        QByteArray suffix;  // client mode marks broadcasts with their sender
        if (!command && !stream && settings && settings->clientMode != 0)
            suffix = "*ip=" + senderAddress->toString().toUtf8();
        const KT::int32 passStatus = queuePieces(pass, suffix);
        if (fresh) status = passStatus;
        fresh = false;
        if (pass.full) continue;
        if (socket) {
            const int before = buffer->size();
            if (taken >= xr9eth::kSocketReadChunk) break;
            if (cutter->skipRemaining() == 0 && beginCollecting(socket, buffer, type, maxFrame, direct)) {
                *collecting = true;
                continue;
            }
            readOnto(socket, buffer, xr9eth::kSocketReadChunk, direct);
            taken += buffer->size() - before;
            if (buffer->size() == before) break;
        } else {
            // Every pending datagram is taken, so none waits for a further signal.
            if (!udpSocket->hasPendingDatagrams()) break;
            QByteArray datagram(int(udpSocket->pendingDatagramSize()), Qt::Uninitialized);
            QHostAddress sender;
            const qint64 got = udpSocket->readDatagram(datagram.data(), datagram.size(), &sender);
            if (got < 0) break;
            datagram.truncate(int(got));
            *senderAddress = sender;
            appendDatagram(buffer, datagram);
        }
        fresh = true;
    }
    if (buffer->isEmpty()) buffer->clear();  // an emptied buffer lets its array go
    if (collected) route.notifier->wakeAll();
    return status;
}

KT::int32 XR9ALEthernet::receivedMsg(enMsgType type) {
    if (type == MSG_TYPE_COMMAND) return readEndpoint(MSG_TYPE_COMMAND);
    if (type == MSG_TYPE_STREAM && streamSocket && streamSocket->isOpen()) {
        enqueueRxMsg(MSG_TYPE_STREAM, streamSocket->read(streamSocket->bytesAvailable()));
    }
    return XR_FAILURE;
}

KT::int32 XR9ALEthernet::ReceivedCommandMsg() { return receivedMsg(MSG_TYPE_COMMAND); }

KT::int32 XR9ALEthernet::ReceivedStreamMsg() { return readEndpoint(MSG_TYPE_STREAM); }

KT::int32 XR9ALEthernet::ReceivedBroadcastMsg() { return readEndpoint(MSG_TYPE_BROADCAST); }

int XR9ALEthernet::readMessage(QByteArray* buffer, int length, enMsgType type) {
    EthernetFrameCutter::Piece piece;
    if (!xr9eth::cutFrame(buffer, type, length, &piece)) return 0;
    enqueueRxMsg(type, piece.payload);
    return 1;
}

int XR9ALEthernet::readSHMMessage(QByteArray* buffer) {
    // Fewer than 8 bytes (a caller that did not look first) post nothing.
    EthernetFrameCutter::Piece piece;
    if (xr9eth::cutFrame(buffer, MSG_TYPE_SHM, 0, &piece)) postShmValue(piece.value);
    return 1;
}

bool XR9ALEthernet::isReceiveQueueEmpty() {
    xr9::AnnotatedLocker locker(&mutexRxQueue);
    return !commandRxQueue || commandRxQueue->isEmpty();
}

KT::int32 XR9ALEthernet::takeRxMsg(enMsgType type, QByteArray* data, int timeout, int sizeLimit) {
    RxRoute route;
    // Shared-memory values are posted as update messages, never taken here.
    if (type == MSG_TYPE_SHM || !rxRoute(type, &route)) return XR_FAILURE;
    return receiveQueues_.take(route, data, timeout, sizeLimit, receiveBudgetBytes_, this);
}

KT::int32 XR9ALEthernet::ReceiveData(QByteArray* data, enMsgType type, int timeout) {
    if (!data) return XR_INVALID_PARAMETER;
    return takeRxMsg(type, data, timeout, -1);
}

KT::int32 XR9ALEthernet::ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) {
    if (!data || !length) return XR_INVALID_PARAMETER;
    QByteArray message;
    const KT::int32 result = takeRxMsg(type, &message, 0, int(kEthernetByteReceiveLimit));
    if (result != XR_SUCCESS) return result;
    if (!message.isEmpty()) std::memcpy(data, message.constData(), size_t(message.size()));
    *length = KT::uint32(message.size());
    return XR_SUCCESS;
}

KT::int32 XR9ALEthernet::ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32, enMsgType type) {
    return ReceiveData(data, length, type);
}
