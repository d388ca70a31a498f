// Building a version's search index (see search_index.h): one depth-first walk gives every
// item and container a row and lays out the containers and their members; then each row's
// texts are folded and stored once per distinct text.
#include "media_db/search_index.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "media_db/media_db_internal.h"
#include "runtime/hash.h"
#include "runtime/utf8.h"

namespace {

// Grows a malloc'd array to hold `need` elements of `size` bytes; false when memory is short.
bool reserve(void** array, int64_t* capacity, int64_t need, size_t size) {
    if (need <= *capacity) {
        return true;
    }
    int64_t grown = *capacity < 64 ? 64 : *capacity;
    while (grown < need) {
        grown *= 2;
    }
    void* moved = std::realloc(*array, static_cast<size_t>(grown) * size);
    if (moved == nullptr) {
        return false;
    }
    *array = moved;
    *capacity = grown;
    return true;
}

template <typename T> bool reserveArray(T** array, int64_t* capacity, int64_t need) {
    void* raw = *array;
    bool ok = reserve(&raw, capacity, need, sizeof(T));
    *array = static_cast<T*>(raw);
    return ok;
}

// Gives back the room an array grew beyond its `count` elements (kept as is if that fails).
template <typename T> void shrinkArray(T** array, int64_t* capacity, int64_t count) {
    if (count <= 0 || count >= *capacity) {
        return;
    }
    void* moved = std::realloc(*array, sizeof(T) * static_cast<size_t>(count));
    if (moved != nullptr) {
        *array = static_cast<T*>(moved);
        *capacity = count;
    }
}

// Rows of items by address during the build: open addressing, linear probing, at most half
// full. Containers need none: nothing refers to them.
struct RowTable {
    struct Slot {
        const MediaObject* object;
        int32_t row;
    };
    Slot* slots;
    size_t used;
    int shift; // 64 - log2(capacity): the top bits of the product pick the slot
};

size_t addressSlot(const MediaObject* object, int shift) {
    auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(object));
    return static_cast<size_t>(bits * 0x9E3779B97F4A7C15ull >> shift);
}

bool growRowTable(RowTable* table) {
    int shift = table->slots == nullptr ? 64 - 12 : table->shift - 1;
    size_t capacity = size_t{1} << (64 - shift);
    auto* slots = static_cast<RowTable::Slot*>(std::calloc(capacity, sizeof(RowTable::Slot)));
    if (slots == nullptr) {
        return false;
    }
    size_t old = table->slots == nullptr ? 0 : size_t{1} << (64 - table->shift);
    for (size_t i = 0; i < old; i++) {
        if (table->slots[i].object != nullptr) {
            size_t at = addressSlot(table->slots[i].object, shift);
            while (slots[at].object != nullptr) {
                at = (at + 1) & (capacity - 1);
            }
            slots[at] = table->slots[i];
        }
    }
    std::free(table->slots);
    table->slots = slots;
    table->shift = shift;
    return true;
}

struct Builder {
    SearchIndex* index;
    RowTable itemRows;
    const MediaObject** rowObjects; // the item or container each row stands for
    int64_t rowCapacity;
    int64_t containerCapacity;
    int64_t memberCapacity;
};

// A new row for an item or container; -1 when memory is short.
int32_t newRow(Builder* builder, const MediaObject* object) {
    SearchIndex* index = builder->index;
    if (!reserveArray(&builder->rowObjects, &builder->rowCapacity, index->rows + 1)) {
        return -1;
    }
    builder->rowObjects[index->rows] = object;
    return index->rows++;
}

// The row of an item, given a new one on first sight; 0 for none; -1 when memory is short.
int32_t itemRow(Builder* builder, const MediaObject* item) {
    if (item == nullptr) {
        return 0;
    }
    RowTable& table = builder->itemRows;
    if ((table.used + 1) * 2 > (size_t{1} << (64 - table.shift)) && !growRowTable(&table)) {
        return -1;
    }
    size_t mask = (size_t{1} << (64 - table.shift)) - 1;
    size_t at = addressSlot(item, table.shift);
    while (table.slots[at].object != nullptr) {
        if (table.slots[at].object == item) {
            return table.slots[at].row;
        }
        at = (at + 1) & mask;
    }
    int32_t row = newRow(builder, item);
    if (row >= 0) {
        table.slots[at] = RowTable::Slot{item, row};
        table.used++;
    }
    return row;
}

