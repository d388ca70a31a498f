// The catalogue tree: lock, primitives, indexes and lookups.
#include "media_db/media_db.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "media_db/media_db_internal.h"
#include "media_db/search_index.h"

const char kClassContainer[] = "object.container";
const char kClassPlaylistContainer[] = "object.container.playlistContainer";
const char kClassMusicAlbum[] = "object.container.album.musicAlbum";
const char kClassMusicArtist[] = "object.container.person.musicArtist";
const char kClassMusicGenre[] = "object.container.genre.musicGenre";
const char kClassMusicTrack[] = "object.item.audioItem.musicTrack";

namespace {

// Process-wide version state, created on first use so the module has no static constructor.
struct VersionState {
    std::mutex mutex; // guards published, editing and every version's refs
    std::condition_variable changed;
    MediaCatalogue* published = nullptr;
    bool editing = false; // an in-place writer holds the published version
    std::mutex writer;    // one writer at a time: in place, building aside or publishing
};

// Never destroyed: readers and the watcher may still use it while the process exits.
VersionState& versions() {
    static VersionState* state = new VersionState;
    return *state;
}

// Next handle to give out. Only grows, so no number ever names two objects.
std::atomic<int64_t> gNextHandle{kFirstFreeId};

// This thread's versions: the one it writes (an unpublished one, or the published one in
// place) and the one it has pinned for reading, each with its hold count.
thread_local MediaCatalogue* tWrite = nullptr;
thread_local int tWriteDepth = 0;
thread_local bool tWriteInPlace = false;
thread_local MediaCatalogue* tRead = nullptr;
thread_local int tReadDepth = 0;

std::atomic<uint64_t> gSerials{0};

MediaCatalogue* newCatalogue() {
    auto* version = static_cast<MediaCatalogue*>(std::calloc(1, sizeof(MediaCatalogue)));
    if (version != nullptr) {
        version->refs = 1;
        version->serial = ++gSerials;
    }
    return version;
}

// The published version, made (unbuilt) on first use; version mutex held. Only a failed
// allocation at the very first use leaves it nullptr.
MediaCatalogue* publishedLocked(VersionState& state) {
    if (state.published == nullptr) {
        state.published = newCatalogue();
    }
    return state.published;
}

// Ensures room for one more entry in the container's children array.
bool reserveChild(MediaObject* container) {
    if (container->child_count < container->children_capacity) {
        return true;
    }
    int32_t capacity = container->children_capacity == 0 ? 4 : container->children_capacity * 2;
    // A packed array is not owned: it moves to an array of its own first.
    void* grown = container->children_packed
                      ? std::malloc(sizeof(MediaObject*) * static_cast<size_t>(capacity))
                      : std::realloc(container->children, sizeof(MediaObject*) * capacity);
    if (grown == nullptr) {
        return false;
    }
    if (container->children_packed) {
        std::memcpy(grown, container->children,
                    sizeof(MediaObject*) * static_cast<size_t>(container->child_count));
        container->children_packed = 0;
    }
    container->children = static_cast<MediaObject**>(grown);
    container->children_capacity = capacity;
    return true;
}

// Only containers that ever held a container are walked: the members of the others (most of
// the objects) are not touched.
int64_t childrenBelow(const MediaObject* container) {
    int64_t count = container->child_count;
    for (int32_t i = 0; container->holds_containers && i < container->child_count; i++) {
        if (container->children[i]->kind == 'c') {
            count += childrenBelow(container->children[i]);
        }
    }
    return count;
}

// Moves the children arrays beneath `container` to *at, each exactly as long as its children.
void packBelow(MediaObject* container, MediaObject*** at) {
    int32_t count = container->child_count;
    if (count > 0) {
        std::memcpy(*at, container->children, sizeof(MediaObject*) * static_cast<size_t>(count));
    }
    if (!container->children_packed) {
        std::free(container->children);
    }
    container->children = count > 0 ? *at : nullptr;
    container->children_capacity = count;
    container->children_packed = count > 0 ? 1 : 0;
    *at += count;
    for (int32_t i = 0; container->holds_containers && i < count; i++) {
        if (container->children[i]->kind == 'c') {
            packBelow(container->children[i], at);
        }
    }
}

// Frees what an object owns, and the object itself back to `owner`'s slab; with no owner the
// whole version is going and its slab is freed in one step.
void freeObjectFields(MediaObject* object, MediaCatalogue* owner) {
    if (object->kind == 'c' && !object->children_packed) {
        std::free(object->children);
    }
    if (object->kind == 'r') {
        // the head only
    } else if (object->shared_texts) {
        track_record_release(track_record_of(object));
    } else {
        std::free(object->title);
        std::free(object->artist);
        std::free(object->album);
        std::free(object->genre);
        std::free(object->date);
        std::free(object->path_tail);
        std::free(object->duration);
    }
    if (owner != nullptr) {
        object_slab_give(&owner->objects, object);
    }
}

// Frees a sibling list and everything beneath it to `owner` (see freeObjectFields). With
// `unindex` each object also leaves the owner's handle index (a whole-tree free clears the
// index in one step instead).
void freeList(MediaObject* first, MediaCatalogue* owner, bool unindex) {
    while (first != nullptr) {
        MediaObject* next = first->next_sibling;
        if (first->kind == 'c') {
            freeList(first->first_child, owner, unindex);
        }
        if (unindex && owner != nullptr) {
            handle_index_remove(&owner->handles, first->handle);
        }
        freeObjectFields(first, owner);
        first = next;
    }
}

// An object of this thread's version, made or freed by its writer.
void freeUnlinked(MediaObject* first) {
    freeList(first, media_db_current(), false);
}

MediaObject* newObject(MediaCatalogue* version, char kind, int64_t handle) {
    MediaObject* object = object_slab_take(&version->objects, kind);
    if (object != nullptr) {
        object->kind = kind;
        object->handle = handle;
    }
    return object;
}

void freeCatalogue(MediaCatalogue* version) {
    if (version->top.root != nullptr) {
        freeList(version->top.root, nullptr, false);
    }
    object_slab_clear(&version->objects);
    std::free(version->packed_children);
    handle_index_clear(&version->handles);
    title_index_clear(&version->albumTitles);
    title_index_clear(&version->artistTitles);
    title_index_clear(&version->genreTitles);
    std::free(version->changes);
    std::free(version->file_order);
    search_index_free(version->search_index.load());
    std::free(version);
}

// Drops one reference; the last one frees the version.
void dropRef(MediaCatalogue* version) {
    if (version == nullptr) {
        return;
    }
    VersionState& state = versions();
    int32_t left;
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        left = --version->refs;
        if (state.editing) {
            state.changed.notify_all();
        }
    }
    if (left == 0) {
        freeCatalogue(version);
    }
}

