/// \file
/// Writing queued messages as frames to a connected TCP socket's descriptor,
/// without waiting: the one place that turns a run of messages into system
/// writes, for the owner thread and for send steps in other threads alike.
#ifndef ETHERNETFRAMEWRITER_H
#define ETHERNETFRAMEWRITER_H

#include <cstddef>

#include <QByteArray>

#include "XR9ALEthernet/EthernetReceiveQueues.h"

namespace xr9eth {

/// The whole frame of (type, payload) in one array, for a write that takes one array.
QByteArray frameOf(enMsgType type, const QByteArray& payload);

/// The bytes of (type, payload)'s frame from sent on: what must follow a
/// write the system cut there, before anything else on that connection.
QByteArray frameRest(const QPair<enMsgType, QByteArray>& message, size_t sent);

/// What one sendFrames call handed to the system.
struct FramesSent {
    int whole = 0;        ///< frames handed over whole, from the first
    size_t cutAt = 0;     ///< bytes handed over of the frame after them; 0: none
    bool failed = false;  ///< the system refused for another reason than being full
};

/// Hands count frames from frames[from] on to the connected TCP socket fd,
/// in order, as far as the system takes them at once: many frames per call,
/// payloads up to 2 KiB copied next to their headers into the calling
/// thread's 64 KiB buffer (the system's cost per piece is more than such a
/// copy), larger ones written from their own arrays. Never waits, never
/// raises SIGPIPE. Any thread; the caller keeps fd open and frames unchanged
/// meanwhile.
FramesSent sendFrames(int fd, const EthernetQueue& frames, int from, int count);

}  // namespace xr9eth

#endif
