/// \file
/// The socketCAN driver of the CAN transport: the port's lifecycle, the
/// framing and send of messages, and the receive task "CAN_Rx_Thread" that
/// rebuilds messages into the OS queues "CAN_Command_Queue" (8) and
/// "CAN_Stream_Queue" (9).
///
/// All port state is process-wide (the globals below): there is one CAN port
/// per process. The receive task is the only reader of canSock; mutexCAN
/// ("CAN_Mutex") is held around each single read (one system call taking
/// every frame ready, up to 64) or write of it.
///
/// Where a real socketCAN stack asks more of the transport than its frames:
///  - Overflow. The port asks the kernel for a receive queue of one second of
///    a saturated bus (kReceiveQueueRequest: SO_RCVBUFFORCE, or SO_RCVBUF
///    capped at net.core.rmem_max without CAP_NET_ADMIN), and the task reads
///    everything that is ready at each wake-up. When the kernel's drop count
///    (SO_RXQ_OVFL, read with each frame) rose, the task gives up the
///    messages half gathered, so no message is put together from pieces of
///    two; they count in uiCANRxDroppedMsgs.
///  - A full transmit queue. Writes never wait under mutexCAN: a frame the
///    kernel cannot take at once fails as ENOBUFS and goes through SendData's
///    retries with the lock given back, so the task reads on meanwhile.
///  - An interface that goes away (an adapter pulled) or down. The task logs
///    the read error ("SocketCAN::read(): -1 => No such device") once, until
///    a read succeeds, and waits in 10 ms slices without busy CPU. SendData
///    fails after its retries; ReceiveData keeps waiting. An interface that
///    comes back up carries on; one deleted and made again needs ClosePort
///    and OpenPort, which bind the new one.
#ifndef XR9ALCANWRAPPER_H
#define XR9ALCANWRAPPER_H

#include <linux/can.h>
#include <net/if.h>

#include "access/XR9AL.h"
#include "can/CANPortSetting.h"

/// Descriptor of the raw CAN socket; -1 while none is open.
extern XR9AL_EXPORT int canSock;
/// The bound address (family AF_CAN and interface index).
extern XR9AL_EXPORT sockaddr_can addr;
/// The interface lookup record (name in, index out).
extern XR9AL_EXPORT ifreq ifr;
/// The receive task runs while set; ClosePort clears it to stop the task.
extern XR9AL_EXPORT bool runCANRxThread;
/// The OS mutex "CAN_Mutex" (0 until the first osInit).
extern XR9AL_EXPORT KT::uint32 mutexCAN;
/// \name Identifier words of the four frame kinds, bit 31 set in extended mode
///@{
extern XR9AL_EXPORT KT::uint32 Command_ID;      ///< command data frames
extern XR9AL_EXPORT KT::uint32 Command_Len_ID;  ///< command length frames; also carries shared-memory notices
extern XR9AL_EXPORT KT::uint32 Stream_ID;       ///< stream data frames
extern XR9AL_EXPORT KT::uint32 Stream_Len_ID;   ///< stream length frames
///@}
/// \name OS queue numbers
/// The host's queue 2, read for MSG_TYPE_SHM, is never created by this library.
///@{
extern XR9AL_EXPORT KT::uint32 uiCCQueueId;  ///< 8, "CAN_Command_Queue"
extern XR9AL_EXPORT KT::uint32 uiFTQueueId;  ///< 9, "CAN_Stream_Queue"
extern XR9AL_EXPORT KT::uint32 uiSHMQeueId;  ///< 2, the host's queue of shared-memory notices
///@}
/// Messages the receive task dropped: their bytes would not fit its 1024-byte
/// buffers (longer announcement, data without a length frame, more data than
/// announced), or frames of theirs were lost in the kernel's receive queue.
/// Counted, not logged. Counts up from 0 for the life of the process; written
/// by the receive task only. Read it with XR9ALCANWrapper::droppedMessages().
extern XR9AL_EXPORT KT::uint32 uiCANRxDroppedMsgs;

/// The receive task's entry: gathers frames into messages until ClosePort
/// stops it. Started by osInit; never called directly.
XR9AL_EXPORT void ReadDataFunc();