// Links a made object into a container, first or last, and indexes it. False when an index
// or the children array cannot grow; nothing is linked then.
bool linkChild(MediaCatalogue* version, MediaObject* container, MediaObject* child, bool atEnd) {
    if (!reserveChild(container)) {
        return false;
    }
    if (!handle_index_insert(&version->handles, child)) {
        return false;
    }
    if (container->child_count == 0) {
        container->children_appended = atEnd ? 1 : 0;
    }
    if (child->kind == 'c') {
        container->holds_containers = 1;
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

MediaObject* skeletonChild(MediaCatalogue* version, const char* title, int64_t handle,
                           const char* upnpClass) {
    MediaObject* container = newObject(version, 'c', handle);
    if (container == nullptr) {
        return nullptr;
    }
    container->title = strdup(title);
    container->upnp_class = upnpClass;
    if (container->title == nullptr || !linkChild(version, version->top.root, container, false)) {
        freeObjectFields(container, version);
        return nullptr;
    }
    return container;
}

// Gives an empty version the root and five top containers; false (nothing built) on short
// memory, so that no half-built skeleton is ever published.
bool buildSkeleton(MediaCatalogue* version) {
    MediaObject* root = newObject(version, 'c', 0);
    if (root == nullptr) {
        return false;
    }
    root->title = strdup("root");
    root->upnp_class = kClassContainer;
    version->top.root = root;
    MediaTop& top = version->top;
    top.playlists = skeletonChild(version, "Playlists", kIdPlaylists, kClassPlaylistContainer);
    top.genres = skeletonChild(version, "Genres", kIdGenres, kClassContainer);
    top.artists = skeletonChild(version, "Artists", kIdArtists, kClassContainer);
    top.albums = skeletonChild(version, "Albums", kIdAlbums, kClassContainer);
    top.all_tracks = skeletonChild(version, "All Tracks", kIdAllTracks, kClassContainer);
    if (root->title == nullptr || top.root->child_count != 5) {
        freeList(root, version, false);
        handle_index_clear(&version->handles);
        version->top = MediaTop{};
        return false;
    }
    return true;
}

// Makes `version` the published one; the writer mutex is held. The old version goes when its
// last reader lets it go.
void publish(MediaCatalogue* version) {
    VersionState& state = versions();
    MediaCatalogue* old;
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        old = state.published;
        state.published = version;
    }
    if (tWriteInPlace && tWriteDepth > 0) {
        tWrite = version; // an in-place writer goes on in the new version
    }
    dropRef(old);
}

// Publishes a new version, with the skeleton or unbuilt, from inside or outside the write
// lock.
void publishFresh(bool skeleton) {
    VersionState& state = versions();
    bool took = tWriteDepth == 0;
    if (took) {
        state.writer.lock();
    }
    // The folder bookkeeping of album artists points into the version it was filled for.
    media_db_albums_reset();
    MediaCatalogue* version = newCatalogue();
    if (version != nullptr) {
        if (skeleton) {
            buildSkeleton(version);
        }
        publish(version);
    }
    if (took) {
        state.writer.unlock();
    }
}

} // namespace

