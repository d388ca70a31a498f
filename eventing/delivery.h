// Event deliveries go out from one thread of their own, so that neither the library watcher
// nor a request thread ever waits for a subscriber; quit cuts a delivery in progress short,
// its connect included.
#pragma once

#include <cstdint>

#include "eventing/subscriptions.h"

// Queues one event for `target` (its callback URLs tried in order) to go out no earlier than
// delayMs from now, starting the delivery thread when it is not running. False, and the event
// is lost as an unreachable subscriber's would be, when the queue is full, memory is short or
// deliveries are stopped.
bool genaQueueDelivery(const GenaEventTarget& target, const char* body, uint32_t delayMs);

// First step of quit: drops what is queued, refuses new events and makes a connect or send in
// progress fail at once. Does not wait.
void genaDeliveryInterrupt();

// Interrupts (as above) and waits for the delivery thread to end. Events stay refused until
// genaDeliveryResume, so that no late caller starts the thread again after quit.
void genaDeliveryStop();

// Accepts events again (each start of the servers).
void genaDeliveryResume();
