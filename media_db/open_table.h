// Slot steps shared by the catalogue's open-addressing tables (linear probing, nullptr marks a
// free slot).
#pragma once

#include <cstddef>

// The slot after `i` in a table of `capacity` slots, wrapping at the end.
inline size_t open_table_next(size_t i, size_t capacity) {
    return i + 1 == capacity ? 0 : i + 1;
}

// Backward-shift deletion: empties `hole` and moves later entries of its run up where their
// home slot allows, so no tombstones accumulate. `home(entry)` is the entry's home slot.
template <typename Entry, typename Home>
void open_table_close_hole(Entry** slots, size_t capacity, size_t hole, Home home) {
    for (size_t j = open_table_next(hole, capacity); slots[j] != nullptr;
         j = open_table_next(j, capacity)) {
        size_t at = home(slots[j]);
        // The entry at j may fill the hole unless its home lies cyclically in (hole, j].
        bool homeBetween = hole <= j ? (at > hole && at <= j) : (at > hole || at <= j);
        if (!homeBetween) {
            slots[hole] = slots[j];
            hole = j;
        }
    }
    slots[hole] = nullptr;
}
