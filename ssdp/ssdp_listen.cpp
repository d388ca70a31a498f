// The listen thread of one served address: it opens the address's answer socket and HTTP
// listener, starts the accept and heartbeat threads, and queues a delayed answer for each
// M-SEARCH that arrives on the multicast socket.
#include "ssdp/ssdp.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "runtime/device_identity.h"
#include "runtime/diagnostics.h"
#include "server/http_server.h"
#include "ssdp/ssdp_internal.h"

constexpr uint16_t kFirstSendPort = 9080;
constexpr uint16_t kLastSendPort = 9180;
constexpr int kMulticastTtl = 4;
// A blocked receive returns this often so the thread notices a stop without a close.
constexpr uint32_t kReceiveWakeMs = 250;

PlatformSocket openMulticastSocket(uint32_t address) {
    PlatformSocket socket = platformSsdpSocketOpen(address, ssdpGroupAddress(), kSsdpPort);
    if (socket == kPlatformInvalidSocket) {
        return kPlatformInvalidSocket;
    }
    if (platformSocketSetTimeouts(socket, kReceiveWakeMs, 0) != 0) {
        platformSocketClose(socket);
        return kPlatformInvalidSocket;
    }
    return socket;
}

// The answer socket: bound to the served address, port 9080 or the first free one up to 9180.
static PlatformSocket openSendSocket(uint32_t address) {
    PlatformSocket socket = platformSocketUdp();
    if (socket == kPlatformInvalidSocket) {
        return kPlatformInvalidSocket;
    }
    for (uint32_t port = kFirstSendPort; port <= kLastSendPort; port++) {
        if (platformSocketBind(socket, address, static_cast<uint16_t>(port)) == 0) {
            platformSocketSetMulticastTtl(socket, kMulticastTtl);
            return socket;
        }
    }
    platformSocketClose(socket);
    return kPlatformInvalidSocket;
}

// The heartbeat's socket: unbound, TTL 4, and its multicast leaving by the served address's own
// interface, so every address announces on its own network with its own LOCATION.
static PlatformSocket openHeartbeatSocket(uint32_t address) {
    PlatformSocket socket = platformSocketUdp();
    if (socket == kPlatformInvalidSocket) {
        return kPlatformInvalidSocket;
    }
    platformSocketSetMulticastTtl(socket, kMulticastTtl);
    platformSocketSetMulticastInterface(socket, address);
    return socket;
}

// Everything one listen thread owns besides its multicast socket.
struct ListenState {
    uint32_t address;
    uint32_t netmask;
    UdnText udn; // read once: a search target is checked against it for every datagram
    SsdpRateTable rates{};
    std::atomic<PlatformSocket> httpSocket{0};
    std::atomic<PlatformSocket> sendSocket{0};
    PlatformThread acceptThread{};
    PlatformThread heartbeatThread{};
    bool acceptStarted = false;
    bool heartbeatStarted = false;
    SsdpTimerParam param{};
};

// Opens the HTTP listener and starts the accept and heartbeat threads. Returns false when the
// address cannot be served; what was started is then left for shutDown.
static bool startAddress(ListenState* state) {
    PlatformSocket send = openSendSocket(state->address);
    if (send == kPlatformInvalidSocket) {
        return false;
    }
    state->sendSocket.store(send, std::memory_order_relaxed);
    PlatformSocket http = httpOpenListener(state->address);
    if (http == 0 || http == kPlatformInvalidSocket) {
        return false;
    }
    state->httpSocket.store(http, std::memory_order_relaxed);
    if (platformThreadStart(&state->acceptThread, httpAcceptThread, &state->httpSocket) != 0) {
        return false;
    }
    state->acceptStarted = true;

    SsdpTimerParam& param = state->param;
    param.pending = nullptr;
    param.pendingCount = 0;
    param.httpSocket = &state->httpSocket;
    param.sendSocket = &state->sendSocket;
    if (platformSocketLocalName(http, &param.http) != 0) {
        return false;
    }
    param.heartbeatSocket = openHeartbeatSocket(state->address);
    if (param.heartbeatSocket == kPlatformInvalidSocket) {
        return false;
    }
    if (platformThreadStart(&state->heartbeatThread, ssdpHeartbeatThread, &param) != 0) {
        return false;
    }
    state->heartbeatStarted = true;
    return true;
}

