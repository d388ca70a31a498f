// The machine's IPv4 addresses, address-change notification and the SSDP sockets on Windows.
#include "platform/platform.h"

#include <iphlpapi.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/common/socket_address.h"

int platformOwnAddresses(uint32_t* out, int max) {
    char name[256];
    if (max <= 0 || gethostname(name, sizeof name) != 0) {
        return 0;
    }
    const hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4) {
        return 0;
    }
    int count = 0;
    for (char** entry = host->h_addr_list; *entry != nullptr && count < max; entry++) {
        std::memcpy(&out[count++], *entry, 4);
    }
    return count;
}

uint32_t platformNetmaskOf(uint32_t address) {
    ULONG size = 0;
    if (GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return 0xFFFFFFFFu;
    }
    auto* table = static_cast<MIB_IPADDRTABLE*>(std::malloc(size));
    if (table == nullptr) {
        return 0xFFFFFFFFu;
    }
    uint32_t netmask = 0xFFFFFFFFu;
    if (GetIpAddrTable(table, &size, FALSE) == NO_ERROR) {
        for (DWORD i = 0; i < table->dwNumEntries; i++) {
            if (table->table[i].dwAddr == address) {
                netmask = table->table[i].dwMask;
                break;
            }
        }
    }
    std::free(table);
    return netmask;
}

// One notification request stays registered from one wait to the next, so that no change
// between two waits is lost. Its record lives on the heap and is never released: the system
// may still complete it after the module is gone. Guarded by notifyLock.
static std::mutex notifyLock;
static OVERLAPPED* notifyRequest;
static bool notifyPending;

int platformWaitAddressChange(uint32_t timeoutMs) {
    std::lock_guard<std::mutex> guard(notifyLock);
    if (notifyRequest == nullptr) {
        auto* request = static_cast<OVERLAPPED*>(std::calloc(1, sizeof(OVERLAPPED)));
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (request == nullptr || event == nullptr) {
            std::free(request);
            if (event != nullptr) {
                CloseHandle(event);
            }
            Sleep(timeoutMs);
            return -1;
        }
        request->hEvent = event;
        notifyRequest = request;
    }
    if (!notifyPending) {
        ResetEvent(notifyRequest->hEvent);
        HANDLE handle = nullptr;
        if (NotifyAddrChange(&handle, notifyRequest) != ERROR_IO_PENDING) {
            return -1;
        }
        notifyPending = true;
    }
    if (WaitForSingleObject(notifyRequest->hEvent, timeoutMs) != WAIT_OBJECT_0) {
        return 0;
    }
    notifyPending = false;
    return 1;
}

int platformSocketSetMulticastTtl(PlatformSocket socket, int ttl) {
    DWORD value = static_cast<DWORD>(ttl);
    return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0
               ? 0
               : -1;
}

int platformSocketSetMulticastInterface(PlatformSocket socket, uint32_t address) {
    in_addr local;
    local.s_addr = address;
    return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&local),
                      sizeof local) == 0
               ? 0
               : -1;
}

// Bound to the served address itself: Windows then delivers the group's datagrams that arrive
// on that address's interface, and unicast sent to the address.
PlatformSocket platformSsdpSocketOpen(uint32_t address, uint32_t group, uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        return kPlatformInvalidSocket;
    }
    int on = 1;
    sockaddr_in local = platformMakeAddress(address, port);
    ip_mreq membership;
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = address;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) !=
            0 ||
        bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&membership),
                   sizeof membership) != 0) {
        closesocket(s);
        return kPlatformInvalidSocket;
    }
    return s;
}

// A datagram longer than the buffer fails with WSAEMSGSIZE and gives -1 like any error.
int platformSsdpSocketRecv(PlatformSocket socket, char* buffer, int length, Ipv4Endpoint* from) {
    sockaddr_in sender;
    std::memset(&sender, 0, sizeof sender);
    int senderLength = sizeof sender;
    int n =
        recvfrom(socket, buffer, length, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (n == SOCKET_ERROR) {
        return -1;
    }
    if (from != nullptr) {
        from->address = sender.sin_addr.s_addr;
        from->port = ntohs(sender.sin_port);
    }
    return n;
}
