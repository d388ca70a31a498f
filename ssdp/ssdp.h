// SSDP discovery for one served address: multicast listener, answer socket, heartbeat.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// One served address. `socket` holds its multicast socket, kPlatformInvalidSocket when opening
// failed, or 0 once the address is to stop; only the owner of the slot table writes it.
// `address` (network order) is set before the listen thread starts and not changed while it runs.
struct SsdpSlot {
    std::atomic<PlatformSocket> socket;
    uint32_t address;
};

// The multicast socket of a served address, or kPlatformInvalidSocket. The socket wakes from a
// blocked receive at least every 250 ms so its listen thread can see a stop.
PlatformSocket openMulticastSocket(uint32_t address);

// Listen-thread body; `arg` is the SsdpSlot* of the address. Serves the address until the slot's
// socket reads anything other than the socket the thread started with (0 on stop). Before it
// ends it has closed every socket of the address, the multicast socket included, and waited for
// its accept and heartbeat threads; whoever zeroes the slot therefore never closes the socket
// itself, and may join the thread to know the address is fully shut down.
void ssdpListenThread(void* arg);
