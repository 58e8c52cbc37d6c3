/// \file
/// The memory-media transport: it carries no data. It polls the kernel's mount
/// table for a mounted USB memory drive, hands its mount directory to the host,
/// flushes the file systems before the drive is pulled and forgets the drive
/// on request.
///
/// A mount-table entry is a drive when its mount directory (only that field)
/// contains "usbsd", "/media/disk" or "/mnt/usb", compared case-sensitively;
/// the first such entry of the table wins.
///
/// No lock, no thread: the host calls one operation at a time, from any thread.
/// OpenPort is not needed; the object is usable once constructed.
#ifndef XR9ALMM_H
#define XR9ALMM_H

#include <string>

#include "access/XR9AL.h"
#include "vocabulary/XRErrorCodes.h"

/// Set to 0 by every XR9ALMM constructor; nothing else in the library uses it.
extern XR9AL_EXPORT KT::int32 mount_id;

/// The XR9AL implementation for IF_TYPE_MM. It moves no data: the operations
/// not documented here give the fixed answers of the table in XR9AL. OpenPort
/// traces its result at LOG_LEVEL 5 and above.
class XR9AL_EXPORT XR9ALMM : public XR9AL {
public:
    /// No drive known yet; sets mount_id to 0.
    XR9ALMM();
    /// Frees the mount path only: no flush, no console output.
    ~XR9ALMM() override;

    /// Rescans the mount table. 0 and device = mount directory + "/" when a
    /// drive appeared since the last poll; XR_MM_SAME_DRIVE while one stays (device
    /// untouched); XR_MM_NO_DRIVE with device = the old path when the known drive has
    /// gone; XR_MM_NO_DRIVE and device untouched when there was and is none. Only
    /// device of the record is written; a null setting gets nothing.
    KT::int32 GetDeviceList(InterfaceSetting* setting) override;
    KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) override;
    KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) override;
    KT::int32 SendData(QByteArray* data, enMsgType type) override;
    /// Moves nothing, length untouched; 0.
    KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) override;
    KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout,
                               enMsgType type) override;
    KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) override;
    /// With a drive known: runs "sync" (at most 5 s) and prints whether it
    /// worked. Always 0; the drive stays known.
    KT::int32 ClosePort() override;
    KT::int32 ExitReceiveData() override;
    /// Forgets a known drive (printing its path), so the next poll that still
    /// finds it reports it as new. Always -1.
    KT::int32 ResetPort() override;

    /// One scan of the mount table: 1 when a drive is mounted (m_MountPoint
    /// names the first one), 0 otherwise (m_MountPoint keeps its text). A table
    /// that cannot be opened counts as empty.
    int checkMountedDevice();

protected:
    KT::int32 m_DeviceState;   ///< 0: no drive known; 1: m_MountPoint names a mounted drive
    std::string m_MountPoint;  ///< mount directory with one "/" appended
};

#endif