// Lays out a container and everything beneath it; false when memory is short or a container
// holds both containers and members (the layout gives each container one or the other).
bool visit(Builder* builder, const MediaObject* container) {
    SearchIndex* index = builder->index;
    if (!reserveArray(&index->containers, &builder->containerCapacity,
                      index->container_count + 1)) {
        return false;
    }
    int32_t at = index->container_count++;
    int32_t row = newRow(builder, container);
    if (row < 0) {
        return false;
    }
    SearchContainer entry{container, row, 0, index->member_count, 0, 0};
    const MediaObject* first = container->first_child;
    bool holdsContainers = first != nullptr && first->kind == 'c';
    for (const MediaObject* child = first; child != nullptr; child = child->next_sibling) {
        if ((child->kind == 'c') != holdsContainers) {
            return false;
        }
        if (holdsContainers) {
            if (!visit(builder, child)) {
                return false;
            }
            continue;
        }
        bool reference = child->kind == 'r';
        int32_t member = itemRow(builder, reference ? child->target : child);
        if (member < 0 ||
            !reserveArray(&index->members, &builder->memberCapacity, index->member_count + 1)) {
            return false;
        }
        index->members[index->member_count++] =
            static_cast<uint32_t>(member) | (reference ? kSearchRefBit : 0);
        char kind = reference ? 'r' : 'i';
        entry.member_kinds = entry.member_kinds == 0 || entry.member_kinds == kind ? kind : 'm';
        entry.member_count++;
    }
    entry.end = index->container_count;
    index->containers[at] = entry;
    return true;
}

// The distinct folded texts of one property while they are collected.
struct TextSet {
    SearchTexts* texts;
    int64_t byteCapacity;
    int64_t startCapacity;
    int32_t* slots; // text ids by hash; -1 free
    size_t mask;
};

bool growSlots(TextSet* set) {
    size_t capacity = set->slots == nullptr ? 1024 : (set->mask + 1) * 2;
    auto* slots = static_cast<int32_t*>(std::malloc(capacity * sizeof(int32_t)));
    if (slots == nullptr) {
        return false;
    }
    std::memset(slots, 0xFF, capacity * sizeof(int32_t));
    SearchTexts* texts = set->texts;
    for (int32_t id = 0; id < texts->count; id++) {
        const char* text = texts->bytes + texts->starts[id];
        size_t length = texts->starts[id + 1] - texts->starts[id] - 1;
        size_t at = hashBytes(text, length) & (capacity - 1);
        while (slots[at] >= 0) {
            at = (at + 1) & (capacity - 1);
        }
        slots[at] = id;
    }
    std::free(set->slots);
    set->slots = slots;
    set->mask = capacity - 1;
    return true;
}

// The id of the folded text, added when new; -1 for an absent text, -2 when memory is short.
int32_t textId(TextSet* set, const char* text) {
    if (text == nullptr) {
        return -1;
    }
    SearchTexts* texts = set->texts;
    if ((texts->count + 1) * 2 > static_cast<int64_t>(set->mask + 1) && !growSlots(set)) {
        return -2;
    }
    if (!reserveArray(&texts->starts, &set->startCapacity, texts->count + 2)) {
        return -2;
    }
    int64_t begin = texts->count == 0 ? 0 : texts->starts[texts->count];
    size_t room = std::strlen(text) + 1;
    size_t length = 0;
    for (;;) {
        if (!reserveArray(&texts->bytes, &set->byteCapacity, begin + static_cast<int64_t>(room))) {
            return -2;
        }
        length = utf8FoldText(text, texts->bytes + begin, room);
        if (length < room) {
            break;
        }
        room = length + 1;
    }
    if (begin + static_cast<int64_t>(length) + 1 > static_cast<int64_t>(UINT32_MAX)) {
        return -2;
    }
    // The folded text now lies past the last one; keep it only when it is new.
    const char* folded = texts->bytes + begin;
    size_t at = hashBytes(folded, length) & set->mask;
    for (; set->slots[at] >= 0; at = (at + 1) & set->mask) {
        int32_t id = set->slots[at];
        uint32_t start = texts->starts[id];
        if (texts->starts[id + 1] - start - 1 == length &&
            std::memcmp(texts->bytes + start, folded, length) == 0) {
            return id;
        }
    }
    int32_t id = texts->count++;
    texts->starts[id] = static_cast<uint32_t>(begin);
    texts->starts[id + 1] = static_cast<uint32_t>(begin + static_cast<int64_t>(length) + 1);
    set->slots[at] = id;
    return id;
}

