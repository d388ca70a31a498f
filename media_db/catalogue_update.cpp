// The next version of the catalogue, built aside from the library's track paths and the
// version it replaces: unchanged files keep their records (no re-read), every object that
// lives on keeps its ObjectID, and containers whose children changed get a new update id.
#include "media_db/catalogue_update.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "media_db/file_status.h"
#include "media_db/folder_watch.h"
#include "media_db/media_db_internal.h"
#include "media_db/search_index.h"
#include "mp3/mp3_info.h"
#include "platform/platform.h"
#include "runtime/hash.h"

namespace {

// Open-addressing table from (text, occurrence) to an object, for matching the objects of the
// old version by path (tracks, playlist entries) or title (playlists). A text is given in parts
// (see PathParts), so an item's path is matched without being put together.
struct TextTable {
    struct Slot {
        PathParts text; // text.name nullptr marks a free slot
        int32_t occurrence;
        bool claimed;
        MediaObject* object;
    };
    Slot* slots = nullptr;
    size_t mask = 0;
};

// A whole text as parts.
PathParts whole(const char* text) {
    return PathParts{"", 0, text};
}

size_t hashPath(const PathParts& text, int32_t occurrence) {
    uint64_t start = kHashStart ^ static_cast<uint64_t>(occurrence) * 0x9E3779B97F4A7C15ULL;
    return hashFold(hashText(text.name, hashBytes(text.folder, text.folder_length, start)));
}

bool textTableOpen(TextTable* table, int32_t entries) {
    size_t capacity = 16;
    while (capacity < static_cast<size_t>(entries) * 2) {
        capacity *= 2;
    }
    table->slots = static_cast<TextTable::Slot*>(std::calloc(capacity, sizeof(TextTable::Slot)));
    table->mask = capacity - 1;
    return table->slots != nullptr;
}

void textTableClose(TextTable* table) {
    std::free(table->slots);
    *table = TextTable{};
}

TextTable::Slot* textTableSlot(TextTable* table, const PathParts& text, int32_t occurrence) {
    size_t i = hashPath(text, occurrence) & table->mask;
    while (table->slots[i].text.name != nullptr &&
           (table->slots[i].occurrence != occurrence ||
            path_parts_compare(table->slots[i].text, text) != 0)) {
        i = (i + 1) & table->mask;
    }
    return &table->slots[i];
}

// Adds an object under its text, as the next occurrence of that text.
void textTableAdd(TextTable* table, const PathParts& text, MediaObject* object) {
    int32_t occurrence = 0;
    TextTable::Slot* slot = textTableSlot(table, text, occurrence);
    while (slot->text.name != nullptr) {
        slot = textTableSlot(table, text, ++occurrence);
    }
    *slot = TextTable::Slot{text, occurrence, false, object};
}

// The first unclaimed object under this text, claimed now; nullptr when none is left.
MediaObject* textTableClaim(TextTable* table, const PathParts& text) {
    if (table->slots == nullptr) {
        return nullptr;
    }
    for (int32_t occurrence = 0;; occurrence++) {
        TextTable::Slot* slot = textTableSlot(table, text, occurrence);
        if (slot->text.name == nullptr) {
            return nullptr;
        }
        if (!slot->claimed) {
            slot->claimed = true;
            return slot->object;
        }
    }
}

// Open-addressing table from a target's handle to the reference that points at it.
struct RefTable {
    int64_t* keys = nullptr; // 0 marks a free slot (the root is never a target)
    int64_t* values = nullptr;
    size_t mask = 0;
};

bool refTableFill(RefTable* table, const MediaObject* container) {
    size_t capacity = 16;
    while (capacity < static_cast<size_t>(container->child_count) * 2) {
        capacity *= 2;
    }
    if (capacity - 1 > table->mask) {
        std::free(table->keys);
        std::free(table->values);
        table->keys = static_cast<int64_t*>(std::malloc(capacity * sizeof(int64_t)));
        table->values = static_cast<int64_t*>(std::malloc(capacity * sizeof(int64_t)));
        table->mask = capacity - 1;
        if (table->keys == nullptr || table->values == nullptr) {
            return false;
        }
    }
    std::memset(table->keys, 0, (table->mask + 1) * sizeof(int64_t));
    for (const MediaObject* child = container->first_child; child != nullptr;
         child = child->next_sibling) {
        if (child->kind != 'r' || child->target == nullptr) {
            continue;
        }
        size_t i = hashInteger(child->target->handle) & table->mask;
        while (table->keys[i] != 0 && table->keys[i] != child->target->handle) {
            i = (i + 1) & table->mask;
        }
        table->keys[i] = child->target->handle;
        table->values[i] = child->handle;
    }
    return true;
}

int64_t refTableFind(const RefTable* table, int64_t target) {
    for (size_t i = hashInteger(target) & table->mask; table->keys[i] != 0;
         i = (i + 1) & table->mask) {
        if (table->keys[i] == target) {
            return table->values[i];
        }
    }
    return 0;
}

void refTableClose(RefTable* table) {
    std::free(table->keys);
    std::free(table->values);
    *table = RefTable{};
}

bool built(const MediaCatalogue* version) {
    return version != nullptr && version->top.all_tracks != nullptr;
}

// How many tracks the old version knows in file order: none when it was not built by the
// watcher (then nothing is matched in order and every path is looked up).
int32_t oldTrackCount(const MediaCatalogue* old) {
    return built(old) && old->file_order != nullptr ? old->file_order_count : 0;
}

// The old item at the i-th place in file order.
MediaObject* oldTrackAt(const MediaCatalogue* old, int32_t index) {
    return old->file_order[index];
}

bool sameStatus(const TrackRecord* record, bool exists, const PlatformFileStatus& status) {
    return exists ? record->file_size == status.size && record->modified_ns == status.modifiedNs
                  : record->file_size < 0;
}

// The answers of one folder-by-folder status request, one slot per path.
struct FileStatuses {
    PlatformFileStatus* statuses = nullptr;
    bool* found = nullptr;
    bool* unchanged = nullptr;
};

bool openStatuses(int32_t count, FileStatuses* out) {
    size_t n = count > 0 ? static_cast<size_t>(count) : 1;
    out->statuses = static_cast<PlatformFileStatus*>(std::malloc(n * sizeof(PlatformFileStatus)));
    out->found = static_cast<bool*>(std::malloc(n * sizeof(bool)));
    out->unchanged = static_cast<bool*>(std::malloc(n * sizeof(bool)));
    return out->statuses != nullptr && out->found != nullptr && out->unchanged != nullptr;
}

void releaseStatuses(FileStatuses* statuses) {
    std::free(statuses->statuses);
    std::free(statuses->found);
    std::free(statuses->unchanged);
    *statuses = FileStatuses{};
}

// The record for a path: the old item's when the file is known unchanged (its folder's watch
// saw nothing) or its size and time are, else a fresh read. nullptr on short memory.
TrackRecord* recordFor(const char* path, const MediaObject* oldItem, bool exists,
                       const PlatformFileStatus& status, bool unchanged) {
    TrackRecord* record = track_record_of(oldItem);
    if (record != nullptr && (unchanged || sameStatus(record, exists, status))) {
        track_record_retain(record);
        return record;
    }
    Mp3Info info{};
    if (exists) {
        mp3_read_info(path, &info, status.size);
    }
    return track_record_make(path, &info, exists ? status.size : -1,
                             exists ? status.modifiedNs : 0);
}

bool sameText(const char* a, const char* b) {
    return a == b || (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
}

bool sameItem(const MediaObject* a, const MediaObject* b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    TrackRecord* record = track_record_of(a);
    if (record != nullptr && record == track_record_of(b)) {
        return true;
    }
    return media_db_item_path_compare(a, b) == 0 && sameText(a->title, b->title) &&
           sameText(a->artist, b->artist) && sameText(a->album, b->album) &&
           sameText(a->genre, b->genre) && sameText(a->date, b->date) &&
           sameText(a->duration, b->duration) && a->size == b->size &&
           a->track_number == b->track_number && a->picture_format == b->picture_format &&
           a->audio_profile == b->audio_profile && a->disc_number == b->disc_number &&
           a->album_artist_tagged == b->album_artist_tagged &&
           sameText(track_record_album_artist(a), track_record_album_artist(b));
}

// Whether a container lists the same children, as a control point would see them.
bool sameChildren(const MediaObject* a, const MediaObject* b) {
    if (a->child_count != b->child_count || !sameText(a->title, b->title) ||
        !sameText(a->artist, b->artist)) {
        return false;
    }
    for (int32_t i = 0; i < a->child_count; i++) {
        const MediaObject* x = media_db_child_at(a, i);
        const MediaObject* y = media_db_child_at(b, i);
        if (x->handle != y->handle || x->kind != y->kind) {
            return false;
        }
        bool same = x->kind == 'c'
                        ? sameText(x->title, y->title) && sameText(x->artist, y->artist) &&
                              x->child_count == y->child_count
                    : x->kind == 'r' ? sameItem(x->target, y->target)
                                     : sameItem(x, y);
        if (!same) {
            return false;
        }
    }
    return true;
}

struct ChangeList {
    MediaCatalogue* version;
    int32_t capacity;
    bool changed;
};

// Lists a changed container; a list that cannot grow drops the entry (SystemUpdateID still
// tells control points that something changed).
void noteChange(ChangeList* list, const MediaObject* container) {
    MediaCatalogue* version = list->version;
    if (version->change_count == list->capacity) {
        int32_t capacity = list->capacity == 0 ? 16 : list->capacity * 2;
        void* grown = std::realloc(version->changes, sizeof(MediaChange) * capacity);
        if (grown == nullptr) {
            return;
        }
        version->changes = static_cast<MediaChange*>(grown);
        list->capacity = capacity;
    }
    version->changes[version->change_count++] = {container->handle, container->update_id};
}

// Gives a container of the new version, and the containers beneath it, its update id against
// the old version: kept when it lists the same children, else raised by one and listed. A new
// container starts at 0 and is not listed (its parent's list changed and is).
void markChanges(const MediaCatalogue* old, MediaObject* container, ChangeList* list) {
    const MediaObject* was = container->handle == 0
                                 ? old->top.root
                                 : handle_index_find(&old->handles, container->handle);
    if (was == nullptr || was->kind != 'c') {
        list->changed = true;
    } else {
        container->update_id = was->update_id;
        if (!sameChildren(was, container)) {
            list->changed = true;
            container->update_id = was->update_id + 1;
            noteChange(list, container);
        }
    }
    for (MediaObject* child = container->first_child; child != nullptr;
         child = child->next_sibling) {
        if (child->kind == 'c') {
            markChanges(old, child, list);
        }
    }
}

// Orders the changes so that the root and the top containers come first: a listener that has
// room for only some of them still hears of the upper containers, which cover the others.
void topContainersFirst(MediaCatalogue* version) {
    int32_t placed = 0;
    for (int32_t i = 0; i < version->change_count; i++) {
        if (version->changes[i].id < kFirstFreeId) {
            MediaChange top = version->changes[i];
            for (int32_t j = i; j > placed; j--) {
                version->changes[j] = version->changes[j - 1];
            }
            version->changes[placed++] = top;
        }
    }
}

} // namespace

namespace {

// What the slot fillers return instead of a count.
constexpr int32_t kStoppedEarly = -1;
constexpr int32_t kShortOfMemory = -2;

// A track of the next version: its record (one reference held) and the ObjectID it keeps, or
// 0 for a new one.
struct TrackSlot {
    TrackRecord* record;
    int64_t id;
};

void releaseRecords(TrackSlot* slots, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        track_record_release(slots[i].record);
    }
}

void releaseSlots(TrackSlot* slots, int32_t count) {
    releaseRecords(slots, count);
    std::free(slots);
}

// The tracks of the next version before their records are read: each path, its file status,
// and the old item it meets (whose record and id it keeps when the file is unchanged), or
// nullptr.
struct PathMatch {
    const char* path;
    const MediaObject* was;
    bool exists;
    bool unchanged; // in a folder the watch knows unchanged: no status was asked
    PlatformFileStatus status;
};

// Records are read by several threads, each taking the next block of paths: the files are
// independent, and a block keeps neighbouring paths (often one folder) together.
constexpr int32_t kReadBlock = 64;
constexpr int kMaxReaders = 4;
// Fewer tracks than this are read by the calling thread alone.
constexpr int32_t kParallelFrom = 1024;

struct ReadWork {
    const PathMatch* matches;
    TrackRecord** records;
    int32_t count;
    const std::atomic<int32_t>* stop;
    std::atomic<int32_t> next{0};
};

bool stopRaised(const std::atomic<int32_t>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed) != 0;
}

