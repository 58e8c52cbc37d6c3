#include "memorymedia/XR9ALMM.h"

#include <mntent.h>

#include <cstdio>
#include <cstring>

#include "osal.h"
#include "support/Console.h"
#include "support/Xr9LogCall.h"

KT::int32 mount_id = 0;

namespace {

const char* const kMountTable = "/proc/mounts";
const char* const kDriveMarkers[] = {"usbsd", "/media/disk", "/mnt/usb"};
constexpr KT::uint32 kSyncTimeoutSeconds = 5;
constexpr int kOpenPortTraceLine = 91;  // line number hosts' log readers know

bool isDriveDirectory(const char* dir) {
    for (const char* marker : kDriveMarkers) {
        if (std::strstr(dir, marker)) return true;
    }
    return false;
}

}  // namespace

XR9ALMM::XR9ALMM() : m_DeviceState(0) {
    mount_id = 0;
}

XR9ALMM::~XR9ALMM() = default;

int XR9ALMM::checkMountedDevice() {
    bool found = false;
    if (FILE* table = setmntent(kMountTable, "r")) {
        while (const mntent* entry = getmntent(table)) {
            if (entry->mnt_dir && isDriveDirectory(entry->mnt_dir)) {
                m_MountPoint = std::string(entry->mnt_dir) + "/";
                found = true;
                break;
            }
        }
        endmntent(table);
    }
    m_DeviceState = found ? 1 : 0;
    return m_DeviceState;
}

KT::int32 XR9ALMM::GetDeviceList(InterfaceSetting* setting) {
    const KT::int32 before = m_DeviceState;
    const KT::int32 after = checkMountedDevice();
    if (before == 0 && after == 1) {
        if (setting) setting->device = m_MountPoint;
        return XR_SUCCESS;
    }
    if (before == 1 && after == 1) return XR_MM_SAME_DRIVE;
    if (before == 1 && setting) setting->device = m_MountPoint;  // names the drive that has gone
    return XR_MM_NO_DRIVE;
}

KT::int32 XR9ALMM::OpenPort(enInterfaceType, void*, KT::uint32) {
    XR9_RETURN_AT(kOpenPortTraceLine, xr9::kLogTrace, XR_SUCCESS);
}

KT::int32 XR9ALMM::SendData(KT::uint8*, KT::uint32, enMsgType) {
    return XR_SUCCESS;
}

KT::int32 XR9ALMM::SendData(QByteArray*, enMsgType) {
    return XR_FAILURE;
}

KT::int32 XR9ALMM::ReceiveData(KT::uint8*, KT::uint32*, enMsgType) {
    return XR_SUCCESS;
}

KT::int32 XR9ALMM::ReceiveDataTimed(KT::uint8*, KT::uint32*, KT::uint32, enMsgType) {
    return XR_SUCCESS;
}

KT::int32 XR9ALMM::ReceiveData(QByteArray*, enMsgType, int) {
    return XR_NOT_SUPPORTED;
}

KT::int32 XR9ALMM::ClosePort() {
    if (m_DeviceState != 1) return XR_SUCCESS;
    const bool flushed = osRunCommand("sync", kSyncTimeoutSeconds) == 0;
    xr9::consoleLine(flushed ? "USB Memory Drive operation done." : "Unable to process sync.");
    return XR_SUCCESS;
}

KT::int32 XR9ALMM::ExitReceiveData() {
    return XR_SUCCESS;
}

KT::int32 XR9ALMM::ResetPort() {
    if (m_DeviceState != 1) return XR_FAILURE;
    xr9::consoleLine("USB memory drive removed (Mount Point) = " + m_MountPoint + " ");
    m_MountPoint.clear();
    m_DeviceState = 0;
    return XR_FAILURE;
}
