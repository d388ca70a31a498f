// The table of GENA subscriptions and the fixed answers to SUBSCRIBE, renewal and UNSUBSCRIBE.
// The table lock is held only while entries are chosen, filled, copied or freed; every answer
// is formatted under the lock and written after it has been released.
#include "eventing/subscriptions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "http/http_writers.h"
#include "runtime/device_identity.h"
#include "runtime/diagnostics.h"
#include "runtime/http_date.h"

struct Subscription {
    char* callback;                             // owned "<url>" pieces; nullptr marks a free entry
    GenaCallbackUrl urls[kGenaMaxCallbackUrls]; // offsets count from callback[0]
    int32_t urlCount;
    int32_t isContentDirectory;
    int32_t isRegistrar;
    char sid[kGenaSidLength + 1];
    int32_t seq;
    uint32_t grantedAtMs; // uptime of the subscription or its last renewal
    int32_t timeout;      // seconds granted then, always above 0
    GenaPeer peer;
};

// Guarded by tableLock.
static Subscription subscriptionTable[kGenaTableSize];
static std::mutex tableLock;

static const char kRefused[] = "HTTP/1.1 412 Precondition Failed\r\n\r\n";
static const char kFailed[] = "HTTP/1.1 500 Server Error\r\n\r\n";

static void sendAnswer(PlatformSocket socket, const char* text) {
    httpSendAll(socket, text, static_cast<int>(std::strlen(text)));
    verbosePrint("### EVENT send\n%s", text);
}

static void formatGranted(char* out, size_t size, const char* sid, int timeout) {
    HttpDateText date = httpDate();
    std::snprintf(out, size,
                  "HTTP/1.1 200 OK\r\n"
                  "DATE: %s GMT\r\n"
                  "SERVER: %s\r\n"
                  "SID: %s\r\n"
                  "TIMEOUT: Second-%d\r\n"
                  "\r\n",
                  date.text, serverString, sid, timeout);
}

static void freeEntry(Subscription* entry) {
    std::free(entry->callback);
    std::memset(entry, 0, sizeof *entry);
}

// Frees every entry whose granted time has passed without renewal. Caller holds tableLock.
static void expireLocked(uint32_t nowMs) {
    for (Subscription& entry : subscriptionTable) {
        if (entry.callback == nullptr) {
            continue;
        }
        uint64_t lifetimeMs = static_cast<uint64_t>(entry.timeout) * 1000u;
        if (static_cast<uint64_t>(nowMs - entry.grantedAtMs) > lifetimeMs) {
            freeEntry(&entry);
        }
    }
}

int genaRenewalSeconds(int asked) {
    return asked > 0 && asked <= kGenaLongestAsk ? asked : kGenaCappedSeconds;
}

// Whether `text` (after "uuid:", leading blanks allowed) names the SID `sid`: all 36 characters
// and nothing more on the line.
static bool sidNames(const char* text, const char* sid) {
    while (*text == ' ' || *text == '\t') {
        text++;
    }
    const char* digits = sid + 5;
    size_t length = kGenaSidLength - 5;
    if (std::strncmp(text, digits, length) != 0) {
        return false;
    }
    char after = text[length];
    return after == '\0' || after == '\r' || after == '\n' || after == ' ' || after == '\t';
}

// First live entry that `text` names, or nullptr. Caller holds tableLock.
static Subscription* findLocked(const char* text) {
    for (Subscription& entry : subscriptionTable) {
        if (entry.callback != nullptr && sidNames(text, entry.sid)) {
            return &entry;
        }
    }
    return nullptr;
}

// A fresh SID from the system's random source, in the UUID version 4 layout. False when the
// source failed: a guessable SID would let anyone cancel another's subscription.
static bool drawSid(char* out) {
    unsigned char bytes[16];
    if (platformRandomBytes(bytes, sizeof bytes) != 0) {
        return false;
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static const char kHex[] = "0123456789abcdef";
    char* p = out + std::snprintf(out, kGenaSidLength + 1, "uuid:");
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            *p++ = '-';
        }
        *p++ = kHex[bytes[i] >> 4];
        *p++ = kHex[bytes[i] & 0x0F];
    }
    *p = '\0';
    return true;
}

// A SID no live entry has. A repeat is all but impossible; drawing again keeps it impossible.
// Caller holds tableLock.
static bool drawUniqueSidLocked(char* sid) {
    for (int attempt = 0; attempt < 4; attempt++) {
        if (!drawSid(sid)) {
            return false;
        }
        if (findLocked(sid + 5) == nullptr) {
            return true;
        }
    }
    return false;
}

// Live entries made from `address`. Caller holds tableLock.
static int entriesOfHostLocked(uint32_t address) {
    int count = 0;
    for (const Subscription& entry : subscriptionTable) {
        count += entry.callback != nullptr && entry.peer.peerAddress == address;
    }
    return count;
}

