#include "can/XR9ALCANWrapper.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "KTDEI.h"
#include "can/CanFrameCodec.h"
#include "can/CanMessageAssembler.h"
#include "osal.h"
#include "support/Console.h"
#include "support/HostAnswer.h"
#include "support/Xr9LogCall.h"
#include "vocabulary/XRErrorCodes.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

int canSock = -1;
sockaddr_can addr = {};
ifreq ifr = {};
bool runCANRxThread = false;
KT::uint32 mutexCAN = 0;
KT::uint32 Command_ID = 0;
KT::uint32 Command_Len_ID = 0;
KT::uint32 Stream_ID = 0;
KT::uint32 Stream_Len_ID = 0;
KT::uint32 uiCCQueueId = 8;
KT::uint32 uiFTQueueId = 9;
KT::uint32 uiSHMQeueId = 2;
KT::uint32 uiCANRxDroppedMsgs = 0;

// Set when OpenPort has completed; the receive task polls the socket only
// while it is set.
static bool canPortOpen = false;
// Set by osInit, cleared by ClosePort so that the next OpenPort starts a new
// receive task.
static bool canOsInitDone = false;
// The wrapper whose receive task runs, and so whose port it is; null while
// none runs. Touched only where OpenPort and ClosePort run (one thread at a
// time).
static const XR9ALCANWrapper* rxTaskHolder = nullptr;

namespace {

using xr9can::CanMessageAssembler;

constexpr KT::uint32 kQueueBlocks = 4;  // 4 * 256 bytes: one whole message per item
constexpr KT::uint32 kQueueDepth = 256;
constexpr KT::uint32 kTaskStack = 20480;
constexpr KT::uint32 kTaskPriority = 128;
constexpr int kInterfaces = 4;              // "can0" .. "can3"
constexpr socklen_t kBindAddressLength = 16;
constexpr unsigned short kBitRateGroup = 0x2120;  // | interface number
constexpr unsigned short kBitRateIndex = 4;
constexpr int kWriteAttempts = 10;
constexpr KT::uint32 kFrameGapMs = 1;       // before each data frame
constexpr KT::uint32 kWriteRetryMs = 10;    // after a failed write
constexpr KT::uint32 kIdleMs = 1000;        // receive task, port not open
constexpr long kSelectSliceUs = 10000;      // receive task, port open
constexpr KT::uint32 kErrorPauseMs = 10;    // receive task, after a failed select or read
constexpr int kLengthFrameResult = 16;      // SendData of an empty message
constexpr KT::uint8 kExitItem[XR9ALCANWrapper::kExitItemSize] = {};
static_assert(CanMessageAssembler::kCapacity == XR9ALCANWrapper::kMessageCapacity,
              "the receive buffers hold one queue item");
static_assert(kQueueBlocks * OS_QUEUE_BLOCK_SIZE == XR9ALCANWrapper::kMessageCapacity,
              "a queue item holds one whole message");

// The flags, the socket and the identifiers are shared between host threads
// and the receive task without a lock; every access is a single atomic one.
template <typename T>
T loadShared(const T& value) { return __atomic_load_n(&value, __ATOMIC_ACQUIRE); }
template <typename T>
void storeShared(T& target, T value) { __atomic_store_n(&target, value, __ATOMIC_RELEASE); }

xr9can::CanChannelIds currentIds() {
    xr9can::CanChannelIds ids;
    ids.command = loadShared(Command_ID);
    ids.commandLength = loadShared(Command_Len_ID);
    ids.stream = loadShared(Stream_ID);
    ids.streamLength = loadShared(Stream_Len_ID);
    return ids;
}

struct WriteResult {
    KT::int32 count;
    int error;  // errno of a failed write
    bool whole() const { return count == static_cast<KT::int32>(xr9can::kFrameBytes); }
};

// One frame written under mutexCAN, never waiting there: a frame the kernel
// cannot take at once (a full transmit queue) fails as ENOBUFS does, so the
// caller's retry path waits with the lock given back and the receive task
// reads on meanwhile.
WriteResult writeFrame(const can_frame& frame) {
    osMutSemTake(loadShared(mutexCAN));
    WriteResult result;
    result.count = static_cast<KT::int32>(
        send(loadShared(canSock), &frame, sizeof frame, MSG_DONTWAIT | MSG_NOSIGNAL));
    result.error = errno;
    osMutSemGive(loadShared(mutexCAN));
    if (result.count < 0 && (result.error == EAGAIN || result.error == EWOULDBLOCK)) result.error = ENOBUFS;
    return result;
}

// Up to kWriteAttempts writes of frame, each gapMs (if any) after the one
// before; a failed one is reported on the console and, as a line of caller,
// in the log, then waited out with the lock given back. The last result.
WriteResult writeWithRetries(const can_frame& frame, KT::uint32 gapMs, const char* caller) {
    WriteResult written = {-1, 0};
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        if (gapMs) osTaskDelay(gapMs);
        written = writeFrame(frame);
        if (written.count >= 0) break;
        xr9::consoleLine(std::string("##### Write returned: ") + std::strerror(written.error));
        if (LOG_LEVEL > xr9::kLogTrace)
            xr9::logFormatted(__LINE__, caller, "CAN Write(): %x  => %s", written.count, std::strerror(written.error));
        osTaskDelay(kWriteRetryMs);
    }
    return written;
}

