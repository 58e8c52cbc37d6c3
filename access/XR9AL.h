/// \file
/// The abstract transport interface that the host drives every medium through,
/// and the contract every transport keeps. The virtual slot order is binding:
/// hosts call through this table.
#ifndef XR9AL_H
#define XR9AL_H

#include <cstddef>
#include <string>

#include "KTTypes.h"
#include "support/Xr9AlExport.h"

class QByteArray;

/// The medium a transport carries; Xr9AlGetHandle takes one. Passed as a 32-bit word.
enum enInterfaceType : int {
    IF_TYPE_UNDEFINED = 0,  ///< no transport
    IF_TYPE_CAN = 1,        ///< XR9ALCAN, socketCAN on can0..can3
    IF_TYPE_ETHERNET = 2,   ///< XR9ALEthernet, TCP and UDP broadcast
    IF_TYPE_RS232 = 3,      ///< no transport
    IF_TYPE_MM = 4          ///< XR9ALMM, a USB memory drive
};

/// The logical channel of a message; each transport maps it onto its medium.
enum enMsgType : int {
    MSG_TYPE_NONE = 0,      ///< no channel; also what an unrecognised type reads as
    MSG_TYPE_COMMAND = 1,   ///< commands and their answers
    MSG_TYPE_STREAM = 2,    ///< file-transfer data
    MSG_TYPE_SHM = 3,       ///< shared-memory notices (a 32-bit value)
    MSG_TYPE_BROADCAST = 4  ///< UDP broadcast (Ethernet only)
};

/// Device-list record owned by the caller.
struct InterfaceSetting {
    KT::uint32 uiHostWord1;  ///< the host's; untouched
    KT::uint32 uiHostWord2;  ///< the host's; untouched
    std::string device;      ///< XR9ALMM::GetDeviceList writes the mount path here
};
static_assert(sizeof(enInterfaceType) == 4 && sizeof(enMsgType) == 4, "enumerations are passed as 32-bit words");
static_assert(offsetof(InterfaceSetting, uiHostWord2) == 4, "InterfaceSetting layout");
static_assert(offsetof(InterfaceSetting, device) == 8, "InterfaceSetting layout");
static_assert(sizeof(InterfaceSetting) == 8 + sizeof(std::string), "InterfaceSetting layout");

/// One transport, as the host drives it whatever the medium. The library owns
/// every transport: Xr9AlGetHandle hands it out, Xr9AlCloseHandle destroys it.
///
/// **Results.** Every operation returns a status of vocabulary/XRErrorCodes.h
/// (getErrorString gives its text): 0 (XR_SUCCESS) success, negative failure.
/// XR_FAILURE (-1) also answers an operation the transport does not offer,
/// XR_NOT_SUPPORTED (-502) the QByteArray receive of a transport that moves
/// raw buffers only. Two results are no statuses: the CAN send of an empty
/// message gives 16, and the CAN OpenPort passes on a refusal of the host's
/// data-exchange service as it came. Nothing throws.
///
/// **Order.** Xr9AlGetHandle, OpenPort, any number of sends, receives and
/// GetDeviceList calls (ResetPort among them), ClosePort, Xr9AlCloseHandle. A
/// closed port opens again.
///
/// **Threads.** Sends and receives come from any host thread, several at once
/// (a sender, receivers, a controller calling ExitReceiveData). OpenPort and
/// ClosePort come from one thread at a time: on Ethernet from the thread that
/// made the transport (its owner), whose Qt event loop must run, since it
/// serves the transport's sockets. The memory-media transport takes one call
/// at a time. While Xr9AlCloseHandle destroys a transport no other thread may
/// be inside it, except the Ethernet receivers and senders waiting there,
/// which it releases.
///
/// **Blocking and time-outs.** Which receives wait is in the table below; a
/// timeout is in ms (on Ethernet -1 waits without limit, 0 not at all), and a
/// CAN byte receive waits until a message or ExitReceiveData. Sends do not
/// wait for the peer: CAN writes about one frame a millisecond and tries a
/// refused frame 10 times, 10 ms apart; Ethernet queues, and waits only past
/// its send bound. ClosePort waits for the CAN receive task to stop, or for
/// the memory drive's flush (at most 5 s).
///
/// What each transport does:
///
/// | operation | XR9ALCAN | XR9ALEthernet | XR9ALMM |
/// |---|---|---|---|
/// | GetDeviceList | XR_FAILURE, record untouched | 0, record untouched | looks for a mounted drive |
/// | OpenPort | socketCAN on can0..can3 (number), with a CANPortSetting | sockets and servers, with an EthernetSettings record | 0 |
/// | SendData (bytes) | a length frame, then data frames | queued for the send step | 0, nothing sent |
/// | SendData (QByteArray) | XR_FAILURE | queued; MSG_TYPE_NONE runs one send step | XR_FAILURE |
/// | ReceiveData (bytes) | waits on the channel's queue | polls the channel's queue | 0, nothing received |
/// | ReceiveDataTimed | waits up to timeout | as ReceiveData (bytes) | 0, nothing received |
/// | ReceiveData (QByteArray) | XR_NOT_SUPPORTED | waits up to timeout | XR_NOT_SUPPORTED |
/// | ClosePort | stops the receive task, closes the socket | empties the queues, disconnects | flushes the file systems |
/// | ExitReceiveData | wakes one receiver of each channel | 0, no effect | 0, no effect |
/// | ResetPort | ExitReceiveData; 0 | 0, no effect | forgets the drive; XR_FAILURE |
class XR9AL_EXPORT XR9AL {
public:
    /// Releases what the transport holds; reached through Xr9AlCloseHandle.
    virtual ~XR9AL();
    /// Fills setting with the medium's device, where the medium has one.
    virtual KT::int32 GetDeviceList(InterfaceSetting* setting) = 0;
    /// Opens the medium with the transport's settings record.
    virtual KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) = 0;
    /// Sends length bytes of data as one message on channel type.
    virtual KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) = 0;
    /// Sends data as one message on channel type.
    virtual KT::int32 SendData(QByteArray* data, enMsgType type) = 0;
    /// Takes the oldest message of channel type into data, its size into *length.
    virtual KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) = 0;
    /// As ReceiveData, waiting at most timeout ms where the transport waits.
    virtual KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout,
                                       enMsgType type) = 0;
    /// Appends the oldest message of channel type to *data, waiting up to timeout ms.
    virtual KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) = 0;
    /// Closes the medium; the transport can be opened again.
    virtual KT::int32 ClosePort() = 0;
    /// Releases receivers blocked in the transport.
    virtual KT::int32 ExitReceiveData() = 0;
    /// Resets the port without closing it; what that means is the transport's.
    virtual KT::int32 ResetPort() = 0;
};

#endif
