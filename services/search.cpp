#include "services/search.h"

#include <cstdlib>
#include <cstring>

#include "media_db/media_db.h"
#include "runtime/upnp_error.h"
#include "services/services_internal.h"

namespace {

constexpr int32_t kInitialMatches = 50;

// Doubles the capacity; the matches of a search over the whole catalogue run to hundreds of
// thousands, where fixed steps would copy the list over and over.
bool growList(MatchList* list) {
    int32_t capacity = list->capacity * 2;
    SortEntry* entries =
        static_cast<SortEntry*>(std::malloc(sizeof(SortEntry) * static_cast<size_t>(capacity)));
    if (entries == nullptr) {
        return false;
    }
    std::memcpy(entries, list->entries, sizeof(SortEntry) * static_cast<size_t>(list->count));
    std::free(list->entries);
    list->entries = entries;
    list->capacity = capacity;
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
    int status = program.status == 0 ? 0 : search_collect(list, container, &program, sortCriteria);
    criteria_release(&program);
    if (status < 0) {
        return status == -1 ? kUpnpInvalidSearchCriteria : kUpnpActionFailed;
    }
    return 0;
}

} // namespace

int search_collect(MatchList* list, const MediaObject* container, const CriteriaProgram* program,
                   const char* sortCriteria) {
    for (const MediaObject* child = container->first_child; child != nullptr;
         child = child->next_sibling) {
        int result = criteria_evaluate(program, child);
        if (result < 0) {
            return result;
        }
        if (result == 1) {
            if (list->count == list->capacity && !growList(list)) {
                return -2;
            }
            list->entries[list->count] = SortEntry{child, sortCriteria, list->count};
            list->count++;
        }
        if (child->kind == 'c') {
            int status = search_collect(list, child, program, sortCriteria);
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
    services_answer_finish(&answer, count, list.count);
    media_db_read_unlock();
    return 0;
}