// Frames taken from the socket by one system call, each with its own room
// for the kernel's drop count. Taken from the heap once per receive task.
struct FrameBatch {
    static constexpr unsigned kFrames = 64;
    can_frame frames[kFrames];
    iovec parts[kFrames];
    alignas(cmsghdr) char control[kFrames][CMSG_SPACE(sizeof(KT::uint32))];
    mmsghdr messages[kFrames];
};

// Every frame that is ready, up to kFrames, read without waiting; mutexCAN is
// held by the caller. The count read, or -1 with errno.
int readFrames(int sock, FrameBatch* batch) {
    for (unsigned i = 0; i < FrameBatch::kFrames; ++i) {
        batch->parts[i] = {&batch->frames[i], sizeof batch->frames[i]};
        msghdr& message = batch->messages[i].msg_hdr;
        message = {};
        message.msg_iov = &batch->parts[i];
        message.msg_iovlen = 1;
        message.msg_control = batch->control[i];
        message.msg_controllen = sizeof batch->control[i];
    }
    return recvmmsg(sock, batch->messages, FrameBatch::kFrames, MSG_DONTWAIT, nullptr);
}

// The kernel's count of frames it dropped on the socket before it queued the
// frame of message (SO_RXQ_OVFL; left out while it is 0).
KT::uint32 kernelDropsBefore(msghdr& message) {
    KT::uint32 drops = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof drops))
            std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
    }
    return drops;
}

// The kernel's drop count on each frame, and the receive queue sized for
// one second of a saturated bus. Neither is required: without them the port
// still works, with the kernel's default queue and no loss detection.
void prepareReceiveQueue(int sock) {
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    const int bytes = XR9ALCANWrapper::kReceiveQueueRequest;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);  // capped at net.core.rmem_max
}

}  // namespace

