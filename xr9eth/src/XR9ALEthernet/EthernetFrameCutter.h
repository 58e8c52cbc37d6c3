// Cuts the frames of one endpoint off the head of its reassembly buffer. Pure:
// bytes in; messages, SHM values and the reader's status out; no sockets, no
// queues, no locks. The transport's readers append each arrival to the
// buffer and hand it here.
//
// One pass walks the buffer with an offset and compacts it once at the end,
// so its cost is linear in the bytes buffered whatever the number of frames.
// Nothing is allocated from an announced length: a payload is copied out only
// once all of it is buffered.
#ifndef ETHERNETFRAMECUTTER_H
#define ETHERNETFRAMECUTTER_H

#include <vector>

#include <QByteArray>

#include "XR9ALEthernet/EthernetLimits.h"
#include "access/XR9AL.h"

class XR9AL_EXPORT EthernetFrameCutter {
public:
    // The endpoint decides which frames are accepted:
    //  Command:   command frames and SHM short frames, whole frames only;
    //  Stream:    stream frames, whole frames only;
    //  Broadcast: broadcast frames; a frame announcing more bytes than the
    //             buffer holds yields what is there (datagrams do not continue).
    enum class Endpoint { Command, Stream, Broadcast };

    struct Piece {
        enMsgType type;      // the frame's channel; MSG_TYPE_SHM carries value
        QByteArray payload;  // header removed; empty for SHM
        KT::int32 value;     // the SHM value (little-endian on the wire); 0 otherwise
    };

    struct Pass {
        // The reader's status: -1 when fewer than 8 bytes were buffered at the
        // start or the buffer began with no marker or an unaccepted length; 0
        // otherwise (frames cut, a partial frame kept, or a foreign channel).
        int status = 0;
        bool dropped = false;  // the whole buffer was discarded as malformed or foreign
        std::vector<Piece> pieces;  // in wire order
    };

    // maxFrameLength: the largest payload a frame may announce.
    explicit EthernetFrameCutter(Endpoint endpoint, KT::uint32 maxFrameLength = xr9eth::kDefaultMaxFrameLength)
        : endpoint_(endpoint), maxFrameLength_(maxFrameLength) {}

    // Cuts every complete accepted frame off the head of buffer. A head that
    // is no marker, a length that is negative or above the largest frame, or
    // a frame of a channel the endpoint does not carry empties buffer (good
    // frames behind them included). Unfinished bytes (a partial frame, fewer
    // than 8 bytes) stay.
    Pass cut(QByteArray* buffer) const;

private:
    bool acceptedLength(int length) const { return length >= 0 && KT::uint32(length) <= maxFrameLength_; }
    bool carries(enMsgType type) const;

    Endpoint endpoint_;
    KT::uint32 maxFrameLength_;
};

#endif
