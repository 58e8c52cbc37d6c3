/// \file
/// The settings record a host passes to the Ethernet transport's OpenPort.
/// The host owns it and keeps it alive at the same address for as long as the
/// transport exists: the transport keeps the pointer and reads clientMode and
/// broadcastPort again whenever a broadcast message comes or goes. The layout
/// is shared with separately built hosts, so it is fixed (little-endian).
#ifndef ETHERNETSETTINGS_H
#define ETHERNETSETTINGS_H

#include <cstddef>

#include "KTTypes.h"

/// Ports, addresses and mode of the Ethernet transport; read at OpenPort and
/// again for every broadcast message.
struct EthernetSettings {
    KT::uint32 commandPort;    ///< TCP; only the low 16 bits are read
    KT::uint32 streamPort;     ///< TCP; low 16 bits
    KT::uint32 broadcastPort;  ///< UDP bind port and destination of outgoing broadcasts; low 16 bits
    short ipAddress[4];        ///< server mode: the terminal's address for the host; client mode: the peer
    short bindAddress[4];      ///< client mode: local address of the broadcast socket
    KT::uint8 clientMode;      ///< 0 server mode, anything else client mode
};
static_assert(offsetof(EthernetSettings, commandPort) == 0, "EthernetSettings layout");
static_assert(offsetof(EthernetSettings, streamPort) == 4, "EthernetSettings layout");
static_assert(offsetof(EthernetSettings, broadcastPort) == 8, "EthernetSettings layout");
static_assert(offsetof(EthernetSettings, ipAddress) == 12, "EthernetSettings layout");
static_assert(offsetof(EthernetSettings, bindAddress) == 20, "EthernetSettings layout");
static_assert(offsetof(EthernetSettings, clientMode) == 28, "EthernetSettings layout");
static_assert(sizeof(short) == 2, "addresses are four 16-bit numbers");
static_assert(sizeof(EthernetSettings) == 32, "EthernetSettings is 29 bytes padded to 32");

#endif
