// The folders seen by the watcher, found by path through a hash table and by watch number
// through an array indexed by it (the system hands numbers out from 1 upwards).
#include "media_db/folder_watch.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "runtime/hash.h"

namespace {

struct Folder {
    char* path; // zero-terminated copy, separator included
    size_t length;
    size_t hash;
    int32_t number;  // watch number, 0 while not watched
    bool trusted;    // checked while watched, kept, and no change reported since
    bool checkedNow; // checked in the pass under way
};

} // namespace

struct FolderWatch {
    PlatformFolderWatch* set; // nullptr when the system offers none: nothing is trusted
    Folder* folders;
    int32_t count;
    int32_t capacity;
    int32_t* table; // folder index + 1 by hash; 0 marks a free slot
    size_t mask;
    int32_t* byNumber; // folder index + 1 by watch number
    int32_t numbers;
    uint64_t serial; // the catalogue version the trust holds for
    bool any;        // whether any folder was checked in the pass under way
};

namespace {

// Forgets every folder's watch and trust, and starts a new watch set.
void restart(FolderWatch* watch) {
    platformFolderWatchClose(watch->set);
    watch->set = platformFolderWatchOpen();
    for (int32_t i = 0; i < watch->count; i++) {
        watch->folders[i].number = 0;
        watch->folders[i].trusted = false;
    }
    if (watch->byNumber != nullptr) {
        std::memset(watch->byNumber, 0, sizeof(int32_t) * static_cast<size_t>(watch->numbers));
    }
}

bool growTable(FolderWatch* watch) {
    size_t capacity = (watch->mask + 1) * 2;
    auto* table = static_cast<int32_t*>(std::calloc(capacity, sizeof(int32_t)));
    if (table == nullptr) {
        return false;
    }
    for (int32_t i = 0; i < watch->count; i++) {
        size_t slot = watch->folders[i].hash & (capacity - 1);
        while (table[slot] != 0) {
            slot = (slot + 1) & (capacity - 1);
        }
        table[slot] = i + 1;
    }
    std::free(watch->table);
    watch->table = table;
    watch->mask = capacity - 1;
    return true;
}

// The folder's entry; added when `add`. nullptr when absent (or short of memory).
Folder* find(FolderWatch* watch, const char* path, size_t length, bool add) {
    size_t hash = hashFold(hashBytes(path, length));
    size_t slot = hash & watch->mask;
    while (watch->table[slot] != 0) {
        Folder& folder = watch->folders[watch->table[slot] - 1];
        if (folder.hash == hash && folder.length == length &&
            std::memcmp(folder.path, path, length) == 0) {
            return &folder;
        }
        slot = (slot + 1) & watch->mask;
    }
    if (!add) {
        return nullptr;
    }
    if (static_cast<size_t>(watch->count + 1) * 2 > watch->mask + 1) {
        if (!growTable(watch)) {
            return nullptr;
        }
        return find(watch, path, length, true);
    }
    if (watch->count == watch->capacity) {
        int32_t capacity = watch->capacity == 0 ? 64 : watch->capacity * 2;
        void* grown = std::realloc(watch->folders, sizeof(Folder) * static_cast<size_t>(capacity));
        if (grown == nullptr) {
            return nullptr;
        }
        watch->folders = static_cast<Folder*>(grown);
        watch->capacity = capacity;
    }
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) {
        return nullptr;
    }
    std::memcpy(copy, path, length);
    copy[length] = '\0';
    watch->folders[watch->count] = Folder{copy, length, hash, 0, false, false};
    watch->table[slot] = ++watch->count;
    return &watch->folders[watch->count - 1];
}

// Remembers which folder a watch number stands for. Two spellings of one folder share a
// number; the later one is then left unwatched (asked each pass) rather than trusted on
// reports meant for the other.
bool noteNumber(FolderWatch* watch, int32_t number, int32_t index) {
    if (number >= watch->numbers) {
        int32_t numbers = watch->numbers == 0 ? 256 : watch->numbers;
        while (numbers <= number) {
            numbers *= 2;
        }
        void* grown = std::realloc(watch->byNumber, sizeof(int32_t) * static_cast<size_t>(numbers));
        if (grown == nullptr) {
            return false;
        }
        watch->byNumber = static_cast<int32_t*>(grown);
        std::memset(watch->byNumber + watch->numbers, 0,
                    sizeof(int32_t) * static_cast<size_t>(numbers - watch->numbers));
        watch->numbers = numbers;
    }
    if (watch->byNumber[number] != 0 && watch->byNumber[number] != index + 1) {
        return false;
    }
    watch->byNumber[number] = index + 1;
    return true;
}

