// Dotted-decimal text of an IPv4 address, the same on every platform.
#include "platform/platform.h"

#include <cstdio>

char* platformAddressText(uint32_t address, char* out) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
    std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return out;
}
