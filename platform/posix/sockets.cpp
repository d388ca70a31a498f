// Generic socket services on POSIX: BSD sockets with the Windows Sockets behaviour the
// subsystems expect (closing wakes blocked calls, no SIGPIPE, millisecond time-outs).
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/common/socket_address.h"

int platformNetStartup() {
    return 0;
}

void platformNetCleanup() {}

// Every TCP socket gets SO_REUSEADDR: connections the server closed sit in TIME_WAIT and would
// otherwise keep a restarted listener from its old port. On Linux the option never lets two
// listening sockets share a port (Windows needs no such option and must not get it).
PlatformSocket platformSocketTcp() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return kPlatformInvalidSocket;
    }
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return s;
}

PlatformSocket platformSocketUdp() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return s < 0 ? kPlatformInvalidSocket : s;
}

void platformSocketClose(PlatformSocket socket) {
    if (socket == kPlatformInvalidSocket) {
        return;
    }
    // close() alone does not wake a thread blocked in accept or recv on Linux; shutdown does.
    shutdown(socket, SHUT_RDWR);
    close(socket);
}

void platformSocketRelease(PlatformSocket socket) {
    if (socket != kPlatformInvalidSocket) {
        close(socket);
    }
}

void platformSocketShutdown(PlatformSocket socket) {
    if (socket != kPlatformInvalidSocket) {
        shutdown(socket, SHUT_RDWR);
    }
}

int platformSocketBind(PlatformSocket socket, uint32_t address, uint16_t port) {
    sockaddr_in sa = platformMakeAddress(address, port);
    return bind(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int platformSocketListen(PlatformSocket socket, int backlog) {
    // The kernel caps the queue at its own maximum, so the largest backlog is accepted as is.
    return listen(socket, backlog) == 0 ? 0 : -1;
}

PlatformSocket platformSocketAccept(PlatformSocket socket, Ipv4Endpoint* peer) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    int s;
    // The accepted socket is a copy of the listener's, time-outs included. The listener's
    // receive time-out also bounds each wait in accept, which then just starts again.
    do {
        len = sizeof sa;
        s = accept4(socket, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (s < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK));
    if (s < 0) {
        return kPlatformInvalidSocket;
    }
    platformStoreEndpoint(sa, peer);
    return s;
}

static int setBlocking(int socket, bool blocking) {
    int flags = fcntl(socket, F_GETFL, 0);
    if (flags < 0) {
        return -1;
    }
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(socket, F_SETFL, flags);
}

int platformSocketConnectUnless(PlatformSocket socket, uint32_t address, uint16_t port,
                                uint32_t timeoutMs, bool (*cancelled)()) {
    constexpr uint32_t kSliceMs = 50;
    sockaddr_in sa = platformMakeAddress(address, port);
    if (setBlocking(socket, false) != 0) {
        return -1;
    }
    int rc = connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p = {socket, POLLOUT, 0};
        int ready = 0;
        for (uint32_t waited = 0; ready == 0 && waited < timeoutMs; waited += kSliceMs) {
            if (cancelled != nullptr && cancelled()) {
                break;
            }
            uint32_t slice = timeoutMs - waited < kSliceMs ? timeoutMs - waited : kSliceMs;
            do {
                ready = poll(&p, 1, static_cast<int>(cancelled != nullptr ? slice : timeoutMs));
            } while (ready < 0 && errno == EINTR);
            if (cancelled == nullptr) {
                break;
            }
        }
        int error = 0;
        socklen_t len = sizeof error;
        if (ready == 1 && getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
            error == 0) {
            rc = 0;
        }
    }
    if (setBlocking(socket, true) != 0) {
        return -1;
    }
    return rc == 0 ? 0 : -1;
}

int platformSocketConnect(PlatformSocket socket, uint32_t address, uint16_t port,
                          uint32_t timeoutMs) {
    return platformSocketConnectUnless(socket, address, port, timeoutMs, nullptr);
}

int platformSocketSend(PlatformSocket socket, const void* data, int length) {
    ssize_t n;
    do {
        n = send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int platformSocketRecv(PlatformSocket socket, void* buffer, int length) {
    ssize_t n;
    do {
        n = recv(socket, buffer, static_cast<size_t>(length), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int platformSocketSendTo(PlatformSocket socket, const void* data, int length,
                         const Ipv4Endpoint* to) {
    sockaddr_in sa = platformMakeAddress(to->address, to->port);
    ssize_t n = sendto(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n < 0 ? -1 : static_cast<int>(n);
}

int platformSocketSetReuseAddress(PlatformSocket socket) {
    int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

static timeval msToTimeval(uint32_t ms) {
    timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}

int platformSocketSetTimeouts(PlatformSocket socket, uint32_t recvMs, uint32_t sendMs) {
    timeval r = msToTimeval(recvMs);
    timeval s = msToTimeval(sendMs);
    if (setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r) != 0 ||
        setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &s, sizeof s) != 0) {
        return -1;
    }
    return 0;
}

int platformHostName(char* out, int size) {
    if (size <= 0 || gethostname(out, static_cast<size_t>(size)) != 0) {
        return -1;
    }
    out[size - 1] = '\0';
    return 0;
}

int platformResolveIpv4(const char* host, uint32_t* address) {
    in_addr parsed;
    if (inet_pton(AF_INET, host, &parsed) == 1) {
        *address = parsed.s_addr;
        return 0;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) {
        return -1;
    }
    *address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(list);
    return 0;
}
