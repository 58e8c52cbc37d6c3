/// \file
/// Cuts the frames of one endpoint off the head of its reassembly buffer. Pure
/// of sockets, queues and locks: bytes in; messages, SHM values and the
/// reader's status out. The transport's readers keep one cutter per endpoint,
/// append each arrival to the buffer and hand it here; the cutter itself
/// remembers only how much of an oversized frame it still has to pass over.
///
/// One pass walks the buffer with an offset and compacts it once at the end,
/// so its cost is linear in the bytes buffered whatever the number of frames.
/// Nothing is allocated from an announced length: a payload is copied out only
/// once all of it is buffered, and an oversized payload is never stored.
#ifndef ETHERNETFRAMECUTTER_H
#define ETHERNETFRAMECUTTER_H

#include <cstdint>
#include <vector>

#include <QByteArray>

#include "XR9ALEthernet/EthernetLimits.h"
#include "access/XR9AL.h"

/// The frame cutter of one endpoint. Owner thread of its transport (or any
/// one thread: it has no lock).
class XR9AL_EXPORT EthernetFrameCutter {
public:
    /// The endpoint decides which frames are accepted:
    ///  Command:   command frames and SHM short frames, whole frames only;
    ///  Stream:    stream frames, whole frames only;
    ///  Broadcast: broadcast frames; a frame announcing more bytes than the
    ///             buffer holds yields what is there (datagrams do not
    ///             continue), and the largest frame does not apply: a
    ///             datagram always yields the bytes it carries.
    enum class Endpoint { Command, Stream, Broadcast };

    /// One message or SHM value cut off the buffer.
    struct Piece {
        enMsgType type;      ///< the frame's channel; MSG_TYPE_SHM carries value
        QByteArray payload;  ///< header removed; empty for SHM
        KT::int32 value;     ///< the SHM value (little-endian on the wire); 0 otherwise
    };

    /// What one cut found.
    struct Pass {
        /// The reader's status: -1 when fewer than 8 bytes were there to look
        /// at, or the buffer began with no marker or a negative length; 0
        /// otherwise (frames cut, a partial frame kept, a foreign channel).
        int status = 0;
        bool dropped = false;  ///< the whole buffer was discarded as malformed or foreign
        bool full = false;     ///< the room given is used up: whole frames may still be buffered
        qint64 skipped = 0;    ///< bytes of oversized payloads passed over in this pass
        std::vector<Piece> pieces;  ///< in wire order
    };

    /// Room without limit, for a cut that takes every whole frame.
    static constexpr qint64 kNoRoomLimit = INT64_MAX;

    /// maxFrameLength: the largest payload a frame on a connection may announce.
    explicit EthernetFrameCutter(Endpoint endpoint, KT::uint32 maxFrameLength = xr9eth::kDefaultMaxFrameLength)
        : endpoint_(endpoint), maxFrameLength_(maxFrameLength) {}

    /// Applies from the next frame header; a skip under way goes on.
    void setMaxFrameLength(KT::uint32 bytes) { maxFrameLength_ = bytes; }
    /// Forgets a skip under way: the connection was replaced or closed.
    void reset() { skipRemaining_ = 0; }
    /// Bytes of an oversized frame still to be passed over as they arrive.
    qint64 skipRemaining() const { return skipRemaining_; }

    /// Cuts the accepted frames off the head of buffer, in order, until the
    /// queue cost of the messages cut (xr9eth::queuedCost) reaches room; with
    /// room > 0 at least one message is cut when one is complete. On a
    /// connection, a frame announcing more than the largest frame is passed
    /// over: its header and exactly its announced payload, as they arrive,
    /// none of it kept. A head that is no marker, a negative length, or a
    /// frame of a channel the endpoint does not carry empties buffer (good
    /// frames behind them included). Unfinished bytes (a partial frame, fewer
    /// than 8 bytes) stay.
    Pass cut(QByteArray* buffer, qint64 room = kNoRoomLimit);

private:
    bool carries(enMsgType type) const;

    Endpoint endpoint_;
    KT::uint32 maxFrameLength_;
    qint64 skipRemaining_ = 0;
};

namespace xr9eth {

/// Cuts the frame heading buffer that the caller has read as type and length
/// (the SHM short form: MSG_TYPE_SHM and 0), without looking at its header
/// again: true with its piece when it is whole; false with buffer untouched
/// when it is not yet, or emptied when length is negative (malformed).
bool cutFrame(QByteArray* buffer, enMsgType type, int length, EthernetFrameCutter::Piece* piece);

}  // namespace xr9eth

#endif
