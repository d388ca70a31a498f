// Helpers shared inside ssdp/ and with its tests: the message texts, target selection, the
// M-SEARCH datagram checks and the queue of delayed search answers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"

constexpr const char* kSsdpGroupText = "239.255.255.250";
constexpr uint16_t kSsdpPort = 1900;
constexpr unsigned kSsdpMaxAge = 1810;
constexpr const char* kSsdpDescriptionPath = "/DeviceDescription.xml";
constexpr int kSsdpTypeCount = 5;
constexpr int kSsdpMessageSize = 512;
// Largest datagram examined; a longer one is dropped.
constexpr int kSsdpDatagramSize = 512;

// Caps that keep searches from turning the device into a flood source or a memory sink.
// Pending answers per served address: a flood of searches cannot grow the queue.
constexpr int kSsdpMaxPending = 64;
// Longest answer delay in seconds whatever MX asks, so no answer lingers in the queue.
constexpr int kSsdpMaxDelaySeconds = 5;
// Searches answered per sender address and second: one search cannot be repeated into a flood.
constexpr int kSsdpAnswersPerSecond = 5;
// Senders whose rate is tracked at once; beyond it the one seen longest ago is forgotten.
constexpr int kSsdpRateSenders = 32;
// Source ports below this belong to system services: a search from one is a reflection attempt.
constexpr uint16_t kSsdpLowestSearchPort = 1024;
// Copies of each answer datagram: the searcher repeats its search if one is lost, and every copy
// multiplies what a spoofed search can direct at a victim.
constexpr int kSsdpAnswerCopies = 1;

// Multicast group in network byte order.
uint32_t ssdpGroupAddress();

// The NT/ST text of row 1..4 of the notification types; row 0 (the UDN itself) gives nullptr.
const char* ssdpNotificationType(int row);

// Whether `target` (exact, case-sensitive) selects `row` 0..4: "ssdp:all" selects every row,
// otherwise the target must equal the row's NT value (the UDN for row 0).
bool ssdpTargetSelects(const char* target, int row, const char* udn);

// Message texts, built into `out` (kSsdpMessageSize bytes). `type` is a row 1..4 text or nullptr
// for the UDN row. Return the text length, or -1 when the text would not fit.
int ssdpFormatAlive(char* out, const char* udn, const char* type, const Ipv4Endpoint* http);
int ssdpFormatByebye(char* out, const char* udn, const char* type);
int ssdpFormatSearchResponse(char* out, const char* udn, const char* type, const Ipv4Endpoint* http,
                             const char* date);

// Senders: each builds its message, prints it when verbose and sends it (alive three times back
// to back, search response kSsdpAnswerCopies times, byebye once). Return the result of the last
// send, -1 when the message could not be built. `udn` is the device's UDN, read once by the caller.
int sendAlive(const Ipv4Endpoint* destination, PlatformSocket socket, const Ipv4Endpoint* http,
              const char* udn, const char* type);
int sendByebye(const Ipv4Endpoint* destination, PlatformSocket socket, const char* udn,
               const char* type);
int sendSearchResponse(const Ipv4Endpoint* destination, PlatformSocket socket,
                       const Ipv4Endpoint* http, const char* udn, const char* type);

// The five byebye messages, rows in order.
void sendByebyeAll(PlatformSocket socket, const Ipv4Endpoint* destination);

enum class SsdpMode { Alive, Answer };

// For each row selected by `target`, in order: sendAlive (alive) or sendSearchResponse (answer).
// Returns how many rows were selected.
int announceOrAnswer(PlatformSocket socket, const Ipv4Endpoint* http,
                     const Ipv4Endpoint* destination, const char* target, SsdpMode mode);

// What a valid M-SEARCH asks for. `target` points into the datagram text.
struct SsdpSearch {
    const char* target;
    int targetLength;
    int mx; // 1..kSsdpMaxDelaySeconds: the spread of the answer delay
};

// Checks a received datagram (NUL-terminated text) and extracts ST and MX. Returns false when
// the datagram is to be ignored: a required piece missing, no "ST:" line, or MX reading 0.
// MX is read in 8 bits and capped at kSsdpMaxDelaySeconds.
// Header names compare without regard to case; method, "*", "HTTP/1.1" and values are exact.
bool ssdpParseSearch(const char* datagram, SsdpSearch* out);

// Whether a search from `sender` may be answered by the address `served` with `netmask`: only
// senders on the served address's own subnet, or the address itself, are answered.
bool ssdpSenderAllowed(uint32_t sender, uint32_t served, uint32_t netmask);

// Whether a search from UDP source `port` may be answered: not from the SSDP port itself (another
// agent's multicast socket) nor from a port below kSsdpLowestSearchPort.
bool ssdpSourcePortAllowed(uint16_t port);

// Searches answered per sender in the current second; kept by the listen thread alone.
struct SsdpSenderRate {
    uint32_t address;
    uint32_t windowStartMs;
    int answered;
};
struct SsdpRateTable {
    SsdpSenderRate senders[kSsdpRateSenders];
    int used;
};

// Counts one search of `address` at tick `nowMs`; false when the sender has had
// kSsdpAnswersPerSecond searches answered within the last second (the search is then dropped).
bool ssdpRateAllows(SsdpRateTable* table, uint32_t address, uint32_t nowMs);

// Whether an answer due at tick `dueMs` is due at tick `nowMs`; correct across the wrap of
// the 32-bit millisecond tick.
bool ssdpIsDue(uint32_t nowMs, uint32_t dueMs);

struct PendingReply {
    Ipv4Endpoint requester;
    uint32_t dueMs;
    char* searchTarget; // owned
    PendingReply* next;
};

// One served address's shared state, owned by its listen thread and lent to its heartbeat.
struct SsdpTimerParam {
    PendingReply* pending;                   // guarded by lock; oldest first
    int pendingCount;                        // guarded by lock; at most kSsdpMaxPending
    std::atomic<PlatformSocket>* httpSocket; // run flag of the heartbeat; 0 means stop
    std::atomic<PlatformSocket>* sendSocket; // answers leave from here; 0 means closed
    Ipv4Endpoint http;                       // LOCATION address and port
    PlatformSocket heartbeatSocket;          // alive and byebye leave from here
    std::mutex lock;
};

// Appends one answer; returns false (and queues nothing) when kSsdpMaxPending answers are
// already waiting or memory runs out. Called by the listen thread only.
bool queueSearchReply(SsdpTimerParam* param, uint32_t dueMs, const char* target, int targetLength,
                      const Ipv4Endpoint* requester);

// Sends and removes every due answer, holding the lock. Returns how many were sent.
int sendDueReplies(SsdpTimerParam* param, uint32_t nowMs);

// Releases every queued answer unsent.
void dropPendingReplies(SsdpTimerParam* param);

// Heartbeat-thread body; `arg` is the SsdpTimerParam*.
void ssdpHeartbeatThread(void* arg);
