// Albums told apart: an album is its title together with its album artist. The album artist is
// the tag's when it names one; otherwise it is worked out among the tracks without one that
// share the album title and the folder: their common artist, or "Various Artists" once two of
// them differ. Tracks arrive one at a time, so a folder's album can turn into a compilation
// later: its references then move to the "Various Artists" album.
#include <cstdlib>
#include <cstring>

#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "runtime/hash.h"

namespace {

constexpr char kVariousArtists[] = "Various Artists";
constexpr char kUnknown[] = "Unknown";

// The tracks without an album artist of one title in one folder.
struct FolderAlbum {
    uint64_t hash;
    MediaObject* album; // the album container they are filed under
    bool mixed;         // their artists differ: the album is "Various Artists"
    size_t folderLength;
    char* title; // points into key
    char key[1]; // folder bytes, NUL, title, NUL
};

// Open addressing with linear probing, at most half full. Guarded by the exclusive lock.
struct FolderAlbums {
    FolderAlbum** slots;
    size_t mask;
    size_t used;
};
FolderAlbums gFolderAlbums;
// References an entry's tracks could not get in its album (short memory) since the last reset.
// Only then may an entry point at an album that holds none of its tracks.
size_t gUnfiled = 0;

// The item's folder, without the separator that ends it (empty for a path with none).
const char* folderOf(const MediaObject* item, size_t* length) {
    PathParts parts = media_db_path_parts(item);
    const char* folder = parts.folder;
    size_t bytes = parts.folder_length;
    if (bytes == 0) {
        folder = parts.name;
        bytes = path_folder_length(parts.name);
    }
    *length = bytes > 0 ? bytes - 1 : 0;
    return folder;
}

uint64_t hashOf(const char* folder, size_t folderLength, const char* title) {
    return hashText(title, hashByte(hashBytes(folder, folderLength), 0xFF));
}

bool grow() {
    size_t capacity = gFolderAlbums.mask == 0 ? 64 : (gFolderAlbums.mask + 1) * 2;
    auto** slots = static_cast<FolderAlbum**>(std::calloc(capacity, sizeof(FolderAlbum*)));
    if (slots == nullptr) {
        return false;
    }
    for (size_t i = 0; gFolderAlbums.slots != nullptr && i <= gFolderAlbums.mask; i++) {
        FolderAlbum* entry = gFolderAlbums.slots[i];
        if (entry != nullptr) {
            size_t at = entry->hash & (capacity - 1);
            while (slots[at] != nullptr) {
                at = (at + 1) & (capacity - 1);
            }
            slots[at] = entry;
        }
    }
    std::free(gFolderAlbums.slots);
    gFolderAlbums.slots = slots;
    gFolderAlbums.mask = capacity - 1;
    return true;
}

// The entry of the item's folder and album title, made when it is new (album nullptr then);
// nullptr on short memory.
FolderAlbum* folderAlbumOf(const MediaObject* item) {
    size_t folderLength = 0;
    const char* folder = folderOf(item, &folderLength);
    uint64_t hash = hashOf(folder, folderLength, item->album);
    if (gFolderAlbums.slots != nullptr) {
        for (size_t at = hash & gFolderAlbums.mask; gFolderAlbums.slots[at] != nullptr;
             at = (at + 1) & gFolderAlbums.mask) {
            FolderAlbum* entry = gFolderAlbums.slots[at];
            if (entry->hash == hash && entry->folderLength == folderLength &&
                std::memcmp(entry->key, folder, folderLength) == 0 &&
                std::strcmp(entry->title, item->album) == 0) {
                return entry;
            }
        }
    }
    if ((gFolderAlbums.used + 1) * 2 > gFolderAlbums.mask + 1 && !grow()) {
        return nullptr;
    }
    size_t titleLength = std::strlen(item->album);
    auto* entry = static_cast<FolderAlbum*>(
        std::calloc(1, sizeof(FolderAlbum) + folderLength + titleLength + 1));
    if (entry == nullptr) {
        return nullptr;
    }
    entry->hash = hash;
    entry->folderLength = folderLength;
    std::memcpy(entry->key, folder, folderLength);
    entry->title = entry->key + folderLength + 1;
    std::memcpy(entry->title, item->album, titleLength + 1);
    size_t at = hash & gFolderAlbums.mask;
    while (gFolderAlbums.slots[at] != nullptr) {
        at = (at + 1) & gFolderAlbums.mask;
    }
    gFolderAlbums.slots[at] = entry;
    gFolderAlbums.used++;
    return entry;
}

// Files a reference to an entry's track in the entry's album, counting a failure.
void fileUnder(MediaObject* album, MediaObject* item) {
    int32_t before = album != nullptr ? album->child_count : 0;
    add_child_reference(album, item);
    if (album != nullptr && album->child_count == before) {
        gUnfiled++;
    }
}

MediaObject* albumFor(const char* title, const char* albumArtist) {
    MediaObject* album = media_db_find_album(title, albumArtist);
    return album != nullptr ? album : media_db_add_album(title, albumArtist);
}

bool sameText(const char* a, const char* b) {
    return std::strcmp(a != nullptr ? a : kUnknown, b != nullptr ? b : kUnknown) == 0;
}

// Whether a filed track belongs to the folder entry: no album artist of its own, the entry's
// folder and title.
bool belongsTo(const MediaObject* item, const FolderAlbum* entry) {
    if (item == nullptr || item->album_artist_tagged || item->album == nullptr) {
        return false;
    }
    size_t folderLength = 0;
    const char* folder = folderOf(item, &folderLength);
    return folderLength == entry->folderLength &&
           std::memcmp(folder, entry->key, entry->folderLength) == 0 &&
           std::strcmp(item->album, entry->title) == 0;
}

// Moves the entry's references from its album to `to`; an album left empty goes away.
void moveTracks(FolderAlbum* entry, MediaObject* to) {
    MediaObject* from = entry->album;
    for (int32_t i = from->child_count - 1; i >= 0; i--) {
        MediaObject* reference = media_db_child_at(from, i);
        if (reference != nullptr && reference->kind == 'r' && belongsTo(reference->target, entry)) {
            fileUnder(to, reference->target);
            media_db_remove_child(from, reference);
        }
    }
    entry->album = to;
    if (from->child_count == 0) {
        // No other entry can still file under it (each keeps at least one reference in its
        // album), but short memory may have left one without: it must not keep the pointer.
        // The whole table is walked only then, not for every album that turns out a
        // compilation.
        for (size_t i = 0; gUnfiled > 0 && i <= gFolderAlbums.mask; i++) {
            if (gFolderAlbums.slots[i] != nullptr && gFolderAlbums.slots[i]->album == from) {
                gFolderAlbums.slots[i]->album = nullptr;
            }
        }
        media_db_remove_child(media_db_top().albums, from);
    }
}

} // namespace

