/// \file
/// The CAN transport as the host sees it: the XR9AL implementation for
/// IF_TYPE_CAN. It forwards to its XR9ALCANWrapper, which holds the
/// process-wide port; the receive task starts with the object.
#ifndef XR9ALCAN_H
#define XR9ALCAN_H

#include "access/XR9AL.h"
#include "can/XR9ALCANWrapper.h"

/// The XR9AL implementation for IF_TYPE_CAN. OpenPort and ClosePort from one
/// thread at a time; every other operation from any host thread.
class XR9AL_EXPORT XR9ALCAN : public XR9AL {
public:
    /// Starts the receive task, which idles until OpenPort.
    XR9ALCAN();
    /// Destroys the wrapper, which closes the port.
    ~XR9ALCAN() override;

    /// -1; the record is untouched.
    KT::int32 GetDeviceList(InterfaceSetting* setting) override;
    /// XR9ALCANWrapper::OpenPort; settings points to a CANPortSetting, number
    /// is the interface 0..3.
    KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) override;
    /// XR9ALCANWrapper::SendData; the result is traced as
    /// "function return value = %d" at LOG_LEVEL 5 and above.
    KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) override;
    /// -1; nothing is sent.
    KT::int32 SendData(QByteArray* data, enMsgType type) override;
    /// XR9ALCANWrapper::ReceiveData, traced like SendData.
    KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) override;
    /// XR9ALCANWrapper::ReceiveDataTimed, traced like SendData.
    KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout,
                               enMsgType type) override;
    /// -502 ("NOT SUPPORTED") at once.
    KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) override;
    /// XR9ALCANWrapper::ClosePort.
    KT::int32 ClosePort() override;
    /// XR9ALCANWrapper::ExitReceiveData, traced like SendData.
    KT::int32 ExitReceiveData() override;
    /// Releases blocked receivers through the wrapper; always 0 (logged at
    /// LOG_LEVEL 4 and above).
    KT::int32 ResetPort() override;

private:
    XR9ALCANWrapper wrapper_;
};

#endif
