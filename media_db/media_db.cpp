// The catalogue tree: lock, primitives, indexes and lookups.
#include "media_db/media_db.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "media_db/media_db_internal.h"

const char kClassContainer[] = "object.container";
const char kClassPlaylistContainer[] = "object.container.playlistContainer";
const char kClassMusicAlbum[] = "object.container.album.musicAlbum";
const char kClassMusicArtist[] = "object.container.person.musicArtist";
const char kClassMusicGenre[] = "object.container.genre.musicGenre";
const char kClassMusicTrack[] = "object.item.audioItem.musicTrack";

namespace {

// All catalogue state below is guarded by catalogueLock(): written only under the exclusive
// lock, read under either lock.
MediaTop gTop;
HandleIndex gHandles;
TitleIndex gAlbumTitles;
TitleIndex gArtistTitles;
TitleIndex gGenreTitles;
// Next handle to give out. Only grows, so no number ever names two objects; 0 is the root's.
int64_t gNextHandle = 1;

// Shared for readers, exclusive for the writer. A waiting writer goes before readers that arrive
// after it, so a steady stream of overlapping Browse requests cannot hold a rebuild off for
// ever (the platform's reader-writer locks may prefer readers).
struct CatalogueLock {
    std::mutex mutex;
    std::condition_variable changed;
    int readers = 0;
    int writersWaiting = 0;
    bool writing = false;
};

// Created on first use rather than at load, so the module has no static constructor.
CatalogueLock& catalogueLock() {
    static CatalogueLock lock;
    return lock;
}

void lockShared(CatalogueLock& lock) {
    std::unique_lock<std::mutex> hold(lock.mutex);
    lock.changed.wait(hold, [&lock] { return !lock.writing && lock.writersWaiting == 0; });
    lock.readers++;
}

void unlockShared(CatalogueLock& lock) {
    std::lock_guard<std::mutex> hold(lock.mutex);
    if (--lock.readers == 0) {
        lock.changed.notify_all();
    }
}

void lockExclusive(CatalogueLock& lock) {
    std::unique_lock<std::mutex> hold(lock.mutex);
    lock.writersWaiting++;
    lock.changed.wait(hold, [&lock] { return !lock.writing && lock.readers == 0; });
    lock.writersWaiting--;
    lock.writing = true;
}

void unlockExclusive(CatalogueLock& lock) {
    std::lock_guard<std::mutex> hold(lock.mutex);
    lock.writing = false;
    lock.changed.notify_all();
}

// Per-thread hold counts make both locks re-entrant; a thread that holds the exclusive lock
// may also "read lock" without touching the mutex.
thread_local int tWriteDepth = 0;
thread_local int tReadDepth = 0;
// Whether this thread's outermost read hold took the shared lock (it does not when the thread
// already held the exclusive one).
thread_local bool tReadShared = false;

TitleIndex* titleIndexFor(const MediaObject* container) {
    if (container == nullptr) {
        return nullptr;
    }
    if (container == gTop.albums) {
        return &gAlbumTitles;
    }
    if (container == gTop.artists) {
        return &gArtistTitles;
    }
    if (container == gTop.genres) {
        return &gGenreTitles;
    }
    return nullptr;
}

// Ensures room for one more entry in the container's children array.
bool reserveChild(MediaObject* container) {
    if (container->child_count < container->children_capacity) {
        return true;
    }
    int32_t capacity = container->children_capacity == 0 ? 4 : container->children_capacity * 2;
    void* grown = std::realloc(container->children, sizeof(MediaObject*) * capacity);
    if (grown == nullptr) {
        return false;
    }
    container->children = static_cast<MediaObject**>(grown);
    container->children_capacity = capacity;
    return true;
}

MediaObject* newObject(char kind) {
    auto* object = static_cast<MediaObject*>(std::calloc(1, sizeof(MediaObject)));
    if (object == nullptr) {
        return nullptr;
    }
    object->kind = kind;
    object->handle = gNextHandle++;
    return object;
}

void freeObjectFields(MediaObject* object) {
    std::free(object->title);
    std::free(object->artist);
    std::free(object->album);
    std::free(object->genre);
    std::free(object->date);
    std::free(object->path);
    std::free(object->duration);
    std::free(object->children);
    std::free(object);
}

// Frees a sibling list and everything beneath it. With `unindex` each object also leaves the
// handle index (a whole-tree free clears the index in one step instead).
void freeList(MediaObject* first, bool unindex) {
    while (first != nullptr) {
        MediaObject* next = first->next_sibling;
        if (first->kind == 'c') {
            freeList(first->first_child, unindex);
        }
        if (unindex) {
            handle_index_remove(&gHandles, first->handle);
        }
        freeObjectFields(first);
        first = next;
    }
}

// Links a made object into a container, first or last, and indexes it. False when an index
// or the children array cannot grow; nothing is linked then.
bool linkChild(MediaObject* container, MediaObject* child, bool atEnd) {
    if (!reserveChild(container)) {
        return false;
    }
    if (!handle_index_insert(&gHandles, child->handle, child)) {
        return false;
    }
    if (container->child_count == 0) {
        container->children_appended = atEnd ? 1 : 0;
    }
    child->parent = container;
    if (atEnd) {
        child->next_sibling = nullptr;
        if (container->child_count == 0) {
            container->first_child = child;
        } else {
            container->children[container->child_count - 1]->next_sibling = child;
        }
        container->children[container->child_count++] = child;
        return true;
    }
    child->next_sibling = container->first_child;
    container->first_child = child;
    if (container->children_appended && container->child_count > 0) {
        // The array runs in list order here (an ordered container): the child goes in front.
        std::memmove(container->children + 1, container->children,
                     sizeof(MediaObject*) * static_cast<size_t>(container->child_count));
        container->children[0] = child;
        container->child_count++;
        return true;
    }
    container->children[container->child_count++] = child;
    return true;
}

void resetTop() {
    gTop = MediaTop{};
    media_db_albums_reset();
    handle_index_clear(&gHandles);
    title_index_clear(&gAlbumTitles);
    title_index_clear(&gArtistTitles);
    title_index_clear(&gGenreTitles);
}

// Frees the whole tree; exclusive lock held.
void destroyTree() {
    if (gTop.root != nullptr) {
        freeList(gTop.root, false);
    }
    resetTop();
}

} // namespace

