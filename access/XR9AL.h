// The abstract transport interface that the host drives every medium through.
// The virtual slot order is binding: hosts call through this table.
#ifndef XR9AL_H
#define XR9AL_H

#include <cstddef>
#include <string>

#include "KTTypes.h"
#include "access/Xr9AlExport.h"

class QByteArray;

enum enInterfaceType : int {
    IF_TYPE_UNDEFINED = 0,
    IF_TYPE_CAN = 1,
    IF_TYPE_ETHERNET = 2,
    IF_TYPE_RS232 = 3,
    IF_TYPE_MM = 4
};

enum enMsgType : int {
    MSG_TYPE_NONE = 0,
    MSG_TYPE_COMMAND = 1,
    MSG_TYPE_STREAM = 2,
    MSG_TYPE_SHM = 3,
    MSG_TYPE_BROADCAST = 4
};

// Device-list record owned by the caller. The two leading words belong to the
// host; no transport reads or writes them. XR9ALMM writes the mount path of a
// detected memory drive into device.
struct InterfaceSetting {
    KT::uint32 uiHostWord1;
    KT::uint32 uiHostWord2;
    std::string device;
};
static_assert(sizeof(enInterfaceType) == 4 && sizeof(enMsgType) == 4, "enumerations are passed as 32-bit words");
static_assert(offsetof(InterfaceSetting, uiHostWord2) == 4, "InterfaceSetting layout");
static_assert(offsetof(InterfaceSetting, device) == 8, "InterfaceSetting layout");
static_assert(sizeof(InterfaceSetting) == 8 + sizeof(std::string), "InterfaceSetting layout");

class XR9AL_EXPORT XR9AL {
public:
    virtual ~XR9AL();
    virtual KT::int32 GetDeviceList(InterfaceSetting* setting) = 0;
    virtual KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) = 0;
    virtual KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) = 0;
    virtual KT::int32 SendData(QByteArray* data, enMsgType type) = 0;
    virtual KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) = 0;
    virtual KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout,
                                       enMsgType type) = 0;
    virtual KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) = 0;
    virtual KT::int32 ClosePort() = 0;
    virtual KT::int32 ExitReceiveData() = 0;
    virtual KT::int32 ResetPort() = 0;
};

#endif