void readRecords(void* arg) {
    auto* work = static_cast<ReadWork*>(arg);
    while (!stopRaised(work->stop)) {
        int32_t first = work->next.fetch_add(kReadBlock, std::memory_order_relaxed);
        if (first >= work->count) {
            return;
        }
        int32_t end = first + kReadBlock < work->count ? first + kReadBlock : work->count;
        for (int32_t i = first; i < end; i++) {
            const PathMatch& match = work->matches[i];
            work->records[i] =
                recordFor(match.path, match.was, match.exists, match.status, match.unchanged);
        }
    }
}

// Reads the record of every match into slots, in order, on up to kMaxReaders threads. Returns
// the number of slots filled, kStoppedEarly (nothing kept) when `stop` is raised, or
// kShortOfMemory.
int32_t readSlots(const PathMatch* matches, int32_t count, const std::atomic<int32_t>* stop,
                  TrackSlot* slots) {
    auto** records =
        static_cast<TrackRecord**>(std::calloc(count > 0 ? count : 1, sizeof(TrackRecord*)));
    if (records == nullptr) {
        return kShortOfMemory;
    }
    ReadWork work;
    work.matches = matches;
    work.records = records;
    work.count = count;
    work.stop = stop;
    int cores = platformCpuCount();
    int helpers = count < kParallelFrom ? 0 : (cores < kMaxReaders ? cores : kMaxReaders) - 1;
    PlatformThread threads[kMaxReaders];
    int started = 0;
    while (started < helpers && platformThreadStart(&threads[started], readRecords, &work) == 0) {
        started++;
    }
    readRecords(&work);
    for (int i = 0; i < started; i++) {
        platformThreadJoin(threads[i]);
    }
    int32_t filled = 0;
    bool stopped = stopRaised(stop);
    for (int32_t i = 0; i < count; i++) {
        if (stopped) {
            track_record_release(records[i]);
        } else if (records[i] != nullptr) {
            const MediaObject* was = matches[i].was;
            slots[filled++] = TrackSlot{records[i], was != nullptr ? was->handle : 0};
        }
    }
    std::free(records);
    return stopped ? kStoppedEarly : filled;
}

