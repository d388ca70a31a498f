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
    int32_t sid;
    int32_t seq;
    uint32_t grantedAtMs; // uptime of the subscription or its last renewal
    int32_t timeout;      // seconds granted then; 0 never expires
    GenaPeer peer;
};

// Guarded by tableLock.
static Subscription subscriptionTable[kGenaTableSize];
static std::mutex tableLock;

static const char kRefused[] = "HTTP/1.1 412 Precondition Failed\r\n\r\n";
static const char kFailed[] = "HTTP/1.1 500 Server Error\r\n\r\n";

// A subscription is granted 30 s whatever it asked for; negative renewals expire like it.
constexpr int32_t kNewSubscriptionSeconds = 30;

static void sendAnswer(PlatformSocket socket, const char* text) {
    httpSendAll(socket, text, static_cast<int>(std::strlen(text)));
    verbosePrint("### EVENT send\n%s", text);
}

static void formatGranted(char* out, size_t size, int32_t sid, int timeout) {
    HttpDateText date = httpDate();
    std::snprintf(out, size,
                  "HTTP/1.1 200 OK\r\n"
                  "DATE: %s GMT\r\n"
                  "SERVER: %s\r\n"
                  "SID: uuid:%d\r\n"
                  "TIMEOUT: Second-%d\r\n"
                  "\r\n",
                  date.text, serverString, static_cast<int>(sid), timeout);
}

static void freeEntry(Subscription* entry) {
    std::free(entry->callback);
    std::memset(entry, 0, sizeof *entry);
}

// Frees every entry whose granted time has passed without renewal. Caller holds tableLock.
static void expireLocked(uint32_t nowMs) {
    for (Subscription& entry : subscriptionTable) {
        if (entry.callback == nullptr || entry.timeout == 0) {
            continue;
        }
        uint64_t lifetimeMs = static_cast<uint64_t>(entry.timeout) * 1000u;
        if (static_cast<uint64_t>(nowMs - entry.grantedAtMs) > lifetimeMs) {
            freeEntry(&entry);
        }
    }
}

// The SID number at the start of `text` (leading white space and a sign allowed; no digits
// reads 0). False for a number outside 32 bits, which names no subscription.
static bool parseSid(const char* text, int32_t* sid) {
    long long n = std::strtoll(text, nullptr, 10);
    if (n < INT32_MIN || n > INT32_MAX) {
        return false;
    }
    *sid = static_cast<int32_t>(n);
    return true;
}

// First live entry with this sid, or nullptr. Caller holds tableLock.
static Subscription* findLocked(int32_t sid) {
    for (Subscription& entry : subscriptionTable) {
        if (entry.callback != nullptr && entry.sid == sid) {
            return &entry;
        }
    }
    return nullptr;
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

// Stores a new entry at the highest free index with a sid unique among live entries.
// Returns the index, or -1 when the table is full (the callback is then released).
static int storeSubscription(const AllowedCallbacks& callbacks, const char* path,
                             const GenaPeer* peer, int32_t* sid) {
    std::lock_guard<std::mutex> guard(tableLock);
    uint32_t now = platformTickMs();
    expireLocked(now);
    int index = -1;
    for (int i = 0; i < kGenaTableSize; i++) {
        if (subscriptionTable[i].callback == nullptr) {
            index = i;
        }
    }
    if (index < 0) {
        std::free(callbacks.text);
        return -1;
    }
    uint32_t candidate = now;
    while (findLocked(static_cast<int32_t>(candidate)) != nullptr) {
        candidate++;
    }
    Subscription& entry = subscriptionTable[index];
    entry.callback = callbacks.text;
    std::memcpy(entry.urls, callbacks.urls, sizeof entry.urls);
    entry.urlCount = callbacks.count;
    entry.isRegistrar = std::strstr(path, "X_MS_MediaReceiverRegistrar") != nullptr ? 1 : 0;
    entry.isContentDirectory =
        entry.isRegistrar || std::strstr(path, "ConnectionManager") != nullptr ? 0 : 1;
    entry.sid = static_cast<int32_t>(candidate);
    entry.seq = 0;
    entry.grantedAtMs = now;
    entry.timeout = kNewSubscriptionSeconds;
    entry.peer = *peer;
    *sid = entry.sid;
    return index;
}

int genaSubscribe(PlatformSocket socket, int timeout, const char* path, const char* callback,
                  const GenaPeer* peer) {
    (void)timeout; // a new subscription always gets kNewSubscriptionSeconds
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
    int32_t sid = 0;
    int index = storeSubscription(kept, path != nullptr ? path : "", peer, &sid);
    if (index < 0) {
        sendAnswer(socket, kFailed);
        return -1;
    }
    char answer[256];
    formatGranted(answer, sizeof answer, sid, kNewSubscriptionSeconds);
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
        int32_t number = 0;
        Subscription* entry =
            sid != nullptr && parseSid(sid, &number) ? findLocked(number) : nullptr;
        if (entry != nullptr) {
            found = true;
            entry->grantedAtMs = now;
            entry->timeout = timeout >= 0 ? timeout : kNewSubscriptionSeconds;
            formatGranted(answer, sizeof answer, entry->sid, timeout);
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
        int32_t number = 0;
        Subscription* entry = parseSid(sid + 5, &number) ? findLocked(number) : nullptr;
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
    out->sid = entry.sid;
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
