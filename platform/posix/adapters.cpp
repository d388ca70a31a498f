// The first interface with a hardware address, in the kernel's order, named by a GUID-like
// text derived from its name and hardware address so the name is stable across restarts.
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if_arp.h>

#include "platform/posix/posix_internal.h"

// FNV-1a over the bytes, continuing from `hash`.
static uint64_t fnv1a(uint64_t hash, const void* data, size_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; i++) {
        hash ^= bytes[i];
        hash *= 1099511628211ULL;
    }
    return hash;
}

void posixAdapterName(const char* interfaceName, const uint8_t* hardwareAddress, int length,
                      char* out, size_t size) {
    uint64_t hash = fnv1a(14695981039346656037ULL, interfaceName, std::strlen(interfaceName));
    uint64_t first = fnv1a(hash, hardwareAddress, static_cast<size_t>(length));
    uint64_t second =
        fnv1a(first ^ 0x9e3779b97f4a7c15ULL, interfaceName, std::strlen(interfaceName));
    std::snprintf(out, size, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(first >> 32),
                  static_cast<unsigned>(first >> 16) & 0xFFFF,
                  static_cast<unsigned>(first) & 0xFFFF, static_cast<unsigned>(second >> 48),
                  static_cast<unsigned long long>(second & 0xFFFFFFFFFFFFULL));
}

static bool hasHardwareAddress(const sockaddr_ll* link) {
    if (link->sll_hatype == ARPHRD_LOOPBACK || link->sll_halen == 0) {
        return false;
    }
    for (int i = 0; i < link->sll_halen; i++) {
        if (link->sll_addr[i] != 0) {
            return true;
        }
    }
    return false;
}

int platformFirstAdapter(PlatformAdapter* adapter) {
    ifaddrs* list = nullptr;
    if (adapter == nullptr || getifaddrs(&list) != 0) {
        return -1;
    }
    int result = -1;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) {
            continue;
        }
        const sockaddr_ll* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
        if (!hasHardwareAddress(link)) {
            continue;
        }
        std::memset(adapter, 0, sizeof *adapter);
        int length = link->sll_halen < 8 ? link->sll_halen : 8;
        std::memcpy(adapter->hardwareAddress, link->sll_addr, static_cast<size_t>(length));
        adapter->hardwareLength = length;
        posixAdapterName(entry->ifa_name, adapter->hardwareAddress, length, adapter->name,
                         sizeof adapter->name);
        result = 0;
        break;
    }
    freeifaddrs(list);
    return result;
}