// Gives every match its file status, asked folder by folder. False on short memory.
bool statusMatches(PathMatch* matches, const char* const* paths, int32_t count,
                   FolderWatch* watch) {
    FileStatuses status;
    bool ready = openStatuses(count, &status);
    // A path whose old item has a record, in a folder the watch knows unchanged, is not asked.
    for (int32_t i = 0; ready && i < count; i++) {
        status.unchanged[i] = track_record_of(matches[i].was) != nullptr;
    }
    ready = ready && files_status_watched(paths, count, status.statuses, status.found, watch,
                                          status.unchanged);
    for (int32_t i = 0; ready && i < count; i++) {
        // A path taken as unchanged had no status asked: its answer slots hold nothing.
        matches[i].unchanged = status.unchanged[i];
        if (!matches[i].unchanged) {
            matches[i].exists = status.found[i];
            matches[i].status = status.statuses[i];
        }
    }
    releaseStatuses(&status);
    return ready;
}

// The tracks as the old version has them (files not re-read unless the old item has no record
// of its own), their whole paths put together in *pathText (the caller frees it once the
// matches are read). Returns their count or kShortOfMemory.
int32_t matchesFromVersion(const MediaCatalogue* old, FolderWatch* watch, PathMatch* matches,
                           char** pathText) {
    int32_t count = old->top.all_tracks->child_count;
    // A version not built by the watcher has its tracks in the order they were added.
    auto trackAt = [old](int32_t i) {
        return old->file_order != nullptr ? oldTrackAt(old, i) : old->top.all_tracks->children[i];
    };
    size_t bytes = 1;
    for (int32_t i = 0; i < count; i++) {
        bytes += media_db_item_path(trackAt(i), nullptr, 0) + 1;
    }
    auto** paths = static_cast<const char**>(
        std::malloc(sizeof(char*) * static_cast<size_t>(count > 0 ? count : 1)));
    char* text = static_cast<char*>(std::malloc(bytes));
    if (paths == nullptr || text == nullptr) {
        std::free(paths);
        std::free(text);
        return kShortOfMemory;
    }
    *pathText = text;
    for (int32_t i = 0; i < count; i++) {
        const MediaObject* item = trackAt(i);
        size_t length = media_db_item_path(item, text, bytes);
        matches[i] = PathMatch{text, item, false, false, PlatformFileStatus{}};
        paths[i] = text;
        text += length + 1;
        bytes -= length + 1;
    }
    bool ready = statusMatches(matches, paths, count, watch);
    std::free(paths);
    return ready ? count : kShortOfMemory;
}

