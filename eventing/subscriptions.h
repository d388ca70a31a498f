// The table of twenty GENA subscriptions, guarded by one lock held only for short table steps.
#pragma once

#include <cstdint>

#include "eventing/callback_url.h"
#include "platform/platform.h"

// Where a subscription came from: the subscriber's address and the local address (with its
// netmask) the request arrived on. Callbacks are honoured only towards the subscriber itself or
// the local subnet.
struct GenaPeer {
    uint32_t peerAddress;
    uint32_t localAddress;
    uint32_t localNetmask;
};

// Whether events may be sent to `address` for a subscription made from `peer`.
bool genaCallbackAddressAllowed(const GenaPeer* peer, uint32_t address);

// Frees every entry. Called at each start of the servers.
void genaClearSubscriptions();

// The table's caps, so that no client can hoard it.
constexpr int kGenaTableSize = 20;
// Entries one host address may hold: its sixth SUBSCRIBE is refused while others still get in.
constexpr int kGenaEntriesPerHost = 5;
// Seconds a new subscription is granted, whatever it asks; it must renew to stay.
constexpr int kGenaNewSeconds = 30;
// A renewal is granted what it asks up to an hour; infinite, zero, negative or longer asks get
// kGenaCappedSeconds, so every entry expires unless its subscriber keeps renewing.
constexpr int kGenaLongestAsk = 3600;
constexpr int kGenaCappedSeconds = 1800;
// "uuid:" and 32 random hex digits in the 8-4-4-4-12 layout.
constexpr int kGenaSidLength = 5 + 36;

// Seconds granted to a renewal that asked for `asked` (0 for infinite).
int genaRenewalSeconds(int asked);

// New subscription: answers on the socket (granted, refused 412, failed 500) and returns the
// table index, or -1. `callback` is the text after "CALLBACK: " to the end of the head.
// Expired entries are freed first; 500 when the table is full, when the peer's host already
// holds kGenaEntriesPerHost entries, or when no unpredictable SID could be drawn.
int genaSubscribe(PlatformSocket socket, int timeout, const char* path, const char* callback,
                  const GenaPeer* peer);

// Renewal; `sid` is the text after "SID: uuid:". Grants genaRenewalSeconds and says so.
void genaRenew(PlatformSocket socket, int timeout, const char* sid);

// Cancellation; `sid` is the text after "SID: " (begins "uuid:"); nullptr when absent.
void genaUnsubscribe(PlatformSocket socket, const char* sid);

// The most callback URLs kept per subscription; later ones in the header are ignored.
constexpr int kGenaMaxCallbackUrls = 8;

// A consistent copy of one live entry, taken for delivering one event.
struct GenaEventTarget {
    char sid[kGenaSidLength + 1]; // the whole "uuid:..." text
    int32_t seq;                  // the event key to send
    int32_t isContentDirectory;   // 1 ContentDirectory, 0 ConnectionManager or the registrar
    int32_t isRegistrar;          // 1 the media-receiver registrar
    GenaPeer peer;
    char callback[1024]; // the stored "<url>" pieces that qualified, cut to fit
    // Those URLs as parsed at SUBSCRIBE, in header order; offsets count from callback[0].
    GenaCallbackUrl urls[kGenaMaxCallbackUrls];
    int32_t urlCount;
};

// Copies entry `index` and raises its seq by one in the same locked step, so concurrent
// notifications never lose or repeat a key. `wanted(isContentDirectory)` decides whether the
// entry takes part; a registrar entry, whose variables never change, takes part only when both
// are wanted (its first event). When it does not, nothing changes and false is returned. False
// also for a free entry or an index outside 0..19.
bool genaTakeEventTarget(int index, bool notifyContentDirectory, bool notifyConnectionManager,
                         GenaEventTarget* out);

// What the status page shows of one live subscription: who made it and how long it has left,
// never its SID or callback.
struct GenaSubscriptionView {
    uint32_t peerAddress;       // the subscriber (network order); 0 when unknown
    int32_t secondsLeft;        // until it expires unless renewed
    int32_t isContentDirectory; // 1 ContentDirectory, 0 ConnectionManager or the registrar
    int32_t isRegistrar;
};

// Copies the live subscriptions (expired ones are dropped first) into `out`, at most `max`;
// returns how many. Any thread.
int genaListSubscriptions(GenaSubscriptionView* out, int max);
