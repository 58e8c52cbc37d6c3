#include <gtest/gtest.h>

#include <algorithm>
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
// fallback and outlying numbers worth probing.
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
         {{257, "STATE_IDLE"}, {258, "STATE_CONNECTED"}, {259, "STATE_CONNECTING"}, {260, "STATE_UPLOADING"},
          {261, "STATE_UPLOADED"}, {262, "STATE_INSTALLING"}, {263, "STATE_INSTALLED"}, {264, "STATE_RESTARTING"},
          {265, "ASTATE_RESTARTED"}, {266, "STATE_DISCONNECTING"}, {267, "STATE_DISCONNECTED"}, {268, "STATE_INIT"},
          {269, "STATE_CREATING_PACKAGE"}, {270, "STATE_CREATED_PACKAGE"}, {511, "STATE_ERROR"}},
         "UNKNOWN_STATE",
         {0, 1, 256, 271, 510, 512, -257, INT_MAX, INT_MIN}},
        {"Module",
         [](long long v) { return getXRModuleString(static_cast<int>(v)); },
         {{0x10000, "DM_CONNECTION_MODULE"}, {0x20000, "TM_INTERFACE_MODULE"}, {0x40000, "XRMGR_MODULE"},
          {0x80000, "XRAGENT_MODULE"}, {0x100000, "FILEHANDLER_MODULE"}, {0x200000, "SWU_MODULE"},
          {0x400000, "ZM_MODULE"}, {0x800000, "SHM_MODULE"}, {0x1000000, "ETH_BROADCAST_MODULE"},
          {0x2000000, "ZM_UPDATE_MODULE"}, {0x4000000, "SWU_UPDATE_MODULE"}},
         "UNKNOWN Module",
         {0, 1, 0x8000, 0x30000, 0x8000000, 0x810000, 0x7FF0000, INT_MIN, -1, 0x10001}},
        {"InternalEvent",
         [](long long v) { return getXRInternalEventString(static_cast<unsigned int>(v)); },
         {{1, "EVENT_UPLOAD_INIT"}, {2, "EVENT_UPLOAD_INIT"}, {3, "EVENT_UPLOAD_INIT"}, {5, "EVENT_UPLOAD_ERROR"},
          {7, "EVENT_THREAD_ID"}, {8, "EVENT_INSTALL_INIT"}, {9, "EVENT_INSTALL_STARTED"},
          {16, "EVENT_INSTALL_FINISHED"}, {32, "EVENT_INSTALL_ERROR"}, {64, "EVENT_INSTALL_APP_RESTART"}},
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
         {{1, "REQUEST_ACCEPTED"}, {2, "REQUEST_REJECTED_TYPE_MISMATCH"}, {3, "REQUEST_REJECTED_MODEL_MISMATCH"},
          {4, "REQUEST_REJECTED"}, {5, "REQUEST_REJECTED_ACTIVE_INTERFACE_ETH"},
          {6, "REQUEST_REJECTED_ACTIVE_INTERFACE_MM"}, {7, "REQUEST_REJECTED_ACTIVE_INTERFACE_CAN"}},
         "REQUEST_UNKNOWN",
         {0, -1, 8, INT_MAX, INT_MIN}},
        {"Interface",
         [](long long v) { return getInterfaceString(static_cast<enInterfaceType>(v)); },
         {{0, "UNDEFINED INTERFACE"}, {1, "CAN INTERFACE"}, {2, "ETHERNET INTERFACE"}, {3, "RS232 INTERFACE"},
          {4, "MEMORY MEDIA INTERFACE"}},
         "UNKNOWN INTERFACE",
         {5, 6, 7}},
    };
}

void PrintTo(const NameTable& t, std::ostream* os) {
    *os << t.name;
}

class NameTables : public ::testing::TestWithParam<NameTable> {};

// Every named value, its neighbours, a sweep over the small numbers and the
// listed outsiders: the name where one is listed, the fallback otherwise.
TEST_P(NameTables, NamedValuesHaveTheirTextAndAllOthersTheFallback) {
    const NameTable& table = GetParam();
    std::vector<long long> probes = table.others;
    for (long long v = -2; v <= 600; ++v) probes.push_back(v);
    for (const auto& entry : table.names)
        for (long long d = -2; d <= 2; ++d) probes.push_back(entry.first + d);
    for (long long value : probes) {
        // Outside 0..7 is no value of the interface enumeration.
        if (table.name == std::string("Interface") && (value < 0 || value > 7)) continue;
        auto it = table.names.find(value);
        ASSERT_EQ(it == table.names.end() ? table.fallback : it->second, table.lookup(value)) << value;
    }
}

INSTANTIATE_TEST_SUITE_P(AllTables, NameTables, ::testing::ValuesIn(tables()),
                         [](const ::testing::TestParamInfo<NameTable>& info) { return info.param.name; });

// The enumerators the tables are indexed by, as hosts compile them.
TEST(NameTablesTest, EnumeratorsHaveTheirDocumentedValues) {
    const std::pair<long long, long long> values[] = {
        {STATE_IDLE, 0x101}, {STATE_RESTARTED, 265}, {STATE_CREATED_PACKAGE, 0x10E}, {STATE_ERROR, 0x1FF},
        {XR_STATE_ERROR, 9}, {REQUEST_REJECTED_ACTIVE_INTERFACE_CAN, 7}, {EVENT_INSTALL_APP_RESTART, 64},
        {SWU_UPDATE_MODULE, 0x4000000}};
    for (const auto& [enumerator, value] : values) EXPECT_EQ(value, enumerator);
}

// The report joins a rule, the three names and a rule; id and text are not shown.
TEST(UpdateMessageReport, JoinsRuleModuleEventResultRule) {
    const struct {
        unsigned int module, event;
        int result;
        char fill;
        const char* shown;
    } cases[] = {
        {0x800000, 9, 0, '\0', "SHM_MODULE\n Event: EVENT_INSTALL_STARTED\n Result: XR SUCCESS"},
        {0x30000, 102, -7, '\0', "UNKNOWN Module\n Event: EVENT_UNKNOWN\n Result: UNKOWN ERROR"},
        {0x200000, 32, -502, 'x', "SWU_MODULE\n Event: EVENT_INSTALL_ERROR\n Result: NOT SUPPORTED"},
    };
    for (const auto& c : cases) {
        XRUpdateMessage m{c.module, c.fill ? 0xFFFFFFFFu : 0x24u, c.event, c.result, {}};
        std::fill(m.text, m.text + sizeof m.text - 1, c.fill);
        EXPECT_EQ(std::string("\n ################\n Module: ") + c.shown + "\n ################",
                  getUpdateMessageString(m));
    }
}

}  // namespace
