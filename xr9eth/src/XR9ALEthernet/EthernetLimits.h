// How much a peer can make the Ethernet transport hold. A host may change the
// first two per transport (XR9ALEthernet::setMaxFrameLength,
// setReceiveBudget); the socket chunk is fixed.
//
// Per connection (command, stream) the transport holds at most about
//   receive budget + 3 x largest frame + 4 x socket chunk
// bytes of received data: the queued messages (they may pass the budget by
// what one read completes), the reassembly buffer (an unfinished frame and a
// read, twice that while a frame longer than a read grows) and Qt's buffer of
// the socket (a read). A peer that stalls inside a
// frame holds only what it has sent. The kernel's socket buffers come on top;
// they are the system's own and bounded by it.
#ifndef ETHERNETLIMITS_H
#define ETHERNETLIMITS_H

#include "KTTypes.h"

namespace xr9eth {

// The largest payload a received frame may announce. A frame announcing
// more is malformed: its endpoint's reassembly buffer is emptied as soon as
// the header is seen, before anything is allocated for the payload.
constexpr KT::uint32 kDefaultMaxFrameLength = 16u << 20;

// The bytes of received messages a channel's queue may hold before the
// transport stops reading that channel's socket. Reading resumes as the host
// takes messages; meanwhile TCP's own flow control holds the peer (a
// broadcast sender's datagrams wait in, and may be dropped by, the kernel).
constexpr KT::uint32 kDefaultReceiveBudget = 16u << 20;

// The most the transport takes off a socket in one read, and the size of
// Qt's buffer of an own or accepted TCP socket.
constexpr int kSocketReadChunk = 256 * 1024;

}  // namespace xr9eth

#endif
