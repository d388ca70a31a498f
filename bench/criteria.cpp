// What hostile search criteria cost: time and peak-RSS growth of reading them, and the
// evaluation time per object of the largest criteria that is still read.
//
//   bench_criteria [TRACKS]   (default 10,000 tracks in All Tracks)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "media_db/media_db.h"
#include "services/search_criteria.h"

namespace {

using Clock = std::chrono::steady_clock;

long peakRssKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void compileFigure(const char* name, const std::string& criteria) {
    long before = peakRssKib();
    Clock::time_point start = Clock::now();
    CriteriaProgram program;
    int status = criteria_compile(criteria.c_str(), &program);
    double ms = millisecondsSince(start);
    std::printf("%-34s %8zu bytes  status %2d  %8.3f ms  %5d nodes  peak RSS %+ld KiB\n", name,
                criteria.size(), status, ms, program.count, peakRssKib() - before);
    criteria_release(&program);
}

void buildTracks(int tracks) {
    media_db_build();
    media_db_lock();
    MediaObject* all = media_db_top().all_tracks;
    char text[64];
    for (int i = 0; i < tracks; i++) {
        MediaObject* item = make_item("/m.mp3", kClassMusicTrack);
        std::snprintf(text, sizeof text, "Track %06d", i);
        item->title = strdup(text);
        item->artist = strdup(i % 3 == 0 ? "Ann" : "Bob");
        item->track_number = i % 12 + 1;
        media_db_append_child(all, item);
    }
    media_db_unlock();
}

// Evaluates `criteria` on every track; prints the time per object and the matches.
void evaluateFigure(const char* name, const std::string& criteria) {
    CriteriaProgram program;
    criteria_compile(criteria.c_str(), &program);
    media_db_read_lock();
    int objects = 0;
    int matches = 0;
    Clock::time_point start = Clock::now();
    for (const MediaObject* item = media_db_top().all_tracks->first_child; item != nullptr;
         item = item->next_sibling) {
        matches += criteria_evaluate(&program, item) == 1;
        objects++;
    }
    double ms = millisecondsSince(start);
    media_db_read_unlock();
    std::printf("%-34s %8zu bytes  %5d nodes  %8.3f ms for %d objects (%.2f us each), %d match\n",
                name, criteria.size(), program.count, ms, objects,
                objects > 0 ? ms * 1000.0 / objects : 0.0, matches);
    criteria_release(&program);
}

// `count` comparisons joined by `connective`.
std::string chain(int count, const char* comparison, const char* connective) {
    std::string text = comparison;
    for (int i = 1; i < count; i++) {
        text += connective;
        text += comparison;
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    int tracks = argc > 1 ? std::atoi(argv[1]) : 10000;
    compileFigure("1 MiB of '('", std::string(1 << 20, '('));
    compileFigure("1 MiB of '(@id = 1) or ...'", chain((1 << 20) / 13, "(@id = 1)", " or "));
    compileFigure("16 KiB of '('", std::string(kCriteriaMaxLength, '('));
    compileFigure("1,025 nodes", chain(513, "@id exists true", " or "));
    compileFigure("largest read: 1,023 nodes", chain(512, "@id exists true", " or "));

    buildTracks(tracks);
    // Every "or" of false comparisons: the whole chain is read for every object.
    evaluateFigure("512 false comparisons, or", chain(512, "dc:title = \"x\"", " or "));
    // The first comparison settles it: the rest is skipped.
    evaluateFigure("512 comparisons, first true, or", chain(512, "@id exists true", " or "));
    evaluateFigure("512 comparisons, first false, and", chain(512, "dc:title = \"x\"", " and "));
    evaluateFigure("typical", "upnp:class derivedfrom \"object.item.audioItem\" and "
                              "(dc:creator = \"Ann\" or upnp:originalTrackNumber > 6)");
    return 0;
}
