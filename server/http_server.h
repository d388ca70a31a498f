// One HTTP listener per served address, its accept thread, and the pool workers that serve its
// connections: each reads the request, routes it and calls its handler.
#pragma once

#include <atomic>

#include "http/http_request.h"
#include "platform/platform.h"

// Listening socket on `address`, port 8080 or the next free one up to 9080; 0 when none. The
// connections it accepts start with the receive and send time-outs of kHttpReadLimits' head and
// whole request.
PlatformSocket httpOpenListener(uint32_t address);

// Copies the address and port of each running listener (at most `max`); returns how many.
constexpr int kHttpMaxListeners = 5;
int httpListeningEndpoints(Ipv4Endpoint* out, int max);

// Accept-thread body. `arg` is the std::atomic<PlatformSocket>* listener variable (a listener
// from httpOpenListener) owned by the SSDP listen thread; the thread ends once the variable reads 0
// (the owner closes the socket first so a blocked accept returns).
void httpAcceptThread(void* arg);

// Ends every connection still being served (a stream to a slow reader, say), so that its thread
// finishes within moments instead of after its send time-out. Called at quit; new connections
// are still accepted while listeners run.
void httpShutdownConnections();

// Serves one accepted connection with the given limits (pool workers use kHttpReadLimits) and
// closes it. `local`, when known, is the address and port it came in on (the listener's);
// nullptr asks the socket. `fromListener`: accepted on a listener from httpOpenListener, so it
// already has the time-outs that reading with kHttpReadLimits would set first.
void httpServeConnection(PlatformSocket socket, const HttpReadLimits& limits,
                         const Ipv4Endpoint* local = nullptr, bool fromListener = false);

// Connections queued or being served now (all listeners together).
int httpActiveConnections();

// Caps of the connections, so that no client can take the server for itself.
// Connections served at once by the whole process: each holds a thread and a socket.
constexpr int kHttpMaxConnections = 256;
// Connections one peer address may hold at once, so that one client cannot take every slot.
constexpr int kHttpMaxPerPeer = 32;
// The longest the accept thread waits to hand a connection over a cap its 503 status line.
constexpr uint32_t kHttpRefusalSendMs = 100;
// After a refusal the rest of what the client sends is read and dropped for at most this long
// (and this much), so the close does not reset the connection before the status arrives; a
// pause of kHttpDrainPauseMs means the client has stopped sending.
constexpr uint32_t kHttpDrainMs = 2000;
constexpr int32_t kHttpDrainBytes = 4 * 1024 * 1024;
constexpr uint32_t kHttpDrainPauseMs = 200;

// Takes a connection slot for socket `s` from `peer` (network order), unless the process holds
// kHttpMaxConnections or the peer kHttpMaxPerPeer; false then, and nothing is taken. The slot
// is given back by httpServeConnection when it closes the socket.
bool httpAdmitConnection(PlatformSocket s, uint32_t peer);
