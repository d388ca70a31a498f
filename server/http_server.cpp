// The listener of one served address, its accept thread and one thread per connection.
#include "server/http_server.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "eventing/notify.h"
#include "eventing/subscriptions.h"
#include "http/http_host.h"
#include "http/http_request.h"
#include "http/http_writers.h"
#include "runtime/device_identity.h"
#include "runtime/diagnostics.h"
#include "server/descriptions.h"
#include "server/device_face.h"
#include "server/http_route.h"
#include "server/streaming.h"
#include "server/worker_pool.h"
#include "soap/soap_dispatch.h"

// Connections queued or being served in the whole process; written by accept and connection
// threads.
static std::atomic<int32_t> activeConnections{0};

int httpActiveConnections() {
    return activeConnections.load(std::memory_order_relaxed);
}

// The connections being served and their peers: the slots that the caps count, and the sockets
// quit ends. Guarded by liveLock, which is also held while a socket is shut down, so a shutdown
// never reaches a socket already closed.
struct LiveConnection {
    PlatformSocket socket; // 0: a free slot
    uint32_t peer;
};
static std::mutex liveLock;
static LiveConnection liveConnections[kHttpMaxConnections];

bool httpAdmitConnection(PlatformSocket s, uint32_t peer) {
    std::lock_guard<std::mutex> hold(liveLock);
    LiveConnection* free = nullptr;
    int ofPeer = 0;
    for (LiveConnection& slot : liveConnections) {
        if (slot.socket == 0) {
            free = free != nullptr ? free : &slot;
        } else if (slot.peer == peer) {
            ofPeer++;
        }
    }
    if (free == nullptr || ofPeer >= kHttpMaxPerPeer) {
        return false;
    }
    *free = LiveConnection{s, peer};
    return true;
}

static void releaseConnection(PlatformSocket s) {
    std::lock_guard<std::mutex> hold(liveLock);
    for (LiveConnection& slot : liveConnections) {
        if (slot.socket == s) {
            slot.socket = 0;
            return;
        }
    }
}

void httpShutdownConnections() {
    {
        std::lock_guard<std::mutex> hold(liveLock);
        for (const LiveConnection& slot : liveConnections) {
            if (slot.socket != 0) {
                platformSocketShutdown(slot.socket);
            }
        }
    }
    workerPoolStop();
}

// The address and port of every running listener, for the status page. Guarded by
// listenersLock; each accept thread adds its own at start and removes it at the end.
static std::mutex listenersLock;
static Ipv4Endpoint listeners[kHttpMaxListeners];

static void addListener(const Ipv4Endpoint& endpoint) {
    std::lock_guard<std::mutex> hold(listenersLock);
    for (Ipv4Endpoint& slot : listeners) {
        if (slot.port == 0) {
            slot = endpoint;
            return;
        }
    }
}

static void removeListener(const Ipv4Endpoint& endpoint) {
    std::lock_guard<std::mutex> hold(listenersLock);
    for (Ipv4Endpoint& slot : listeners) {
        if (slot.address == endpoint.address && slot.port == endpoint.port) {
            slot = Ipv4Endpoint{0, 0};
            return;
        }
    }
}

int httpListeningEndpoints(Ipv4Endpoint* out, int max) {
    std::lock_guard<std::mutex> hold(listenersLock);
    int count = 0;
    for (const Ipv4Endpoint& slot : listeners) {
        if (slot.port != 0 && count < max) {
            out[count++] = slot;
        }
    }
    return count;
}

// Reads and drops what the client still sends, within kHttpDrainMs and kHttpDrainBytes, so
// that closing does not reset the connection before the client has read the answer.
static void drainRequest(PlatformSocket socket) {
    char block[4096];
    uint32_t start = platformTickMs();
    for (int32_t dropped = 0; dropped < kHttpDrainBytes;) {
        uint32_t spent = platformTickMs() - start;
        if (spent >= kHttpDrainMs) {
            return;
        }
        uint32_t left = kHttpDrainMs - spent;
        platformSocketSetTimeouts(socket, left < kHttpDrainPauseMs ? left : kHttpDrainPauseMs,
                                  kHttpDrainMs);
        int n = platformSocketRecv(socket, block, sizeof block);
        if (n <= 0) {
            return;
        }
        dropped += n;
    }
}

// A connection turned away with a status line before its close: over a cap (503), or a
// request whose framing is refused (400, 411, 413).
static void refuse(PlatformSocket socket, int status) {
    platformSocketSetTimeouts(socket, kHttpDrainMs, kHttpDrainMs);
    httpSendStatus(socket, nullptr, status);
    drainRequest(socket);
}

