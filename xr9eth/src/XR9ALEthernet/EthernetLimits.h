/// \file
/// How much the Ethernet transport holds for and towards its peer. A host may
/// change the receive budget, the send bound and the largest frame per
/// transport (XR9ALEthernet::setReceiveBudget, setSendBound,
/// setMaxFrameLength); the charge and the socket chunk are fixed.
///
/// Per connection (command, stream) the transport holds at most about
///   receive budget + 3 x (frame + 8 + message charge) + 4 x socket chunk
/// bytes of received data, where frame is the largest frame the peer has
/// sent whole or in part: the queued messages (they pass the budget by at
/// most one message), the reassembly buffer (an unfinished frame and a read,
/// twice that while a frame longer than a read grows) and Qt's buffer of the
/// socket (4 KiB). A peer that stalls inside a frame holds only what it has
/// sent; a frame above the largest frame is never held at all. The kernel's
/// socket buffers come on top; they are the system's own and bounded by it.
#ifndef ETHERNETLIMITS_H
#define ETHERNETLIMITS_H

#include <QtGlobal>

#include "KTTypes.h"

namespace xr9eth {

/// The largest payload a received frame may announce: by default the largest
/// the frame can carry (its signed 32-bit length). A host may set a lower
/// limit; a frame on a connection announcing more is passed over as it
/// arrives, its payload counted off and never stored.
constexpr KT::uint32 kDefaultMaxFrameLength = 0x7FFFFFFFu;

/// What a queued message costs beyond its payload: the array's header, the
/// list's node and slot and the allocator's rounding of each, on 32- and
/// 64-bit targets alike. Every queue (receive and send) counts each message
/// at its payload plus this charge, so empty and tiny messages are bounded
/// like large ones.
constexpr qint64 kQueuedMessageCharge = 128;

/// What a queued message of payloadBytes counts against a budget or bound.
constexpr qint64 queuedCost(qint64 payloadBytes) {
    return payloadBytes + kQueuedMessageCharge;
}

/// The cost of received messages a channel's queue may hold before the
/// transport stops reading that channel's socket. Reading resumes as the host
/// takes messages; meanwhile TCP's own flow control holds the peer (a
/// broadcast sender's datagrams wait in, and may be dropped by, the kernel).
constexpr KT::uint32 kDefaultReceiveBudget = 16u << 20;

/// The bytes that may wait towards the peer on one endpoint (command
/// connection, stream connection, broadcast socket): the cost of its messages
/// in the send queue plus what its socket has not yet handed to the system.
/// SendData past it waits for room (host threads) or is refused (owner).
constexpr KT::uint32 kDefaultSendBound = 16u << 20;

/// The most the transport takes off a socket in one read.
constexpr int kSocketReadChunk = 256 * 1024;

/// The size of Qt's buffer of an own or accepted TCP socket: a small arrival
/// is read whole into it; the rest of a larger one the transport reads itself.
constexpr int kQtReadBuffer = 4096;

}  // namespace xr9eth

#endif
