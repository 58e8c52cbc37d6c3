/// \file
/// The CAN transport as the host sees it; XR9ALCANWrapper holds the process-wide port.
#ifndef XR9ALCAN_H
#define XR9ALCAN_H

#include "access/XR9AL.h"
#include "can/XR9ALCANWrapper.h"

/// The XR9AL implementation for IF_TYPE_CAN; each operation is the wrapper's
/// of the same name, or the fixed answer of the table in XR9AL. The results
/// of SendData (bytes), ReceiveData (bytes), ReceiveDataTimed and
/// ExitReceiveData are traced as "function return value = %d" at LOG_LEVEL 5
/// and above, that of ResetPort as " function returned: %d" at 4 and above.
class XR9AL_EXPORT XR9ALCAN : public XR9AL {
public:
    /// Starts the receive task, which idles until OpenPort.
    XR9ALCAN();
    /// Destroys the wrapper, which closes the port.
    ~XR9ALCAN() override;

    KT::int32 GetDeviceList(InterfaceSetting* setting) override;
    KT::int32 OpenPort(enInterfaceType type, void* settings, KT::uint32 number) override;
    KT::int32 SendData(KT::uint8* data, KT::uint32 length, enMsgType type) override;
    KT::int32 SendData(QByteArray* data, enMsgType type) override;
    KT::int32 ReceiveData(KT::uint8* data, KT::uint32* length, enMsgType type) override;
    KT::int32 ReceiveDataTimed(KT::uint8* data, KT::uint32* length, KT::uint32 timeout,
                               enMsgType type) override;
    KT::int32 ReceiveData(QByteArray* data, enMsgType type, int timeout) override;
    KT::int32 ClosePort() override;
    KT::int32 ExitReceiveData() override;
    KT::int32 ResetPort() override;

private:
    XR9ALCANWrapper wrapper_;
};

#endif