MediaTop media_db_top() {
    return gTop;
}

void media_db_read_lock() {
    if (tReadDepth++ > 0 || tWriteDepth > 0) {
        return;
    }
    lockShared(catalogueLock());
    tReadShared = true;
}

void media_db_read_unlock() {
    if (tReadDepth <= 0) {
        return;
    }
    if (--tReadDepth == 0 && tReadShared) {
        tReadShared = false;
        unlockShared(catalogueLock());
    }
}

void media_db_lock() {
    if (tWriteDepth > 0) {
        tWriteDepth++;
        return;
    }
    // A reader that asks to write would wait for itself; this thread's readers are a bug.
    lockExclusive(catalogueLock());
    tWriteDepth = 1;
}

void media_db_unlock() {
    if (tWriteDepth <= 0) {
        return;
    }
    if (--tWriteDepth == 0) {
        unlockExclusive(catalogueLock());
    }
}

MediaObject* media_db_find(int64_t handle) {
    if (handle == 0) {
        return gTop.root;
    }
    return handle_index_find(&gHandles, handle);
}

int64_t media_db_object_id(const MediaObject* object) {
    if (object == nullptr) {
        return -1;
    }
    return object == gTop.root ? 0 : object->handle;
}

MediaObject* media_db_child_at(const MediaObject* container, int32_t index) {
    if (container == nullptr || container->kind != 'c' || index < 0 ||
        index >= container->child_count) {
        return nullptr;
    }
    if (container->children_appended) {
        return container->children[index];
    }
    return container->children[container->child_count - 1 - index];
}

const char* media_db_path_for_id(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    errno = 0;
    long long number = std::strtoll(text, nullptr, 10);
    if (number == 0 || errno == ERANGE) {
        return nullptr;
    }
    MediaObject* object = handle_index_find(&gHandles, number);
    if (object == nullptr) {
        return nullptr;
    }
    if (object->kind == 'r') {
        object = object->target;
    }
    if (object == nullptr || object->kind != 'i') {
        return nullptr;
    }
    return object->path;
}

MediaObject* make_container(const char* title, const char* upnpClass) {
    if (title == nullptr) {
        return nullptr;
    }
    MediaObject* object = newObject('c');
    if (object == nullptr) {
        return nullptr;
    }
    object->title = strdup(title);
    object->upnp_class = upnpClass;
    return object;
}

MediaObject* make_item(const char* path, const char* upnpClass) {
    if (path == nullptr) {
        return nullptr;
    }
    MediaObject* object = newObject('i');
    if (object == nullptr) {
        return nullptr;
    }
    object->path = strdup(path);
    if (object->path == nullptr) {
        std::free(object);
        return nullptr;
    }
    object->upnp_class = upnpClass;
    return object;
}

MediaObject* make_reference(MediaObject* item) {
    MediaObject* object = newObject('r');
    if (object != nullptr) {
        object->target = item;
    }
    return object;
}

MediaObject* add_child_container(const char* title, MediaObject* parent, const char* upnpClass) {
    if (title == nullptr || parent == nullptr) {
        return nullptr;
    }
    MediaObject* container = make_container(title, upnpClass);
    if (container == nullptr || container->title == nullptr) {
        freeList(container, false);
        return nullptr;
    }
    TitleIndex* titles = titleIndexFor(parent);
    if (!linkChild(parent, container, false)) {
        freeObjectFields(container);
        return nullptr;
    }
    if (titles != nullptr) {
        // When this fails the child stays valid; find_child_by_title sees the index fall short
        // of the child count and walks instead.
        title_index_insert(titles, container);
    }
    return container;
}

