// The machine's IPv4 addresses, address-change notification (netlink) and the SSDP sockets.
//
// Linux delivers group datagrams only to sockets bound to the group or the wildcard, so an SSDP
// socket is bound to the wildcard, tied to the served address's interface where the system
// allows it, and told with IP_PKTINFO where each datagram arrived: a datagram counts for the
// socket when it came to the group through the served interface or was sent to the served
// address itself.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int platformOwnAddresses(uint32_t* out, int max) {
    ifaddrs* list = nullptr;
    if (max <= 0 || getifaddrs(&list) != 0) {
        return 0;
    }
    int count = 0;
    for (ifaddrs* entry = list; entry != nullptr && count < max; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        out[count++] = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    }
    freeifaddrs(list);
    if (count == 0) {
        out[count++] = htonl(INADDR_LOOPBACK);
    }
    return count;
}

// Netmask and interface of a local address. Returns false when no interface holds it.
static bool interfaceOf(uint32_t address, uint32_t* netmask, char* name, size_t nameSize) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr != address) {
            continue;
        }
        *netmask = entry->ifa_netmask == nullptr
                       ? 0xFFFFFFFFu
                       : reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
        std::strncpy(name, entry->ifa_name, nameSize - 1);
        name[nameSize - 1] = '\0';
        found = true;
        break;
    }
    freeifaddrs(list);
    return found;
}

uint32_t platformNetmaskOf(uint32_t address) {
    uint32_t netmask = 0xFFFFFFFFu;
    char name[IF_NAMESIZE];
    if (!interfaceOf(address, &netmask, name, sizeof name)) {
        return 0xFFFFFFFFu;
    }
    return netmask;
}

// ---------------------------------------------------------------------------------------------
// Address changes
// ---------------------------------------------------------------------------------------------

// The served set depends on addresses and on whether their interfaces are up, so both address
// and link messages are watched; a change is reported only when the list of addresses that
// platformOwnAddresses would give has changed, which also keeps link statistics updates from
// counting. One netlink socket for the life of the process, so that no change between two
// waits is lost. Guarded by netlinkLock; only the address-change thread normally waits.
constexpr int kSnapshotSize = 64;
static std::mutex netlinkLock;
static int netlinkSocket = -1;
static uint32_t addressSnapshot[kSnapshotSize];
static int addressSnapshotCount;

static int openNetlink() {
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (s < 0) {
        return -1;
    }
    sockaddr_nl local;
    std::memset(&local, 0, sizeof local);
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Takes a new snapshot of the served addresses; true when it differs from the previous one.
static bool snapshotChanged() {
    uint32_t now[kSnapshotSize];
    int count = platformOwnAddresses(now, kSnapshotSize);
    bool changed =
        count != addressSnapshotCount ||
        std::memcmp(now, addressSnapshot, sizeof now[0] * static_cast<size_t>(count)) != 0;
    std::memcpy(addressSnapshot, now, sizeof now[0] * static_cast<size_t>(count));
    addressSnapshotCount = count;
    return changed;
}

// Reads every queued netlink message. Returns 1 when one of them concerned addresses or links,
// 0 when none did, -1 on error. An overrun (ENOBUFS) lost messages, so it counts as one.
static int drainNetlink(int s) {
    bool relevant = false;
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        ssize_t n = recv(s, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return relevant ? 1 : 0;
            }
            return errno == ENOBUFS ? 1 : -1;
        }
        // The walk of NLMSG_OK and NLMSG_NEXT, written out: the macros compare a signed length
        // with the unsigned message length, which clang rejects under -Wsign-compare.
        auto length = static_cast<size_t>(n);
        size_t offset = 0;
        while (length - offset >= sizeof(nlmsghdr)) {
            const auto* header = reinterpret_cast<const nlmsghdr*>(buffer + offset);
            if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > length - offset) {
                break;
            }
            uint16_t type = header->nlmsg_type;
            if (type == RTM_NEWADDR || type == RTM_DELADDR || type == RTM_NEWLINK ||
                type == RTM_DELLINK) {
                relevant = true;
            }
            offset += NLMSG_ALIGN(header->nlmsg_len);
            if (offset > length) {
                break;
            }
        }
    }
}

