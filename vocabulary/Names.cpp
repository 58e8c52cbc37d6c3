#include <cstring>
#include <string_view>

#include "vocabulary/XRErrorCodes.h"
#include "vocabulary/XRNames.h"

namespace {

using std::string_view;

// A text of a dense range [first, first + count); empty entries have no name.
template <size_t N>
string_view denseName(const string_view (&names)[N], long long first, long long value) {
    const long long i = value - first;
    return i >= 0 && i < static_cast<long long>(N) ? names[i] : string_view();
}

constexpr string_view orElse(string_view name, string_view fallback) {
    return name.empty() ? fallback : name;
}

std::string named(string_view name, string_view fallback) {
    return std::string(orElse(name, fallback));
}

// Indexed by the state minus XR_STATE_INIT.
constexpr string_view kMainStates[] = {"XR_STATE_INIT", "XR_STATE_RUN", "XR_STATE_STOP", "XR_STATE_EXIT", {}, {}, {},
                                       "XR_STATE_ERROR"};

constexpr string_view kUpdateStates[] = {
    "STATE_IDLE",          "STATE_CONNECTED",    "STATE_CONNECTING",       "STATE_UPLOADING",
    "STATE_UPLOADED",      "STATE_INSTALLING",   "STATE_INSTALLED",        "STATE_RESTARTING",
    "ASTATE_RESTARTED",    "STATE_DISCONNECTING", "STATE_DISCONNECTED",    "STATE_INIT",
    "STATE_CREATING_PACKAGE", "STATE_CREATED_PACKAGE"};

// Indexed by the bit number minus 16.
constexpr string_view kModules[] = {
    "DM_CONNECTION_MODULE", "TM_INTERFACE_MODULE", "XRMGR_MODULE",         "XRAGENT_MODULE",
    "FILEHANDLER_MODULE",   "SWU_MODULE",          "ZM_MODULE",            "SHM_MODULE",
    "ETH_BROADCAST_MODULE", "ZM_UPDATE_MODULE",    "SWU_UPDATE_MODULE"};
constexpr int kFirstModuleBit = 16;

constexpr string_view kConnectionStatus[] = {"STATUS_WAIT_FOR_CONNRESPONSE", "STATUS_CONNECTED",
                                             "STATUS_DISCONNECTED", "STATUS_ERROR"};

constexpr string_view kRequestStatus[] = {"REQUEST_ACCEPTED",
                                          "REQUEST_REJECTED_TYPE_MISMATCH",
                                          "REQUEST_REJECTED_MODEL_MISMATCH",
                                          "REQUEST_REJECTED",
                                          "REQUEST_REJECTED_ACTIVE_INTERFACE_ETH",
                                          "REQUEST_REJECTED_ACTIVE_INTERFACE_MM",
                                          "REQUEST_REJECTED_ACTIVE_INTERFACE_CAN"};

constexpr string_view kInterfaces[] = {"UNDEFINED INTERFACE", "CAN INTERFACE", "ETHERNET INTERFACE",
                                       "RS232 INTERFACE", "MEMORY MEDIA INTERFACE"};

string_view moduleName(int module) {
    const unsigned int bits = static_cast<unsigned int>(module);
    // Exactly one bit, and one of the module bits.
    if (bits == 0 || (bits & (bits - 1)) != 0) return string_view();
    return denseName(kModules, kFirstModuleBit, __builtin_ctz(bits));
}

string_view eventName(unsigned int event) {
    switch (event) {
        case 1:
        case 2:
        case 3: return "EVENT_UPLOAD_INIT";
        case EVENT_UPLOAD_ERROR: return "EVENT_UPLOAD_ERROR";
        case EVENT_THREAD_ID: return "EVENT_THREAD_ID";
        case EVENT_INSTALL_INIT: return "EVENT_INSTALL_INIT";
        case EVENT_INSTALL_STARTED: return "EVENT_INSTALL_STARTED";
        case EVENT_INSTALL_FINISHED: return "EVENT_INSTALL_FINISHED";
        case EVENT_INSTALL_ERROR: return "EVENT_INSTALL_ERROR";
        case EVENT_INSTALL_APP_RESTART: return "EVENT_INSTALL_APP_RESTART";
        default: return string_view();
    }
}

constexpr string_view kUnknownModule = "UNKNOWN Module";
constexpr string_view kUnknownEvent = "EVENT_UNKNOWN";
constexpr string_view kRule = "\n ################";

}  // namespace

std::string getXRMainStateString(enXRMainState state) {
    return named(denseName(kMainStates, XR_STATE_INIT, state), "XR_STATE_UNKNOWN");
}

std::string getXRUpdateStateString(enXRUpdateState state) {
    if (state == STATE_ERROR) return "STATE_ERROR";
    return named(denseName(kUpdateStates, STATE_IDLE, state), "UNKNOWN_STATE");
}

std::string getXRModuleString(int module) {
    return named(moduleName(module), kUnknownModule);
}

std::string getXRInternalEventString(unsigned int event) {
    return named(eventName(event), kUnknownEvent);
}

std::string getConnectionStatusString(enConnectionStatus status) {
    return named(denseName(kConnectionStatus, STATUS_WAIT_FOR_CONNRESPONSE, status), "STATUS_UNKNOWN");
}

std::string getConnectionRequestStatusString(enConnRequestStatus status) {
    return named(denseName(kRequestStatus, REQUEST_ACCEPTED, status), "REQUEST_UNKNOWN");
}

std::string getInterfaceString(enInterfaceType type) {
    // Read as a plain word: hosts pass any 32-bit value, also outside the
    // enumeration's own range.
    int value;
    static_assert(sizeof value == sizeof type, "enInterfaceType is a 32-bit word");
    std::memcpy(&value, &type, sizeof value);
    return named(denseName(kInterfaces, IF_TYPE_UNDEFINED, value), "UNKNOWN INTERFACE");
}

std::string getUpdateMessageString(XRUpdateMessage message) {
    const string_view module = orElse(moduleName(static_cast<int>(message.module)), kUnknownModule);
    const string_view event = orElse(eventName(message.event), kUnknownEvent);
    const string_view result = xr9::statusText(message.result);
    constexpr string_view kModule = "\n Module: ";
    constexpr string_view kEvent = "\n Event: ";
    constexpr string_view kResult = "\n Result: ";
    std::string report;
    report.reserve(2 * kRule.size() + kModule.size() + kEvent.size() + kResult.size() + module.size() +
                   event.size() + result.size());
    report.append(kRule).append(kModule).append(module).append(kEvent).append(event);
    report.append(kResult).append(result).append(kRule);
    return report;
}
