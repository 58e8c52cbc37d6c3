/// \file
/// The 256-byte update-message record that the update system's modules post
/// into the host's OS queues, and the functions that post and copy it.
#ifndef XRUPDATEMESSAGE_H
#define XRUPDATEMESSAGE_H

#include <cstddef>
#include <string>

#include "KTTypes.h"
#include "support/Xr9AlExport.h"

/// Type of an update message; only 1 to 4 are valid (each picks a host queue).
typedef KT::int32 XRMessageType;

constexpr unsigned int kUpdateMessageTextSize = 240;  ///< bytes of XRUpdateMessage::text

/// The update-message record: 256 bytes, host byte order, shared with
/// separately built modules.
struct XRUpdateMessage {
    KT::uint32 module;     ///< one bit of the module table
    KT::uint32 messageId;  ///< set from the message type
    KT::uint32 event;      ///< what happened (enXRInternalEvent or the sender's own)
    KT::int32 result;      ///< a status code
    char text[kUpdateMessageTextSize];  ///< zero-terminated, zero-filled; last byte always 0
};
static_assert(sizeof(XRUpdateMessage) == 256, "XRUpdateMessage is 256 bytes");
static_assert(offsetof(XRUpdateMessage, messageId) == 4, "XRUpdateMessage layout");
static_assert(offsetof(XRUpdateMessage, event) == 8, "XRUpdateMessage layout");
static_assert(offsetof(XRUpdateMessage, result) == 12, "XRUpdateMessage layout");
static_assert(offsetof(XRUpdateMessage, text) == 16, "XRUpdateMessage layout");

/// \name The notice of a shared-memory value from the remote side
/// As both transports post it: type 4 (queue 2), SHM_MODULE, event 102; the
/// value is the record's result.
///@{
constexpr XRMessageType kShmNoticeType = 4;     ///< the message type (host queue 2)
constexpr unsigned int kShmNoticeEvent = 102;  ///< the record's event
///@}

/// Builds a record (text cut at 239 characters, null text allowed) and puts
/// its 256 bytes into the host queue of type: 1 -> queue 4 (id 35), 2 -> 3
/// (34), 3 -> 6 (36), 4 -> 2 (36). -1 for another type; otherwise the put's
/// result (0 when queued). Any thread.
XR9AL_EXPORT int sendUpdateMessage(XRMessageType type, unsigned int module, unsigned int event, int result,
                                   std::string* text);
/// A new copy of the record in raw (caller deletes), or null unless size is
/// 256 and raw is given (also null when the heap is exhausted).
XR9AL_EXPORT XRUpdateMessage* getUpdateMessage(unsigned int* raw, unsigned int size);
/// A new copy of the 32-bit control word in raw (caller deletes), or null
/// unless size is 4 and raw is given (also null when the heap is exhausted).
XR9AL_EXPORT unsigned int* getControlMessage(unsigned int* raw, unsigned int size);

#endif
