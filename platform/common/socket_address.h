// IPv4 socket-address conversions shared by both platform trees.
#pragma once

#include <cstring>

#include "platform/platform.h"
#include "platform_sockets.h"

inline sockaddr_in platformMakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

// Stores a socket address as an endpoint; `out` may be nullptr.
inline void platformStoreEndpoint(const sockaddr_in& sa, Ipv4Endpoint* out) {
    if (out == nullptr) {
        return;
    }
    out->address = sa.sin_addr.s_addr;
    out->port = ntohs(sa.sin_port);
}
