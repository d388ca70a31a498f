// Generic socket services on Windows Sockets (ws2_32 with the 1.1 start-up the host expects).
#include "platform/platform.h"

#include <cstdio>
#include <cstring>

#include "platform/common/socket_address.h"

int platformNetStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0 ? 0 : -1;
}

void platformNetCleanup() {
    WSACleanup();
}

PlatformSocket platformSocketTcp() {
    return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

PlatformSocket platformSocketUdp() {
    return socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}

void platformSocketClose(PlatformSocket socket) {
    if (socket != kPlatformInvalidSocket) {
        closesocket(socket);
    }
}

void platformSocketRelease(PlatformSocket socket) {
    platformSocketClose(socket);
}

void platformSocketShutdown(PlatformSocket socket) {
    if (socket != kPlatformInvalidSocket) {
        shutdown(socket, SD_BOTH);
    }
}

int platformSocketBind(PlatformSocket socket, uint32_t address, uint16_t port) {
    sockaddr_in sa = platformMakeAddress(address, port);
    return bind(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int platformSocketListen(PlatformSocket socket, int backlog) {
    return listen(socket, backlog) == 0 ? 0 : -1;
}

PlatformSocket platformSocketAccept(PlatformSocket socket, Ipv4Endpoint* peer) {
    sockaddr_in sa;
    int len = sizeof sa;
    SOCKET s = accept(socket, reinterpret_cast<sockaddr*>(&sa), &len);
    if (s == INVALID_SOCKET) {
        return kPlatformInvalidSocket;
    }
    // Winsock does not promise that an accepted socket inherits the listener's time-outs, so
    // they are copied.
    const int options[] = {SO_RCVTIMEO, SO_SNDTIMEO};
    for (int option : options) {
        DWORD ms = 0;
        int size = sizeof ms;
        if (getsockopt(socket, SOL_SOCKET, option, reinterpret_cast<char*>(&ms), &size) == 0 &&
            ms != 0) {
            setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&ms), sizeof ms);
        }
    }
    platformStoreEndpoint(sa, peer);
    return s;
}

int platformSocketConnectUnless(PlatformSocket socket, uint32_t address, uint16_t port,
                                uint32_t timeoutMs, bool (*cancelled)()) {
    constexpr uint32_t kSliceMs = 50;
    sockaddr_in sa = platformMakeAddress(address, port);
    u_long nonBlocking = 1;
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        return -1;
    }
    int rc = connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        int ready = 0;
        fd_set writable;
        fd_set failed;
        for (uint32_t waited = 0; ready == 0 && waited < timeoutMs; waited += kSliceMs) {
            if (cancelled != nullptr && cancelled()) {
                break;
            }
            uint32_t slice = cancelled == nullptr            ? timeoutMs
                             : timeoutMs - waited < kSliceMs ? timeoutMs - waited
                                                             : kSliceMs;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(socket, &writable);
            FD_SET(socket, &failed);
            timeval tv;
            tv.tv_sec = static_cast<long>(slice / 1000);
            tv.tv_usec = static_cast<long>((slice % 1000) * 1000);
            ready = select(0, nullptr, &writable, &failed, &tv);
            if (cancelled == nullptr) {
                break;
            }
        }
        if (ready > 0 && FD_ISSET(socket, &writable) && !FD_ISSET(socket, &failed)) {
            rc = 0;
        }
    }
    u_long blocking = 0;
    if (ioctlsocket(socket, FIONBIO, &blocking) != 0) {
        return -1;
    }
    return rc == 0 ? 0 : -1;
}

int platformSocketConnect(PlatformSocket socket, uint32_t address, uint16_t port,
                          uint32_t timeoutMs) {
    return platformSocketConnectUnless(socket, address, port, timeoutMs, nullptr);
}

int platformSocketSend(PlatformSocket socket, const void* data, int length) {
    int n = send(socket, static_cast<const char*>(data), length, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int platformSocketRecv(PlatformSocket socket, void* buffer, int length) {
    int n = recv(socket, static_cast<char*>(buffer), length, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int platformSocketSendTo(PlatformSocket socket, const void* data, int length,
                         const Ipv4Endpoint* to) {
    sockaddr_in sa = platformMakeAddress(to->address, to->port);
    int n = sendto(socket, static_cast<const char*>(data), length, 0,
                   reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n == SOCKET_ERROR ? -1 : n;
}

int platformSocketSetReuseAddress(PlatformSocket socket) {
    BOOL on = TRUE;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0
               ? 0
               : -1;
}

int platformSocketSetTimeouts(PlatformSocket socket, uint32_t recvMs, uint32_t sendMs) {
    DWORD r = recvMs;
    DWORD s = sendMs;
    if (setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&r), sizeof r) !=
            0 ||
        setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&s), sizeof s) !=
            0) {
        return -1;
    }
    return 0;
}

int platformHostName(char* out, int size) {
    if (size <= 0 || gethostname(out, size) != 0) {
        return -1;
    }
    out[size - 1] = '\0';
    return 0;
}

int platformResolveIpv4(const char* host, uint32_t* address) {
    unsigned long parsed = inet_addr(host);
    if (parsed != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0) {
        *address = static_cast<uint32_t>(parsed);
        return 0;
    }
    // gethostbyname keeps its result per thread in Windows Sockets.
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) {
        return -1;
    }
    std::memcpy(address, entry->h_addr_list[0], sizeof *address);
    return 0;
}