bool genaCallbackAddressAllowed(const GenaPeer* peer, uint32_t address) {
    if (peer == nullptr || address == 0 || address == 0xFFFFFFFFu) {
        return false;
    }
    if (address == peer->peerAddress) {
        return true;
    }
    uint32_t mask = peer->localNetmask;
    return (address & mask) == (peer->localAddress & mask);
}

// Callback URLs that qualified: the owned text of their "<url>" pieces and each one parsed.
struct AllowedCallbacks {
    char* text;
    GenaCallbackUrl urls[kGenaMaxCallbackUrls];
    int32_t count;
};

// Copies the "<url>" pieces of the callback line that parse and may receive events from `peer`
// (at most kGenaMaxCallbackUrls) into a new owned text, with each URL parsed. Returns false
// when none qualifies; sets *noMemory when allocation failed.
static bool allowedCallbacks(const char* line, size_t length, const GenaPeer* peer,
                             AllowedCallbacks* out, bool* noMemory) {
    char* kept = static_cast<char*>(std::malloc(length + 1));
    if (kept == nullptr) {
        *noMemory = true;
        return false;
    }
    size_t used = 0;
    out->count = 0;
    const char* end = line + length;
    for (const char* open = line; open < end;) {
        const char* close = static_cast<const char*>(std::memchr(open, '>', end - open));
        if (close == nullptr) {
            break;
        }
        GenaCallbackUrl& url = out->urls[out->count < kGenaMaxCallbackUrls ? out->count : 0];
        if (peer != nullptr && out->count < kGenaMaxCallbackUrls &&
            genaParseCallbackUrl(open + 1, static_cast<size_t>(close - open - 1), &url) &&
            genaCallbackAddressAllowed(peer, url.address)) {
            url.hostStart += static_cast<int32_t>(used + 1);
            url.pathStart += static_cast<int32_t>(used + 1);
            out->count++;
            std::memcpy(kept + used, open, close - open + 1);
            used += close - open + 1;
        }
        open = static_cast<const char*>(std::memchr(close, '<', end - close));
        if (open == nullptr) {
            break;
        }
    }
    if (used == 0) {
        std::free(kept);
        return false;
    }
    kept[used] = '\0';
    out->text = kept;
    return true;
}

void genaClearSubscriptions() {
    std::lock_guard<std::mutex> guard(tableLock);
    for (Subscription& entry : subscriptionTable) {
        freeEntry(&entry);
    }
}

// The highest free index with room for one more entry of `peer`'s host, or -1. Expired entries
// are freed first. Caller holds tableLock.
static int freeIndexLocked(const GenaPeer* peer, uint32_t now) {
    expireLocked(now);
    if (entriesOfHostLocked(peer->peerAddress) >= kGenaEntriesPerHost) {
        return -1;
    }
    int index = -1;
    for (int i = 0; i < kGenaTableSize; i++) {
        if (subscriptionTable[i].callback == nullptr) {
            index = i;
        }
    }
    return index;
}

// Stores a new entry with a fresh SID, copied to `sid`. Returns the index, or -1 when there is
// no room for it or no SID could be drawn (the callback text is then released).
static int storeSubscription(const AllowedCallbacks& callbacks, const char* path,
                             const GenaPeer* peer, char* sid) {
    std::lock_guard<std::mutex> guard(tableLock);
    uint32_t now = platformTickMs();
    int index = freeIndexLocked(peer, now);
    if (index < 0 || !drawUniqueSidLocked(sid)) {
        std::free(callbacks.text);
        return -1;
    }
    Subscription& entry = subscriptionTable[index];
    entry.callback = callbacks.text;
    std::memcpy(entry.urls, callbacks.urls, sizeof entry.urls);
    entry.urlCount = callbacks.count;
    entry.isRegistrar = std::strstr(path, "X_MS_MediaReceiverRegistrar") != nullptr ? 1 : 0;
    entry.isContentDirectory =
        entry.isRegistrar || std::strstr(path, "ConnectionManager") != nullptr ? 0 : 1;
    std::memcpy(entry.sid, sid, sizeof entry.sid);
    entry.seq = 0;
    entry.grantedAtMs = now;
    entry.timeout = kGenaNewSeconds;
    entry.peer = *peer;
    return index;
}

