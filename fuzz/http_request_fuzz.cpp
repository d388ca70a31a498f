// Cuts up arbitrary bytes as a request text, looks up the header fields the server uses, reads
// the announced body length and checks the Host value.
#include <cstdint>
#include <cstring>
#include <vector>

#include "http/http_host.h"
#include "http/http_request.h"
#include "server/http_route.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    HttpRoute route = httpRouteRequest(text.data());
    // Every pointer handed to a handler must lie inside the request text.
    const char* begin = text.data();
    const char* end = begin + text.size();
    const char* pointers[] = {route.path,
                              route.body,
                              route.soapAction,
                              route.sid,
                              route.callback,
                              route.host,
                              route.media.range,
                              route.media.ifRange,
                              route.media.timeSeekRange,
                              route.media.contentFeatures,
                              route.media.transferMode};
    for (const char* p : pointers) {
        if (p != nullptr && (p < begin || p >= end)) {
            __builtin_trap();
        }
        if (p != nullptr) {
            (void)std::strlen(p);
        }
    }
    (void)std::strlen(route.version);
    (void)httpHostAllowed(route.host, "kestrelbox");
    std::vector<char> again(data, data + size);
    again.push_back('\0');
    (void)httpFindHeader(again.data(), "Content-Length");
    int32_t length = -1;
    HttpReadResult framing = httpBodyLength(reinterpret_cast<const char*>(data),
                                            static_cast<int32_t>(size), 4096, &length);
    if (framing == HttpReadResult::Complete && (length < 0 || length > 4096)) {
        __builtin_trap();
    }
    return 0;
}
