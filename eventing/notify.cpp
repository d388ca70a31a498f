// Property-change events: one NOTIFY per event on a fresh connection to the subscriber's
// callback, and the ContentDirectory's SystemUpdateID.
#include "eventing/notify.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "eventing/delivery.h"
#include "mp3/dlna_info.h"
#include "runtime/diagnostics.h"

// Raised by announceContentChange (watcher thread), read by any thread.
static std::atomic<int32_t> gSystemUpdateId{0};

constexpr uint32_t kConnectTimeoutMs = 3000;
// At most 4,095 bytes on the wire: the head, and a body with up to kContainerIdsSize - 1
// characters of ContainerUpdateIDs.
constexpr int kMessageSize = 4096;
constexpr int kContainerIdsSize = 2048;
constexpr int kContentDirectoryBodySize = kContainerIdsSize + 512;
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
static SendState& sendState() {
    static SendState* state = new SendState;
    return *state;
}

// The ContainerUpdateIDs of the last change, sent with every later ContentDirectory event until
// the next change replaces them. Guarded by idsLock().
static std::mutex& idsLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
static char gContainerUpdateIds[kContainerIdsSize];

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
    "<SourceProtocolInfo>%s</SourceProtocolInfo>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<SinkProtocolInfo></SinkProtocolInfo>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<CurrentConnectionIDs>0</CurrentConnectionIDs>\n"
    "</e:property>\n"
    "</e:propertyset>\n";

// The registrar's variables never change: its subscribers get them once, in their first event.
constexpr const char kRegistrarBody[] =
    "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n"
    "<e:property>\n"
    "<AuthorizationGrantedUpdateID>0</AuthorizationGrantedUpdateID>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<AuthorizationDeniedUpdateID>0</AuthorizationDeniedUpdateID>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<ValidationSucceededUpdateID>0</ValidationSucceededUpdateID>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<ValidationRevokedUpdateID>0</ValidationRevokedUpdateID>\n"
    "</e:property>\n"
    "</e:propertyset>\n";

// The whole NOTIFY message for one stored URL of `target`. False when head and body do not fit
// in 1,023 bytes, or the URL was cut off the copied callback text: a message is never cut,
// since its CONTENT-LENGTH would no longer match.
static bool buildMessage(const GenaCallbackUrl& url, const GenaEventTarget& target,
                         const char* body, char* message) {
    int32_t copied = static_cast<int32_t>(std::strlen(target.callback));
    if (url.pathStart + url.pathLength > copied || url.hostStart + url.hostLength > copied) {
        return false;
    }
    const char* path = url.pathLength > 0 ? target.callback + url.pathStart : "/";
    int pathLength = url.pathLength > 0 ? url.pathLength : 1;
    int length = std::snprintf(message, kMessageSize,
                               "NOTIFY %.*s HTTP/1.1\r\n"
                               "HOST: %.*s\r\n"
                               "CONTENT-TYPE: text/xml\r\n"
                               "CONTENT-LENGTH: %d\r\n"
                               "NT: upnp:event\r\n"
                               "NTS: upnp:propchange\r\n"
                               "SID: %s\r\n"
                               "SEQ: %d\r\n"
                               "\r\n"
                               "%s",
                               pathLength, path, static_cast<int>(url.hostLength),
                               target.callback + url.hostStart, static_cast<int>(std::strlen(body)),
                               target.sid, target.seq, body);
    return length > 0 && length < kMessageSize;
}

// Whether quit has cut sends short; a connect in progress gives up on it.
static bool sendStopped() {
    SendState& state = sendState();
    std::lock_guard<std::mutex> hold(state.lock);
    return state.stopped;
}

// Connects to the address (3 s time-out) and writes `message`. True when written.
static bool sendTo(uint32_t address, uint16_t port, const char* message) {
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
    if (platformSocketConnectUnless(socket, address, port, kConnectTimeoutMs, sendStopped) != 0) {
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

// Delivers the event to the first stored URL that accepts it, at the address and port checked
// when the subscription was made.
void genaDeliver(const GenaEventTarget& target, const char* body) {
    char message[kMessageSize];
    for (int32_t i = 0; i < target.urlCount && i < kGenaMaxCallbackUrls; i++) {
        const GenaCallbackUrl& url = target.urls[i];
        if (genaCallbackAddressAllowed(&target.peer, url.address) &&
            buildMessage(url, target, body, message) && sendTo(url.address, url.port, message)) {
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
    return sendTo(address, static_cast<uint16_t>(port), message);
}

// Queues the event of each selected service for entry `index` (all entries when index < 0).
static void notifyEntries(int index, int notifyContentDirectory, int notifyConnectionManager,
                          uint32_t delayMs) {
    int first = index < 0 ? 0 : index;
    int last = index < 0 ? kGenaTableSize - 1 : index;
    char contentDirectoryBody[kContentDirectoryBodySize];
    char source[512];
    char connectionManagerBody[sizeof source + sizeof kConnectionManagerBody];
    std::snprintf(connectionManagerBody, sizeof connectionManagerBody, kConnectionManagerBody,
                  dlna_source_protocols(source, sizeof source));
    for (int i = first; i <= last; i++) {
        // The copy is taken, and the entry's seq raised, in one step under the table's guard;
        // the delivery thread sends it later without it.
        GenaEventTarget target;
        if (!genaTakeEventTarget(i, notifyContentDirectory != 0, notifyConnectionManager != 0,
                                 &target)) {
            continue;
        }
        target.callback[sizeof target.callback - 1] = '\0';
        const char* body = target.isRegistrar ? kRegistrarBody : connectionManagerBody;
        if (target.isContentDirectory) {
            std::lock_guard<std::mutex> hold(idsLock());
            std::snprintf(contentDirectoryBody, sizeof contentDirectoryBody, kContentDirectoryBody,
                          gSystemUpdateId.load(std::memory_order_relaxed), gContainerUpdateIds);
            body = contentDirectoryBody;
        }
        genaQueueDelivery(target, body, delayMs);
    }
}

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
