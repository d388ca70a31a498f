// Ordering of Browse and Search results by a SortCriteria text such as "-dc:date,+dc:title":
// comma-separated property names, each optionally preceded by '+' (ascending, the default) or
// '-' (descending). Items that name no sortable property are ignored. A reference sorts by its
// target's values; a container has only a title (text properties absent, track number 0).
#pragma once

#include <cstdint>

#include "media_db/media_db.h"

struct SortEntry {
    const MediaObject* object;
    const char* sort_criteria; // the request's text, shared by every entry; may be nullptr
    int32_t position;          // listing order; breaks ties so that every page agrees
};

// qsort-style comparison of two SortEntry records by a's criteria text, read afresh on every
// call. 0 when every item ties (always when the criteria is nullptr). Caller holds a lock.
int sort_entry_compare(const void* a, const void* b);

// The criteria read once: the first occurrence of each sortable property, with its direction.
// A later repeat of a property can never decide, so at most seven keys remain.
struct SortKeys {
    int count;
    struct {
        int property; // index into the sortable-property table
        int direction;
    } items[7];
};

// Reads a criteria text (nullptr or empty gives no keys).
void sort_keys_parse(const char* criteria, SortKeys* keys);

// The same order as sort_entry_compare for the criteria the keys were read from.
int sort_keys_compare(const SortKeys* keys, const MediaObject* a, const MediaObject* b);

// Puts the entries that belong at sorted positions [start, start + count) there, in order,
// ties broken by `position`. Cost is linear in `total` plus count log count.
void sort_select_page(SortEntry* entries, int32_t total, const SortKeys* keys, int32_t start,
                      int32_t count);