void changeSeen(void* context, int32_t number) {
    auto* watch = static_cast<FolderWatch*>(context);
    if (number > 0 && number < watch->numbers && watch->byNumber[number] != 0) {
        watch->folders[watch->byNumber[number] - 1].trusted = false;
    }
}

} // namespace

FolderWatch* folder_watch_open() {
    auto* watch = static_cast<FolderWatch*>(std::calloc(1, sizeof(FolderWatch)));
    if (watch == nullptr) {
        return nullptr;
    }
    watch->mask = 63;
    watch->table = static_cast<int32_t*>(std::calloc(watch->mask + 1, sizeof(int32_t)));
    if (watch->table == nullptr) {
        std::free(watch);
        return nullptr;
    }
    watch->set = platformFolderWatchOpen();
    return watch;
}

void folder_watch_close(FolderWatch* watch) {
    if (watch == nullptr) {
        return;
    }
    platformFolderWatchClose(watch->set);
    for (int32_t i = 0; i < watch->count; i++) {
        std::free(watch->folders[i].path);
    }
    std::free(watch->folders);
    std::free(watch->table);
    std::free(watch->byNumber);
    std::free(watch);
}

void folder_watch_drain(FolderWatch* watch) {
    if (watch == nullptr) {
        return;
    }
    // A set that could not be opened (the system's limit of sets) is tried again.
    if (watch->set == nullptr || platformFolderWatchChanges(watch->set, changeSeen, watch) != 0) {
        restart(watch);
    }
}

bool folder_watch_holds_for(FolderWatch* watch, uint64_t serial) {
    if (watch == nullptr) {
        return false;
    }
    if (watch->serial != serial) {
        for (int32_t i = 0; i < watch->count; i++) {
            watch->folders[i].trusted = false;
        }
        return false;
    }
    return true;
}

bool folder_watch_trusted(FolderWatch* watch, const char* folder, size_t length) {
    if (watch == nullptr || watch->set == nullptr) {
        return false;
    }
    const Folder* entry = find(watch, folder, length, false);
    return entry != nullptr && entry->trusted;
}

void folder_watch_checking(FolderWatch* watch, const char* folder, size_t length) {
    if (watch == nullptr || watch->set == nullptr) {
        return;
    }
    Folder* entry = find(watch, folder, length, true);
    if (entry == nullptr) {
        return;
    }
    int32_t index = static_cast<int32_t>(entry - watch->folders);
    if (entry->number == 0) {
        // A folder not watched (a network share, the limit reached, not there yet) is tried
        // again each time it is checked.
        int32_t number = platformFolderWatchAdd(watch->set, folder);
        entry->number = number > 0 && noteNumber(watch, number, index) ? number : 0;
    }
    entry->checkedNow = entry->number != 0;
    watch->any = watch->any || entry->checkedNow;
}

void folder_watch_distrust(FolderWatch* watch, const char* folder, size_t length) {
    if (watch == nullptr || watch->set == nullptr) {
        return;
    }
    Folder* entry = find(watch, folder, length, false);
    if (entry != nullptr) {
        entry->trusted = false;
        entry->checkedNow = false;
    }
}

void folder_watch_commit(FolderWatch* watch, bool kept, uint64_t serial) {
    if (watch == nullptr) {
        return;
    }
    if (kept) {
        watch->serial = serial;
    }
    if (!watch->any) {
        return;
    }
    for (int32_t i = 0; i < watch->count; i++) {
        Folder& folder = watch->folders[i];
        folder.trusted = folder.trusted || (kept && folder.checkedNow && folder.number != 0);
        folder.checkedNow = false;
    }
    watch->any = false;
}