// Fills the table of old tracks by path and occurrence, claiming the first `claimed` of them
// (matched in order already).
bool openKnownTracks(TextTable* known, const MediaCatalogue* old, int32_t claimed) {
    if (!textTableOpen(known, oldTrackCount(old))) {
        return false;
    }
    for (int32_t i = 0; i < oldTrackCount(old); i++) {
        MediaObject* item = oldTrackAt(old, i);
        textTableAdd(known, media_db_path_parts(item), item);
    }
    for (int32_t i = 0; i < claimed; i++) {
        textTableClaim(known, media_db_path_parts(oldTrackAt(old, i)));
    }
    return true;
}

// The library's paths, each with its file status and the old item of the same path and
// occurrence. While the paths stand as in the old version they are matched in order; from the
// first difference on, through a table. Returns their count or kShortOfMemory.
int32_t matchesFromPaths(const MediaCatalogue* old, const CatalogueInput& input,
                         PathMatch* matches) {
    int32_t oldCount = oldTrackCount(old);
    TextTable known;
    bool inOrder = true;
    for (int32_t i = 0; i < input.count; i++) {
        const MediaObject* was = nullptr;
        if (inOrder && i < oldCount &&
            media_db_item_path_equals(oldTrackAt(old, i), input.paths[i])) {
            was = oldTrackAt(old, i);
        } else {
            if (inOrder && oldCount > 0) {
                openKnownTracks(&known, old, i);
            }
            inOrder = false;
            was = textTableClaim(&known, whole(input.paths[i]));
        }
        matches[i] = PathMatch{input.paths[i], was, false, false, PlatformFileStatus{}};
    }
    textTableClose(&known);
    return statusMatches(matches, input.paths, input.count, input.watch) ? input.count
                                                                         : kShortOfMemory;
}

