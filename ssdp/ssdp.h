// SSDP discovery for one served address: multicast listener, answer socket, heartbeat.
#pragma once

#include <atomic>

#include "platform/platform.h"

// The multicast socket of a served address, or kPlatformInvalidSocket.
PlatformSocket openMulticastSocket(uint32_t address);

// Listen-thread body; `arg` is the std::atomic<PlatformSocket>* slot of the address. Ends once
// the slot reads 0, after its accept and heartbeat threads have ended.
void ssdpListenThread(void* arg);
