#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <malloc.h>

const char platformPathSeparator = '\\';
const PlatformTextEncoding platformHostTextEncoding = PlatformTextEncoding::Windows1252;

int platformHostProgramPath(char* out, int size) {
    if (out == nullptr || size <= 1) {
        return 0;
    }
    DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
    if (n == 0 || n >= static_cast<DWORD>(size)) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<int>(n);
}

bool platformPathIsAbsolute(const char* path) {
    return path != nullptr && (path[0] == '\\' || path[0] == '/' || (path[0] && path[1] == ':'));
}

static void storeStatus(DWORD sizeHigh, DWORD sizeLow, FILETIME written,
                        PlatformFileStatus* status) {
    status->size = (static_cast<int64_t>(sizeHigh) << 32) | sizeLow;
    int64_t ticks = (static_cast<int64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    status->modifiedNs = ticks * 100; // FILETIME counts 100 ns steps
    status->linked = false;           // no folder watch here to miss it
}

int platformFileStatus(const char* path, PlatformFileStatus* status) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path == nullptr || !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        return -1;
    }
    if (status != nullptr) {
        storeStatus(data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime, status);
    }
    return 0;
}

namespace {

// The requested names by their exact text, for matching the folder's listing against them.
struct NameTable {
    int32_t* slots; // index into names + 1; 0 marks a free slot
    size_t mask;
};

size_t hashName(const char* name) {
    uint32_t h = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; p++) {
        h = (h ^ *p) * 16777619u;
    }
    return h;
}

bool nameTableFill(NameTable* table, const char* const* names, int32_t count) {
    size_t capacity = 16;
    while (capacity < static_cast<size_t>(count) * 2) {
        capacity *= 2;
    }
    table->slots = static_cast<int32_t*>(std::calloc(capacity, sizeof(int32_t)));
    table->mask = capacity - 1;
    if (table->slots == nullptr) {
        return false;
    }
    for (int32_t i = 0; i < count; i++) {
        size_t slot = hashName(names[i]) & table->mask;
        while (table->slots[slot] != 0) {
            slot = (slot + 1) & table->mask;
        }
        table->slots[slot] = i + 1;
    }
    return true;
}

// Gives one listed file's status to every requested name that is exactly its name.
void matchListed(const NameTable& table, const char* const* names, const WIN32_FIND_DATAA& entry,
                 PlatformFileStatus* statuses, bool* found) {
    for (size_t slot = hashName(entry.cFileName) & table.mask; table.slots[slot] != 0;
         slot = (slot + 1) & table.mask) {
        int32_t i = table.slots[slot] - 1;
        if (std::strcmp(names[i], entry.cFileName) == 0) {
            storeStatus(entry.nFileSizeHigh, entry.nFileSizeLow, entry.ftLastWriteTime,
                        &statuses[i]);
            found[i] = true;
        }
    }
}

} // namespace

// One listing of the folder. A name the listing does not show as it is written (another case,
// a short 8.3 name, or a file that is not there) is asked for on its own, so the answers are
// those of platformFileStatus.
int platformFolderFileStatus(const char* folder, const char* const* names, int32_t count,
                             PlatformFileStatus* statuses, bool* found) {
    char path[MAX_PATH * 2];
    size_t length = std::strlen(folder);
    if (length + 2 > sizeof path || std::strpbrk(folder, "*?") != nullptr) {
        return -1;
    }
    std::memcpy(path, folder, length);
    std::memcpy(path + length, "*", 2);
    NameTable table{};
    if (!nameTableFill(&table, names, count)) {
        return -1;
    }
    for (int32_t i = 0; i < count; i++) {
        found[i] = false;
    }
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA(path, &entry);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            matchListed(table, names, entry, statuses, found);
        } while (FindNextFileA(listing, &entry));
        FindClose(listing);
    }
    std::free(table.slots);
    for (int32_t i = 0; i < count; i++) {
        size_t nameLength = std::strlen(names[i]);
        if (found[i] || length + nameLength + 1 > sizeof path) {
            continue;
        }
        std::memcpy(path + length, names[i], nameLength + 1);
        found[i] = platformFileStatus(path, &statuses[i]) == 0;
    }
    return 0;
}

void platformReleaseFreeMemory() {
    _heapmin();
}
