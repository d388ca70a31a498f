#include "eventing/callback_url.h"

#include <cstring>

#include "platform/platform.h"
#include "runtime/ascii.h"

constexpr char kScheme[] = "http://";
constexpr size_t kSchemeLength = sizeof kScheme - 1;

// The port of "host:port" from the digits after the colon; false unless 1..65535.
static bool parsePort(const char* digits, size_t length, uint16_t* port) {
    if (length == 0) {
        *port = 80;
        return true;
    }
    uint32_t value = 0;
    for (size_t i = 0; i < length; i++) {
        if (digits[i] < '0' || digits[i] > '9' || value > 65535) {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(digits[i] - '0');
    }
    if (value == 0 || value > 65535) {
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

// A host holding NUL, a control byte or a space is no name a resolver should see: NUL would
// cut the copied name short of what was checked, the others are never part of a host.
static bool hasControlOrSpace(const char* begin, const char* end) {
    for (const char* p = begin; p < end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= ' ' || c == 0x7F) {
            return true;
        }
    }
    return false;
}

bool genaSplitCallbackUrl(const char* url, size_t length, GenaCallbackUrl* out, char* name) {
    if (length <= kSchemeLength || !asciiEqualNoCase(url, kScheme, kSchemeLength)) {
        return false;
    }
    const char* host = url + kSchemeLength;
    const char* end = url + length;
    const char* slash = static_cast<const char*>(std::memchr(host, '/', end - host));
    const char* hostEnd = slash != nullptr ? slash : end;
    if (std::memchr(host, '@', hostEnd - host) != nullptr || hasControlOrSpace(host, hostEnd)) {
        return false;
    }
    const char* colon = static_cast<const char*>(std::memchr(host, ':', hostEnd - host));
    const char* nameEnd = colon != nullptr ? colon : hostEnd;
    size_t nameLength = static_cast<size_t>(nameEnd - host);
    uint16_t port = 80;
    if (nameLength == 0 || nameLength >= kGenaHostNameSize ||
        (colon != nullptr &&
         !parsePort(colon + 1, static_cast<size_t>(hostEnd - colon - 1), &port))) {
        return false;
    }
    std::memcpy(name, host, nameLength);
    name[nameLength] = '\0';
    out->address = 0;
    out->port = port;
    out->hostStart = static_cast<int32_t>(host - url);
    out->hostLength = static_cast<int32_t>(hostEnd - host);
    out->pathStart = static_cast<int32_t>(hostEnd - url);
    out->pathLength = static_cast<int32_t>(end - hostEnd);
    return true;
}

bool genaParseCallbackUrl(const char* url, size_t length, GenaCallbackUrl* out) {
    char name[kGenaHostNameSize];
    return genaSplitCallbackUrl(url, length, out, name) &&
           platformResolveIpv4(name, &out->address) == 0;
}
