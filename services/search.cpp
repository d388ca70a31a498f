#include "services/search.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "media_db/media_db.h"
#include "runtime/upnp_error.h"
#include "services/services_internal.h"

namespace {

constexpr int32_t kInitialMatches = 50;

// Doubles the capacity (an empty list starts at kInitialMatches); the matches of a search over the
// whole catalogue run to hundreds of thousands, where fixed steps would copy the list over and
// over.
bool growList(MatchList* list) {
    int32_t capacity = list->capacity < kInitialMatches ? kInitialMatches : list->capacity * 2;
    SortEntry* entries =
        static_cast<SortEntry*>(std::malloc(sizeof(SortEntry) * static_cast<size_t>(capacity)));
    if (entries == nullptr) {
        return false;
    }
    if (list->count > 0) {
        std::memcpy(entries, list->entries, sizeof(SortEntry) * static_cast<size_t>(list->count));
    }
    std::free(list->entries);
    list->entries = entries;
    list->capacity = capacity;
    return true;
}

// Whether the search from `scope` can meet one track more than once: a file may stand in
// several playlists, or twice in one.
bool mayRepeatTracks(const MediaObject* scope, const MediaTop& top) {
    return scope == top.playlists || (scope->parent != nullptr && scope->parent == top.playlists);
}

// Drops every item or reference whose file an earlier entry already returned, keeping the
// list's order. False when memory is short.
bool dropRepeatedTracks(MatchList* list) {
    if (list->count < 2) {
        return true;
    }
    struct Seen {
        const MediaObject* item; // the file a returned item or reference stands for
        int32_t index;
    };
    Seen* seen = static_cast<Seen*>(std::malloc(sizeof(Seen) * static_cast<size_t>(list->count)));
    bool* repeated = static_cast<bool*>(std::calloc(static_cast<size_t>(list->count), 1));
    if (seen == nullptr || repeated == nullptr) {
        std::free(seen);
        std::free(repeated);
        return false;
    }
    int32_t members = 0;
    for (int32_t i = 0; i < list->count; i++) {
        const MediaObject* item = member_item(list->entries[i].object);
        if (item != nullptr) {
            seen[members++] = Seen{item, i};
        }
    }
    std::sort(seen, seen + members, [](const Seen& a, const Seen& b) {
        int order = media_db_item_path_compare(a.item, b.item);
        return order != 0 ? order < 0 : a.index < b.index;
    });
    for (int32_t i = 1; i < members; i++) {
        repeated[seen[i].index] = media_db_item_path_compare(seen[i - 1].item, seen[i].item) == 0;
    }
    int32_t kept = 0;
    for (int32_t i = 0; i < list->count; i++) {
        if (!repeated[i]) {
            list->entries[kept] = list->entries[i];
            list->entries[kept].position = kept;
            kept++;
        }
    }
    list->count = kept;
    std::free(seen);
    std::free(repeated);
    return true;
}

// Finds the container and collects the matches into `list`; 0 or a UPnP error code.
int collectMatches(const char* containerId, const char* searchCriteria, const char* sortCriteria,
                   MatchList* list) {
    const MediaObject* container = media_db_find(services_parse_id(containerId));
    if (container == nullptr || container->kind != 'c') {
        return kUpnpNoSuchContainer;
    }
    list->entries = static_cast<SortEntry*>(std::malloc(sizeof(SortEntry) * kInitialMatches));
    if (list->entries == nullptr) {
        return kUpnpOutOfMemory;
    }
    list->capacity = kInitialMatches;
    CriteriaProgram program;
    criteria_compile(searchCriteria, &program);
    MediaTop top = media_db_top();
    // From the root every track is returned as its All Tracks item; the references and
    // playlist entries that stand for it elsewhere are not even tested.
    SearchWalk walk{&program, sortCriteria, container == top.root ? top.all_tracks : nullptr};
    int status =
        program.status == 0 ? 0 : search_collect_indexed(list, container, &walk, kSearchWalkShare);
    if (status == 1) {
        status = search_collect(list, container, &walk);
    }
    criteria_release(&program);
    if (status < 0) {
        return status == -1 ? kUpnpInvalidSearchCriteria : kUpnpActionFailed;
    }
    if (mayRepeatTracks(container, top) && !dropRepeatedTracks(list)) {
        return 501;
    }
    return 0;
}

} // namespace

bool search_list_append(MatchList* list, const MediaObject* object, const char* sortCriteria) {
    if (list->count == list->capacity && !growList(list)) {
        return false;
    }
    list->entries[list->count] = SortEntry{object, sortCriteria, list->count};
    list->count++;
    return true;
}

int search_collect(MatchList* list, const MediaObject* container, const SearchWalk* walk) {
    bool skipMembers = walk->membersOnlyIn != nullptr && container != walk->membersOnlyIn;
    // A container holds either containers or members, never both: one whose first child is a
    // member has nothing left to return here.
    if (skipMembers && container->first_child != nullptr && container->first_child->kind != 'c') {
        return 0;
    }
    for (const MediaObject* child = container->first_child; child != nullptr;
         child = child->next_sibling) {
        bool isContainer = child->kind == 'c';
        if (!isContainer && skipMembers) {
            continue;
        }
        int result = criteria_evaluate(walk->program, child);
        if (result < 0) {
            return result;
        }
        if (result == 1 && !search_list_append(list, child, walk->sortCriteria)) {
            return -2;
        }
        if (isContainer) {
            int status = search_collect(list, child, walk);
            if (status < 0) {
                return status;
            }
        }
    }
    return 0;
}

int search_action(PlatformSocket socket, const char* version, const char* urlBase,
                  const char* containerId, const char* searchCriteria, const char* filter,
                  int32_t startingIndex, int32_t requestedCount, const char* sortCriteria) {
    if (containerId == nullptr) {
        return kUpnpNoSuchObject;
    }
    if (startingIndex < 0) {
        return kUpnpInvalidArgs;
    }
    media_db_read_lock();
    MatchList list = {nullptr, 0, 0};
    int code = collectMatches(containerId, searchCriteria, sortCriteria, &list);
    int32_t count = services_page_length(list.count, startingIndex, requestedCount);
    ServicesAnswer answer;
    if (code == 0 &&
        !services_answer_open(&answer, socket, version, urlBase, "SearchResponse", filter, true)) {
        code = kUpnpOutOfMemory;
    }
    if (code != 0) {
        std::free(list.entries);
        media_db_read_unlock();
        return code;
    }
    SortKeys keys;
    sort_keys_parse(sortCriteria, &keys);
    sort_select_page(list.entries, list.count, &keys, startingIndex, count);
    services_answer_begin(&answer);
    for (int32_t i = 0; i < count; i++) {
        services_answer_object(&answer, list.entries[startingIndex + i].object);
    }
    std::free(list.entries);
    code = services_answer_finish(&answer, count, list.count);
    media_db_read_unlock();
    return code;
}
