#include <algorithm>
#include <cstring>
#include <new>

#include "osal.h"
#include "vocabulary/XRErrorCodes.h"
#include "vocabulary/XRUpdateMessage.h"

namespace {

struct Route {
    KT::uint32 queue;
    KT::uint32 messageId;
};

// Indexed by message type - 1.
constexpr Route kRoutes[] = {{4, 0x23}, {3, 0x22}, {6, 0x24}, {2, 0x24}};

}  // namespace

int sendUpdateMessage(XRMessageType type, unsigned int module, unsigned int event, int result, std::string* text) {
    if (type < 1 || type > 4) return XR_FAILURE;
    const Route& route = kRoutes[type - 1];
    XRUpdateMessage record{};
    record.module = module;
    record.messageId = route.messageId;
    record.event = event;
    record.result = result;
    if (text) std::memcpy(record.text, text->data(), std::min<size_t>(text->size(), kUpdateMessageTextSize - 1));
    return osQueuePut(route.queue, &record, sizeof record);
}

XRUpdateMessage* getUpdateMessage(unsigned int* raw, unsigned int size) {
    if (size != sizeof(XRUpdateMessage) || !raw) return nullptr;
    XRUpdateMessage* copy = new (std::nothrow) XRUpdateMessage();
    if (copy) std::memcpy(copy, raw, sizeof *copy);
    return copy;
}

unsigned int* getControlMessage(unsigned int* raw, unsigned int size) {
    if (size != sizeof(unsigned int) || !raw) return nullptr;
    return new (std::nothrow) unsigned int(*raw);
}
