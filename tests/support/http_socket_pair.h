// Connected TCP socket pairs on loopback for tests that drive a server function on one end and
// play the client on the other. No multicast, so plain loopback is safe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

struct HttpSocketPair {
    PlatformSocket client = kPlatformInvalidSocket;
    PlatformSocket server = kPlatformInvalidSocket;
};

// Connects a client to a fresh listener on `address` (network order; default 127.0.0.1) and
// accepts it. Returns false when any step fails.
bool httpSocketPairOpen(HttpSocketPair* pair, uint32_t address = 0x0100007F);

// Closes whichever ends are still open.
void httpSocketPairClose(HttpSocketPair* pair);

// Sends the whole text from `socket`.
bool httpSendText(PlatformSocket socket, const std::string& text);

// Reads until the peer closes, an error, or `timeoutMs` without data.
std::string httpReadAll(PlatformSocket socket, uint32_t timeoutMs = 5000);

// Sends `request` on a new pair, serves it with `serve(serverSocket)` on this thread after the
// request is written (the serving function must close the server end), and returns what the
// client received.
std::string httpExchange(const std::string& request, void (*serve)(PlatformSocket));