// Whether the slots list the old version's tracks unchanged, in the same order.
bool sameTracks(const MediaCatalogue* old, const TrackSlot* slots, int32_t count) {
    if (!built(old) || oldTrackCount(old) != count || old->top.all_tracks->child_count != count) {
        return false;
    }
    for (int32_t i = 0; i < count; i++) {
        const MediaObject* item = oldTrackAt(old, i);
        if (item->handle != slots[i].id || track_record_of(item) != slots[i].record) {
            return false;
        }
    }
    return true;
}

// Grouping containers keep the id of the old container with the same title (an album: the same
// title and album artist), and their references the id of the old reference to the same track.
void carryGroups(MediaCatalogue* next, MediaObject* groups, const TitleIndex* oldTitles) {
    RefTable refs;
    bool albums = groups == next->top.albums;
    for (MediaObject* group = groups->first_child; group != nullptr; group = group->next_sibling) {
        MediaObject* was =
            title_index_find(oldTitles, group->title, albums ? group->artist : nullptr);
        if (was == nullptr) {
            continue;
        }
        media_db_rekey(next, group, was->handle);
        if (!refTableFill(&refs, was)) {
            continue;
        }
        for (MediaObject* ref = group->first_child; ref != nullptr; ref = ref->next_sibling) {
            int64_t id = ref->target != nullptr ? refTableFind(&refs, ref->target->handle) : 0;
            if (id != 0) {
                media_db_rekey(next, ref, id);
            }
        }
    }
    refTableClose(&refs);
}

// Claims, in insertion order, an old object for each child of `container` by its text
// (`byPath`: the path, else the title) among the old container's children, and takes its id.
void carryByText(MediaCatalogue* next, MediaObject* container, const MediaObject* was, bool byPath,
                 bool entriesToo) {
    TextTable known;
    if (was == nullptr || !textTableOpen(&known, was->child_count)) {
        return;
    }
    for (int32_t i = 0; i < was->child_count; i++) {
        MediaObject* child = was->children[i];
        PathParts text = byPath ? media_db_path_parts(child) : whole(child->title);
        if (text.name != nullptr) {
            textTableAdd(&known, text, child);
        }
    }
    for (int32_t i = 0; i < container->child_count; i++) {
        MediaObject* child = container->children[i];
        PathParts text = byPath ? media_db_path_parts(child) : whole(child->title);
        MediaObject* match = text.name != nullptr ? textTableClaim(&known, text) : nullptr;
        if (match == nullptr || match->kind != child->kind) {
            continue;
        }
        media_db_rekey(next, child, match->handle);
        if (entriesToo) {
            carryByText(next, child, match, true, false);
        }
    }
    textTableClose(&known);
}

