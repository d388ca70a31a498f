// Sort criteria over arbitrary texts: the text-walking comparison and the parsed keys must
// order a few objects the same way, and never read past the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "media_db/media_db.h"
#include "services/sort_criteria.h"

namespace {

void fillCatalogue() {
    media_db_build();
    media_db_lock();
    MediaTop top = media_db_top();
    const char* titles[] = {"b", "a", "B", "a"};
    for (int i = 0; i < 4; i++) {
        MediaObject* item = make_item("/m.mp3", kClassMusicTrack);
        if (item == nullptr) {
            continue;
        }
        item->title = strdup(titles[i]);
        item->artist = i == 1 ? nullptr : strdup(titles[3 - i]);
        item->date = i == 2 ? nullptr : strdup("2000-01-01");
        item->track_number = 3 - i;
        media_db_append_child(top.all_tracks, item);
    }
    media_db_unlock();
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        fillCatalogue();
        ready = true;
    }
    std::string criteria(reinterpret_cast<const char*>(data), size);
    SortKeys keys;
    sort_keys_parse(criteria.c_str(), &keys);
    media_db_read_lock();
    MediaTop top = media_db_top();
    SortEntry entries[6];
    int count = 0;
    entries[count++] = SortEntry{top.albums, criteria.c_str(), 0};
    for (const MediaObject* child = top.all_tracks->first_child; child != nullptr && count < 6;
         child = child->next_sibling) {
        entries[count] = SortEntry{child, criteria.c_str(), count};
        count++;
    }
    for (int i = 0; i < count; i++) {
        for (int j = 0; j < count; j++) {
            int text = sort_entry_compare(&entries[i], &entries[j]);
            int parsed = sort_keys_compare(&keys, entries[i].object, entries[j].object);
            if (sign(text) != sign(parsed)) {
                __builtin_trap();
            }
        }
    }
    sort_select_page(entries, count, &keys, 1, 2);
    media_db_read_unlock();
    return 0;
}
