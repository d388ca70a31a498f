// GENA callback URLs over arbitrary bytes, as the text between '<' and '>' of a CALLBACK
// header. Only the text-only part is fuzzed: resolving would query the name service.
#include <cstdint>
#include <cstring>

#include "eventing/callback_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* url = reinterpret_cast<const char*>(data);
    GenaCallbackUrl parsed;
    char name[kGenaHostNameSize];
    if (genaSplitCallbackUrl(url, size, &parsed, name)) {
        // Host and path must lie inside the text, the path right after the host.
        auto inside = [size](int32_t start, int32_t length) {
            return start >= 0 && length >= 0 && static_cast<size_t>(start + length) <= size;
        };
        if (!inside(parsed.hostStart, parsed.hostLength) ||
            !inside(parsed.pathStart, parsed.pathLength) ||
            parsed.pathStart != parsed.hostStart + parsed.hostLength || parsed.port == 0 ||
            std::strlen(name) == 0 || std::strlen(name) >= kGenaHostNameSize) {
            __builtin_trap();
        }
    }
    return 0;
}
