// The search-criteria reader and evaluator over arbitrary texts, against a small catalogue. The
// short-circuit evaluator is checked against a plain one that evaluates every symbol of a level
// and folds "and" before "or", first one first; a search with the catalogue's index must
// collect what the walk over every object collects.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "media_db/media_db.h"
#include "services/search.h"

namespace {

void fillCatalogue() {
    media_db_build();
    media_db_lock();
    MediaTop top = media_db_top();
    const char* texts[] = {"Help", "a\"b(c)", "",
                           "\xC5\xB8"
                           "es \xC3 \xCE\xA3"};
    for (int i = 0; i < 4; i++) {
        MediaObject* item = make_item("/m.mp3", kClassMusicTrack);
        if (item == nullptr) {
            continue;
        }
        item->title = strdup(texts[i]);
        item->artist = i == 2 ? nullptr : strdup("Band");
        item->genre = strdup("Rock");
        item->track_number = i * 7;
        media_db_append_child(top.all_tracks, item);
        MediaObject* album =
            add_child_container(texts[i][0] ? texts[i] : "x", top.albums, kClassMusicAlbum);
        add_child_reference(album, item);
    }
    media_db_unlock();
}

char foldLevel(const CriteriaProgram* program, int32_t begin, int32_t end,
               const MediaObject* object) {
    std::string symbols;
    for (int32_t i = begin; i < end; i = program->nodes[i].end) {
        const CriteriaNode& node = program->nodes[i];
        if (node.kind == kCriteriaAnd || node.kind == kCriteriaOr) {
            symbols += node.kind;
        } else if (node.kind == kCriteriaGroup) {
            symbols += foldLevel(program, i + 1, node.end, object);
        } else {
            symbols += criteria_node_value(program, i, object) ? '1' : '0';
        }
    }
    for (char connective : {'&', '|'}) {
        for (size_t at; (at = symbols.find(connective)) != std::string::npos;) {
            bool both = symbols[at - 1] == '1' && symbols[at + 1] == '1';
            bool either = symbols[at - 1] == '1' || symbols[at + 1] == '1';
            symbols.replace(at - 1, 3, 1, (connective == '&' ? both : either) ? '1' : '0');
        }
    }
    return !symbols.empty() && symbols[0] == '1' ? '1' : '0';
}

// Whether the walk and the index collect the same objects from `scope`.
bool sameMatches(const CriteriaProgram* program, const MediaObject* scope, const MediaTop& top) {
    SearchWalk walk{program, "", scope == top.root ? top.all_tracks : nullptr};
    MatchList walked = {nullptr, 0, 0};
    MatchList indexed = {nullptr, 0, 0};
    int walkStatus = search_collect(&walked, scope, &walk);
    int indexStatus = search_collect_indexed(&indexed, scope, &walk, 0);
    bool same = indexStatus == 1 || (indexStatus == walkStatus && indexed.count == walked.count);
    for (int32_t i = 0; same && indexStatus != 1 && i < walked.count; i++) {
        same = indexed.entries[i].object == walked.entries[i].object;
    }
    std::free(walked.entries);
    std::free(indexed.entries);
    return same;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        fillCatalogue();
        ready = true;
    }
    std::string criteria(reinterpret_cast<const char*>(data), size);
    CriteriaProgram program;
    criteria_compile(criteria.c_str(), &program);
    media_db_read_lock();
    MediaTop top = media_db_top();
    const MediaObject* objects[] = {top.root, top.all_tracks, top.all_tracks->first_child,
                                    top.albums->first_child, top.albums->first_child->first_child};
    for (const MediaObject* object : objects) {
        int compiled = criteria_evaluate(&program, object);
        if (compiled != criteria_match(object, criteria.c_str()) || compiled < -2 || compiled > 1) {
            __builtin_trap();
        }
        if (program.status == 2 &&
            (compiled == 1) != (foldLevel(&program, 0, program.count, object) == '1')) {
            __builtin_trap();
        }
    }
    for (const MediaObject* scope : {top.root, top.all_tracks, top.albums}) {
        if (!sameMatches(&program, scope, top)) {
            __builtin_trap();
        }
    }
    media_db_read_unlock();
    criteria_release(&program);
    return 0;
}
