// Property-change events: one NOTIFY per event on a fresh connection to the subscriber's
// callback, and the ContentDirectory's SystemUpdateID.
#include "eventing/notify.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "eventing/delivery.h"
#include "runtime/diagnostics.h"

namespace {

// Raised by announceContentChange (watcher thread), read by any thread.
std::atomic<int32_t> gSystemUpdateId{0};

constexpr uint32_t kConnectTimeoutMs = 3000;
// At most 4,095 bytes on the wire: the head, and a body with up to kContainerIdsSize - 1
// characters of ContainerUpdateIDs.
constexpr int kMessageSize = 4096;
constexpr int kContainerIdsSize = 2048;
constexpr int kContentDirectoryBodySize = kContainerIdsSize + 512;
constexpr int kHostSize = 256;
// The first event of a new subscription follows the SUBSCRIBE answer after this pause.
constexpr uint32_t kFirstEventDelayMs = 100;

// The socket of the send in progress (the delivery thread's), so that quit can cut it short;
// with `stopped` set no new send starts. Guarded by its lock.
struct SendState {
    std::mutex lock;
    PlatformSocket inFlight = 0;
    bool stopped = false;
};

// Never destroyed: the delivery thread may still use it while the process exits.
SendState& sendState() {
    static SendState* state = new SendState;
    return *state;
}

// The ContainerUpdateIDs of the last change, sent with every later ContentDirectory event until
// the next change replaces them. Guarded by idsLock().
std::mutex& idsLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
char gContainerUpdateIds[kContainerIdsSize];

constexpr const char kContentDirectoryBody[] =
    "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n"
    "<e:property>\n"
    "<SystemUpdateID>%d</SystemUpdateID>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<ContainerUpdateIDs>%s</ContainerUpdateIDs>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<TransferIDs></TransferIDs>\n"
    "</e:property>\n"
    "</e:propertyset>\n";

constexpr const char kConnectionManagerBody[] =
    "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n"
    "<e:property>\n"
    "<SourceProtocolInfo>http-get:*:audio/mpeg:*,http-get:*:audio/mpegurl:*</SourceProtocolInfo>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<SinkProtocolInfo></SinkProtocolInfo>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<CurrentConnectionIDs>0</CurrentConnectionIDs>\n"
    "</e:property>\n"
    "</e:propertyset>\n";

// One callback URL cut into the pieces a NOTIFY needs.
struct CallbackUrl {
    char host[kHostSize]; // name to connect to
    int port;
    const char* hostField; // host and port as written, up to the path
    int hostFieldLength;
    const char* path; // from the '/' up to the '>' or the end
    int pathLength;
};

// Parses the URL whose "http:" starts at `http`. Sets *next to where the search for the next
// URL continues. Returns 1 for a usable URL, 0 for one to skip (host name too long), -1 when
// the URL has no path, which ends the walk.
int parseUrl(const char* http, CallbackUrl* url, const char** next) {
    // The host starts after "http://"; the two slashes are skipped whatever they are.
    const char* hostStart = http + 5;
    for (int i = 0; i < 2 && *hostStart != '\0'; i++) {
        hostStart++;
    }
    const char* colon = nullptr;
    const char* slash = nullptr;
    const char* p = hostStart;
    for (; *p != '\0' && *p != '>'; p++) {
        if (*p == ':' && colon == nullptr) {
            colon = p;
        } else if (*p == '/' && slash == nullptr) {
            slash = p;
        }
    }
    *next = p;
    if (slash == nullptr) {
        return -1;
    }
    url->port = colon != nullptr ? std::atoi(colon + 1) : 80;
    const char* hostEnd = colon != nullptr ? colon : slash;
    if (hostEnd < hostStart || hostEnd - hostStart >= kHostSize) {
        return 0;
    }
    std::memcpy(url->host, hostStart, static_cast<size_t>(hostEnd - hostStart));
    url->host[hostEnd - hostStart] = '\0';
    url->hostField = hostStart;
    url->hostFieldLength = static_cast<int>(slash - hostStart);
    url->path = slash;
    url->pathLength = static_cast<int>(p - slash);
    return 1;
}

// The whole NOTIFY message for one URL. False when head and body do not fit in 1,023 bytes: a
// message is never cut, since its CONTENT-LENGTH would no longer match.
bool buildMessage(const CallbackUrl& url, const GenaEventTarget& target, const char* body,
                  char* message) {
    int length = std::snprintf(message, kMessageSize,
                               "NOTIFY %.*s HTTP/1.1\r\n"
                               "HOST: %.*s\r\n"
                               "CONTENT-TYPE: text/xml\r\n"
                               "CONTENT-LENGTH: %d\r\n"
                               "NT: upnp:event\r\n"
                               "NTS: upnp:propchange\r\n"
                               "SID: uuid:%d\r\n"
                               "SEQ: %d\r\n"
                               "\r\n"
                               "%s",
                               url.pathLength, url.path, url.hostFieldLength, url.hostField,
                               static_cast<int>(std::strlen(body)), target.sid, target.seq, body);
    return length > 0 && length < kMessageSize;
}

} // namespace