PlatformSocket httpOpenListener(uint32_t address) {
    for (uint32_t port = 8080; port <= 9080; port++) {
        PlatformSocket s = platformSocketTcp();
        if (s == kPlatformInvalidSocket) {
            return 0;
        }
        // Listening is part of each try: where the platform lets a second socket bind a port
        // that another already holds, only listen tells that the port is taken. The connections
        // it accepts start with the time-outs of a request's head, so reading one needs no
        // system call to set them.
        if (platformSocketBind(s, address, static_cast<uint16_t>(port)) == 0 &&
            platformSocketListen(s, 0x7FFFFFFF) == 0 &&
            platformSocketSetTimeouts(s, kHttpReadLimits.headMs, kHttpReadLimits.totalMs) == 0) {
            return s;
        }
        platformSocketClose(s);
    }
    return 0;
}

// A connection over a cap: a 503 status line, then the close. The accept thread must not wait
// on it, so nothing is drained; a fresh connection's send buffer takes the line at once.
static void refuseAtOnce(PlatformSocket socket) {
    platformSocketSetTimeouts(socket, kHttpRefusalSendMs, kHttpRefusalSendMs);
    httpSendStatus(socket, nullptr, 503);
    platformSocketClose(socket);
}

// An accepted connection as queued for a worker: its socket, and the listener's address and
// port, which are the connection's own local ones (every listener is bound to one address).
struct ConnectionStart {
    PlatformSocket socket;
    Ipv4Endpoint local;
};

// Worker job: serves the connection and frees its start record.
static void connectionJob(void* arg) {
    ConnectionStart start = *static_cast<ConnectionStart*>(arg);
    std::free(arg);
    httpServeConnection(start.socket, kHttpReadLimits,
                        start.local.address != 0 ? &start.local : nullptr, true);
    activeConnections.fetch_sub(1, std::memory_order_relaxed);
}

// A connection that a worker accepted itself: admitted under the same caps, served at once.
static void serveAccepted(PlatformSocket s, uint32_t peer, const Ipv4Endpoint& local) {
    if (!httpAdmitConnection(s, peer)) {
        refuseAtOnce(s);
        return;
    }
    activeConnections.fetch_add(1, std::memory_order_relaxed);
    httpServeConnection(s, kHttpReadLimits, local.address != 0 ? &local : nullptr, true);
    activeConnections.fetch_sub(1, std::memory_order_relaxed);
}

// Admits a connection the accept thread took and queues it for a worker; refuses it with 503
// over a cap or when the queue is full.
static void queueConnection(PlatformSocket s, uint32_t peer, const Ipv4Endpoint& local) {
    if (!httpAdmitConnection(s, peer)) {
        refuseAtOnce(s);
        return;
    }
    // Admission has registered the connection while it is queued too, so a shutdown that
    // already counts the connection also reaches it.
    activeConnections.fetch_add(1, std::memory_order_relaxed);
    auto* start = static_cast<ConnectionStart*>(std::malloc(sizeof(ConnectionStart)));
    if (start != nullptr) {
        *start = ConnectionStart{s, local};
    }
    if (start == nullptr || !workerPoolSubmit(connectionJob, start)) {
        std::free(start);
        activeConnections.fetch_sub(1, std::memory_order_relaxed);
        releaseConnection(s);
        refuseAtOnce(s);
    }
}

void httpAcceptThread(void* arg) {
    auto* variable = static_cast<std::atomic<PlatformSocket>*>(arg);
    PlatformSocket listener = variable->load(std::memory_order_relaxed);
    if (listener == 0) {
        return;
    }
    Ipv4Endpoint local = {0, 0};
    platformSocketLocalName(listener, &local);
    char address[16];
    platformAddressText(local.address, address);
    verbosePrint("### HTTP server started at http://%s:%d/\n", address, local.port);
    addListener(local);
    // Idle workers accept on the listener too; this thread accepts while none does.
    int slot = workerPoolListen(variable, local, serveAccepted);
    for (;;) {
        workerPoolAcceptTurn(slot);
        listener = variable->load(std::memory_order_relaxed);
        if (listener == 0) {
            break;
        }
        Ipv4Endpoint peer;
        PlatformSocket s = platformSocketAccept(listener, &peer);
        if (s == kPlatformInvalidSocket) {
            workerPoolAcceptDone(slot);
            // Out of descriptors or a closed listener: pause so the loop cannot spin.
            platformSleepMs(10);
            continue;
        }
        queueConnection(s, peer.address, local);
        workerPoolAcceptDone(slot);
    }
    workerPoolUnlisten(slot);
    removeListener(local);
    verbosePrint("### HTTP server terminated at http://%s:%d/\n", address, local.port);
}

// The subscriber's address, the local address the request came in on, and its netmask.
static bool connectionPeer(PlatformSocket socket, GenaPeer* peer) {
    Ipv4Endpoint local;
    Ipv4Endpoint remote;
    if (platformSocketLocalName(socket, &local) != 0 ||
        platformSocketPeerName(socket, &remote) != 0) {
        return false;
    }
    peer->peerAddress = remote.address;
    peer->localAddress = local.address;
    peer->localNetmask = platformNetmaskOf(local.address);
    return true;
}