void media_db_file_album(MediaObject* item, const char* albumArtist) {
    if (item == nullptr || item->album == nullptr) {
        return;
    }
    if (albumArtist != nullptr) {
        item->album_artist_tagged = 1;
        add_child_reference(albumFor(item->album, albumArtist), item);
        return;
    }
    const char* artist = item->artist != nullptr ? item->artist : kUnknown;
    FolderAlbum* entry = folderAlbumOf(item);
    if (entry == nullptr) {
        add_child_reference(albumFor(item->album, artist), item);
        return;
    }
    if (entry->album == nullptr) {
        entry->album = albumFor(item->album, artist);
    } else if (!entry->mixed && !sameText(entry->album->artist, artist)) {
        entry->mixed = true;
        MediaObject* various = albumFor(item->album, kVariousArtists);
        if (various != nullptr && various != entry->album) {
            moveTracks(entry, various);
        }
    }
    fileUnder(entry->album, item);
}

void media_db_albums_reset() {
    for (size_t i = 0; gFolderAlbums.slots != nullptr && i <= gFolderAlbums.mask; i++) {
        std::free(gFolderAlbums.slots[i]);
    }
    std::free(gFolderAlbums.slots);
    gFolderAlbums = FolderAlbums{};
    gUnfiled = 0;
}
