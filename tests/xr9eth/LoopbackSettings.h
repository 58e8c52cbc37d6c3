// The settings record of a transport on 127.0.0.1: server mode, command and
// stream ports that were free a moment ago, the same address for the peer
// and for the broadcast socket.
#ifndef XR9ETH_LOOPBACKSETTINGS_H
#define XR9ETH_LOOPBACKSETTINGS_H

#include <algorithm>

#include "PosixPeer.h"
#include "XR9ALEthernet/EthernetSettings.h"

namespace ethtest {

inline EthernetSettings loopbackSettings() {
    EthernetSettings s{};
    s.commandPort = freeTcpPort();
    s.streamPort = freeTcpPort();
    s.broadcastPort = freeUdpPort();
    const short ip[4] = {127, 0, 0, 1};
    std::copy(ip, ip + 4, s.ipAddress);
    std::copy(ip, ip + 4, s.bindAddress);
    return s;
}

}  // namespace ethtest

#endif