// Delivers the event to the first URL of the callback text that accepts it.
void genaDeliver(const GenaEventTarget& target, const char* body) {
    char message[kMessageSize];
    const char* position = target.callback;
    for (;;) {
        const char* http = std::strstr(position, "http:");
        if (http == nullptr) {
            return;
        }
        CallbackUrl url;
        int parsed = parseUrl(http, &url, &position);
        if (parsed < 0) {
            return;
        }
        if (parsed > 0 && buildMessage(url, target, body, message) &&
            genaSendMessage(url.host, url.port, message, &target.peer)) {
            return;
        }
    }
}

bool genaSendMessage(const char* host, int port, const char* message, const GenaPeer* peer) {
    uint32_t address = 0;
    if (host == nullptr || message == nullptr || port <= 0 || port > 65535 ||
        platformResolveIpv4(host, &address) != 0) {
        return false;
    }
    if (peer != nullptr && !genaCallbackAddressAllowed(peer, address)) {
        return false;
    }
    PlatformSocket socket = platformSocketTcp();
    if (socket == kPlatformInvalidSocket) {
        return false;
    }
    SendState& state = sendState();
    {
        std::lock_guard<std::mutex> hold(state.lock);
        if (state.stopped) {
            platformSocketClose(socket);
            return false;
        }
        state.inFlight = socket;
    }
    bool connected =
        platformSocketConnect(socket, address, static_cast<uint16_t>(port), kConnectTimeoutMs) == 0;
    if (!connected) {
        std::lock_guard<std::mutex> hold(state.lock);
        state.inFlight = 0;
        platformSocketClose(socket);
        return false;
    }
    platformSocketSetTimeouts(socket, kConnectTimeoutMs, kConnectTimeoutMs);
    int length = static_cast<int>(std::strlen(message));
    for (int sent = 0; sent < length;) {
        int n = platformSocketSend(socket, message + sent, length - sent);
        if (n <= 0) {
            break;
        }
        sent += n;
    }
    verbosePrint("### EVENT send\n%s", message);
    std::lock_guard<std::mutex> hold(state.lock);
    state.inFlight = 0;
    platformSocketClose(socket);
    return true;
}

void genaSendInterrupt() {
    SendState& state = sendState();
    std::lock_guard<std::mutex> hold(state.lock);
    state.stopped = true;
    if (state.inFlight != 0) {
        platformSocketShutdown(state.inFlight);
    }
}

void genaSendAllow() {
    SendState& state = sendState();
    std::lock_guard<std::mutex> hold(state.lock);
    state.stopped = false;
}

namespace {

// Queues the event of each selected service for entry `index` (all entries when index < 0).
void notifyEntries(int index, int notifyContentDirectory, int notifyConnectionManager,
                   uint32_t delayMs) {
    int first = index < 0 ? 0 : index;
    int last = index < 0 ? kGenaTableSize - 1 : index;
    char contentDirectoryBody[kContentDirectoryBodySize];
    for (int i = first; i <= last; i++) {
        // The copy is taken, and the entry's seq raised, in one step under the table's guard;
        // the delivery thread sends it later without it.
        GenaEventTarget target;
        if (!genaTakeEventTarget(i, notifyContentDirectory != 0, notifyConnectionManager != 0,
                                 &target)) {
            continue;
        }
        target.callback[sizeof target.callback - 1] = '\0';
        const char* body = kConnectionManagerBody;
        if (target.isContentDirectory) {
            std::lock_guard<std::mutex> hold(idsLock());
            std::snprintf(contentDirectoryBody, sizeof contentDirectoryBody, kContentDirectoryBody,
                          gSystemUpdateId.load(std::memory_order_relaxed), gContainerUpdateIds);
            body = contentDirectoryBody;
        }
        genaQueueDelivery(target, body, delayMs);
    }
}

} // namespace

void genaNotify(int index, int notifyContentDirectory, int notifyConnectionManager) {
    notifyEntries(index, notifyContentDirectory, notifyConnectionManager, 0);
}

void genaNotifyNewSubscription(int index) {
    notifyEntries(index, 1, 1, kFirstEventDelayMs);
}

void announceContentChange() {
    announceContainerUpdates(nullptr, 0);
}

void announceContainerUpdates(const GenaContainerUpdate* updates, int count) {
    {
        // Pairs that do not fit are left out; the raised SystemUpdateID still tells every
        // control point that something changed. The caller lists the upper containers first.
        std::lock_guard<std::mutex> hold(idsLock());
        int used = 0;
        gContainerUpdateIds[0] = '\0';
        for (int i = 0; i < count; i++) {
            char pair[48];
            int length = std::snprintf(pair, sizeof pair, "%s%lld,%d", used > 0 ? "," : "",
                                       static_cast<long long>(updates[i].id),
                                       static_cast<int>(updates[i].updateId));
            if (length <= 0 || used + length >= kContainerIdsSize) {
                break;
            }
            std::memcpy(gContainerUpdateIds + used, pair, static_cast<size_t>(length) + 1);
            used += length;
        }
    }
    gSystemUpdateId.fetch_add(1, std::memory_order_relaxed);
    genaNotify(-1, 1, 0);
}

int32_t currentSystemUpdateId() {
    return gSystemUpdateId.load(std::memory_order_relaxed);
}
