#include "media_db/media_db_internal.h"
#include "media_db/open_table.h"
#include "runtime/hash.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kInitialSlots = 64;

// The key of a grouping container: its title, and for an album its album artist as well.
size_t hashTitle(const char* text, const char* artist) {
    uint64_t h = hashText(text);
    if (artist != nullptr) {
        h = hashText(artist, hashByte(h, 0xFF)); // no UTF-8 text holds this byte
    }
    return hashFold(h);
}

size_t homeOf(const MediaObject* container, size_t mask) {
    return hashTitle(container->title, container->artist) & mask;
}

bool sameKey(const MediaObject* container, const char* title, const char* artist) {
    if (std::strcmp(container->title, title) != 0) {
        return false;
    }
    if (container->artist == nullptr || artist == nullptr) {
        return container->artist == artist;
    }
    return std::strcmp(container->artist, artist) == 0;
}

// Places an object in a table known to have a free slot.
void placeHandle(MediaObject** slots, size_t capacity, MediaObject* object) {
    size_t i = hashInteger(object->handle) % capacity;
    while (slots[i] != nullptr) {
        i = open_table_next(i, capacity);
    }
    slots[i] = object;
}

// Slots for `entries` at a load of three quarters: probe runs stay short, and the table costs
// about 11 bytes per object.
size_t slotsFor(size_t entries) {
    return entries + entries / 3 + 1;
}

// Moves the table to `capacity` slots, or to twice its size when 0 (at least `atLeast`).
bool resizeHandles(HandleIndex* index, size_t atLeast, size_t capacity = 0) {
    if (capacity == 0) {
        capacity = index->capacity == 0 ? kInitialSlots : index->capacity * 2;
    }
    if (capacity < atLeast) {
        capacity = atLeast;
    }
    auto** slots = static_cast<MediaObject**>(std::calloc(capacity, sizeof(MediaObject*)));
    if (slots == nullptr) {
        return false;
    }
    for (size_t i = 0; i < index->capacity; i++) {
        if (index->slots[i] != nullptr) {
            placeHandle(slots, capacity, index->slots[i]);
        }
    }
    std::free(index->slots);
    index->slots = slots;
    index->capacity = capacity;
    return true;
}

void placeTitle(MediaObject** slots, size_t mask, MediaObject* container) {
    size_t i = homeOf(container, mask);
    while (slots[i] != nullptr) {
        i = (i + 1) & mask;
    }
    slots[i] = container;
}

bool growTitles(TitleIndex* index) {
    size_t capacity = index->mask == 0 ? kInitialSlots : (index->mask + 1) * 2;
    auto** slots = static_cast<MediaObject**>(std::calloc(capacity, sizeof(MediaObject*)));
    if (slots == nullptr) {
        return false;
    }
    if (index->slots != nullptr) {
        for (size_t i = 0; i <= index->mask; i++) {
            if (index->slots[i] != nullptr) {
                placeTitle(slots, capacity - 1, index->slots[i]);
            }
        }
        std::free(index->slots);
    }
    index->slots = slots;
    index->mask = capacity - 1;
    return true;
}

} // namespace

bool handle_index_insert(HandleIndex* index, MediaObject* object) {
    if (object == nullptr) {
        return false;
    }
    if (slotsFor(index->used + 1) > index->capacity && !resizeHandles(index, 0)) {
        return false;
    }
    placeHandle(index->slots, index->capacity, object);
    index->used++;
    return true;
}

bool handle_index_reserve(HandleIndex* index, size_t entries) {
    return slotsFor(entries) <= index->capacity || resizeHandles(index, slotsFor(entries));
}

MediaObject* handle_index_find(const HandleIndex* index, int64_t handle) {
    if (index->slots == nullptr) {
        return nullptr;
    }
    for (size_t i = hashInteger(handle) % index->capacity; index->slots[i] != nullptr;
         i = open_table_next(i, index->capacity)) {
        if (index->slots[i]->handle == handle) {
            return index->slots[i];
        }
    }
    return nullptr;
}

void handle_index_remove(HandleIndex* index, int64_t handle) {
    if (index->slots == nullptr) {
        return;
    }
    const size_t capacity = index->capacity;
    size_t i = hashInteger(handle) % capacity;
    while (index->slots[i] != nullptr && index->slots[i]->handle != handle) {
        i = open_table_next(i, capacity);
    }
    if (index->slots[i] == nullptr) {
        return;
    }
    open_table_close_hole(index->slots, capacity, i, [capacity](const MediaObject* entry) {
        return hashInteger(entry->handle) % capacity;
    });
    index->used--;
}

void handle_index_fit(HandleIndex* index) {
    size_t wanted = slotsFor(index->used);
    // Only a saving of an eighth or more is worth moving every entry.
    if (index->used > 0 && wanted < index->capacity - index->capacity / 8) {
        resizeHandles(index, wanted, wanted);
    }
}

void handle_index_clear(HandleIndex* index) {
    std::free(index->slots);
    *index = HandleIndex{};
}

bool title_index_insert(TitleIndex* index, MediaObject* container) {
    if (container == nullptr || container->title == nullptr) {
        return false;
    }
    if ((index->used + 1) * 2 > index->mask + 1 && !growTitles(index)) {
        return false;
    }
    placeTitle(index->slots, index->mask, container);
    index->used++;
    return true;
}

MediaObject* title_index_find(const TitleIndex* index, const char* title, const char* artist) {
    if (index->slots == nullptr || title == nullptr) {
        return nullptr;
    }
    size_t i = hashTitle(title, artist) & index->mask;
    while (index->slots[i] != nullptr) {
        if (sameKey(index->slots[i], title, artist)) {
            return index->slots[i];
        }
        i = (i + 1) & index->mask;
    }
    return nullptr;
}

void title_index_remove(TitleIndex* index, const MediaObject* container) {
    if (index->slots == nullptr || container == nullptr) {
        return;
    }
    size_t mask = index->mask;
    size_t i = homeOf(container, mask);
    while (index->slots[i] != nullptr && index->slots[i] != container) {
        i = (i + 1) & mask;
    }
    if (index->slots[i] == nullptr) {
        return;
    }
    open_table_close_hole(index->slots, mask + 1, i,
                          [mask](const MediaObject* entry) { return homeOf(entry, mask); });
    index->used--;
}

void title_index_clear(TitleIndex* index) {
    std::free(index->slots);
    index->slots = nullptr;
    index->mask = 0;
    index->used = 0;
}