/// The socketCAN driver that XR9ALCAN forwards to. Its state is the
/// process-wide globals above.
class XR9AL_EXPORT XR9ALCANWrapper {
public:
    static constexpr KT::uint32 kRxTaskId = 16;           ///< the OS task number of "CAN_Rx_Thread"
    static constexpr KT::uint32 kMessageCapacity = 1024;  ///< largest message received
    static constexpr KT::uint32 kExitItemSize = 12;       ///< the item ExitReceiveData queues
    /// \name The receive queue asked of the kernel
    /// One second of a saturated 1 Mbit/s bus (its shortest frame takes 47
    /// bits with the gap after it) at 1024 bytes of kernel memory a frame,
    /// halved because the kernel doubles what it is asked for.
    ///@{
    static constexpr int kBusFramesPerSecond = 1000000 / 47 + 1;  ///< shortest frames a second at 1 Mbit/s
    static constexpr int kKernelBytesPerFrame = 1024;              ///< kernel memory a queued frame takes
    static constexpr int kReceiveQueueRequest = kBusFramesPerSecond * kKernelBytesPerFrame / 2;  ///< bytes asked for
    ///@}

    /// Starts the receive task (through osInit); it idles until OpenPort.
    XR9ALCANWrapper();
    /// Runs ClosePort.
    ~XR9ALCANWrapper();
    XR9ALCANWrapper(const XR9ALCANWrapper&) = delete;
    XR9ALCANWrapper& operator=(const XR9ALCANWrapper&) = delete;

    /// Creates the two queues, "CAN_Mutex" and task 16 "CAN_Rx_Thread";
    /// failures are logged only (a task that could not be created leaves
    /// m_uiRxTaskId 0). Always 0.
    KT::int32 osInit();
    /// Opens "can<number>" (0..3) with the CANPortSetting at settings and hands
    /// the bit rate to the host (variable 0x2120|number, index 4). 0 when open
    /// (also when it already was; the identifiers are taken anew every call),
    /// -1 on a null record or a failed socket call, or the host's refusal
    /// (anything but 0 and 25). type is not used.
    KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number);
    /// Stops and joins the receive task and closes the socket. Queued messages
    /// stay. Always 0; the next OpenPort starts a new task. The port belongs
    /// to the wrapper whose task runs: while another wrapper's does (this one
    /// was made meanwhile and got none), this and the destructor leave it alone.
    KT::int32 ClosePort();
    /// ExitReceiveData, result ignored. Always 0.
    KT::int32 ResetPort();
    /// Bit/s of a table rate; 0 for a value outside the table.
    KT::uint32 convertBaudrateToPeak(enBaudRate rate);
    /// 1 for CAN_MODE_EXTENDED, 0 otherwise.
    KT::int32 GetCANMode(enCANMode mode);
    /// -1: the CAN transport lists no devices.
    KT::int32 GetDeviceList(enInterfaceType type);
    /// -1: only raw buffers are sent.
    KT::int32 SendData(QByteArray* data, enMsgType type);

    /// Sends length bytes of data as one message: MSG_TYPE_STREAM on the
    /// stream identifiers, MSG_TYPE_SHM as a notice frame carrying data[0..3]
    /// (length unused), every other type on the command identifiers; a refused
    /// frame is tried 10 times, 10 ms apart; data frames are 1 ms apart. 0
    /// when sent (notice written, or the last data frame written whole), 16
    /// when length is 0 (the length frame alone), -1 when the first frame
    /// failed 10 times or was cut short, when the last data frame was not
    /// written whole, or when data is null.
    KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type);
    /// Waits without limit for the next message of MSG_TYPE_COMMAND, _STREAM
    /// or _SHM (host queue 2). data must hold 1024 bytes (the host's record
    /// size for _SHM). 0 or -1; -1 at once for any other type.
    KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type);
    /// As ReceiveData, waiting at most timeout ms for _COMMAND and _STREAM
    /// (_SHM waits without limit); the OS result unchanged (OS_QUEUE_TIMEOUT
    /// on expiry).
    KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout, enMsgType type);
    /// Queues twelve zero bytes into the command, then the stream queue, which
    /// wakes one receiver of each; the stream put's result.
    KT::int32 ExitReceiveData();

    /// uiCANRxDroppedMsgs, read from any thread.
    static KT::uint32 droppedMessages();

private:
    KT::uint32 m_uiRxTaskId;  ///< 16 while this object's task runs, 0 otherwise
};

#endif