// The text of one property that Search compares: containers have a title only.
const char* rowText(const MediaObject* object, int text) {
    if (object == nullptr) {
        return nullptr;
    }
    bool container = object->kind == 'c';
    switch (text) {
    case kSearchTitle:
        return object->title;
    case kSearchArtist:
        return container ? nullptr : object->artist;
    case kSearchAlbum:
        return container ? nullptr : object->album;
    default:
        return container ? nullptr : object->genre;
    }
}

// Folds every row's texts, one pass over the rows for all properties, since a row's texts lie
// together.
bool fillTexts(Builder* builder) {
    SearchIndex* index = builder->index;
    TextSet sets[kSearchTextCount];
    bool ok = true;
    for (int text = 0; text < kSearchTextCount; text++) {
        sets[text] = TextSet{&index->texts[text], 0, 0, nullptr, 0};
        index->text_of[text] = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * index->rows));
        ok = ok && index->text_of[text] != nullptr && growSlots(&sets[text]);
    }
    for (int32_t row = 0; ok && row < index->rows; row++) {
        for (int text = 0; ok && text < kSearchTextCount; text++) {
            int32_t id = textId(&sets[text], rowText(builder->rowObjects[row], text));
            index->text_of[text][row] = id;
            ok = id >= -1;
        }
    }
    for (TextSet& set : sets) {
        std::free(set.slots);
        uint32_t total = ok && set.texts->count > 0 ? set.texts->starts[set.texts->count] : 0;
        for (uint32_t i = 0; i < total; i++) {
            set.texts->byte_counts[static_cast<unsigned char>(set.texts->bytes[i])]++;
        }
        shrinkArray(&set.texts->bytes, &set.byteCapacity, total);
        shrinkArray(&set.texts->starts, &set.startCapacity, set.texts->count + 1);
        if (ok && set.texts->starts == nullptr) {
            // No text at all: one start, the end of the empty list.
            auto* starts = static_cast<uint32_t*>(std::calloc(1, sizeof(uint32_t)));
            set.texts->starts = starts;
            set.startCapacity = 1;
            ok = starts != nullptr;
        }
        index->bytes += static_cast<int64_t>(sizeof(int32_t)) * index->rows + set.byteCapacity +
                        set.startCapacity * static_cast<int64_t>(sizeof(uint32_t));
    }
    return ok;
}

bool fillClasses(Builder* builder) {
    SearchIndex* index = builder->index;
    index->class_of = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(index->rows)));
    index->classes = static_cast<const char**>(std::calloc(256, sizeof(const char*)));
    if (index->class_of == nullptr || index->classes == nullptr) {
        return false;
    }
    size_t words = (static_cast<size_t>(index->rows) + 63) / 64;
    index->container_rows = static_cast<uint64_t*>(std::calloc(words, sizeof(uint64_t)));
    if (index->container_rows == nullptr) {
        return false;
    }
    index->class_count = 1; // entry 0: no class
    for (int32_t row = 0; row < index->rows; row++) {
        const MediaObject* object = builder->rowObjects[row];
        if (object != nullptr && object->kind == 'c') {
            index->container_rows[row / 64] |= uint64_t{1} << (row % 64);
        }
        const char* upnpClass = object != nullptr ? object->upnp_class : nullptr;
        int32_t code = 0;
        while (code < index->class_count && index->classes[code] != upnpClass) {
            code++;
        }
        if (code == index->class_count) {
            if (code == 256) {
                return false;
            }
            index->classes[index->class_count++] = upnpClass;
        }
        index->class_of[row] = static_cast<uint8_t>(code);
    }
    index->bytes += index->rows + 256 * static_cast<int64_t>(sizeof(const char*)) +
                    static_cast<int64_t>(words * sizeof(uint64_t));
    return true;
}

