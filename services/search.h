// The ContentDirectory Search action: every object below a container that satisfies the
// SearchCriteria, sorted by SortCriteria, one page of them answered as DIDL-Lite.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "services/search_criteria.h"
#include "services/sort_criteria.h"

// Growable array of matches for one request.
struct MatchList {
    SortEntry* entries;
    int32_t capacity;
    int32_t count;
};

// Returns 0 once the answer has been sent, or a UPnP error code decided before any byte was
// sent: 701 without a ContainerID; 710 when it names no container (also before the first
// catalogue build); 402 for a negative startingIndex; 708 for a malformed criteria (reported
// only when there is an object to test it on); 603 or 501 when memory is short. Connection
// thread; holds the catalogue's shared lock from the lookup until the answer has been sent.
int search_action(PlatformSocket socket, const char* version, const char* urlBase,
                  const char* containerId, const char* searchCriteria, const char* filter,
                  int32_t startingIndex, int32_t requestedCount, const char* sortCriteria);

// What one search walk returns besides the criteria: with `membersOnlyIn` set, items and
// references are taken from that container only (containers from everywhere), so that a
// search from the root returns each track once, as its All Tracks item.
struct SearchWalk {
    const CriteriaProgram* program;
    const char* sortCriteria;
    const MediaObject* membersOnlyIn; // nullptr: from every container
};

// Appends every object below `container` that satisfies the walk's program, depth first: each
// match before its own matching descendants, each subtree before its next sibling. Returns 0,
// the program's negative status at the first object tested, or -2 when the list cannot grow.
// Caller holds a catalogue lock.
int search_collect(MatchList* list, const MediaObject* container, const SearchWalk* walk);

// Below 1/kSearchWalkShare of the catalogue's objects a container is walked object by object.
constexpr int32_t kSearchWalkShare = 256;

// search_collect with the version's search index (see media_db/search_index.h): the same
// matches in the same order, in time that grows with the matches rather than the objects
// below the container. Returns 1, having collected nothing, when the index cannot answer (a
// comparison of dates, track numbers or ids, a malformed criteria or ill-formed containment
// operand, no index) or when the container holds fewer than 1/walkShare of the objects (0:
// any container); else as search_collect.
int search_collect_indexed(MatchList* list, const MediaObject* container, const SearchWalk* walk,
                           int32_t walkShare);

// Appends one match; false when the list cannot grow.
bool search_list_append(MatchList* list, const MediaObject* object, const char* sortCriteria);