MediaCatalogue* media_db_current() {
    if (tWrite != nullptr) {
        return tWrite;
    }
    if (tRead != nullptr) {
        return tRead;
    }
    VersionState& state = versions();
    std::lock_guard<std::mutex> hold(state.mutex);
    return publishedLocked(state);
}

bool media_db_writing() {
    return tWrite != nullptr;
}

MediaTop media_db_top() {
    MediaCatalogue* version = media_db_current();
    return version != nullptr ? version->top : MediaTop{};
}

MediaCatalogue* media_db_acquire() {
    VersionState& state = versions();
    std::unique_lock<std::mutex> hold(state.mutex);
    MediaCatalogue* version = tWrite;
    if (version == nullptr) {
        // An in-place writer keeps new readers out until it is done.
        state.changed.wait(hold, [&state] { return !state.editing; });
        version = publishedLocked(state);
    }
    if (version != nullptr) {
        version->refs++;
    }
    return version;
}

void media_db_release(MediaCatalogue* version) {
    dropRef(version);
}

MediaTop media_db_version_top(const MediaCatalogue* version) {
    return version != nullptr ? version->top : MediaTop{};
}

const MediaChange* media_db_version_changes(const MediaCatalogue* version, int32_t* count) {
    *count = version != nullptr ? version->change_count : 0;
    return version != nullptr ? version->changes : nullptr;
}

void media_db_read_lock() {
    if (tReadDepth++ == 0) {
        tRead = media_db_acquire();
    }
}

void media_db_read_unlock() {
    if (tReadDepth <= 0) {
        return;
    }
    if (--tReadDepth == 0) {
        MediaCatalogue* version = tRead;
        tRead = nullptr;
        media_db_release(version);
    }
}

void media_db_lock() {
    if (tWriteDepth > 0) {
        tWriteDepth++;
        return;
    }
    VersionState& state = versions();
    state.writer.lock();
    std::unique_lock<std::mutex> hold(state.mutex);
    state.editing = true;
    MediaCatalogue* version = publishedLocked(state);
    // Wait until only the published slot (and this thread's own pin, if any) holds it.
    int32_t own = version != nullptr && tRead == version ? 1 : 0;
    state.changed.wait(hold,
                       [version, own] { return version == nullptr || version->refs <= 1 + own; });
    if (version != nullptr) {
        version->serial = ++gSerials; // its contents may change
    }
    tWrite = version;
    tWriteDepth = 1;
    tWriteInPlace = true;
    // No reader holds the version now; what is written in place invalidates its search index.
    if (version != nullptr) {
        search_index_free(version->search_index.exchange(nullptr));
        version->search_index_failed = false;
    }
}

