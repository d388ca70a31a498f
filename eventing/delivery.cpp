// The delivery thread and its queue of pending events.
#include "eventing/delivery.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "eventing/notify.h"
#include "platform/platform.h"

// Twenty subscriptions with a few events each in flight; beyond that events are dropped.
constexpr int kQueueSize = 64;

struct Delivery {
    GenaEventTarget target;
    uint32_t dueMs; // tick count from which it may go out
    char body[1];   // the event body, NUL-terminated, allocated with the record
};

struct DeliveryState {
    std::mutex mutex; // guards everything below
    std::condition_variable changed;
    Delivery* queue[kQueueSize] = {};
    int head = 0;
    int count = 0;
    bool stopping = false;
    bool started = false;
    PlatformThread thread{};
};

// Created on first use, so the module has no static constructor, and never destroyed: the
// delivery thread may still wait on it while the process exits.
static DeliveryState& deliveries() {
    static DeliveryState* state = new DeliveryState;
    return *state;
}

static void dropQueuedLocked(DeliveryState& state) {
    for (; state.count > 0; state.count--) {
        std::free(state.queue[state.head]);
        state.queue[state.head] = nullptr;
        state.head = (state.head + 1) % kQueueSize;
    }
    state.head = 0;
}

// Takes the next delivery once it is due; nullptr when stopping.
static Delivery* nextDue(DeliveryState& state) {
    std::unique_lock<std::mutex> hold(state.mutex);
    for (;;) {
        if (state.stopping) {
            return nullptr;
        }
        if (state.count == 0) {
            state.changed.wait(hold);
            continue;
        }
        Delivery* first = state.queue[state.head];
        int32_t wait = static_cast<int32_t>(first->dueMs - platformTickMs());
        if (wait > 0) {
            state.changed.wait_for(hold, std::chrono::milliseconds(wait));
            continue;
        }
        state.queue[state.head] = nullptr;
        state.head = (state.head + 1) % kQueueSize;
        state.count--;
        return first;
    }
}

static void deliveryThread(void*) {
    DeliveryState& state = deliveries();
    while (Delivery* delivery = nextDue(state)) {
        genaDeliver(delivery->target, delivery->body);
        std::free(delivery);
    }
}

bool genaQueueDelivery(const GenaEventTarget& target, const char* body, uint32_t delayMs) {
    size_t bodyLength = std::strlen(body);
    auto* delivery = static_cast<Delivery*>(std::malloc(sizeof(Delivery) + bodyLength));
    if (delivery == nullptr) {
        return false;
    }
    std::memcpy(&delivery->target, &target, sizeof target);
    delivery->dueMs = platformTickMs() + delayMs;
    std::memcpy(delivery->body, body, bodyLength + 1);

    DeliveryState& state = deliveries();
    std::lock_guard<std::mutex> hold(state.mutex);
    if (state.stopping || state.count == kQueueSize) {
        std::free(delivery);
        return false;
    }
    if (!state.started) {
        genaSendAllow();
        if (platformThreadStart(&state.thread, deliveryThread, nullptr) != 0) {
            std::free(delivery);
            return false;
        }
        state.started = true;
    }
    state.queue[(state.head + state.count) % kQueueSize] = delivery;
    state.count++;
    state.changed.notify_all();
    return true;
}

void genaDeliveryInterrupt() {
    DeliveryState& state = deliveries();
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        state.stopping = true;
        dropQueuedLocked(state);
        state.changed.notify_all();
    }
    genaSendInterrupt();
}

void genaDeliveryStop() {
    genaDeliveryInterrupt();
    DeliveryState& state = deliveries();
    bool joinIt;
    PlatformThread thread;
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        joinIt = state.started;
        thread = state.thread;
        state.started = false;
    }
    if (joinIt) {
        platformThreadJoin(thread);
    }
}

void genaDeliveryResume() {
    DeliveryState& state = deliveries();
    std::lock_guard<std::mutex> hold(state.mutex);
    state.stopping = false;
}
