#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "vocabulary/XRErrorCodes.h"
#include "vocabulary/XRNames.h"

namespace {

// One name table: its lookup over plain numbers, the named values, the
// fallback and numbers outside the table worth probing.
struct NameTable {
    const char* name;
    std::function<std::string(long long)> lookup;
    std::map<long long, std::string> names;
    std::string fallback;
    std::vector<long long> others;
};

std::vector<NameTable> tables() {
    return {
        {"MainState",
         [](long long v) { return getXRMainStateString(static_cast<enXRMainState>(v)); },
         {{2, "XR_STATE_INIT"}, {3, "XR_STATE_RUN"}, {4, "XR_STATE_STOP"}, {5, "XR_STATE_EXIT"},
          {9, "XR_STATE_ERROR"}},
         "XR_STATE_UNKNOWN",
         {0, 1, 6, 7, 8, 10, -1, INT_MAX, INT_MIN}},
        {"UpdateState",
         [](long long v) { return getXRUpdateStateString(static_cast<enXRUpdateState>(v)); },
         {{257, "STATE_IDLE"},
          {258, "STATE_CONNECTED"},
          {259, "STATE_CONNECTING"},
          {260, "STATE_UPLOADING"},
          {261, "STATE_UPLOADED"},
          {262, "STATE_INSTALLING"},
          {263, "STATE_INSTALLED"},
          {264, "STATE_RESTARTING"},
          {265, "ASTATE_RESTARTED"},
          {266, "STATE_DISCONNECTING"},
          {267, "STATE_DISCONNECTED"},
          {268, "STATE_INIT"},
          {269, "STATE_CREATING_PACKAGE"},
          {270, "STATE_CREATED_PACKAGE"},
          {511, "STATE_ERROR"}},
         "UNKNOWN_STATE",
         {0, 1, 256, 271, 510, 512, -257, INT_MAX, INT_MIN}},
        {"Module",
         [](long long v) { return getXRModuleString(static_cast<int>(v)); },
         {{0x10000, "DM_CONNECTION_MODULE"},
          {0x20000, "TM_INTERFACE_MODULE"},
          {0x40000, "XRMGR_MODULE"},
          {0x80000, "XRAGENT_MODULE"},
          {0x100000, "FILEHANDLER_MODULE"},
          {0x200000, "SWU_MODULE"},
          {0x400000, "ZM_MODULE"},
          {0x800000, "SHM_MODULE"},
          {0x1000000, "ETH_BROADCAST_MODULE"},
          {0x2000000, "ZM_UPDATE_MODULE"},
          {0x4000000, "SWU_UPDATE_MODULE"}},
         "UNKNOWN Module",
         {0, 1, 0x8000, 0x30000, 0x8000000, 0x810000, 0x7FF0000, INT_MIN, -1, 0x10001}},
        {"InternalEvent",
         [](long long v) { return getXRInternalEventString(static_cast<unsigned int>(v)); },
         {{1, "EVENT_UPLOAD_INIT"},
          {2, "EVENT_UPLOAD_INIT"},
          {3, "EVENT_UPLOAD_INIT"},
          {5, "EVENT_UPLOAD_ERROR"},
          {7, "EVENT_THREAD_ID"},
          {8, "EVENT_INSTALL_INIT"},
          {9, "EVENT_INSTALL_STARTED"},
          {16, "EVENT_INSTALL_FINISHED"},
          {32, "EVENT_INSTALL_ERROR"},
          {64, "EVENT_INSTALL_APP_RESTART"}},
         "EVENT_UNKNOWN",
         {0, 4, 6, 10, 17, 33, 65, 102, 128, UINT_MAX, 0x80000001u}},
        {"ConnectionStatus",
         [](long long v) { return getConnectionStatusString(static_cast<enConnectionStatus>(v)); },
         {{0, "STATUS_WAIT_FOR_CONNRESPONSE"}, {1, "STATUS_CONNECTED"}, {2, "STATUS_DISCONNECTED"},
          {3, "STATUS_ERROR"}},
         "STATUS_UNKNOWN",
         {-1, 4, 5, INT_MAX, INT_MIN}},
        {"ConnectionRequestStatus",
         [](long long v) { return getConnectionRequestStatusString(static_cast<enConnRequestStatus>(v)); },
         {{1, "REQUEST_ACCEPTED"},
          {2, "REQUEST_REJECTED_TYPE_MISMATCH"},
          {3, "REQUEST_REJECTED_MODEL_MISMATCH"},
          {4, "REQUEST_REJECTED"},
          {5, "REQUEST_REJECTED_ACTIVE_INTERFACE_ETH"},
          {6, "REQUEST_REJECTED_ACTIVE_INTERFACE_MM"},
          {7, "REQUEST_REJECTED_ACTIVE_INTERFACE_CAN"}},
         "REQUEST_UNKNOWN",
         {0, -1, 8, INT_MAX, INT_MIN}},
        {"Interface",
         [](long long v) { return getInterfaceString(static_cast<enInterfaceType>(v)); },
         {{0, "UNDEFINED INTERFACE"},
          {1, "CAN INTERFACE"},
          {2, "ETHERNET INTERFACE"},
          {3, "RS232 INTERFACE"},
          {4, "MEMORY MEDIA INTERFACE"}},
         "UNKNOWN INTERFACE",
         {5, 6, 7}},
    };
}

void PrintTo(const NameTable& t, std::ostream* os) {
    *os << t.name;
}

class NameTables : public ::testing::TestWithParam<NameTable> {};

TEST_P(NameTables, EveryNamedValueHasItsText) {
    const NameTable& table = GetParam();
    for (const auto& [value, text] : table.names) EXPECT_EQ(text, table.lookup(value)) << value;
}

TEST_P(NameTables, OtherValuesGiveTheFallback) {
    const NameTable& table = GetParam();
    for (long long value : table.others) EXPECT_EQ(table.fallback, table.lookup(value)) << value;
}

TEST_P(NameTables, NoValueAroundTheTableHasAnUnlistedName) {
    const NameTable& table = GetParam();
    // Every number near a named one, and a sweep over the small numbers.
    std::vector<long long> probes;
    for (long long v = -2; v <= 600; ++v) probes.push_back(v);
    for (const auto& entry : table.names)
        for (long long d = -2; d <= 2; ++d) probes.push_back(entry.first + d);
    for (long long value : probes) {
        if (table.name == std::string("Interface") && (value < 0 || value > 7)) continue;
        auto it = table.names.find(value);
        ASSERT_EQ(it == table.names.end() ? table.fallback : it->second, table.lookup(value)) << value;
    }
}

INSTANTIATE_TEST_SUITE_P(AllTables, NameTables, ::testing::ValuesIn(tables()),
                         [](const ::testing::TestParamInfo<NameTable>& info) { return info.param.name; });

TEST(NameTablesTest, EnumeratorsHaveTheirDocumentedValues) {
    EXPECT_EQ(0x101, STATE_IDLE);
    EXPECT_EQ(0x10E, STATE_CREATED_PACKAGE);
    EXPECT_EQ(0x1FF, STATE_ERROR);
    EXPECT_EQ("ASTATE_RESTARTED", getXRUpdateStateString(STATE_RESTARTED));
    EXPECT_EQ("XR_STATE_ERROR", getXRMainStateString(XR_STATE_ERROR));
    EXPECT_EQ("REQUEST_REJECTED_ACTIVE_INTERFACE_CAN",
              getConnectionRequestStatusString(REQUEST_REJECTED_ACTIVE_INTERFACE_CAN));
    EXPECT_EQ("EVENT_INSTALL_APP_RESTART", getXRInternalEventString(EVENT_INSTALL_APP_RESTART));
    EXPECT_EQ("SWU_UPDATE_MODULE", getXRModuleString(SWU_UPDATE_MODULE));
}

XRUpdateMessage record(unsigned int module, unsigned int event, int result) {
    XRUpdateMessage m{};
    m.module = module;
    m.messageId = 0x24;
    m.event = event;
    m.result = result;
    return m;
}

struct ReportCase {
    const char* name;
    XRUpdateMessage message;
    const char* module;
    const char* event;
    const char* result;
};

void PrintTo(const ReportCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateMessageReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(UpdateMessageReport, JoinsRuleModuleEventResultRule) {
    const ReportCase& c = GetParam();
    const std::string expected = std::string("\n ################") + "\n Module: " + c.module + "\n Event: " +
                                 c.event + "\n Result: " + c.result + "\n ################";
    EXPECT_EQ(expected, getUpdateMessageString(c.message));
}

XRUpdateMessage withText(XRUpdateMessage m) {
    for (size_t i = 0; i + 1 < sizeof m.text; ++i) m.text[i] = 'x';
    m.messageId = 0xFFFFFFFF;
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Records, UpdateMessageReport,
    ::testing::Values(ReportCase{"ShmSuccess", record(0x800000, 9, 0), "SHM_MODULE", "EVENT_INSTALL_STARTED",
                                 "XR SUCCESS"},
                      ReportCase{"AllUnknown", record(0x30000, 102, -7), "UNKNOWN Module", "EVENT_UNKNOWN",
                                 "UNKOWN ERROR"},
                      ReportCase{"MostNegativeResult", record(0, 0, INT_MIN), "UNKNOWN Module", "EVENT_UNKNOWN",
                                 "UNKOWN ERROR"},
                      ReportCase{"LowestCode", record(0x4000000, 64, -503), "SWU_UPDATE_MODULE",
                                 "EVENT_INSTALL_APP_RESTART", "USER ABORT"},
                      ReportCase{"DoubleBlankMessage", record(0x10000, 2, -154), "DM_CONNECTION_MODULE",
                                 "EVENT_UPLOAD_INIT", "PACKAGE HEADER:  READING PACKAGE FILES FAILED"},
                      ReportCase{"IdAndTextNotShown", withText(record(0x200000, 32, -502)), "SWU_MODULE",
                                 "EVENT_INSTALL_ERROR", "NOT SUPPORTED"},
                      ReportCase{"ModuleWithHighBit", record(0x80000000u, 1, 1), "UNKNOWN Module",
                                 "EVENT_UPLOAD_INIT", "UNKOWN ERROR"}),
    [](const ::testing::TestParamInfo<ReportCase>& info) { return info.param.name; });

TEST(UpdateMessageReportTest, StartsWithALineFeedAndEndsWithoutOne) {
    const std::string report = getUpdateMessageString(record(0x800000, 9, 0));
    ASSERT_FALSE(report.empty());
    EXPECT_EQ('\n', report.front());
    EXPECT_EQ('#', report.back());
    EXPECT_EQ(std::string::npos, report.find('\0'));
}

}  // namespace
