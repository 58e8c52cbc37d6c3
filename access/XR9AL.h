/// \file
/// The abstract transport interface that the host drives every medium through.
/// The virtual slot order is binding: hosts call through this table.
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

/// Device-list record owned by the caller. The two leading words belong to the
/// host; no transport reads or writes them. XR9ALMM writes the mount path of a
/// detected memory drive into device.
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
/// every transport (Xr9AlGetHandle, Xr9AlCloseHandle). Every operation returns
/// a status: 0 success, negative failure; -1 also answers an operation the
/// transport does not offer. The calling order is Xr9AlGetHandle, OpenPort,
/// any number of sends and receives, ClosePort, Xr9AlCloseHandle. Which thread
/// may call what is stated by each transport (XR9ALCAN, XR9ALEthernet, XR9ALMM).
class XR9AL_EXPORT XR9AL {
public:
    /// Releases what the transport holds; reached through Xr9AlCloseHandle.
    virtual ~XR9AL();
    /// Fills setting with the medium's device, where the medium has one.
    virtual KT::int32 GetDeviceList(InterfaceSetting* setting) = 0;
    /// Opens the medium with the transport's settings record (CANPortSetting,
    /// EthernetSettings; none for a memory drive).
    virtual KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) = 0;
    /// Sends length bytes of data as one message on channel type.
    virtual KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) = 0;
    /// Sends data as one message on channel type (Ethernet only; -1 elsewhere).
    virtual KT::int32 SendData(QByteArray* data, enMsgType type) = 0;
    /// Takes the oldest message of channel type into data, its size into *length.
    virtual KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) = 0;
    /// As ReceiveData, waiting at most timeout ms where the transport waits.
    virtual KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout,
                                       enMsgType type) = 0;
    /// Appends the oldest message of channel type to *data, waiting up to
    /// timeout ms (Ethernet only; -502 elsewhere).
    virtual KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) = 0;
    /// Closes the medium; the transport can be opened again.
    virtual KT::int32 ClosePort() = 0;
    /// Releases receivers blocked in the transport (CAN; 0 elsewhere).
    virtual KT::int32 ExitReceiveData() = 0;
    /// Resets the port without closing it; what that means is the transport's.
    virtual KT::int32 ResetPort() = 0;
};

#endif
