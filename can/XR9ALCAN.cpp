#include "can/XR9ALCAN.h"

#include "support/Xr9LogCall.h"
#include "vocabulary/XRErrorCodes.h"

XR9ALCAN::XR9ALCAN() = default;

XR9ALCAN::~XR9ALCAN() = default;

KT::int32 XR9ALCAN::GetDeviceList(InterfaceSetting*) {
    return XR_FAILURE;
}

KT::int32 XR9ALCAN::OpenPort(enInterfaceType type, void* settings, KT::uint32 number) {
    return wrapper_.OpenPort(type, settings, number);
}

KT::int32 XR9ALCAN::SendData(KT::uint8* data, KT::uint32 length, enMsgType type) {
    XR9_RETURN(xr9::kLogTrace, wrapper_.SendData(data, length, type));
}

KT::int32 XR9ALCAN::SendData(QByteArray*, enMsgType) {
    return XR_FAILURE;
}

KT::int32 XR9ALCAN::ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) {
    XR9_RETURN(xr9::kLogTrace, wrapper_.ReceiveData(data, length, type));
}

KT::int32 XR9ALCAN::ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout, enMsgType type) {
    XR9_RETURN(xr9::kLogTrace, wrapper_.ReceiveDataTimed(data, length, timeout, type));
}

KT::int32 XR9ALCAN::ReceiveData(QByteArray*, enMsgType, int) {
    return XR_NOT_SUPPORTED;
}

KT::int32 XR9ALCAN::ClosePort() {
    return wrapper_.ClosePort();
}

KT::int32 XR9ALCAN::ExitReceiveData() {
    XR9_RETURN(xr9::kLogTrace, wrapper_.ExitReceiveData());
}

KT::int32 XR9ALCAN::ResetPort() {
    wrapper_.ResetPort();
    XR9_LOG(xr9::kLogSetup, " function returned: %d", XR_SUCCESS);
    return XR_SUCCESS;
}
