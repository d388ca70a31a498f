// Checks on received M-SEARCH datagrams: the required pieces, ST, MX and who may be answered.
#include "ssdp/ssdp_internal.h"

#include <cstring>

#include "runtime/ascii.h"

constexpr int kDefaultMx = 5;
constexpr uint32_t kRateWindowMs = 1000;

static bool hasRequiredPieces(const char* datagram) {
    static const char* const kExact[] = {"M-SEARCH", "*", "HTTP/1.1"};
    static const char* const kHeaderNames[] = {"\nHOST", "\nMX", "\nST", "\nMAN"};
    for (const char* piece : kExact) {
        if (std::strstr(datagram, piece) == nullptr) {
            return false;
        }
    }
    for (const char* name : kHeaderNames) {
        if (asciiFindNoCase(datagram, name) == nullptr) {
            return false;
        }
    }
    return true;
}

static const char* skipBlanks(const char* p) {
    while (*p == ' ') {
        p++;
    }
    return p;
}

// MX as the datagram gives it: the leading decimal digits after "MX:", held in 8 bits.
// Without an "MX:" line the default applies.
static int readMx(const char* datagram) {
    const char* line = asciiFindNoCase(datagram, "\nMX:");
    if (line == nullptr) {
        return kDefaultMx;
    }
    unsigned value = 0;
    for (const char* p = skipBlanks(line + 4); *p >= '0' && *p <= '9'; p++) {
        value = (value * 10 + static_cast<unsigned>(*p - '0')) & 0xFFu;
    }
    return static_cast<int>(value);
}

bool ssdpParseSearch(const char* datagram, SsdpSearch* out) {
    if (datagram == nullptr || !hasRequiredPieces(datagram)) {
        return false;
    }
    const char* line = asciiFindNoCase(datagram, "\nST:");
    if (line == nullptr) {
        return false;
    }
    const char* start = skipBlanks(line + 4);
    const char* end = start;
    while (static_cast<unsigned char>(*end) > 0x20 && static_cast<unsigned char>(*end) < 0x80) {
        end++;
    }
    int mx = readMx(datagram);
    if (mx == 0) {
        return false;
    }
    out->target = start;
    out->targetLength = static_cast<int>(end - start);
    out->mx = mx > kSsdpMaxDelaySeconds ? kSsdpMaxDelaySeconds : mx;
    return true;
}

bool ssdpSenderAllowed(uint32_t sender, uint32_t served, uint32_t netmask) {
    return sender == served || (sender & netmask) == (served & netmask);
}

bool ssdpIsDue(uint32_t nowMs, uint32_t dueMs) {
    return static_cast<int32_t>(nowMs - dueMs) >= 0;
}

bool ssdpSourcePortAllowed(uint16_t port) {
    return port >= kSsdpLowestSearchPort && port != kSsdpPort;
}

// The entry of `address`, or a fresh one: a free slot, else the one whose window began longest
// ago (a sender forgotten that way merely starts a new second).
static SsdpSenderRate* rateEntry(SsdpRateTable* table, uint32_t address, uint32_t nowMs) {
    SsdpSenderRate* stalest = nullptr;
    for (int i = 0; i < table->used; i++) {
        SsdpSenderRate* entry = &table->senders[i];
        if (entry->address == address) {
            return entry;
        }
        if (stalest == nullptr || nowMs - entry->windowStartMs > nowMs - stalest->windowStartMs) {
            stalest = entry;
        }
    }
    SsdpSenderRate* entry =
        table->used < kSsdpRateSenders ? &table->senders[table->used++] : stalest;
    *entry = SsdpSenderRate{address, nowMs, 0};
    return entry;
}

bool ssdpRateAllows(SsdpRateTable* table, uint32_t address, uint32_t nowMs) {
    SsdpSenderRate* entry = rateEntry(table, address, nowMs);
    if (nowMs - entry->windowStartMs >= kRateWindowMs) {
        entry->windowStartMs = nowMs;
        entry->answered = 0;
    }
    if (entry->answered >= kSsdpAnswersPerSecond) {
        return false;
    }
    entry->answered++;
    return true;
}
