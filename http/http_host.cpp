// Which Host header values name this server. A web page in a visitor's browser can point a
// name of its own at this machine's address (DNS rebinding); the browser then sends that name
// in Host, and refusing it keeps the page from reading the library.
#include "http/http_host.h"

#include <cstring>

#include "runtime/ascii.h"

// Decimal digits from *p while they stay within `largest`; false without any or above it.
static bool readNumber(const char** p, const char* end, long largest) {
    const char* start = *p;
    long value = 0;
    while (*p < end && **p >= '0' && **p <= '9' && *p - start < 6) {
        value = value * 10 + (**p - '0');
        (*p)++;
    }
    return *p > start && *p - start < 6 && value <= largest;
}

// "a.b.c.d" with each part 0..255, then nothing or ":port".
static bool isIpv4Literal(const char* p, const char* end) {
    for (int part = 0; part < 4; part++) {
        if (part > 0 && (p == end || *p++ != '.')) {
            return false;
        }
        if (!readNumber(&p, end, 255)) {
            return false;
        }
    }
    return p == end;
}

static bool isOwnName(const char* p, const char* end, const char* ownName) {
    size_t length = std::strlen(ownName);
    if (length == 0 || static_cast<size_t>(end - p) < length) {
        return false;
    }
    if (!asciiEqualNoCase(p, ownName, length)) {
        return false;
    }
    p += length;
    return p == end || (*p == '.' && p + 1 == end); // a trailing dot names the same host
}

bool httpHostAllowed(const char* value, const char* ownName) {
    if (value == nullptr) {
        return true; // HTTP/1.0 clients send no Host at all
    }
    const char* end = value + std::strcspn(value, "\r\n");
    while (end > value && (end[-1] == ' ' || end[-1] == '\t')) {
        end--;
    }
    const char* colon = static_cast<const char*>(std::memchr(value, ':', end - value));
    if (colon != nullptr) {
        const char* port = colon + 1;
        if (!readNumber(&port, end, 65535) || port != end) {
            return false;
        }
        end = colon;
    }
    return isIpv4Literal(value, end) || (ownName != nullptr && isOwnName(value, end, ownName));
}
