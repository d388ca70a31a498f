// Local and peer names of a socket: the same calls on every platform.
#include "platform/common/socket_address.h"

// Reads one of the two names with `query` (getsockname or getpeername).
template <typename Query>
static int readName(PlatformSocket socket, Ipv4Endpoint* out, Query query) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (query(socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) {
        return -1;
    }
    platformStoreEndpoint(sa, out);
    return 0;
}

int platformSocketLocalName(PlatformSocket socket, Ipv4Endpoint* local) {
    return readName(socket, local, getsockname);
}

int platformSocketPeerName(PlatformSocket socket, Ipv4Endpoint* peer) {
    return readName(socket, peer, getpeername);
}
