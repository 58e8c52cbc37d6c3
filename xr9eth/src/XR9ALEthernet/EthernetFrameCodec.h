/// \file
/// The Ethernet wire frame of the transport's messages, the same on both TCP
/// connections and in every UDP datagram:
///
///   full frame   marker x4 | length, signed 32-bit, most significant byte first | payload
///                A5 A5 A5 A5 00 00 00 03 61 62 63    command message "abc"
///                A7 A7 A7 A7 00 00 00 00             stream message, empty
///   short form   A1 A1 A1 A1 | value, signed 32-bit, least significant byte first
///                A1 A1 A1 A1 2A 00 00 00             SHM value 42 (no length field)
///
/// The length counts the payload only; SHM rides the command connection.
/// Pure functions without state: any thread.
#ifndef ETHERNETFRAMECODEC_H
#define ETHERNETFRAMECODEC_H

#include <algorithm>

#include <QtEndian>

#include "access/XR9AL.h"
#include "support/ByteOrder.h"

namespace xr9eth {

constexpr int kFrameHeaderSize = 8;  ///< marker and length; also the whole SHM short form
constexpr int kMarkerSize = 4;       ///< the marker byte, four times

/// The marker byte of a channel; 0 for a value that has no marker.
constexpr KT::uint8 markerOf(enMsgType type) {
    return type == MSG_TYPE_COMMAND ? 0xA5 : type == MSG_TYPE_STREAM ? 0xA7 : type == MSG_TYPE_SHM ? 0xA1
           : type == MSG_TYPE_BROADCAST ? 0xA2 : 0;
}

/// The header's size in a frame of type: 4 for the SHM short form, else 8.
constexpr int frameHeaderSizeOf(enMsgType type) { return type == MSG_TYPE_SHM ? kMarkerSize : kFrameHeaderSize; }

/// Writes the header of a frame of type carrying payloadSize bytes into
/// header (room for 8) and returns its size: 8, or 4 for the SHM short form,
/// whose payload follows the marker.
inline int encodeFrameHeader(enMsgType type, int payloadSize, char* header) {
    std::fill(header, header + kMarkerSize, static_cast<char>(markerOf(type)));
    if (type != MSG_TYPE_SHM)
        xr9::encodeBigEndian32(reinterpret_cast<uint8_t*>(header + kMarkerSize), static_cast<uint32_t>(payloadSize));
    return frameHeaderSizeOf(type);
}

/// The channel whose marker fills header[0..3], tried in the order broadcast,
/// SHM, command, stream; MSG_TYPE_NONE when none does.
inline enMsgType decodeFrameType(const char* header) {
    for (enMsgType candidate : {MSG_TYPE_BROADCAST, MSG_TYPE_SHM, MSG_TYPE_COMMAND, MSG_TYPE_STREAM}) {
        const char marker = static_cast<char>(markerOf(candidate));
        if (std::all_of(header, header + kMarkerSize, [marker](char b) { return b == marker; })) return candidate;
    }
    return MSG_TYPE_NONE;
}

/// The payload length of a full frame's header[0..7], as sent (negative included).
inline KT::int32 decodeFrameLength(const char* header) {
    return static_cast<KT::int32>(xr9::decodeBigEndian32(reinterpret_cast<const uint8_t*>(header + kMarkerSize)));
}

/// The value of an SHM short frame's bytes 4..7.
inline KT::int32 decodeShmValue(const char* frame) {
    return qFromLittleEndian<qint32>(frame + kMarkerSize);
}

}  // namespace xr9eth

#endif