void carryIds(MediaCatalogue* next, const MediaCatalogue* old) {
    carryGroups(next, next->top.albums, &old->albumTitles);
    carryGroups(next, next->top.artists, &old->artistTitles);
    carryGroups(next, next->top.genres, &old->genreTitles);
    carryByText(next, next->top.playlists, old->top.playlists, false, true);
}

} // namespace

CatalogueResult catalogue_update(const CatalogueInput& input) {
    MediaCatalogue* old = media_db_acquire();
    if (old == nullptr) {
        return CatalogueResult::Failed;
    }
    // Folders are trusted unchanged only against the version this watch last left published.
    folder_watch_holds_for(input.watch, old->serial);
    bool keep = input.keepTracks && built(old);
    int32_t room = keep ? old->top.all_tracks->child_count : input.count;
    auto* slots = static_cast<TrackSlot*>(std::calloc(room > 0 ? room : 1, sizeof(TrackSlot)));
    auto* matches = static_cast<PathMatch*>(std::calloc(room > 0 ? room : 1, sizeof(PathMatch)));
    char* pathText = nullptr;
    int32_t count = slots == nullptr || matches == nullptr ? kShortOfMemory
                    : keep ? matchesFromVersion(old, input.watch, matches, &pathText)
                           : matchesFromPaths(old, input, matches);
    if (count >= 0) {
        count = readSlots(matches, count, input.stop, slots);
    }
    std::free(matches);
    std::free(pathText);
    if (count < 0) {
        folder_watch_commit(input.watch, false, 0);
        std::free(slots);
        media_db_release(old);
        return count == kStoppedEarly ? CatalogueResult::Stopped : CatalogueResult::Failed;
    }
    if (!input.playlistsChanged && sameTracks(old, slots, count)) {
        folder_watch_commit(input.watch, true, old->serial);
        releaseSlots(slots, count);
        media_db_release(old);
        return CatalogueResult::Unchanged;
    }

    MediaCatalogue* next = media_db_begin_version();
    if (next == nullptr) {
        folder_watch_commit(input.watch, false, 0);
        releaseSlots(slots, count);
        media_db_release(old);
        return CatalogueResult::Failed;
    }
    // Room at once for about as many objects as a library of this size has (an item, three
    // references and a share of the containers per track), instead of growing step by step.
    handle_index_reserve(&next->handles, static_cast<size_t>(count) * 9 / 2);
    next->file_order = static_cast<MediaObject**>(
        std::malloc(sizeof(MediaObject*) * static_cast<size_t>(count > 0 ? count : 1)));
    for (int32_t i = 0; i < count; i++) {
        int64_t id = slots[i].id != 0 ? slots[i].id : media_db_next_handle();
        MediaObject* item = track_record_item(slots[i].record, id);
        if (item == nullptr) {
            continue;
        }
        int32_t before = next->top.all_tracks->child_count;
        media_db_file_track(item);
        if (next->file_order != nullptr && next->top.all_tracks->child_count > before) {
            next->file_order[next->file_order_count++] = item;
        }
    }
    releaseSlots(slots, count);
    if (input.readPlaylists != nullptr) {
        input.readPlaylists(input.context);
    }
    // The order a listing without SortCriteria shows, fixed before the version is compared
    // with the old one, which was ordered the same way.
    media_db_order_catalogue();

    ChangeList changes{next, 0, !built(old)};
    if (built(old)) {
        carryIds(next, old);
        markChanges(old, next->top.root, &changes);
        topContainersFirst(next);
    }
    bool stopped = input.stop != nullptr && input.stop->load(std::memory_order_relaxed) != 0;
    if (!changes.changed || stopped) {
        // Unchanged, the old version's records stand for the files as checked.
        folder_watch_commit(input.watch, !stopped, old->serial);
        media_db_discard_version(next);
        media_db_release(old);
        return stopped ? CatalogueResult::Stopped : CatalogueResult::Unchanged;
    }
    folder_watch_commit(input.watch, true, next->serial);
    media_db_pack_version(next);
    media_db_publish_version(next);
    media_db_release(old);
    // The old version is usually freed by now; its pages go back rather than stay resident.
    platformReleaseFreeMemory();
    // Search's index is built here, after the tracks are visible, not by the first Search.
    MediaCatalogue* published = media_db_acquire();
    media_db_search_index_prepare(published);
    media_db_release(published);
    return CatalogueResult::Published;
}