void add_child_reference(MediaObject* container, MediaObject* item) {
    if (container == nullptr || item == nullptr) {
        return;
    }
    MediaObject* reference = make_reference(item);
    if (reference != nullptr && !linkChild(container, reference, false)) {
        freeObjectFields(reference);
    }
}

void media_db_append_child(MediaObject* container, MediaObject* child) {
    if (container == nullptr || child == nullptr) {
        return;
    }
    if (!linkChild(container, child, true)) {
        freeList(child, false);
    }
}

bool media_db_prepend_child(MediaObject* container, MediaObject* child) {
    if (container == nullptr || child == nullptr) {
        freeList(child, false);
        return false;
    }
    if (!linkChild(container, child, false)) {
        freeList(child, false);
        return false;
    }
    return true;
}

void media_db_free_unlinked(MediaObject* object) {
    freeList(object, false);
}

void media_db_count_track() {
    gTop.track_count++;
}

MediaObject* find_child_by_title(const char* text, MediaObject* container) {
    if (text == nullptr || container == nullptr) {
        return nullptr;
    }
    // The album index is keyed by title and album artist, so albums are walked here.
    const TitleIndex* titles = container != gTop.albums ? titleIndexFor(container) : nullptr;
    if (titles != nullptr && titles->used == static_cast<size_t>(container->child_count)) {
        return title_index_find(titles, text, nullptr);
    }
    for (MediaObject* child = container->first_child; child != nullptr;
         child = child->next_sibling) {
        if (child->title != nullptr && std::strcmp(child->title, text) == 0) {
            return child;
        }
    }
    return nullptr;
}

MediaObject* media_db_find_album(const char* title, const char* albumArtist) {
    MediaObject* albums = gTop.albums;
    if (title == nullptr || albumArtist == nullptr || albums == nullptr) {
        return nullptr;
    }
    if (gAlbumTitles.used == static_cast<size_t>(albums->child_count)) {
        return title_index_find(&gAlbumTitles, title, albumArtist);
    }
    for (MediaObject* child = albums->first_child; child != nullptr; child = child->next_sibling) {
        if (child->title != nullptr && child->artist != nullptr &&
            std::strcmp(child->title, title) == 0 && std::strcmp(child->artist, albumArtist) == 0) {
            return child;
        }
    }
    return nullptr;
}

MediaObject* media_db_add_album(const char* title, const char* albumArtist) {
    MediaObject* albums = gTop.albums;
    if (title == nullptr || albumArtist == nullptr || albums == nullptr) {
        return nullptr;
    }
    MediaObject* album = make_container(title, kClassMusicAlbum);
    if (album == nullptr || album->title == nullptr ||
        (album->artist = strdup(albumArtist)) == nullptr || !linkChild(albums, album, false)) {
        freeList(album, false);
        return nullptr;
    }
    title_index_insert(&gAlbumTitles, album); // on failure lookups walk instead
    return album;
}

void media_db_remove_child(MediaObject* container, MediaObject* child) {
    if (container == nullptr || child == nullptr || child->parent != container) {
        return;
    }
    int32_t at = 0;
    while (at < container->child_count && container->children[at] != child) {
        at++;
    }
    if (at == container->child_count) {
        return;
    }
    // The list runs along the array for appended children and against it otherwise.
    int32_t before = container->children_appended ? at - 1 : at + 1;
    if (before >= 0 && before < container->child_count) {
        container->children[before]->next_sibling = child->next_sibling;
    } else {
        container->first_child = child->next_sibling;
    }
    std::memmove(container->children + at, container->children + at + 1,
                 sizeof(MediaObject*) * static_cast<size_t>(container->child_count - at - 1));
    container->child_count--;
    if (container == gTop.albums) {
        title_index_remove(&gAlbumTitles, child);
    }
    child->next_sibling = nullptr;
    freeList(child, true);
}

void media_db_build() {
    media_db_lock();
    destroyTree();
    gTop.root = make_container("root", kClassContainer);
    if (gTop.root != nullptr && gTop.root->title != nullptr) {
        gTop.root->handle = 0;
        gTop.playlists = add_child_container("Playlists", gTop.root, kClassPlaylistContainer);
        gTop.genres = add_child_container("Genres", gTop.root, kClassContainer);
        gTop.artists = add_child_container("Artists", gTop.root, kClassContainer);
        gTop.albums = add_child_container("Albums", gTop.root, kClassContainer);
        gTop.all_tracks = add_child_container("All Tracks", gTop.root, kClassContainer);
    }
    if (gTop.all_tracks == nullptr) {
        // Short of memory for the skeleton: no half-built catalogue is published.
        destroyTree();
    }
    media_db_unlock();
}

void media_db_clear_playlists() {
    media_db_lock();
    MediaObject* playlists = gTop.playlists;
    if (playlists != nullptr && playlists->first_child != nullptr) {
        freeList(playlists->first_child, true);
        playlists->first_child = nullptr;
        playlists->child_count = 0;
    }
    media_db_unlock();
}

void media_db_destroy() {
    media_db_lock();
    destroyTree();
    media_db_unlock();
}
