// One HTTP listener per served address; one thread per accepted connection, which reads the
// request, routes it and calls its handler.
#pragma once

#include <atomic>

#include "http/http_request.h"
#include "platform/platform.h"

// Listening socket on `address`, port 8080 or the next free one up to 9080; 0 when none.
PlatformSocket httpOpenListener(uint32_t address);

// Copies the address and port of each running listener (at most `max`); returns how many.
constexpr int kHttpMaxListeners = 5;
int httpListeningEndpoints(Ipv4Endpoint* out, int max);

// Accept-thread body. `arg` is the std::atomic<PlatformSocket>* listener variable owned by the
// SSDP listen thread; the thread ends once the variable reads 0 (the owner closes the socket
// first so a blocked accept returns).
void httpAcceptThread(void* arg);

// Ends every connection still being served (a stream to a slow reader, say), so that its thread
// finishes within moments instead of after its send time-out. Called at quit; new connections
// are still accepted while listeners run.
void httpShutdownConnections();

// Serves one accepted connection with the given limits (pool workers use kHttpReadLimits) and
// closes it. `local`, when known, is the address and port it came in on (the listener's);
// nullptr asks the socket.
void httpServeConnection(PlatformSocket socket, const HttpReadLimits& limits,
                         const Ipv4Endpoint* local = nullptr);

// Number of connection threads running now (all listeners together) and the most allowed;
// connections above the limit are closed at once by the accept thread.
int httpActiveConnections();
constexpr int kHttpMaxConnections = 256;
