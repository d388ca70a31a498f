#include "services/sort_criteria.h"

#include <algorithm>
#include <cstring>

#include "services/didl_lite.h"

namespace {

enum SortProperty { kTitle, kArtist, kCreator, kAlbum, kGenre, kDate, kTrackNumber };

struct SortableProperty {
    const char* key;
    int keyLength;
};

// Tested in this order, as prefixes of a criteria item.
constexpr SortableProperty kSortable[] = {
    {"dc:title", 8},
    {"upnp:artist", 11},
    {"dc:creator", 10},
    {"upnp:album", 10},
    {"upnp:genre", 10},
    {"dc:date", 7},
    {"upnp:originalTrackNumber", 24},
};

// A reference has no texts of its own: every property, its title included, is its target's.
const char* textOf(const MediaObject* object, int property) {
    const MediaObject* item = member_item(object);
    if (property == kTitle) {
        return item != nullptr ? item->title : object->title;
    }
    if (item == nullptr) {
        return nullptr;
    }
    switch (property) {
    case kArtist:
    case kCreator:
        return item->artist;
    case kAlbum:
        return item->album;
    case kGenre:
        return item->genre;
    case kDate:
        return item->date;
    default:
        return nullptr;
    }
}

int compareTexts(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return (a == nullptr ? 0 : 1) - (b == nullptr ? 0 : 1);
    }
    return std::strcmp(a, b);
}

int compareProperty(int property, const MediaObject* a, const MediaObject* b) {
    if (property != kTrackNumber) {
        return compareTexts(textOf(a, property), textOf(b, property));
    }
    // Track numbers restart on every disc, so the disc decides first.
    const MediaObject* itemA = member_item(a);
    const MediaObject* itemB = member_item(b);
    int64_t numberA = itemA != nullptr
                          ? int64_t{itemA->disc_number} * (int64_t{1} << 32) + itemA->track_number
                          : 0;
    int64_t numberB = itemB != nullptr
                          ? int64_t{itemB->disc_number} * (int64_t{1} << 32) + itemB->track_number
                          : 0;
    return numberA < numberB ? -1 : (numberA > numberB ? 1 : 0);
}

// The property an item names, or -1. `item` runs to the next ',' or the end.
int propertyOfItem(const char* item) {
    for (int i = 0; i < static_cast<int>(sizeof kSortable / sizeof kSortable[0]); i++) {
        if (std::strncmp(item, kSortable[i].key, static_cast<size_t>(kSortable[i].keyLength)) ==
            0) {
            return i;
        }
    }
    return -1;
}

// Steps over one criteria item: reads its direction and property, returns where the next
// item starts (nullptr after the last).
const char* nextItem(const char* p, int* property, int* direction) {
    *direction = 1;
    if (*p == '+' || *p == '-') {
        *direction = *p == '-' ? -1 : 1;
        p++;
    }
    *property = propertyOfItem(p);
    const char* comma = std::strchr(p, ',');
    return comma != nullptr ? comma + 1 : nullptr;
}

} // namespace

int sort_entry_compare(const void* a, const void* b) {
    const SortEntry* entryA = static_cast<const SortEntry*>(a);
    const SortEntry* entryB = static_cast<const SortEntry*>(b);
    const char* p = entryA->sort_criteria;
    while (p != nullptr) {
        int property = 0;
        int direction = 1;
        p = nextItem(p, &property, &direction);
        if (property < 0) {
            continue;
        }
        int result = compareProperty(property, entryA->object, entryB->object);
        if (result != 0) {
            return result * direction;
        }
    }
    return 0;
}

void sort_keys_parse(const char* criteria, SortKeys* keys) {
    keys->count = 0;
    unsigned int seen = 0;
    const char* p = criteria;
    while (p != nullptr && keys->count < 7) {
        int property = 0;
        int direction = 1;
        p = nextItem(p, &property, &direction);
        if (property < 0 || (seen & (1u << property)) != 0) {
            continue;
        }
        seen |= 1u << property;
        keys->items[keys->count].property = property;
        keys->items[keys->count].direction = direction;
        keys->count++;
    }
}

int sort_keys_compare(const SortKeys* keys, const MediaObject* a, const MediaObject* b) {
    for (int i = 0; i < keys->count; i++) {
        int result = compareProperty(keys->items[i].property, a, b);
        if (result != 0) {
            return result * keys->items[i].direction;
        }
    }
    return 0;
}

void sort_select_page(SortEntry* entries, int32_t total, const SortKeys* keys, int32_t start,
                      int32_t count) {
    if (start < 0 || start >= total || count <= 0 || keys->count == 0) {
        return;
    }
    auto less = [keys](const SortEntry& a, const SortEntry& b) {
        int result = sort_keys_compare(keys, a.object, b.object);
        return result != 0 ? result < 0 : a.position < b.position;
    };
    int32_t end = total - start < count ? total : start + count;
    if (start > 0) {
        std::nth_element(entries, entries + start, entries + total, less);
    }
    std::partial_sort(entries + start, entries + end, entries + total, less);
}