// Calls the handler the route names; returns the index of a new subscription, or -1.
static int dispatch(PlatformSocket socket, const HttpRoute& route, const char* urlBase,
                    uint32_t localAddress) {
    switch (route.kind) {
    case HttpRouteKind::None:
        return -1;
    case HttpRouteKind::RegistrarDescription:
        sendRegistrarDescription(socket, route.version, route.headOnly);
        return -1;
    case HttpRouteKind::Icon:
        serveDeviceIcon(socket, route.version, route.path, route.headOnly);
        return -1;
    case HttpRouteKind::PresentationPage:
        servePresentationPage(socket, route.version, localAddress, route.headOnly);
        return -1;
    case HttpRouteKind::DeviceDescription:
        sendDeviceDescription(socket, route.version, urlBase, route.headOnly);
        return -1;
    case HttpRouteKind::ConnectionManagerDescription:
        sendConnectionManagerDescription(socket, route.version, route.headOnly);
        return -1;
    case HttpRouteKind::ContentDirectoryDescription:
        sendContentDirectoryDescription(socket, route.version, route.headOnly);
        return -1;
    case HttpRouteKind::Track:
        // A stream may last as long as the track plays: not on a pool worker's time. A head
        // alone is short and stays.
        if (!route.headOnly) {
            workerPoolDetach();
        }
        httpServeTrack(socket,
                       MediaRequest{route.version, route.path, route.media, route.headOnly});
        return -1;
    case HttpRouteKind::AlbumArt:
        if (!route.headOnly) {
            workerPoolDetach();
        }
        httpServeAlbumArt(socket,
                          MediaRequest{route.version, route.path, route.media, route.headOnly});
        return -1;
    case HttpRouteKind::Soap:
        soap_dispatch(socket, route.version, urlBase, route.soapAction, route.body);
        return -1;
    case HttpRouteKind::Unsubscribe:
        genaUnsubscribe(socket, route.sid);
        return -1;
    case HttpRouteKind::Renew:
        genaRenew(socket, route.timeout, route.sid);
        return -1;
    case HttpRouteKind::Subscribe:
        break;
    }
    GenaPeer peer;
    return genaSubscribe(socket, route.timeout, route.path, route.callback,
                         connectionPeer(socket, &peer) ? &peer : nullptr);
}

// Whether the request's Host names this machine (see httpHostAllowed).
static bool hostNamesThisMachine(const char* host) {
    return httpHostAllowed(host, deviceHostName().text);
}

// Reads the connection's one request, refuses it or calls its handler. Returns the index of a
// new subscription, or -1.
static int serveRequest(PlatformSocket socket, TextBuffer* request, const HttpReadLimits& limits,
                        bool fromListener, const char* urlBase, uint32_t localAddress) {
    bool preset = fromListener && limits.headMs == kHttpReadLimits.headMs &&
                  limits.totalMs == kHttpReadLimits.totalMs;
    HttpReadResult read = httpReadRequest(socket, request, limits, preset);
    if (read == HttpReadResult::BadRequest || read == HttpReadResult::TooLarge ||
        read == HttpReadResult::LengthRequired) {
        refuse(socket, read == HttpReadResult::BadRequest ? 400
                       : read == HttpReadResult::TooLarge ? 413
                                                          : 411);
        return -1;
    }
    if (read != HttpReadResult::Complete) {
        return -1;
    }
    HttpRoute route = httpRouteRequest(request->text);
    if (route.kind != HttpRouteKind::None && !hostNamesThisMachine(route.host)) {
        httpSendStatus(socket, route.version, 403);
        return -1;
    }
    return dispatch(socket, route, urlBase, localAddress);
}

void httpServeConnection(PlatformSocket socket, const HttpReadLimits& limits,
                         const Ipv4Endpoint* known, bool fromListener) {
    // Answers are written whole within the send time-out or the connection is given up: the
    // request reader sets both time-outs before its first receive, or the connection has them
    // from its listener.
    Ipv4Endpoint local = known != nullptr ? *known : Ipv4Endpoint{0, 0};
    TextBuffer* request = textBufferCreate(nullptr, 1024);
    if (request == nullptr || (known == nullptr && platformSocketLocalName(socket, &local) != 0)) {
        textBufferFree(request);
        releaseConnection(socket);
        platformSocketRelease(socket);
        return;
    }
    char address[16];
    char strURLBase[128];
    std::snprintf(strURLBase, sizeof strURLBase, "http://%s:%d/",
                  platformAddressText(local.address, address), local.port);
    int subscription =
        serveRequest(socket, request, limits, fromListener, strURLBase, local.address);
    textBufferFree(request);
    // Released from the slots first: no other thread shuts the socket down after that, so it
    // is closed without a shutdown of its own.
    releaseConnection(socket);
    platformSocketRelease(socket);
    if (subscription >= 0) {
        genaNotifyNewSubscription(subscription);
    }
}
