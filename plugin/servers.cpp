// Which addresses are served, starting and stopping their servers, following address changes.
#include "plugin/servers.h"

#include <atomic>
#include <cstdint>
#include <mutex>

#include "eventing/delivery.h"
#include "eventing/subscriptions.h"
#include "platform/platform.h"
#include "runtime/diagnostics.h"
#include "ssdp/ssdp.h"

constexpr int kMaxServers = 5;
constexpr uint32_t kRestartPauseMs = 1000;
// The address-change thread looks at its stop flag this often.
constexpr uint32_t kAddressWaitSliceMs = 250;

// The served addresses and their listen threads. Guarded by serversLock, which serialises
// startServers, stopServers and restartServers whichever thread calls them; the listen threads
// only read their own slot.
static std::mutex serversLock;
static SsdpSlot ssdpSockets[kMaxServers];
static PlatformThread listenThreads[kMaxServers];
static bool listenStarted[kMaxServers];
static int32_t serverCount;

// Written by the window thread, read by the address-change thread.
static std::atomic<int32_t> restartOnAddressChange{0};

// The address-change thread. Guarded by addressThreadLock (start and stop run on the window
// thread, but nothing forbids another caller).
static std::mutex addressThreadLock;
static PlatformThread addressThread;
static bool addressThreadStarted;
static std::atomic<int32_t> addressThreadStop{0};
static ServerOperation addressOperation;

// Zeroes every slot first, so all addresses shut down at once, then waits for each listen
// thread: it closes its own sockets, so no closed descriptor is ever left in use.
static void stopServersLocked() {
    for (int i = 0; i < serverCount; i++) {
        ssdpSockets[i].socket.store(0, std::memory_order_relaxed);
    }
    for (int i = 0; i < serverCount; i++) {
        if (listenStarted[i]) {
            platformThreadJoin(listenThreads[i]);
            listenStarted[i] = false;
        }
    }
}

static void startServersLocked() {
    // A start while serving would leave the running listen threads without their slots.
    stopServersLocked();
    genaClearSubscriptions();
    genaDeliveryResume();
    uint32_t addresses[kMaxServers];
    int count = platformOwnAddresses(addresses, kMaxServers);
    serverCount = 0;
    for (int i = 0; i < count && serverCount < kMaxServers; i++) {
        SsdpSlot& slot = ssdpSockets[serverCount];
        slot.address = addresses[i];
        PlatformSocket socket = openMulticastSocket(addresses[i]);
        slot.socket.store(socket, std::memory_order_relaxed);
        listenStarted[serverCount] =
            platformThreadStart(&listenThreads[serverCount], ssdpListenThread, &slot) == 0;
        if (!listenStarted[serverCount] && socket != kPlatformInvalidSocket) {
            slot.socket.store(0, std::memory_order_relaxed);
            platformSocketClose(socket);
        }
        serverCount++;
    }
}

void startServers() {
    std::lock_guard<std::mutex> guard(serversLock);
    startServersLocked();
}

void stopServers() {
    std::lock_guard<std::mutex> guard(serversLock);
    stopServersLocked();
}

static bool restartWanted() {
    return restartOnAddressChange.load(std::memory_order_relaxed) != 0;
}

// Holds the lock through the pause, so a toggle arriving meanwhile acts on the finished restart
// instead of interleaving with it. The flag is looked at again under the lock and after the
// pause: a switch-off clears it before it stops the servers, and then nothing starts them.
void restartServers() {
    std::lock_guard<std::mutex> guard(serversLock);
    if (!restartWanted()) {
        return;
    }
    stopServersLocked();
    platformSleepMs(kRestartPauseMs);
    if (restartWanted()) {
        startServersLocked();
    }
}

void setRestartOnAddressChange(int flag) {
    restartOnAddressChange.store(flag, std::memory_order_relaxed);
}

static bool addressThreadStopping() {
    return addressThreadStop.load(std::memory_order_relaxed) != 0;
}

// Set before the thread starts and not changed while it runs.
static void addressChangeThread(void*) {
    ServerOperation operation = addressOperation;
    while (!addressThreadStopping()) {
        int result = platformWaitAddressChange(kAddressWaitSliceMs);
        if (result < 0) {
            platformSleepMs(kAddressWaitSliceMs);
            continue;
        }
        if (result == 0 || addressThreadStopping()) {
            continue;
        }
        logPrint("### NIC change!\n");
        if (restartOnAddressChange.load(std::memory_order_relaxed) != 0 && operation != nullptr) {
            operation();
        }
    }
}

void startAddressChangeThread(ServerOperation operation, int flag) {
    std::lock_guard<std::mutex> guard(addressThreadLock);
    setRestartOnAddressChange(flag);
    if (addressThreadStarted) {
        return;
    }
    addressOperation = operation;
    addressThreadStop.store(0, std::memory_order_relaxed);
    addressThreadStarted = platformThreadStart(&addressThread, addressChangeThread, nullptr) == 0;
}

void stopAddressChangeThread() {
    std::lock_guard<std::mutex> guard(addressThreadLock);
    if (!addressThreadStarted) {
        return;
    }
    addressThreadStop.store(1, std::memory_order_relaxed);
    platformThreadJoin(addressThread);
    addressThreadStarted = false;
}