void ReadDataFunc() {
    CanMessageAssembler stream;   // the buffers and the batch taken once, for the life of the task
    CanMessageAssembler command;
    const std::unique_ptr<FrameBatch> batch(new FrameBatch);
    int nRetVal = -1;
    KT::uint32 kernelDrops = 0;   // the socket's drop count on the last frame read
    int selectError = 0, readError = 0;  // of the last failure; 0 after a success
    osTaskRegister();
    XR9_LOG(xr9::kLogSetup, "Starting CAN RX THREAD  readSocket=%x", loadShared(canSock));
    for (;;) {
        if (!loadShared(runCANRxThread)) break;
        if (!loadShared(canPortOpen)) {
            osTaskDelay(kIdleMs);
            continue;
        }
        const int sock = loadShared(canSock);
        if (sock == -1) continue;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(sock, &readable);
        timeval slice = {0, kSelectSliceUs};
        const int ready = select(sock + 1, &readable, nullptr, nullptr, &slice);
        if (!loadShared(runCANRxThread)) break;
        if (ready < 0) {
            // A failure that repeats is logged once and waited out a slice at a time.
            const int error = errno;
            if (error != selectError)
                XR9_LOG(xr9::kLogSetup, "SocketCAN::select(): %d => %s", ready, std::strerror(error));
            selectError = error;
            osTaskDelay(kErrorPauseMs);
            continue;
        }
        selectError = 0;
        if (ready == 0 || !FD_ISSET(sock, &readable)) continue;

        // Everything that is ready, many frames a read, so the queue is
        // emptied at each wake-up; a short batch found it empty.
        for (int count = FrameBatch::kFrames; count == FrameBatch::kFrames && loadShared(runCANRxThread);) {
            osMutSemTake(loadShared(mutexCAN));
            count = nRetVal = readFrames(sock, batch.get());
            if (nRetVal < 0) {
                const int error = errno;
                const bool drained = error == EAGAIN || error == EWOULDBLOCK;
                if (!drained && error != readError)
                    XR9_LOG(xr9::kLogSetup, "SocketCAN::read(): %d => %s", nRetVal, std::strerror(error));
                osMutSemGive(loadShared(mutexCAN));
                if (!drained) {
                    readError = error;
                    osTaskDelay(kErrorPauseMs);
                }
                break;
            }
            osMutSemGive(loadShared(mutexCAN));
            readError = 0;
            for (int i = 0; i < count; ++i) {
                const can_frame& frame = batch->frames[i];
                const KT::uint32 drops = kernelDropsBefore(batch->messages[i].msg_hdr);
                if (drops != kernelDrops) {
                    // Frames were lost before this one: what is half gathered
                    // could only be completed with bytes of another message.
                    kernelDrops = drops;
                    for (CanMessageAssembler* channel : {&stream, &command}) {
                        if (channel->lost() == CanMessageAssembler::Outcome::Dropped)
                            __atomic_add_fetch(&uiCANRxDroppedMsgs, 1u, __ATOMIC_RELAXED);
                    }
                }
                if (batch->messages[i].msg_len != xr9can::kFrameBytes) continue;

                CanMessageAssembler::Outcome outcome = CanMessageAssembler::Outcome::Ignored;
                switch (xr9can::classifyFrame(frame, currentIds())) {
                case xr9can::FrameKind::StreamLength:
                    outcome = stream.announce(xr9can::frameValue(frame));
                    XR9_LOG(xr9::kLogTrace, "STREAM_LENGTH uiStreamMsgLength  = %d",
                            static_cast<int>(xr9can::frameValue(frame)));
                    break;
                case xr9can::FrameKind::StreamData:
                    outcome = stream.add(frame.data, xr9can::dataLength(frame));
                    if (outcome == CanMessageAssembler::Outcome::Complete) {
                        nRetVal = osQueuePut(uiFTQueueId, stream.message(), stream.messageSize());
                        XR9_LOG(xr9::kLogTrace, "STREAM osQueuePut nRetVal = %d", nRetVal);
                    }
                    break;
                case xr9can::FrameKind::ShmNotice:
                    sendUpdateMessage(kShmNoticeType, SHM_MODULE, kShmNoticeEvent,
                                      static_cast<int>(xr9can::frameValue(frame)), nullptr);
                    break;
                case xr9can::FrameKind::CommandLength:
                    outcome = command.announce(xr9can::frameValue(frame));
                    XR9_LOG(xr9::kLogTrace, "uiCommandMsgLength = %x", xr9can::frameValue(frame));
                    break;
                case xr9can::FrameKind::CommandData:
                    outcome = command.add(frame.data, xr9can::dataLength(frame));
                    if (outcome == CanMessageAssembler::Outcome::Complete) {
                        osQueuePut(uiCCQueueId, command.message(), command.messageSize());
                        XR9_LOG(xr9::kLogSetup, "CAN RX THREAD: COMMAND received");
                    }
                    break;
                case xr9can::FrameKind::Foreign:
                    break;
                }
                // Counted, not logged: the log holds only its documented lines.
                if (outcome == CanMessageAssembler::Outcome::Dropped)
                    __atomic_add_fetch(&uiCANRxDroppedMsgs, 1u, __ATOMIC_RELAXED);
            }
        }
    }
    XR9_LOG(xr9::kLogSetup, "Exiting can rx thread");
}

