// The order containers list their children in when a control point asks for none. It is fixed
// once per build, so a listing without SortCriteria is read straight off the child list: paging
// stays cheap and every page agrees with the others.
#include "media_db/media_db.h"

#include <algorithm>

#include "media_db/media_db_internal.h"
#include "runtime/ascii.h"

namespace {

using Order = bool (*)(const MediaObject* a, const MediaObject* b);

// The item whose values a child shows: a reference shows its target's.
const MediaObject* shown(const MediaObject* object) {
    return object->kind == 'r' && object->target != nullptr ? object->target : object;
}

// Titles as a listener reads them: letter case aside; an absent text reads as empty.
int compareTitles(const char* a, const char* b) {
    return asciiCompareNoCase(a != nullptr ? a : "", b != nullptr ? b : "");
}

// Numbered tracks first, in number order; 0 means the tag gave none.
int compareNumbers(int32_t a, int32_t b) {
    if (a == b) {
        return 0;
    }
    if (a == 0 || b == 0) {
        return a == 0 ? 1 : -1;
    }
    return a < b ? -1 : 1;
}

// The disc a track is on; 0 when the tag names none.
int32_t discOf(const MediaObject* item) {
    return item->disc_number;
}

// Albums list disc by disc, each disc by track number.
int compareInAlbum(const MediaObject* a, const MediaObject* b) {
    int order = compareNumbers(discOf(a), discOf(b));
    if (order == 0) {
        order = compareNumbers(a->track_number, b->track_number);
    }
    return order != 0 ? order : compareTitles(a->title, b->title);
}

bool byTitle(const MediaObject* a, const MediaObject* b) {
    return compareTitles(shown(a)->title, shown(b)->title) < 0;
}

bool byDiscAndTrack(const MediaObject* a, const MediaObject* b) {
    return compareInAlbum(shown(a), shown(b)) < 0;
}

bool byAlbumThenTrack(const MediaObject* a, const MediaObject* b) {
    const MediaObject* itemA = shown(a);
    const MediaObject* itemB = shown(b);
    int order = compareTitles(itemA->album, itemB->album);
    return (order != 0 ? order : compareInAlbum(itemA, itemB)) < 0;
}

// Sorts a container's children, ties in the order they were added (the host library's order),
// and relinks its child list to match; without an order the list takes the order of addition.
// Before its first ordering a container's array holds its children in the order of addition,
// whichever end the list grew at; afterwards in list order.
void orderChildren(MediaObject* container, Order order) {
    if (container == nullptr || container->child_count == 0) {
        return;
    }
    MediaObject** children = container->children;
    int32_t count = container->child_count;
    if (order != nullptr) {
        std::stable_sort(children, children + count, order);
    }
    container->first_child = children[0];
    for (int32_t i = 0; i < count; i++) {
        children[i]->next_sibling = i + 1 < count ? children[i + 1] : nullptr;
    }
    container->children_appended = 1;
}

void orderGroups(MediaObject* groups, Order members) {
    if (groups == nullptr) {
        return;
    }
    orderChildren(groups, byTitle);
    for (MediaObject* group = groups->first_child; group != nullptr; group = group->next_sibling) {
        orderChildren(group, members);
    }
}

} // namespace

void media_db_order_catalogue() {
    media_db_lock();
    MediaTop top = media_db_top();
    orderChildren(top.all_tracks, byTitle);
    orderGroups(top.albums, byDiscAndTrack);
    orderGroups(top.artists, byAlbumThenTrack);
    orderGroups(top.genres, byAlbumThenTrack);
    // Playlists in the order the host lists them; each keeps its file's order.
    orderChildren(top.playlists, nullptr);
    media_db_unlock();
}