bool fillLookup(SearchIndex* index) {
    index->lookup = static_cast<SearchIndex::Lookup*>(
        std::malloc(sizeof(SearchIndex::Lookup) * static_cast<size_t>(index->container_count)));
    if (index->lookup == nullptr) {
        return false;
    }
    for (int32_t i = 0; i < index->container_count; i++) {
        index->lookup[i] = SearchIndex::Lookup{index->containers[i].object, i};
    }
    std::qsort(index->lookup, static_cast<size_t>(index->container_count),
               sizeof(SearchIndex::Lookup), [](const void* a, const void* b) {
                   auto x = reinterpret_cast<uintptr_t>(
                       static_cast<const SearchIndex::Lookup*>(a)->object);
                   auto y = reinterpret_cast<uintptr_t>(
                       static_cast<const SearchIndex::Lookup*>(b)->object);
                   return x < y ? -1 : x > y ? 1 : 0;
               });
    index->bytes += static_cast<int64_t>(sizeof(SearchIndex::Lookup)) * index->container_count;
    return true;
}

} // namespace

SearchIndex* search_index_build(const MediaCatalogue* version) {
    if (version->top.root == nullptr) {
        return nullptr;
    }
    auto* index = static_cast<SearchIndex*>(std::calloc(1, sizeof(SearchIndex)));
    if (index == nullptr) {
        return nullptr;
    }
    Builder builder{index, {nullptr, 0, 0}, nullptr, 0, 0, 0};
    bool ok = growRowTable(&builder.itemRows) &&
              reserveArray(&builder.rowObjects, &builder.rowCapacity, 1);
    if (ok) {
        builder.rowObjects[0] = nullptr; // row 0: no item
        index->rows = 1;
        ok = visit(&builder, version->top.root);
    }
    std::free(builder.itemRows.slots);
    ok = ok && fillTexts(&builder) && fillClasses(&builder) && fillLookup(index);
    std::free(builder.rowObjects);
    if (!ok) {
        search_index_free(index);
        return nullptr;
    }
    shrinkArray(&index->containers, &builder.containerCapacity, index->container_count);
    shrinkArray(&index->members, &builder.memberCapacity, index->member_count);
    index->bytes += static_cast<int64_t>(sizeof(SearchIndex)) +
                    static_cast<int64_t>(sizeof(SearchContainer)) * builder.containerCapacity +
                    static_cast<int64_t>(sizeof(uint32_t)) * builder.memberCapacity;
    return index;
}

namespace {

// One build at a time; readers of a version that is being indexed wait for it.
std::mutex& buildMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

const SearchIndex* indexOf(MediaCatalogue* version) {
    SearchIndex* index = version->search_index.load(std::memory_order_acquire);
    if (index != nullptr || version->search_index_failed.load(std::memory_order_acquire)) {
        return index;
    }
    std::lock_guard<std::mutex> hold(buildMutex());
    index = version->search_index.load(std::memory_order_acquire);
    if (index == nullptr && !version->search_index_failed.load(std::memory_order_acquire)) {
        index = search_index_build(version);
        version->search_index_failed.store(index == nullptr, std::memory_order_release);
        version->search_index.store(index, std::memory_order_release);
    }
    return index;
}

} // namespace

const SearchIndex* media_db_search_index() {
    if (media_db_writing()) {
        return nullptr;
    }
    MediaCatalogue* version = media_db_current();
    return version != nullptr ? indexOf(version) : nullptr;
}

void media_db_search_index_prepare(MediaCatalogue* version) {
    if (version != nullptr) {
        indexOf(version);
    }
}

int32_t search_index_container(const SearchIndex* index, const MediaObject* container) {
    int32_t low = 0;
    int32_t high = index->container_count;
    auto key = reinterpret_cast<uintptr_t>(container);
    while (low < high) {
        int32_t middle = low + (high - low) / 2;
        if (reinterpret_cast<uintptr_t>(index->lookup[middle].object) < key) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low < index->container_count && index->lookup[low].object == container
               ? index->lookup[low].index
               : -1;
}

void search_index_free(SearchIndex* index) {
    if (index == nullptr) {
        return;
    }
    for (int text = 0; text < kSearchTextCount; text++) {
        std::free(index->text_of[text]);
        std::free(index->texts[text].bytes);
        std::free(index->texts[text].starts);
    }
    std::free(index->container_rows);
    std::free(index->class_of);
    std::free(index->classes);
    std::free(index->containers);
    std::free(index->members);
    std::free(index->lookup);
    std::free(index);
}