XR9ALCANWrapper::XR9ALCANWrapper() : m_uiRxTaskId(0) {
    storeShared(runCANRxThread, true);
    osInit();
}

XR9ALCANWrapper::~XR9ALCANWrapper() {
    ClosePort();
}

KT::int32 XR9ALCANWrapper::osInit() {
    KT::int32 rc = osQueueCreate(&uiFTQueueId, "CAN_Stream_Queue", kQueueBlocks, kQueueDepth);
    XR9_LOG(xr9::kLogSetup, "osQueueCreate of %s returned %d", "CAN_Stream_Queue", rc);
    rc = osQueueCreate(&uiCCQueueId, "CAN_Command_Queue", kQueueBlocks, kQueueDepth);
    XR9_LOG(xr9::kLogSetup, "osQueueCreate of %s returned %d", "CAN_Command_Queue", rc);
    rc = osMutSemCreate(&mutexCAN, "CAN_Mutex", 0);
    XR9_LOG(xr9::kLogSetup, "osMutSemCreate of %s returned %d", "CAN_Mutex", rc);
    KT::uint32 taskId = kRxTaskId;
    rc = osTaskCreate(&taskId, "CAN_Rx_Thread", ReadDataFunc, kTaskStack, 0, kTaskPriority, 0);
    XR9_LOG(xr9::kLogSetup, "osTaskCreate of %s returned %d", "CAN_Rx_Thread", rc);
    if (rc == OS_SUCCESS) {  // otherwise no task is ours (another wrapper's may run)
        m_uiRxTaskId = taskId;
        rxTaskHolder = this;
    }
    storeShared(canOsInitDone, true);
    const KT::int32 result = XR_SUCCESS;
    XR9_LOG(xr9::kLogSetup, "returned %d", result);
    return result;
}

