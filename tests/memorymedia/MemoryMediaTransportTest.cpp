// What the memory-media transport does without any drive: fixed results of
// the data operations, the OpenPort trace, the registry slot.
#include <gtest/gtest.h>

#include <QByteArray>

#include <cstring>
#include <ostream>
#include <string>

#include "access/XR9ALCOMMFactory.h"
#include "access/Xr9AlHandle.h"
#include "common/TestSupport.h"
#include "memorymedia/XR9ALMM.h"
#include "support/Xr9Log.h"

namespace {

TEST(MemoryMediaTransport, DataOperationsGiveFixedResultsAndTouchNothing) {
    XR9ALMM mm;
    XR9AL* handle = &mm;  // the host only ever sees the interface

    KT::uint8 buffer[16];
    std::memset(buffer, 0xA5, sizeof buffer);
    KT::uint32 length = 12345;
    QByteArray bytes("untouched");

    EXPECT_EQ(0, handle->SendData(buffer, sizeof buffer, MSG_TYPE_COMMAND));
    EXPECT_EQ(-1, handle->SendData(&bytes, MSG_TYPE_COMMAND));
    EXPECT_EQ(0, handle->ReceiveData(buffer, &length, MSG_TYPE_STREAM));
    EXPECT_EQ(0, handle->ReceiveDataTimed(buffer, &length, 10, MSG_TYPE_SHM));
    EXPECT_EQ(-502, handle->ReceiveData(&bytes, MSG_TYPE_BROADCAST, 1000));
    EXPECT_EQ(0, handle->ExitReceiveData());
    EXPECT_EQ(0, handle->OpenPort(IF_TYPE_CAN, buffer, 3));

    EXPECT_EQ(12345u, length);
    EXPECT_EQ(QByteArray("untouched"), bytes);
    for (KT::uint8 b : buffer) ASSERT_EQ(0xA5, b);
}

TEST(MemoryMediaTransport, NullArgumentsAreAccepted) {
    XR9ALMM mm;
    XR9AL* handle = &mm;
    EXPECT_EQ(0, handle->SendData(static_cast<KT::uint8*>(nullptr), 0, MSG_TYPE_NONE));
    EXPECT_EQ(0, handle->ReceiveData(static_cast<KT::uint8*>(nullptr), nullptr, MSG_TYPE_NONE));
    EXPECT_EQ(0, handle->OpenPort(IF_TYPE_MM, nullptr, 0));
    const KT::int32 polled = handle->GetDeviceList(nullptr);
    EXPECT_TRUE(polled == 0 || polled == -280) << polled;
}

TEST(MemoryMediaTransport, ConstructionResetsMountId) {
    mount_id = 42;
    XR9ALMM mm;
    EXPECT_EQ(0, mount_id);
    mount_id = 7;
    EXPECT_EQ(0, mm.ExitReceiveData());
    EXPECT_EQ(7, mount_id) << "only the constructor writes mount_id";
    mount_id = 0;
}

struct TraceCase {
    int level;
    bool written;
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << "level " << c.level; }

class MemoryMediaOpenPortTrace : public ::testing::TestWithParam<TraceCase> {
protected:
    void TearDown() override { Xr9Log::SetLogLevel(savedLevel_); }
    int savedLevel_ = LOG_LEVEL;
    xr9test::TempDir dir_;
};

TEST_P(MemoryMediaOpenPortTrace, ResultIsTracedFromLevelFive) {
    const std::string base = dir_.file("log");
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    Xr9Log::SetLogLevel(GetParam().level);
    XR9ALMM mm;
    EXPECT_EQ(0, mm.OpenPort(IF_TYPE_MM, nullptr, 0));
    const std::string expected = GetParam().written
        ? "91  virtual KT::int32 XR9ALMM::OpenPort(enInterfaceType, void*, KT::uint32)  "
          "function return value = 0\n"
        : "";
    EXPECT_EQ(expected, xr9test::readFile(base + ".0"));
}

INSTANTIATE_TEST_SUITE_P(Levels, MemoryMediaOpenPortTrace,
                         ::testing::Values(TraceCase{-1, false}, TraceCase{3, false}, TraceCase{4, false},
                                           TraceCase{5, true}, TraceCase{6, true}),
                         [](const ::testing::TestParamInfo<TraceCase>& info) {
                             const int level = info.param.level;
                             return level < 0 ? std::string("Negative") : "Level" + std::to_string(level);
                         });

TEST(MemoryMediaHandle, FactoryHandsOutOneTransportForTheType) {
    XR9AL* first = Xr9AlGetHandle(IF_TYPE_MM);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, Xr9AlGetHandle(IF_TYPE_MM));
    EXPECT_EQ(first, pUSBhandle);
    EXPECT_NE(nullptr, dynamic_cast<XR9ALMM*>(first));
    QByteArray bytes;
    EXPECT_EQ(-502, first->ReceiveData(&bytes, MSG_TYPE_COMMAND, 0));

    EXPECT_EQ(0, Xr9AlCloseHandle(first));
    EXPECT_EQ(nullptr, pUSBhandle);
    XR9AL* again = Xr9AlGetHandle(IF_TYPE_MM);
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(again, pUSBhandle);
    EXPECT_EQ(0, Xr9AlCloseHandle(again));
}

}  // namespace
