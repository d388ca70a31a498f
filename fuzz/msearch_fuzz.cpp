// M-SEARCH datagram checks over arbitrary bytes, as the listen thread sees them: at most 512
// bytes, taken as NUL-terminated text.
#include <cstdint>
#include <cstring>

#include "ssdp/ssdp_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char datagram[kSsdpDatagramSize + 1];
    size_t length = size < kSsdpDatagramSize ? size : kSsdpDatagramSize;
    std::memcpy(datagram, data, length);
    datagram[length] = '\0';
    SsdpSearch search;
    if (ssdpParseSearch(datagram, &search)) {
        // The target must lie inside the datagram and the delay range must be usable.
        if (search.target < datagram || search.target + search.targetLength > datagram + length ||
            search.mx < 1 || search.mx > 120) {
            __builtin_trap();
        }
    }
    return 0;
}
