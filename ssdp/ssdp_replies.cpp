// The queue of delayed M-SEARCH answers of one served address and the heartbeat that sends
// them together with the periodic alive bursts and the farewell.
#include "ssdp/ssdp_internal.h"

#include <cstdlib>
#include <cstring>

#include "runtime/diagnostics.h"

constexpr uint32_t kPassMs = 1000;
// The heartbeat looks at its run flag this often inside a pass, so a stop ends it promptly.
constexpr uint32_t kSliceMs = 100;
constexpr int kPassesPerBurst = 201;
// Starts high so that the first pass announces.
constexpr int kFirstPassCounter = 1810;

bool queueSearchReply(SsdpTimerParam* param, uint32_t dueMs, const char* target, int targetLength,
                      const Ipv4Endpoint* requester) {
    // Only the listen thread appends, so the count can only fall before the node is linked.
    {
        std::lock_guard<std::mutex> guard(param->lock);
        if (param->pendingCount >= kSsdpMaxPending) {
            return false;
        }
    }
    auto* node = static_cast<PendingReply*>(std::malloc(sizeof(PendingReply)));
    char* text = static_cast<char*>(std::malloc(static_cast<size_t>(targetLength) + 1));
    if (node == nullptr || text == nullptr) {
        std::free(node);
        std::free(text);
        return false;
    }
    std::memcpy(text, target, static_cast<size_t>(targetLength));
    text[targetLength] = '\0';
    node->requester = *requester;
    node->dueMs = dueMs;
    node->searchTarget = text;
    node->next = nullptr;

    std::lock_guard<std::mutex> guard(param->lock);
    PendingReply** tail = &param->pending;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = node;
    param->pendingCount++;
    return true;
}

int sendDueReplies(SsdpTimerParam* param, uint32_t nowMs) {
    int sent = 0;
    std::lock_guard<std::mutex> guard(param->lock);
    PendingReply** link = &param->pending;
    while (*link != nullptr) {
        PlatformSocket socket = param->sendSocket->load(std::memory_order_relaxed);
        if (socket == 0) {
            break;
        }
        PendingReply* node = *link;
        if (!ssdpIsDue(nowMs, node->dueMs)) {
            link = &node->next;
            continue;
        }
        announceOrAnswer(socket, &param->http, &node->requester, node->searchTarget,
                         SsdpMode::Answer);
        *link = node->next;
        std::free(node->searchTarget);
        std::free(node);
        param->pendingCount--;
        sent++;
    }
    return sent;
}

void dropPendingReplies(SsdpTimerParam* param) {
    std::lock_guard<std::mutex> guard(param->lock);
    while (param->pending != nullptr) {
        PendingReply* node = param->pending;
        param->pending = node->next;
        std::free(node->searchTarget);
        std::free(node);
    }
    param->pendingCount = 0;
}

static bool heartbeatRunning(const SsdpTimerParam* param) {
    return param->httpSocket->load(std::memory_order_relaxed) != 0;
}

// Sleeps one pass in slices; returns false as soon as the run flag reads 0.
static bool waitOnePass(const SsdpTimerParam* param) {
    for (uint32_t waited = 0; waited < kPassMs; waited += kSliceMs) {
        platformSleepMs(kSliceMs);
        if (!heartbeatRunning(param)) {
            return false;
        }
    }
    return true;
}

void ssdpHeartbeatThread(void* arg) {
    auto* param = static_cast<SsdpTimerParam*>(arg);
    if (param == nullptr) {
        return;
    }
    char address[16];
    platformAddressText(param->http.address, address);
    verbosePrint("### SSDP heartbeat for %s:%d\n", address, param->http.port);
    const Ipv4Endpoint group{ssdpGroupAddress(), kSsdpPort};
    int counter = kFirstPassCounter;
    while (heartbeatRunning(param)) {
        if (!waitOnePass(param)) {
            break;
        }
        if (++counter >= kPassesPerBurst) {
            announceOrAnswer(param->heartbeatSocket, &param->http, &group, "ssdp:all",
                             SsdpMode::Alive);
            counter = 0;
        }
        sendDueReplies(param, platformTickMs());
    }
    sendByebyeAll(param->heartbeatSocket, &group);
    verbosePrint("### SSDP stopped heartbeat for %s:%d\n", address, param->http.port);
}