int platformWaitAddressChange(uint32_t timeoutMs) {
    std::lock_guard<std::mutex> guard(netlinkLock);
    if (netlinkSocket < 0) {
        netlinkSocket = openNetlink();
        if (netlinkSocket < 0) {
            return -1;
        }
        snapshotChanged();
    }
    pollfd entry{netlinkSocket, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(timeoutMs));
    if (ready < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (ready == 0) {
        return 0;
    }
    int result = drainNetlink(netlinkSocket);
    if (result <= 0) {
        return result;
    }
    return snapshotChanged() ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Multicast options and SSDP sockets
// ---------------------------------------------------------------------------------------------

int platformSocketSetMulticastTtl(PlatformSocket socket, int ttl) {
    return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 ? 0 : -1;
}

int platformSocketSetMulticastInterface(PlatformSocket socket, uint32_t address) {
    in_addr local;
    local.s_addr = address;
    return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) == 0 ? 0 : -1;
}

// What each SSDP socket serves, for the receive filter. A closed socket's entry is simply
// overwritten when its descriptor number is used for a new SSDP socket. Guarded by ssdpLock.
struct SsdpSocketInfo {
    int socket;
    uint32_t address;
    uint32_t group;
    unsigned interfaceIndex;
};
constexpr int kSsdpInfoCount = 16;
static std::mutex ssdpLock;
static SsdpSocketInfo ssdpInfo[kSsdpInfoCount];
static int ssdpInfoNext;

static void rememberSsdpSocket(const SsdpSocketInfo& info) {
    std::lock_guard<std::mutex> guard(ssdpLock);
    for (SsdpSocketInfo& entry : ssdpInfo) {
        if (entry.socket == info.socket) {
            entry = info;
            return;
        }
    }
    ssdpInfo[ssdpInfoNext] = info;
    ssdpInfoNext = (ssdpInfoNext + 1) % kSsdpInfoCount;
}

static bool lookUpSsdpSocket(int socket, SsdpSocketInfo* out) {
    std::lock_guard<std::mutex> guard(ssdpLock);
    for (const SsdpSocketInfo& entry : ssdpInfo) {
        if (entry.socket == socket && entry.interfaceIndex != 0) {
            *out = entry;
            return true;
        }
    }
    return false;
}

static int setFlag(int socket, int level, int name, int value) {
    return setsockopt(socket, level, name, &value, sizeof value);
}

// Applies the options and bindings of an SSDP socket. Returns false when a required step fails.
static bool prepareSsdpSocket(int s, uint32_t address, uint32_t group, uint16_t port,
                              const char* interfaceName) {
    if (setFlag(s, SOL_SOCKET, SO_REUSEADDR, 1) != 0 ||
        setFlag(s, IPPROTO_IP, IP_PKTINFO, 1) != 0) {
        return false;
    }
    // Optional narrowing (needs privilege): group datagrams of other interfaces and unicast to
    // their addresses then never reach this socket at all. The receive filter covers the rest.
    setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, interfaceName,
               static_cast<socklen_t>(std::strlen(interfaceName) + 1));
    setFlag(s, IPPROTO_IP, IP_MULTICAST_ALL, 0);
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        return false;
    }
    ip_mreq membership;
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = address;
    return setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
}

PlatformSocket platformSsdpSocketOpen(uint32_t address, uint32_t group, uint16_t port) {
    uint32_t netmask;
    char name[IF_NAMESIZE];
    if (!interfaceOf(address, &netmask, name, sizeof name)) {
        return kPlatformInvalidSocket;
    }
    unsigned index = if_nametoindex(name);
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return kPlatformInvalidSocket;
    }
    if (index == 0 || !prepareSsdpSocket(s, address, group, port, name)) {
        close(s);
        return kPlatformInvalidSocket;
    }
    rememberSsdpSocket(SsdpSocketInfo{s, address, group, index});
    return s;
}

// Whether a datagram that arrived as described by its IP_PKTINFO belongs to the socket.
static bool arrivedForSocket(const SsdpSocketInfo& info, const in_pktinfo& arrival) {
    if (arrival.ipi_addr.s_addr == info.group) {
        return arrival.ipi_ifindex == static_cast<int>(info.interfaceIndex);
    }
    return arrival.ipi_addr.s_addr == info.address;
}

// A datagram that belongs to another served address gives -1 like any dropped datagram, so a
// flood of them never keeps the caller from looking at its stop flag.
int platformSsdpSocketRecv(PlatformSocket socket, char* buffer, int length, Ipv4Endpoint* from) {
    SsdpSocketInfo info{};
    bool filtered = lookUpSsdpSocket(socket, &info);
    sockaddr_in sender;
    std::memset(&sender, 0, sizeof sender);
    iovec part{buffer, static_cast<size_t>(length)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message;
    std::memset(&message, 0, sizeof message);
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(socket, &message, 0);
    if (n < 0 || (message.msg_flags & MSG_TRUNC) != 0) {
        return -1;
    }
    const in_pktinfo* arrival = nullptr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            arrival = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c));
        }
    }
    if (filtered && (arrival == nullptr || !arrivedForSocket(info, *arrival))) {
        return -1;
    }
    if (from != nullptr) {
        from->address = sender.sin_addr.s_addr;
        from->port = ntohs(sender.sin_port);
    }
    return static_cast<int>(n);
}
