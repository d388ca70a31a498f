// Asks for the files' status folder by folder: the paths are grouped by their folder through a
// hash table (a library lists its tracks in any order), and each folder is asked once for all
// its names. Nothing is allocated or built per path beyond the pass's arrays.
#include "media_db/file_status.h"

#include "media_db/folder_watch.h"
#include "runtime/hash.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kFolderSize = 1024;

struct Folder {
    const char* path; // the first path in this folder
    size_t length;    // of the folder, its last separator included
    size_t hash;
    int32_t count;
    int32_t start; // of its names in folder order
    bool trusted;  // unchanged since last checked: only its paths of unknown status are asked
};

// The folder part's length, its last separator included; 0 when the path has no folder part
// or names no file after it.
size_t folderLength(const char* path) {
    const char* last = std::strrchr(path, '/');
    if (platformPathSeparator != '/') {
        const char* native = std::strrchr(path, platformPathSeparator);
        if (native != nullptr && (last == nullptr || native > last)) {
            last = native;
        }
    }
    if (last == nullptr || last[1] == '\0') {
        return 0;
    }
    return static_cast<size_t>(last - path) + 1;
}

// The pass's working arrays, all freed together.
struct Work {
    Folder* folders = nullptr;
    int32_t folderCount = 0;
    int32_t* table = nullptr; // folder index + 1; 0 marks a free slot
    size_t mask = 0;
    int32_t* folderOf = nullptr; // per path; -1 when asked on its own, -2 when not asked
    int32_t* pathAt = nullptr;   // per position in folder order: the path's index
    const char** names = nullptr;
    PlatformFileStatus* statuses = nullptr;
    bool* found = nullptr;
};

void release(Work* work) {
    std::free(work->folders);
    std::free(work->table);
    std::free(work->folderOf);
    std::free(work->pathAt);
    std::free(work->names);
    std::free(work->statuses);
    std::free(work->found);
}

bool allocate(Work* work, int32_t count) {
    size_t n = count > 0 ? static_cast<size_t>(count) : 1;
    size_t capacity = 16;
    while (capacity < n * 2) {
        capacity *= 2;
    }
    work->mask = capacity - 1;
    work->table = static_cast<int32_t*>(std::calloc(capacity, sizeof(int32_t)));
    work->folders = static_cast<Folder*>(std::malloc(n * sizeof(Folder)));
    work->folderOf = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
    work->pathAt = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
    work->names = static_cast<const char**>(std::malloc(n * sizeof(char*)));
    work->statuses = static_cast<PlatformFileStatus*>(std::malloc(n * sizeof(PlatformFileStatus)));
    work->found = static_cast<bool*>(std::malloc(n * sizeof(bool)));
    return work->table != nullptr && work->folders != nullptr && work->folderOf != nullptr &&
           work->pathAt != nullptr && work->names != nullptr && work->statuses != nullptr &&
           work->found != nullptr;
}

// The folder of this path, added when it is new.
int32_t folderFor(Work* work, const char* path, size_t length) {
    size_t hash = hashFold(hashBytes(path, length));
    size_t slot = hash & work->mask;
    while (work->table[slot] != 0) {
        const Folder& folder = work->folders[work->table[slot] - 1];
        if (folder.hash == hash && folder.length == length &&
            std::memcmp(folder.path, path, length) == 0) {
            return work->table[slot] - 1;
        }
        slot = (slot + 1) & work->mask;
    }
    int32_t index = work->folderCount++;
    work->folders[index] = Folder{path, length, hash, 0, 0, false};
    work->table[slot] = index + 1;
    return index;
}

// Asks one folder for its names; a folder that cannot be asked as a whole has its paths asked
// one by one. A folder is watched before its files are asked, and not trusted while one of
// them may change under another folder's name.
void askFolder(const Work& work, const Folder& folder, const char* const* paths,
               FolderWatch* watch) {
    int32_t start = folder.start;
    int32_t end = start + folder.count;
    if (folder.count == 0) {
        return;
    }
    char text[kFolderSize];
    bool named = folder.length < kFolderSize;
    if (named) {
        std::memcpy(text, folder.path, folder.length);
        text[folder.length] = '\0';
        if (!folder.trusted) {
            folder_watch_checking(watch, text, folder.length);
        }
    }
    if (!named || platformFolderFileStatus(text, work.names + start, folder.count,
                                           work.statuses + start, work.found + start) != 0) {
        for (int32_t p = start; p < end; p++) {
            work.found[p] = platformFileStatus(paths[work.pathAt[p]], &work.statuses[p]) == 0;
        }
    }
    for (int32_t p = start; named && p < end; p++) {
        if (work.found[p] && work.statuses[p].linked) {
            folder_watch_distrust(watch, text, folder.length);
            break;
        }
    }
}

} // namespace

bool files_status(const char* const* paths, int32_t count, PlatformFileStatus* statuses,
                  bool* found) {
    return files_status_watched(paths, count, statuses, found, nullptr, nullptr);
}

bool files_status_watched(const char* const* paths, int32_t count, PlatformFileStatus* statuses,
                          bool* found, FolderWatch* watch, bool* unchanged) {
    Work work;
    if (!allocate(&work, count)) {
        release(&work);
        return false;
    }
    for (int32_t i = 0; i < count; i++) {
        size_t length = folderLength(paths[i]);
        int32_t known = work.folderCount;
        work.folderOf[i] = length > 0 ? folderFor(&work, paths[i], length) : -1;
        if (work.folderOf[i] >= known) {
            Folder& folder = work.folders[work.folderOf[i]];
            folder.trusted = unchanged != nullptr && folder_watch_trusted(watch, paths[i], length);
        }
        // Taken as unchanged only in a trusted folder.
        bool skip = unchanged != nullptr && unchanged[i] && work.folderOf[i] >= 0 &&
                    work.folders[work.folderOf[i]].trusted;
        if (unchanged != nullptr) {
            unchanged[i] = skip;
        }
        if (skip) {
            work.folderOf[i] = -2;
        } else if (work.folderOf[i] >= 0) {
            work.folders[work.folderOf[i]].count++;
        }
    }
    int32_t position = 0;
    for (int32_t f = 0; f < work.folderCount; f++) {
        work.folders[f].start = position;
        position += work.folders[f].count;
        work.folders[f].count = 0;
    }
    for (int32_t i = 0; i < count; i++) {
        if (work.folderOf[i] == -2) {
            continue;
        }
        if (work.folderOf[i] < 0) {
            statuses[i] = PlatformFileStatus{};
            found[i] = platformFileStatus(paths[i], &statuses[i]) == 0;
            continue;
        }
        Folder& folder = work.folders[work.folderOf[i]];
        int32_t p = folder.start + folder.count++;
        work.pathAt[p] = i;
        work.names[p] = paths[i] + folder.length;
    }
    for (int32_t f = 0; f < work.folderCount; f++) {
        askFolder(work, work.folders[f], paths, watch);
    }
    for (int32_t p = 0; p < position; p++) {
        int32_t i = work.pathAt[p];
        found[i] = work.found[p];
        statuses[i] = found[i] ? work.statuses[p] : PlatformFileStatus{};
    }
    release(&work);
    return true;
}
