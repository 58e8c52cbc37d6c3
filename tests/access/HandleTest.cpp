#include <gtest/gtest.h>

#include "access/XR9ALCOMMFactory.h"
#include "access/Xr9AlHandle.h"

namespace {

// A transport of the test's own: what the registry does with any object.
class CountingTransport : public XR9AL {
public:
    explicit CountingTransport(int* destroyed) : destroyed_(destroyed) {}
    ~CountingTransport() override { ++*destroyed_; }
    KT::int32 GetDeviceList(InterfaceSetting*) override { return 0; }
    KT::int32 OpenPort(enInterfaceType, void*, KT::uint32) override { return 0; }
    KT::int32 SendData(KT::uint8*, KT::uint32, enMsgType) override { return 0; }
    KT::int32 SendData(QByteArray*, enMsgType) override { return 0; }
    KT::int32 ReceiveData(KT::uint8*, KT::uint32*, enMsgType) override { return 0; }
    KT::int32 ReceiveDataTimed(KT::uint8*, KT::uint32*, KT::uint32, enMsgType) override { return 0; }
    KT::int32 ReceiveData(QByteArray*, enMsgType, int) override { return 0; }
    KT::int32 ClosePort() override { return 0; }
    KT::int32 ExitReceiveData() override { return 0; }
    KT::int32 ResetPort() override { return 0; }

private:
    int* destroyed_;
};

class HandleTypes : public ::testing::TestWithParam<int> {};

TEST_P(HandleTypes, TypesWithoutATransportYieldNullAndCreateNothing) {
    XR9AL* can = pCANhandle;
    XR9AL* eth = pETHhandle;
    XR9AL* usb = pUSBhandle;
    EXPECT_EQ(nullptr, Xr9AlGetHandle(static_cast<enInterfaceType>(GetParam())));
    EXPECT_EQ(can, pCANhandle);
    EXPECT_EQ(eth, pETHhandle);
    EXPECT_EQ(usb, pUSBhandle);
}

INSTANTIATE_TEST_SUITE_P(NoTransport, HandleTypes, ::testing::Values(0, 3, 5, 100, -1, INT32_MIN));

// Xr9AlInit and the close of null are checked through the host-ABI test.
TEST(Handle, CloseDestroysTheWholeObjectAndEmptiesOnlyItsOwnSlot) {
    int destroyed = 0;
    XR9AL* const saved[] = {pCANhandle, pUSBhandle};
    pUSBhandle = new CountingTransport(&destroyed);
    XR9AL* other = new CountingTransport(&destroyed);
    pCANhandle = other;
    EXPECT_EQ(0, Xr9AlCloseHandle(pUSBhandle));
    EXPECT_EQ(1, destroyed);
    EXPECT_EQ(nullptr, pUSBhandle);
    EXPECT_EQ(other, pCANhandle) << "another type's slot must stay";
    CountingTransport* stray = new CountingTransport(&destroyed);
    EXPECT_EQ(0, Xr9AlCloseHandle(stray)) << "not a handle";
    EXPECT_EQ(other, pCANhandle);
    EXPECT_EQ(0, Xr9AlCloseHandle(other));
    EXPECT_EQ(0, Xr9AlCloseHandle(other)) << "closed twice";
    EXPECT_EQ(2, destroyed) << "a pointer that is not a live handle is left alone";
    EXPECT_EQ(nullptr, pCANhandle);
    delete stray;
    pCANhandle = saved[0];
    pUSBhandle = saved[1];
}

}  // namespace
