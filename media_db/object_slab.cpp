// The objects of one catalogue version come from blocks the version owns: a reference costs its
// 40 bytes and an item its own size, without a heap header and rounding each, and the whole
// tree goes back in one step with its version. Each kind has blocks of its own: items lie
// together (lookups by ObjectID and listings touch items far more than references), and an
// item with its three references does not repeat at a 256-byte stride, which would crowd a
// few cache sets. An object freed while the version is written in
// place goes on a free list of its size and is handed out again.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "media_db/media_db_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// Under the address sanitizer every object is followed by a poisoned gap, and freed objects
// are poisoned, so reading past an object or after its free is still caught.
constexpr size_t kRedZone = 16;
#else
constexpr size_t kRedZone = 0;
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

struct SlabBlock {
    SlabBlock* next;
    size_t bytes; // the whole block, this head included
};

namespace {

constexpr size_t kFirstBlock = 4096;      // a version of a few objects stays small
constexpr size_t kLargestBlock = 1 << 20; // blocks double up to this
constexpr size_t kBlockHead = (sizeof(SlabBlock) + 15) & ~static_cast<size_t>(15);

int classOf(char kind) {
    return kind == 'r' ? 0 : kind == 'i' ? 1 : 2;
}

// Each size rounded up so that objects following each other stay aligned (a reference is
// 28 bytes on a 32-bit build).
constexpr size_t aligned(size_t bytes) {
    return (bytes + alignof(MediaObject) - 1) & ~(alignof(MediaObject) - 1);
}

size_t bytesOf(int sizeClass) {
    constexpr size_t kBytes[] = {aligned(kMediaReferenceSize), aligned(kMediaItemSize),
                                 aligned(sizeof(MediaObject))};
    return kBytes[sizeClass];
}

static_assert(aligned(kBlockHead) == kBlockHead && kRedZone % alignof(MediaObject) == 0,
              "objects start aligned");

// A new block for one size class.
bool addBlock(ObjectSlab* slab, int sizeClass, size_t atLeast) {
    size_t bytes = slab->block_bytes[sizeClass] == 0 ? kFirstBlock : slab->block_bytes[sizeClass];
    while (bytes < kBlockHead + atLeast) {
        bytes *= 2;
    }
    auto* block = static_cast<SlabBlock*>(std::malloc(bytes));
    if (block == nullptr) {
        return false;
    }
    block->next = slab->blocks;
    block->bytes = bytes;
    slab->blocks = block;
    char*& next = slab->next[sizeClass];
    char*& end = slab->end[sizeClass];
    next = reinterpret_cast<char*>(block) + kBlockHead;
    end = reinterpret_cast<char*>(block) + bytes;
    ASAN_POISON_MEMORY_REGION(next, static_cast<size_t>(end - next));
    slab->block_bytes[sizeClass] = bytes < kLargestBlock ? bytes * 2 : kLargestBlock;
    return true;
}

} // namespace

MediaObject* object_slab_take(ObjectSlab* slab, char kind) {
    int sizeClass = classOf(kind);
    size_t bytes = bytesOf(sizeClass);
    void* object = slab->free_lists[sizeClass];
    if (object != nullptr) {
        ASAN_UNPOISON_MEMORY_REGION(object, bytes);
        std::memcpy(&slab->free_lists[sizeClass], object, sizeof(void*));
    } else {
        size_t stride = bytes + kRedZone;
        if (static_cast<size_t>(slab->end[sizeClass] - slab->next[sizeClass]) < stride &&
            !addBlock(slab, sizeClass, stride)) {
            return nullptr;
        }
        object = slab->next[sizeClass];
        slab->next[sizeClass] += stride;
        ASAN_UNPOISON_MEMORY_REGION(object, bytes);
    }
    std::memset(object, 0, bytes);
    return static_cast<MediaObject*>(object);
}

void object_slab_give(ObjectSlab* slab, MediaObject* object) {
    int sizeClass = classOf(object->kind);
    std::memcpy(object, &slab->free_lists[sizeClass], sizeof(void*));
    slab->free_lists[sizeClass] = object;
    ASAN_POISON_MEMORY_REGION(object, bytesOf(sizeClass));
}

void object_slab_clear(ObjectSlab* slab) {
    for (SlabBlock* block = slab->blocks; block != nullptr;) {
        SlabBlock* next = block->next;
        ASAN_UNPOISON_MEMORY_REGION(block, block->bytes);
        std::free(block);
        block = next;
    }
    *slab = ObjectSlab{};
}