// Shutdown order: the HTTP listener closes (the accept thread ends), the answer socket is
// withdrawn (no more answers), the heartbeat sees the zero and says farewell, then the sockets
// the threads used are closed once nobody can use them any more.
static void shutDown(ListenState* state) {
    // Cleared before it is closed: the number of a closed descriptor may be handed to the next
    // socket opened, which a thread reading the shared value must never take for the listener.
    PlatformSocket http = state->httpSocket.exchange(0, std::memory_order_relaxed);
    if (http != 0) {
        platformSocketClose(http);
    }
    PlatformSocket send = state->sendSocket.exchange(0, std::memory_order_relaxed);
    if (state->acceptStarted) {
        platformThreadJoin(state->acceptThread);
    }
    if (state->heartbeatStarted) {
        platformThreadJoin(state->heartbeatThread);
    }
    if (send != 0) {
        platformSocketClose(send);
    }
    if (state->param.heartbeatSocket != 0 &&
        state->param.heartbeatSocket != kPlatformInvalidSocket) {
        platformSocketClose(state->param.heartbeatSocket);
    }
    dropPendingReplies(&state->param);
}

// Whether the search asks for anything this device is; a search for something else costs the
// sender none of its answers.
static bool targetSelectsAny(const ListenState* state, const SsdpSearch* search) {
    char target[kSsdpDatagramSize + 1];
    std::memcpy(target, search->target, static_cast<size_t>(search->targetLength));
    target[search->targetLength] = '\0';
    for (int row = 0; row < kSsdpTypeCount; row++) {
        if (ssdpTargetSelects(target, row, state->udn.text)) {
            return true;
        }
    }
    return false;
}

// Examines one datagram and queues its answer when it is a search this address answers.
static void handleDatagram(ListenState* state, char* datagram, int length,
                           const Ipv4Endpoint* from) {
    datagram[length] = '\0';
    SsdpSearch search;
    if (!ssdpParseSearch(datagram, &search)) {
        return;
    }
    char sender[16];
    verbosePrint("### SSDP got from %s %d Bytes\n", platformAddressText(from->address, sender),
                 length);
    verbosePrint("%s\n", datagram);
    if (!ssdpSourcePortAllowed(from->port) ||
        !ssdpSenderAllowed(from->address, state->address, state->netmask) ||
        !targetSelectsAny(state, &search)) {
        return;
    }
    uint32_t nowMs = platformTickMs();
    if (!ssdpRateAllows(&state->rates, from->address, nowMs)) {
        return;
    }
    uint32_t delayMs = static_cast<uint32_t>(std::rand() % search.mx) * 1000u;
    queueSearchReply(&state->param, nowMs + delayMs, search.target, search.targetLength, from);
}

static void receiveSearches(ListenState* state, SsdpSlot* slot, PlatformSocket socket) {
    char datagram[kSsdpDatagramSize + 1];
    while (slot->socket.load(std::memory_order_relaxed) == socket) {
        Ipv4Endpoint from{};
        int length = platformSsdpSocketRecv(socket, datagram, kSsdpDatagramSize, &from);
        if (length < 1) {
            continue;
        }
        handleDatagram(state, datagram, length, &from);
    }
}

void ssdpListenThread(void* arg) {
    auto* slot = static_cast<SsdpSlot*>(arg);
    if (slot == nullptr) {
        return;
    }
    PlatformSocket socket = slot->socket.load(std::memory_order_relaxed);
    if (socket == 0 || socket == kPlatformInvalidSocket) {
        return;
    }
    auto* state = new (std::nothrow) ListenState;
    if (state == nullptr) {
        platformSocketClose(socket);
        return;
    }
    state->address = slot->address;
    state->netmask = platformNetmaskOf(slot->address);
    state->udn = deviceUdn();
    char address[16];
    platformAddressText(state->address, address);
    verbosePrint("### SSDP listen thread at %s:%d\n", address, kSsdpPort);

    // An address whose answers could never be sent is not listened to at all.
    if (startAddress(state)) {
        receiveSearches(state, slot, socket);
    }
    shutDown(state);
    platformSocketClose(socket);
    delete state;
    verbosePrint("### SSDP terminated listen thread at %s:%d\n", address, kSsdpPort);
}
