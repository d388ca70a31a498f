// What Search reads instead of walking the tree: for one catalogue version, the searchable
// texts of every item and container folded to lower case and laid out contiguously, and the
// containers in depth-first order with the rows of their members, so that a criteria can be
// evaluated for all objects at once with byte searches and bit sets and the matches collected
// in the walk's order without touching the objects that do not match.
//
// Rows: 0 stands for no item (a reference without target); every item and every container has
// a row of its own; a reference reads its target's row. Built once per version on first use
// and freed with the version; a version edited in place loses its index and builds it again.
#pragma once

#include <cstdint>

#include "media_db/media_db.h"

// The searchable texts, in the order of SearchIndex::text_of.
enum SearchText { kSearchTitle, kSearchArtist, kSearchAlbum, kSearchGenre, kSearchTextCount };

// The distinct folded texts of one property, each followed by a NUL; text i starts at
// starts[i], and starts[count] is the end of the last.
struct SearchTexts {
    char* bytes;
    uint32_t* starts;
    int32_t count;
    uint32_t byte_counts[256]; // how often each byte occurs, to search for the rarest
};

struct SearchContainer {
    const MediaObject* object;
    int32_t row;
    int32_t end;          // the index after its last descendant container
    int32_t first_member; // its items and references in list order: members[first_member ...]
    int32_t member_count;
    char member_kinds; // 'i' all items, 'r' all references, 'm' mixed, 0 none
};

constexpr uint32_t kSearchRefBit = 0x80000000u; // a member entry: a reference to that row

struct SearchIndex {
    int32_t rows;
    int32_t* text_of[kSearchTextCount]; // per row: the id of its folded text, -1 when absent
    SearchTexts texts[kSearchTextCount];
    uint64_t* container_rows; // bit per row: the row is a container's
    uint8_t* class_of;        // per row: index into classes
    const char** classes;     // the distinct class texts (entry 0: nullptr, for row 0)
    int32_t class_count;
    SearchContainer* containers; // depth first from the root, the root first
    int32_t container_count;
    uint32_t* members; // a row, with kSearchRefBit for a reference
    int32_t member_count;
    // Containers by object address, for finding a search's scope.
    struct Lookup {
        const MediaObject* object;
        int32_t index;
    } * lookup;
    int64_t bytes; // memory held, for the benchmark
};

// The index of this thread's version, built on first use; nullptr when the thread writes the
// catalogue (the tree may still change), before the first build, when memory is short, or when
// a container holds both containers and members. Caller holds a pin or the read lock.
const SearchIndex* media_db_search_index();

// Builds the index of a pinned version ahead of its first Search (the watcher, once
// published).
void media_db_search_index_prepare(MediaCatalogue* version);

// The position of a container in SearchIndex::containers; -1 when not there.
int32_t search_index_container(const SearchIndex* index, const MediaObject* container);

// Builds the index of a version's tree (see media_db_search_index for when it cannot).
SearchIndex* search_index_build(const MediaCatalogue* version);

// Frees a version's index (the version is being freed or written in place).
void search_index_free(SearchIndex* index);