KT::int32 XR9ALCANWrapper::OpenPort(enInterfaceType, void* settings, KT::uint32 number) {
    char name[IFNAMSIZ] = {};
    if (number < kInterfaces) std::snprintf(name, sizeof name, "can%u", number);

    if (!settings) {
        XR9_LOG(xr9::kLogSetup, "input param fail\n");
        XR9_RETURN(xr9::kLogSetup, XR_FAILURE);
    }
    const CANPortSetting setting = *static_cast<const CANPortSetting*>(settings);
    const KT::uint32 mode = setting.canMode == CAN_MODE_EXTENDED ? xr9can::kExtendedFlag : 0;
    storeShared(Command_ID, setting.commandId | mode);
    storeShared(Command_Len_ID, setting.commandLengthId | mode);
    storeShared(Stream_ID, setting.streamId | mode);
    storeShared(Stream_Len_ID, setting.streamLengthId | mode);

    if (loadShared(canPortOpen)) {
        XR9_LOG(xr9::kLogSetup, "Already initialized \n");
        XR9_RETURN(xr9::kLogSetup, XR_SUCCESS);
    }
    XR9_LOG(xr9::kLogSetup, "opening %s ...\n", name);

    // A socket left by an earlier failed attempt is not read by anyone (the
    // port is not open); it goes before its successor takes its place.
    if (loadShared(canSock) != -1) close(loadShared(canSock));
    int sock = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (sock >= FD_SETSIZE) {  // the receive task could not watch it
        close(sock);
        sock = -1;
    }
    storeShared(canSock, sock);
    if (sock < 0) {
        XR9_LOG(xr9::kLogSetup, "CAN Socket Open failed ");
        XR9_RETURN(xr9::kLogSetup, XR_FAILURE);
    }
    XR9_LOG(xr9::kLogSetup, "CAN Socket Open Success ");

    addr.can_family = AF_CAN;
    std::memcpy(ifr.ifr_name, name, sizeof name);
    if (ioctl(sock, SIOCGIFINDEX, &ifr) < 0) {
        XR9_LOG(xr9::kLogSetup, "ioctl failed \n");
        XR9_RETURN(xr9::kLogSetup, XR_FAILURE);
    }
    addr.can_ifindex = ifr.ifr_ifindex;

    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), kBindAddressLength) < 0) {
        XR9_LOG(xr9::kLogSetup, "readSocket bind failed");
        XR9_RETURN(xr9::kLogSetup, XR_FAILURE);
    }

    const int flags = fcntl(sock, F_GETFL);
    if (flags < 0 || fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        XR9_LOG(xr9::kLogSetup, "fcntl canSock failed");
        XR9_RETURN(xr9::kLogSetup, XR_FAILURE);
    }
    prepareReceiveQueue(sock);

    if (!loadShared(canOsInitDone)) {
        const KT::int32 initialised = osInit();
        if (initialised != XR_SUCCESS) XR9_RETURN(xr9::kLogSetup, initialised);
    }

    const KT::uint32 rate = convertBaudrateToPeak(setting.baudRate);
    const unsigned short group = static_cast<unsigned short>(kBitRateGroup | number);
    const int answer =
        KT::KTDEI::instance()->setVariableValue(group, kBitRateIndex, static_cast<int>(rate), true, false);
    XR9_LOG(xr9::kLogSetup, "setBaudrate(%d, %d) returned: %d", static_cast<int>(number + 1),
            static_cast<int>(rate), answer);
    if (!xr9::hostAccepted(answer)) XR9_RETURN(xr9::kLogSetup, answer);
    storeShared(canPortOpen, true);
    XR9_RETURN(xr9::kLogSetup, XR_SUCCESS);
}

KT::int32 XR9ALCANWrapper::ClosePort() {
    if (!rxTaskHolder || rxTaskHolder == this) {
        storeShared(canPortOpen, false);
        storeShared(runCANRxThread, false);
        if (m_uiRxTaskId != 0) {
            osTaskJoin(kRxTaskId);
            m_uiRxTaskId = 0;
            rxTaskHolder = nullptr;
        }
        const int sock = loadShared(canSock);
        if (sock != -1) {
            close(sock);
            storeShared(canSock, -1);
        }
        storeShared(runCANRxThread, true);
        storeShared(canOsInitDone, false);
    }
    XR9_RETURN(xr9::kLogTrace, XR_SUCCESS);
}

KT::int32 XR9ALCANWrapper::ResetPort() {
    ExitReceiveData();
    const KT::int32 nRetVal = XR_SUCCESS;
    XR9_LOG(xr9::kLogSetup, "nRetVal = %x\n", nRetVal);
    return nRetVal;
}

KT::uint32 XR9ALCANWrapper::convertBaudrateToPeak(enBaudRate rate) {
    KT::uint32 bitsPerSecond = 0;
    switch (rate) {
    case CAN_BITRATE_10K: bitsPerSecond = 10000; break;
    case CAN_BITRATE_20K: bitsPerSecond = 20000; break;
    case CAN_BITRATE_50K: bitsPerSecond = 50000; break;
    case CAN_BITRATE_83K: bitsPerSecond = 83333; break;
    case CAN_BITRATE_100K: bitsPerSecond = 100000; break;
    case CAN_BITRATE_111K: bitsPerSecond = 111110; break;
    case CAN_BITRATE_125K: bitsPerSecond = 125000; break;
    case CAN_BITRATE_250K: bitsPerSecond = 250000; break;
    case CAN_BITRATE_500K: bitsPerSecond = 500000; break;
    case CAN_BITRATE_800K: bitsPerSecond = 800000; break;
    case CAN_BITRATE_1M: bitsPerSecond = 1000000; break;
    }
    XR9_RETURN(xr9::kLogTrace, bitsPerSecond);
}

