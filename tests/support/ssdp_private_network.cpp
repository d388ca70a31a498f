#include "support/ssdp_private_network.h"

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sched.h>

bool ssdpEnterPrivateNetwork() {
    static bool entered = false;
    if (entered) {
        return true;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    entered = ssdpRunCommand("ip link set lo up");
    return entered;
}

bool ssdpRunCommand(const char* format, ...) {
    char command[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(command, sizeof command, format, args);
    va_end(args);
    return std::system(command) == 0;
}

bool ssdpAddDummy(const char* name, const char* cidr) {
    return ssdpRunCommand("ip link add %s type veth peer name %sp", name, name) &&
           ssdpRunCommand("ip addr add %s dev %s", cidr, name) &&
           ssdpRunCommand("ip link set %sp up", name) && ssdpRunCommand("ip link set %s up", name);
}

uint32_t ssdpAddress(const char* text) {
    in_addr parsed{};
    inet_pton(AF_INET, text, &parsed);
    return parsed.s_addr;
}
