// The ContentDirectory Browse action. Both forms return 0 once they have sent their answer,
// or a UPnP error code decided before any byte was sent. Connection thread; each takes the
// catalogue's shared lock for as long as it reads the tree and sends.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// One page of a container's children, ordered by `sortCriteria`: from `startingIndex`, at most
// `requestedCount` (0: all). 701 for a missing or unknown ObjectID (also before the first
// catalogue build), 402 for an item or a negative startingIndex, 603 when memory is short.
int browse_direct_children(PlatformSocket socket, const char* version, const char* urlBase,
                           const char* objectId, const char* filter, int32_t startingIndex,
                           int32_t requestedCount, const char* sortCriteria);

// One object of any kind, never chunked. 701 for a missing or unknown ObjectID.
int browse_metadata(PlatformSocket socket, const char* version, const char* urlBase,
                    const char* objectId, const char* filter);
