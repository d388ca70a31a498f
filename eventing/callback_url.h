// The one reading of a GENA callback URL. A URL is parsed once, when the SUBSCRIBE arrives; the
// result decides whether the subscriber may receive events there and is stored for delivery,
// so the host and port checked are the ones an event is sent to.
#pragma once

#include <cstddef>
#include <cstdint>

// One URL of a CALLBACK header. Offsets count from the first character after its '<'.
struct GenaCallbackUrl {
    uint32_t address; // the host, resolved when parsed
    uint16_t port;
    int32_t hostStart; // "host" or "host:port" as written, for the HOST header
    int32_t hostLength;
    int32_t pathStart; // from the '/' that ends the host; pathLength 0 means "/"
    int32_t pathLength;
};

// Parses the `length` bytes at `url` (the text between '<' and '>'): "http://" in any case,
// then the host, which ends at the first '/' or at the end, with an optional ":port" (digits,
// 1 to 65535; "host:" alone means port 80), then the path. False for another scheme, an
// empty or over-long host, user information ('@'), a bad port, or a host that does not
// resolve to an IPv4 address.
bool genaParseCallbackUrl(const char* url, size_t length, GenaCallbackUrl* out);

// The text-only part of genaParseCallbackUrl: the same checks but for resolving, with the host
// name copied NUL-terminated into `name` (256 bytes) and out->address left 0.
bool genaSplitCallbackUrl(const char* url, size_t length, GenaCallbackUrl* out, char* name);
constexpr size_t kGenaHostNameSize = 256;
