// What the memory-media transport does without any drive: fixed results of
// the data operations, the OpenPort trace, the registry slot.
#include <gtest/gtest.h>

#include <QByteArray>

#include <cstring>
#include <string>

#include "access/XR9ALCOMMFactory.h"
#include "access/Xr9AlHandle.h"
#include "common/TestSupport.h"
#include "memorymedia/XR9ALMM.h"
#include "support/Xr9Log.h"

namespace {

TEST(MemoryMediaTransport, DataOperationsGiveFixedResultsAndOnlyConstructionResetsMountId) {
    mount_id = 42;
    XR9ALMM mm;
    EXPECT_EQ(0, mount_id);
    mount_id = 7;
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
    EXPECT_EQ(7, mount_id) << "only the constructor writes mount_id";
    mount_id = 0;

    EXPECT_EQ(12345u, length);
    EXPECT_EQ(QByteArray("untouched"), bytes);
    for (KT::uint8 b : buffer) ASSERT_EQ(0xA5, b);

    // Null arguments are accepted as well.
    EXPECT_EQ(0, handle->SendData(static_cast<KT::uint8*>(nullptr), 0, MSG_TYPE_NONE));
    EXPECT_EQ(0, handle->ReceiveData(static_cast<KT::uint8*>(nullptr), nullptr, MSG_TYPE_NONE));
    EXPECT_EQ(0, handle->OpenPort(IF_TYPE_MM, nullptr, 0));
}

TEST(MemoryMediaTransport, OpenPortResultIsTracedFromLevelFive) {
    xr9test::TempDir dir;
    const std::string base = dir.file("log");
    ASSERT_EQ(0, Xr9Log::CreateLogFile(base));
    const int saved = LOG_LEVEL;
    XR9ALMM mm;
    for (int level : {-1, 4, 5}) {
        Xr9Log::SetLogLevel(level);
        EXPECT_EQ(0, mm.OpenPort(IF_TYPE_MM, nullptr, 0));
    }
    Xr9Log::SetLogLevel(saved);
    EXPECT_EQ("91  virtual KT::int32 XR9ALMM::OpenPort(enInterfaceType, void*, KT::uint32)  function return value = 0\n",
              xr9test::readFile(base + ".0"));
}

}  // namespace