void media_db_unlock() {
    // A version built aside stays held until it is published or discarded.
    if (tWriteDepth <= 0 || (!tWriteInPlace && tWriteDepth == 1)) {
        return;
    }
    if (--tWriteDepth == 0) {
        VersionState& state = versions();
        {
            std::lock_guard<std::mutex> hold(state.mutex);
            state.editing = false;
            state.changed.notify_all();
        }
        tWrite = nullptr;
        tWriteInPlace = false;
        state.writer.unlock();
    }
}

MediaCatalogue* media_db_begin_version() {
    VersionState& state = versions();
    state.writer.lock();
    // Albums are worked out afresh for the version built aside; its folder bookkeeping must not
    // point into the published one.
    media_db_albums_reset();
    MediaCatalogue* version = newCatalogue();
    if (version == nullptr || !buildSkeleton(version)) {
        if (version != nullptr) {
            freeCatalogue(version);
        }
        state.writer.unlock();
        return nullptr;
    }
    tWrite = version;
    tWriteDepth = 1;
    tWriteInPlace = false;
    return version;
}

void media_db_publish_version(MediaCatalogue* version) {
    tWrite = nullptr;
    tWriteDepth = 0;
    publish(version);
    versions().writer.unlock();
}

void media_db_discard_version(MediaCatalogue* version) {
    tWrite = nullptr;
    tWriteDepth = 0;
    media_db_albums_reset(); // it pointed into the discarded version
    versions().writer.unlock();
    freeCatalogue(version);
}

MediaObject* media_db_new_object(char kind, int64_t handle) {
    MediaCatalogue* version = media_db_current();
    return version != nullptr ? newObject(version, kind, handle) : nullptr;
}

int64_t media_db_next_handle() {
    return gNextHandle.fetch_add(1, std::memory_order_relaxed);
}

void media_db_rekey(MediaCatalogue* version, MediaObject* object, int64_t handle) {
    handle_index_remove(&version->handles, object->handle);
    object->handle = handle;
    handle_index_insert(&version->handles, object);
}

TitleIndex* media_db_title_index(MediaCatalogue* version, const MediaObject* container) {
    if (version == nullptr || container == nullptr) {
        return nullptr;
    }
    if (container == version->top.albums) {
        return &version->albumTitles;
    }
    if (container == version->top.artists) {
        return &version->artistTitles;
    }
    if (container == version->top.genres) {
        return &version->genreTitles;
    }
    return nullptr;
}

MediaObject* media_db_find(int64_t handle) {
    MediaCatalogue* version = media_db_current();
    if (version == nullptr) {
        return nullptr;
    }
    if (handle == 0) {
        return version->top.root;
    }
    return handle_index_find(&version->handles, handle);
}

