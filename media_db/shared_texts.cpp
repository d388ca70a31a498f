// One table of distinct texts behind a mutex: open addressing with linear probing, at most half
// full, entries removed by backward shift so no tombstones build up.
#include "media_db/shared_texts.h"
#include "media_db/open_table.h"
#include "runtime/hash.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// A shared text: its users and hash, the text following in the same block.
struct SharedText {
    int32_t users;
    uint32_t hash;
};
static_assert(sizeof(SharedText) == 8, "the text follows the head");

char* textOf(SharedText* entry) {
    return reinterpret_cast<char*>(entry + 1);
}

SharedText* entryOf(const char* text) {
    return reinterpret_cast<SharedText*>(const_cast<char*>(text)) - 1;
}

struct Table {
    std::mutex mutex;
    SharedText** slots = nullptr;
    size_t mask = 0;
    size_t used = 0;
};

// Never destroyed: records may be freed while the process exits.
Table& table() {
    static Table* shared = new Table;
    return *shared;
}

bool grow(Table& t) {
    size_t capacity = t.mask == 0 ? 256 : (t.mask + 1) * 2;
    auto** slots = static_cast<SharedText**>(std::calloc(capacity, sizeof(SharedText*)));
    if (slots == nullptr) {
        return false;
    }
    for (size_t i = 0; t.slots != nullptr && i <= t.mask; i++) {
        if (t.slots[i] != nullptr) {
            size_t at = t.slots[i]->hash & (capacity - 1);
            while (slots[at] != nullptr) {
                at = (at + 1) & (capacity - 1);
            }
            slots[at] = t.slots[i];
        }
    }
    std::free(t.slots);
    t.slots = slots;
    t.mask = capacity - 1;
    return true;
}

// The shared copy of `text` (of this length and hash) with one more use; nullptr on short
// memory. Mutex held.
const char* take(Table& t, const char* text, size_t length, uint32_t hash) {
    if ((t.used + 1) * 2 > t.mask + 1 && !grow(t)) {
        return nullptr;
    }
    size_t i = hash & t.mask;
    for (; t.slots[i] != nullptr; i = (i + 1) & t.mask) {
        SharedText* entry = t.slots[i];
        if (entry->hash == hash && std::strncmp(textOf(entry), text, length) == 0 &&
            textOf(entry)[length] == '\0') {
            entry->users++;
            return textOf(entry);
        }
    }
    auto* entry = static_cast<SharedText*>(std::malloc(sizeof(SharedText) + length + 1));
    if (entry == nullptr) {
        return nullptr;
    }
    entry->users = 1;
    entry->hash = hash;
    std::memcpy(textOf(entry), text, length);
    textOf(entry)[length] = '\0';
    t.slots[i] = entry;
    t.used++;
    return textOf(entry);
}

// Ends one use; the last frees the text and closes its slot. Mutex held.
void drop(Table& t, const char* text) {
    SharedText* entry = entryOf(text);
    if (--entry->users > 0) {
        return;
    }
    size_t hole = entry->hash & t.mask;
    while (t.slots[hole] != entry) {
        hole = (hole + 1) & t.mask;
    }
    open_table_close_hole(t.slots, t.mask + 1, hole,
                          [&t](const SharedText* other) { return other->hash & t.mask; });
    t.used--;
    std::free(entry);
    if (t.used == 0) {
        // No catalogue is left: the table goes too.
        std::free(t.slots);
        t.slots = nullptr;
        t.mask = 0;
    }
}

} // namespace

bool shared_texts_take(const char* const* texts, int32_t count, const char** shared) {
    return shared_texts_take_sized(texts, nullptr, count, shared);
}

bool shared_texts_take_sized(const char* const* texts, const size_t* lengths, int32_t count,
                             const char** shared) {
    // Lengths and hashes are worked out before the mutex is taken, a few texts at a time.
    constexpr int32_t kBatch = 8;
    size_t sizes[kBatch];
    uint32_t hashes[kBatch];
    Table& t = table();
    for (int32_t first = 0; first < count; first += kBatch) {
        int32_t end = first + kBatch < count ? first + kBatch : count;
        for (int32_t i = first; i < end; i++) {
            size_t& size = sizes[i - first];
            size = texts[i] == nullptr  ? 0
                   : lengths != nullptr ? lengths[i]
                                        : std::strlen(texts[i]);
            hashes[i - first] = texts[i] != nullptr
                                    ? static_cast<uint32_t>(hashFold(hashBytes(texts[i], size)))
                                    : 0;
        }
        std::lock_guard<std::mutex> hold(t.mutex);
        for (int32_t i = first; i < end; i++) {
            shared[i] = texts[i] != nullptr ? take(t, texts[i], sizes[i - first], hashes[i - first])
                                            : nullptr;
            if (texts[i] != nullptr && shared[i] == nullptr) {
                for (int32_t j = 0; j < i; j++) {
                    if (shared[j] != nullptr) {
                        drop(t, shared[j]);
                    }
                }
                return false;
            }
        }
    }
    return true;
}

void shared_texts_drop(const char* const* shared, int32_t count) {
    Table& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    for (int32_t i = 0; i < count; i++) {
        if (shared[i] != nullptr) {
            drop(t, shared[i]);
        }
    }
}

int32_t shared_texts_count() {
    Table& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    return static_cast<int32_t>(t.used);
}
