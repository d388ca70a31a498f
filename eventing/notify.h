// Property-change events to subscribers, and the ContentDirectory SystemUpdateID.
#pragma once

#include <cstdint>

#include "eventing/subscriptions.h"

// Sends the event of each selected service to entry `index` (or to all entries when index < 0).
// Runs in the caller's thread; returns after every delivery attempt.
void genaNotify(int index, int notifyContentDirectory, int notifyConnectionManager);

// Connects to host:port (3 s time-out) and writes `message`. Returns true when written. With a
// non-null `peer`, only addresses allowed by genaCallbackAddressAllowed are contacted.
bool genaSendMessage(const char* host, int port, const char* message, const GenaPeer* peer);

// Raises SystemUpdateID by one and notifies every ContentDirectory subscriber.
void announceContentChange();

// The current SystemUpdateID (0 at load).
int32_t currentSystemUpdateId();