int genaSubscribe(PlatformSocket socket, int timeout, const char* path, const char* callback,
                  const GenaPeer* peer) {
    (void)timeout; // a new subscription always gets kGenaNewSeconds
    const char* open = nullptr;
    size_t lineLength = 0;
    if (callback != nullptr) {
        lineLength = std::strcspn(callback, "\r\n");
        open = static_cast<const char*>(std::memchr(callback, '<', lineLength));
    }
    if (open == nullptr) {
        sendAnswer(socket, kRefused);
        return -1;
    }
    bool noMemory = false;
    AllowedCallbacks kept;
    if (!allowedCallbacks(open, lineLength - (open - callback), peer, &kept, &noMemory)) {
        sendAnswer(socket, noMemory ? kFailed : kRefused);
        return -1;
    }
    char sid[kGenaSidLength + 1];
    int index = storeSubscription(kept, path != nullptr ? path : "", peer, sid);
    if (index < 0) {
        sendAnswer(socket, kFailed);
        return -1;
    }
    char answer[256];
    formatGranted(answer, sizeof answer, sid, kGenaNewSeconds);
    sendAnswer(socket, answer);
    return index;
}

void genaRenew(PlatformSocket socket, int timeout, const char* sid) {
    char answer[256];
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(tableLock);
        uint32_t now = platformTickMs();
        expireLocked(now);
        Subscription* entry = sid != nullptr ? findLocked(sid) : nullptr;
        if (entry != nullptr) {
            found = true;
            entry->grantedAtMs = now;
            entry->timeout = genaRenewalSeconds(timeout);
            formatGranted(answer, sizeof answer, entry->sid, entry->timeout);
        }
    }
    if (!found) {
        httpSendAll(socket, kRefused, static_cast<int>(sizeof kRefused - 1));
        verbosePrint(">eventing send\n%s\n", kRefused);
        return;
    }
    sendAnswer(socket, answer);
}

void genaUnsubscribe(PlatformSocket socket, const char* sid) {
    // The value begins "uuid:"; a shorter text names no subscription.
    if (sid == nullptr || std::strlen(sid) < 5) {
        sendAnswer(socket, kRefused);
        return;
    }
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(tableLock);
        expireLocked(platformTickMs());
        Subscription* entry = findLocked(sid + 5);
        if (entry != nullptr) {
            found = true;
            freeEntry(entry);
        }
    }
    if (!found) {
        sendAnswer(socket, kRefused);
        return;
    }
    char answer[256];
    std::snprintf(answer, sizeof answer,
                  "HTTP/1.1 200 OK\r\n"
                  "SERVER: %s\r\n"
                  "CONNECTION: close\r\n"
                  "CONTENT-LENGTH: 0\r\n"
                  "CONTENT-TYPE: text/html\r\n"
                  "\r\n",
                  serverString);
    sendAnswer(socket, answer);
}

bool genaTakeEventTarget(int index, bool notifyContentDirectory, bool notifyConnectionManager,
                         GenaEventTarget* out) {
    if (index < 0 || index >= kGenaTableSize) {
        return false;
    }
    std::lock_guard<std::mutex> guard(tableLock);
    expireLocked(platformTickMs());
    Subscription& entry = subscriptionTable[index];
    if (entry.callback == nullptr) {
        return false;
    }
    bool wanted = entry.isRegistrar          ? notifyContentDirectory && notifyConnectionManager
                  : entry.isContentDirectory ? notifyContentDirectory
                                             : notifyConnectionManager;
    if (!wanted) {
        return false;
    }
    std::memcpy(out->sid, entry.sid, sizeof out->sid);
    out->seq = entry.seq;
    out->isContentDirectory = entry.isContentDirectory;
    out->isRegistrar = entry.isRegistrar;
    out->peer = entry.peer;
    std::snprintf(out->callback, sizeof out->callback, "%s", entry.callback);
    std::memcpy(out->urls, entry.urls, sizeof out->urls);
    out->urlCount = entry.urlCount;
    // Event keys run 0, 1, ... and wrap to 1, never back to 0 (and never overflow).
    entry.seq = entry.seq == INT32_MAX ? 1 : entry.seq + 1;
    return true;
}

int genaListSubscriptions(GenaSubscriptionView* out, int max) {
    std::lock_guard<std::mutex> hold(tableLock);
    uint32_t nowMs = platformTickMs();
    expireLocked(nowMs);
    int count = 0;
    for (const Subscription& entry : subscriptionTable) {
        if (entry.callback == nullptr || count >= max) {
            continue;
        }
        GenaSubscriptionView& view = out[count++];
        view.peerAddress = entry.peer.peerAddress;
        view.isContentDirectory = entry.isContentDirectory;
        view.isRegistrar = entry.isRegistrar;
        view.secondsLeft = -1;
        if (entry.timeout != 0) {
            uint64_t elapsedMs = static_cast<uint32_t>(nowMs - entry.grantedAtMs);
            uint64_t lifetimeMs = static_cast<uint64_t>(entry.timeout) * 1000u;
            view.secondsLeft =
                elapsedMs >= lifetimeMs ? 0 : static_cast<int32_t>((lifetimeMs - elapsedMs) / 1000);
        }
    }
    return count;
}