int64_t media_db_object_id(const MediaObject* object) {
    return object != nullptr ? object->handle : -1;
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

const MediaObject* media_db_item_for_id(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    errno = 0;
    long long number = std::strtoll(text, nullptr, 10);
    if (number == 0 || errno == ERANGE) {
        return nullptr;
    }
    MediaObject* object = media_db_find(number);
    if (object == nullptr) {
        return nullptr;
    }
    if (object->kind == 'r') {
        object = object->target;
    }
    if (object == nullptr || object->kind != 'i') {
        return nullptr;
    }
    return object;
}

MediaObject* make_container(const char* title, const char* upnpClass) {
    if (title == nullptr) {
        return nullptr;
    }
    MediaObject* object = media_db_new_object('c', media_db_next_handle());
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
    MediaObject* object = media_db_new_object('i', media_db_next_handle());
    if (object == nullptr) {
        return nullptr;
    }
    object->path_tail = strdup(path);
    if (object->path_tail == nullptr) {
        freeUnlinked(object);
        return nullptr;
    }
    object->upnp_class = upnpClass;
    return object;
}

MediaObject* make_reference(MediaObject* item) {
    MediaObject* object = media_db_new_object('r', media_db_next_handle());
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
        freeUnlinked(container);
        return nullptr;
    }
    MediaCatalogue* version = media_db_current();
    TitleIndex* titles = media_db_title_index(version, parent);
    if (!linkChild(version, parent, container, false)) {
        freeObjectFields(container, version);
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
    if (reference != nullptr && !linkChild(media_db_current(), container, reference, false)) {
        freeUnlinked(reference);
    }
}

void media_db_append_child(MediaObject* container, MediaObject* child) {
    if (container == nullptr || child == nullptr) {
        return;
    }
    if (!linkChild(media_db_current(), container, child, true)) {
        freeUnlinked(child);
    }
}

bool media_db_prepend_child(MediaObject* container, MediaObject* child) {
    if (container == nullptr || child == nullptr) {
        freeUnlinked(child);
        return false;
    }
    if (!linkChild(media_db_current(), container, child, false)) {
        freeUnlinked(child);
        return false;
    }
    return true;
}

void media_db_free_unlinked(MediaObject* object) {
    freeUnlinked(object);
}

void media_db_pack_version(MediaCatalogue* version) {
    MediaObject* root = version->top.root;
    if (root == nullptr || version->packed_children != nullptr) {
        return;
    }
    int64_t count = childrenBelow(root);
    auto** block = static_cast<MediaObject**>(
        std::malloc(sizeof(MediaObject*) * static_cast<size_t>(count > 0 ? count : 1)));
    if (block == nullptr) {
        return; // the arrays stay as they are
    }
    MediaObject** at = block;
    packBelow(root, &at);
    version->packed_children = block;
    handle_index_fit(&version->handles);
}

void media_db_count_track() {
    media_db_current()->top.track_count++;
}

MediaObject* find_child_by_title(const char* text, MediaObject* container) {
    if (text == nullptr || container == nullptr) {
        return nullptr;
    }
    // The album index is keyed by title and album artist, so albums are walked here.
    MediaCatalogue* version = media_db_current();
    const TitleIndex* titles = version != nullptr && container != version->top.albums
                                   ? media_db_title_index(version, container)
                                   : nullptr;
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
    MediaCatalogue* version = media_db_current();
    MediaObject* albums = version != nullptr ? version->top.albums : nullptr;
    if (title == nullptr || albumArtist == nullptr || albums == nullptr) {
        return nullptr;
    }
    if (version->albumTitles.used == static_cast<size_t>(albums->child_count)) {
        return title_index_find(&version->albumTitles, title, albumArtist);
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
    MediaCatalogue* version = media_db_current();
    MediaObject* albums = version != nullptr ? version->top.albums : nullptr;
    if (title == nullptr || albumArtist == nullptr || albums == nullptr) {
        return nullptr;
    }
    MediaObject* album = make_container(title, kClassMusicAlbum);
    if (album == nullptr || album->title == nullptr ||
        (album->artist = strdup(albumArtist)) == nullptr ||
        !linkChild(version, albums, album, false)) {
        freeUnlinked(album);
        return nullptr;
    }
    title_index_insert(&version->albumTitles, album); // on failure lookups walk instead
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
    MediaCatalogue* version = media_db_current();
    if (container == version->top.albums) {
        title_index_remove(&version->albumTitles, child);
    }
    child->next_sibling = nullptr;
    freeList(child, version, true);
}

void media_db_build() {
    publishFresh(true);
}

void media_db_clear_playlists() {
    media_db_lock();
    MediaCatalogue* version = media_db_current();
    MediaObject* playlists = version != nullptr ? version->top.playlists : nullptr;
    if (playlists != nullptr && playlists->first_child != nullptr) {
        freeList(playlists->first_child, version, true);
        playlists->first_child = nullptr;
        playlists->child_count = 0;
    }
    media_db_unlock();
}

void media_db_destroy() {
    publishFresh(false);
}
