// Property-change events to subscribers, and the ContentDirectory SystemUpdateID.
#pragma once

#include <cstdint>

#include "eventing/subscriptions.h"

// Queues the event of each selected service for entry `index` (or for all entries when
// index < 0); the delivery thread sends them. Returns at once.
void genaNotify(int index, int notifyContentDirectory, int notifyConnectionManager);

// Queues the first event of a new subscription, to go out about 100 ms later (after the
// SUBSCRIBE answer's connection has been closed).
void genaNotifyNewSubscription(int index);

// Sends one event to the first URL of the target's callback text that accepts it (delivery
// thread).
void genaDeliver(const GenaEventTarget& target, const char* body);

// Connects to host:port (3 s time-out) and writes `message`. Returns true when written. With a
// non-null `peer`, only addresses allowed by genaCallbackAddressAllowed are contacted. Fails at
// once after genaSendInterrupt, until genaSendAllow.
bool genaSendMessage(const char* host, int port, const char* message, const GenaPeer* peer);
// Cuts a send in progress short (its connect or write fails) and refuses new ones.
void genaSendInterrupt();
void genaSendAllow();

// More container updates than fit in one event.
constexpr int kMaxAnnouncedContainers = 256;

// A changed container and its new update id.
struct GenaContainerUpdate {
    int64_t id;
    int32_t updateId;
};

// Raises SystemUpdateID by one and notifies every ContentDirectory subscriber, with these
// containers as ContainerUpdateIDs (upper containers first: pairs that do not fit are left
// out; more than kMaxAnnouncedContainers never fit).
void announceContainerUpdates(const GenaContainerUpdate* updates, int count);
// The same without container updates.
void announceContentChange();

// The current SystemUpdateID (0 at load).
int32_t currentSystemUpdateId();
