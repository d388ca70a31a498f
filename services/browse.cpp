#include "services/browse.h"

#include <cstdlib>

#include "media_db/media_db.h"
#include "runtime/upnp_error.h"
#include "services/services_internal.h"
#include "services/sort_criteria.h"

namespace {

// The object an ObjectID names, or nullptr. Caller holds the read lock.
MediaObject* findObject(const char* objectId) {
    return media_db_find(services_parse_id(objectId));
}

// Writes the page in list order: no key to sort by, so every order is as good and list order
// needs neither an entry array nor a walk to the starting index.
int32_t writeListPage(ServicesAnswer* answer, const MediaObject* container, int32_t start,
                      int32_t requested) {
    int32_t count = 0;
    for (int32_t index = start;
         (count < requested || requested == 0) && index < container->child_count;
         index++, count++) {
        services_answer_object(answer, media_db_child_at(container, index));
    }
    return count;
}

// Fills and orders the entries of the page; nullptr when memory is short.
SortEntry* sortedChildren(const MediaObject* container, const char* sortCriteria,
                          const SortKeys* keys, int32_t start, int32_t count, int32_t* filled) {
    int32_t total = container->child_count;
    SortEntry* entries =
        static_cast<SortEntry*>(std::malloc(sizeof(SortEntry) * (total > 0 ? total : 1)));
    if (entries == nullptr) {
        return nullptr;
    }
    int32_t index = 0;
    for (const MediaObject* child = container->first_child; child != nullptr && index < total;
         child = child->next_sibling, index++) {
        entries[index] = SortEntry{child, sortCriteria, index};
    }
    // The list and child_count agree; should they not, no unfilled entry is ever read.
    *filled = index;
    sort_select_page(entries, index, keys, start, count);
    return entries;
}

} // namespace

int browse_direct_children(PlatformSocket socket, const char* version, const char* urlBase,
                           const char* objectId, const char* filter, int32_t startingIndex,
                           int32_t requestedCount, const char* sortCriteria) {
    if (objectId == nullptr) {
        return kUpnpNoSuchObject;
    }
    media_db_read_lock();
    MediaObject* container = findObject(objectId);
    int code = 0;
    if (container == nullptr) {
        code = kUpnpNoSuchObject;
    } else if (container->kind != 'c' || startingIndex < 0) {
        code = kUpnpInvalidArgs;
    }
    SortKeys keys;
    sort_keys_parse(sortCriteria, &keys);
    SortEntry* entries = nullptr;
    int32_t count = 0;
    if (code == 0) {
        count = services_page_length(container->child_count, startingIndex, requestedCount);
        if (keys.count > 0 && count > 0) {
            int32_t filled = 0;
            entries = sortedChildren(container, sortCriteria, &keys, startingIndex, count, &filled);
            code = entries == nullptr ? kUpnpOutOfMemory : 0;
            count = services_page_length(filled, startingIndex, count);
        }
    }
    ServicesAnswer answer;
    if (code == 0 &&
        !services_answer_open(&answer, socket, version, urlBase, "BrowseResponse", filter, true)) {
        code = kUpnpOutOfMemory;
    }
    if (code != 0) {
        std::free(entries);
        media_db_read_unlock();
        return code;
    }
    services_answer_begin(&answer);
    if (entries != nullptr) {
        for (int32_t i = 0; i < count; i++) {
            services_answer_object(&answer, entries[startingIndex + i].object);
        }
    } else {
        count = writeListPage(&answer, container, startingIndex, requestedCount);
    }
    std::free(entries);
    code = services_answer_finish(&answer, count, container->child_count);
    media_db_read_unlock();
    return code;
}

int browse_metadata(PlatformSocket socket, const char* version, const char* urlBase,
                    const char* objectId, const char* filter) {
    if (objectId == nullptr) {
        return kUpnpNoSuchObject;
    }
    media_db_read_lock();
    MediaObject* object = findObject(objectId);
    ServicesAnswer answer;
    int code = object == nullptr ? kUpnpNoSuchObject : 0;
    // Never chunked, whatever the request's version.
    if (code == 0 &&
        !services_answer_open(&answer, socket, version, urlBase, "BrowseResponse", filter, false)) {
        code = kUpnpOutOfMemory;
    }
    if (code != 0) {
        media_db_read_unlock();
        return code;
    }
    services_answer_begin(&answer);
    services_answer_object(&answer, object);
    code = services_answer_finish(&answer, 1, 1);
    media_db_read_unlock();
    return code;
}
