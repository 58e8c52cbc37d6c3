// The CAN transport as the host sees it: the XR9AL implementation for
// IF_TYPE_CAN. It forwards to its XR9ALCANWrapper, which holds the
// process-wide port; the receive task starts with the object.
#ifndef XR9ALCAN_H
#define XR9ALCAN_H

#include "access/XR9AL.h"
#include "can/XR9ALCANWrapper.h"

class XR9AL_EXPORT XR9ALCAN : public XR9AL {
public:
    XR9ALCAN();
    // Destroys the wrapper, which closes the port.
    ~XR9ALCAN() override;

    // -1; the record is untouched.
    KT::int32 GetDeviceList(InterfaceSetting* setting) override;
    // XR9ALCANWrapper::OpenPort; settings points to a CANPortSetting, number
    // is the interface 0..3.
    KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) override;
    // The wrapper's operation of the same name; the result is traced as
    // "function return value = %d" at LOG_LEVEL 5 and above.
    KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) override;
    // -1; nothing is sent.
    KT::int32 SendData(QByteArray* data, enMsgType type) override;
    // Traced like SendData.
    KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) override;
    // Traced like SendData.
    KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout,
                               enMsgType type) override;
    // -502 ("NOT SUPPORTED") at once.
    KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) override;
    KT::int32 ClosePort() override;
    // Traced like SendData.
    KT::int32 ExitReceiveData() override;
    // Releases blocked receivers through the wrapper; always 0 (logged at
    // LOG_LEVEL 4 and above).
    KT::int32 ResetPort() override;

private:
    XR9ALCANWrapper m_wrapper;
};

#endif