KT::int32 XR9ALCANWrapper::GetCANMode(enCANMode mode) {
    return mode == CAN_MODE_EXTENDED ? 1 : 0;
}

KT::int32 XR9ALCANWrapper::GetDeviceList(enInterfaceType) {
    return XR_FAILURE;
}

KT::int32 XR9ALCANWrapper::SendData(QByteArray*, enMsgType) {
    return XR_FAILURE;
}

KT::int32 XR9ALCANWrapper::SendData(KT::uint8* data, KT::uint32 length, enMsgType type) {
    if (!data && (type == MSG_TYPE_SHM || length != 0)) XR9_RETURN(xr9::kLogTrace, XR_FAILURE);
    const xr9can::CanChannelIds ids = currentIds();
    const KT::uint32 lengthId = type == MSG_TYPE_STREAM ? ids.streamLength : ids.commandLength;
    const KT::uint32 dataId = type == MSG_TYPE_STREAM ? ids.stream : ids.command;

    can_frame frame;
    if (type == MSG_TYPE_SHM)
        xr9can::encodeShmFrame(ids.commandLength, data, &frame);
    else
        xr9can::encodeLengthFrame(lengthId, length, &frame);

    WriteResult written = writeWithRetries(frame, 0, __PRETTY_FUNCTION__);
    XR9_LOG(xr9::kLogTrace, "Bytes send = %x", written.count);
    if (!written.whole()) XR9_RETURN(xr9::kLogTrace, XR_FAILURE);
    if (type == MSG_TYPE_SHM) XR9_RETURN(xr9::kLogTrace, XR_SUCCESS);
    if (length == 0) XR9_RETURN(xr9::kLogTrace, kLengthFrameResult);

    for (KT::uint32 offset = 0; offset < length; offset += xr9can::kMaxData) {
        xr9can::encodeDataFrame(dataId, data, length, offset, &frame);
        written = writeWithRetries(frame, kFrameGapMs, __PRETTY_FUNCTION__);
        if (length - offset <= xr9can::kMaxData) break;  // the last piece; offset must not wrap
    }
    XR9_RETURN(xr9::kLogTrace, written.whole() ? XR_SUCCESS : XR_FAILURE);
}

KT::int32 XR9ALCANWrapper::ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) {
    KT::uint32 queue = 0;
    switch (type) {
    case MSG_TYPE_COMMAND: queue = uiCCQueueId; break;
    case MSG_TYPE_STREAM: queue = uiFTQueueId; break;
    case MSG_TYPE_SHM: queue = uiSHMQeueId; break;
    default: XR9_RETURN(xr9::kLogTrace, XR_FAILURE);
    }
    XR9_RETURN(xr9::kLogTrace, osQueueGet(queue, data, length) == OS_SUCCESS ? XR_SUCCESS : XR_FAILURE);
}

KT::int32 XR9ALCANWrapper::ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout,
                                            enMsgType type) {
    KT::int32 result = XR_FAILURE;
    switch (type) {
    case MSG_TYPE_STREAM: result = osQueueGetTimed(uiFTQueueId, data, length, timeout); break;
    case MSG_TYPE_COMMAND: result = osQueueGetTimed(uiCCQueueId, data, length, timeout); break;
    case MSG_TYPE_SHM: result = osQueueGet(uiSHMQeueId, data, length); break;
    default: break;
    }
    XR9_RETURN(xr9::kLogTrace, result);
}

KT::int32 XR9ALCANWrapper::ExitReceiveData() {
    osQueuePut(uiCCQueueId, kExitItem, sizeof kExitItem);
    XR9_RETURN(xr9::kLogTrace, osQueuePut(uiFTQueueId, kExitItem, sizeof kExitItem));
}

KT::uint32 XR9ALCANWrapper::droppedMessages() {
    return __atomic_load_n(&uiCANRxDroppedMsgs, __ATOMIC_RELAXED);
}
