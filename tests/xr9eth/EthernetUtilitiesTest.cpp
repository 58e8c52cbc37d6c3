#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "XR9ALEthernet/EthernetUtilities.h"

namespace {

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values) out.append(static_cast<char>(v));
    return out;
}

struct ReaderCase {
    const char* name;
    QByteArray data;
    int typeResult;
    enMsgType type;
    int lengthResult;
    int length;  // expected; 777 means "left untouched"
    int infoResult;
};

class FrameReaders : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(FrameReaders, ReportTypeAndLengthOfTheHead) {
    const ReaderCase& c = GetParam();
    enMsgType type = MSG_TYPE_STREAM;
    EXPECT_EQ(c.typeResult, EthernetUtilities::GetMessageType(c.data, &type));
    EXPECT_EQ(c.type, type);
    int length = 777;
    EXPECT_EQ(c.lengthResult, EthernetUtilities::GetMessageLength(c.data, length));
    EXPECT_EQ(c.lengthResult == 0 ? c.length : 777, length);
    int infoLength = 777;
    type = MSG_TYPE_STREAM;
    EXPECT_EQ(c.infoResult, EthernetUtilities::GetMessageInfo(c.data, &type, infoLength));
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.infoResult == 0 ? c.length : 777, infoLength);
    // A null type is an invalid parameter whatever the bytes, and the length stays untouched.
    EXPECT_EQ(-2, EthernetUtilities::GetMessageType(c.data, nullptr));
    EXPECT_EQ(-2, EthernetUtilities::GetMessageInfo(c.data, nullptr, length = 9));
    EXPECT_EQ(9, length);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameReaders,
    ::testing::Values(
        ReaderCase{"SevenBytes", bytes({0xA5, 0xA5, 0xA5, 0xA5, 0, 0, 0}), -2, MSG_TYPE_NONE, -2, 777, -2},
        ReaderCase{"Command", bytes({0xA5, 0xA5, 0xA5, 0xA5, 0, 0, 0, 3, 'a', 'b', 'c'}), 0, MSG_TYPE_COMMAND, 0, 3,
                   0},
        ReaderCase{"LengthIsBigEndian", bytes({0xA7, 0xA7, 0xA7, 0xA7, 0, 0, 1, 0}), 0, MSG_TYPE_STREAM, 0, 256, 0},
        ReaderCase{"MixedMarker", bytes({0xA5, 0xA5, 0xA5, 0xA7, 0, 0, 0, 1}), -1, MSG_TYPE_NONE, 0, 1, -1},
        ReaderCase{"MixedBroadcastShm", bytes({0xA2, 0xA1, 0xA2, 0xA2, 0, 0, 0, 1}), -1, MSG_TYPE_NONE, 0, 1, -1},
        ReaderCase{"EmptyStream", bytes({0xA7, 0xA7, 0xA7, 0xA7, 0, 0, 0, 0}), 0, MSG_TYPE_STREAM, 0, 0, 0},
        ReaderCase{"ShmShortForm", bytes({0xA1, 0xA1, 0xA1, 0xA1, 1, 0, 0, 0}), 0, MSG_TYPE_SHM, 0, 16777216, 0},
        ReaderCase{"Broadcast", bytes({0xA2, 0xA2, 0xA2, 0xA2, 0, 0, 0, 5}), 0, MSG_TYPE_BROADCAST, 0, 5, 0},
        ReaderCase{"NegativeLengthPassedOn", bytes({0xA5, 0xA5, 0xA5, 0xA5, 0xFF, 0xFF, 0xFF, 0xFE}), 0,
                   MSG_TYPE_COMMAND, 0, -2, 0},
        ReaderCase{"Empty", QByteArray(), -2, MSG_TYPE_NONE, -2, 777, -2}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

struct IpCase {
    const char* text;
    int result;
    short expected[4];
    const char* formatted;  // the stored numbers written back
};

class IpAddresses : public ::testing::TestWithParam<IpCase> {};

TEST_P(IpAddresses, ParseStoresFourNumbersOrLeavesTheArrayAndFormatWritesThemBack) {
    const IpCase& c = GetParam();
    short address[4] = {-9, -9, -9, -9};
    EXPECT_EQ(c.result, EthernetUtilities::setIPArray(QString::fromUtf8(c.text), address));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(c.expected[i], address[i]) << "element " << i;
    EXPECT_EQ(QString::fromUtf8(c.formatted), EthernetUtilities::getIPStr(address));
    std::unique_ptr<QString> owned(EthernetUtilities::getIPString(address));
    ASSERT_NE(nullptr, owned);
    EXPECT_EQ(QString::fromUtf8(c.formatted), *owned);
}

INSTANTIATE_TEST_SUITE_P(Table, IpAddresses,
                         ::testing::Values(IpCase{"192.168.1.17", 0, {192, 168, 1, 17}, "192.168.1.17"},
                                           IpCase{"1..2.3", 0, {1, 0, 2, 3}, "1.0.2.3"},
                                           IpCase{"1.2.3", -1, {-9, -9, -9, -9}, "-9.-9.-9.-9"},
                                           IpCase{"1.2.3.4.5", -1, {-9, -9, -9, -9}, "-9.-9.-9.-9"},
                                           IpCase{"300.1000.0.255", 0, {300, 1000, 0, 255}, "300.1000.0.255"},
                                           IpCase{"a.b.c.d", 0, {0, 0, 0, 0}, "0.0.0.0"},
                                           IpCase{"70000.1.-2.4", 0, {0, 1, -2, 4}, "0.1.-2.4"},
                                           IpCase{"", -1, {-9, -9, -9, -9}, "-9.-9.-9.-9"}));

TEST(LocalAddresses, BroadcastReplacesEverythingAfterTheLastDotAndTheListsAreEmpty) {
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.1.17", "192.168.1.255"}, {"10.0.5.7", "10.0.5.255"}, {"", "255"}, {"abc", "255"},
        {"1.2.", "1.2.255"}};
    for (const auto& c : cases) {
        EXPECT_EQ(QString::fromUtf8(c.second), EthernetUtilities::GetBroadcastIP(QString::fromUtf8(c.first)))
            << c.first;
    }
    EXPECT_TRUE(EthernetUtilities::GetAllLocalIPs().isEmpty());
    EXPECT_TRUE(EthernetUtilities::GetAllBroadcastIPs().isEmpty());
}

}  // namespace
