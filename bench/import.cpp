// Catalogue import figures: a generated library of 50,000 tagged tracks (or the count given as
// the argument) is read into the catalogue by the watcher's pass over a host folder; prints
// tracks per second, the share spent reading files, the resident memory the catalogue added
// (Search's index included) per track and in all, the CPU time of a pass after the library file was
// touched without a change and after a real change, and lookups per second by ObjectID number
// and by ObjectID text (with the path read out).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/measure.h"
#include "eventing/notify.h"
#include "media_db/library_import.h"
#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "media_db/search_index.h"
#include "mp3/mp3_info.h"
#include "platform/platform.h"
#include "support/fixtures_media.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Rewrites the library file with the same bytes, so only its time changes.
void touchLibrary(const std::string& folder, const std::vector<std::string>& paths) {
    fixtures::writeFile(folder + "/Plugins/ml/main.dat", fixtures::libraryFile(paths));
}

// One watcher pass; prints its wall and CPU time and what it published.
void timedPass(const char* what, const std::string& folder, LibraryWatchState* state) {
    MediaCatalogue* before = media_db_acquire();
    int32_t updateId = currentSystemUpdateId();
    Clock::time_point start = Clock::now();
    double cpu = cpuSeconds();
    bool announced = media_library_pass(folder.c_str(), state);
    cpu = cpuSeconds() - cpu;
    double wall = secondsSince(start);
    MediaCatalogue* after = media_db_acquire();
    int32_t changes = 0;
    media_db_version_changes(after, &changes);
    std::printf("%-28s %.3f s CPU, %.3f s wall; %s, SystemUpdateID %+d, %d containers changed\n",
                what, cpu, wall, before == after ? "same version" : "new version",
                currentSystemUpdateId() - updateId, before == after ? 0 : changes);
    (void)announced;
    media_db_release(after);
    media_db_release(before);
    platformReleaseFreeMemory(); // as the watcher does when no reader held the old version
}

std::vector<std::string> makeLibrary(const std::string& dir, int count) {
    std::vector<std::string> paths;
    paths.reserve(static_cast<size_t>(count));
    fixtures::Mp3Spec shape;
    shape.audio.frames = 2;
    shape.audio.xingFrames = 9000;
    for (int i = 0; i < count; i++) {
        shape.title = "Track title number " + std::to_string(i);
        shape.artist = "Artist " + std::to_string(i % 2000);
        shape.album = "Album " + std::to_string(i % 5000);
        shape.genre = "(" + std::to_string(i % 80) + ")";
        shape.year = std::to_string(1960 + i % 60);
        shape.track = std::to_string(i % 12 + 1);
        std::string path = dir + "/d" + std::to_string(i % 100) + "/t" + std::to_string(i) + ".mp3";
        fixtures::writeFile(path, fixtures::buildMp3(shape));
        paths.push_back(path);
    }
    return paths;
}

} // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 50000;
    std::string dir = fixtures::makeTempDir("bench-import");
    std::printf("generating %d tracks in %s ...\n", count, dir.c_str());
    std::vector<std::string> paths = makeLibrary(dir, count);

    // Reading alone (files in the page cache after generation), for comparison.
    Clock::time_point start = Clock::now();
    for (const std::string& path : paths) {
        Mp3Info info;
        mp3_read_info(path.c_str(), &info);
        mp3_info_release(&info);
    }
    double readSeconds = secondsSince(start);

    // The host folder: the watcher reads Plugins/ml/main.dat under it.
    std::string folder = dir + "/host";
    touchLibrary(folder, paths);
    LibraryWatchState state{};
    media_library_set_change_hook([](const MediaChange*, int32_t) { announceContentChange(); });
    long before = benchResidentBytes();
    start = Clock::now();
    double importCpu = cpuSeconds();
    media_library_pass(folder.c_str(), &state);
    double importSeconds = secondsSince(start);
    importCpu = cpuSeconds() - importCpu;
    long after = benchResidentBytes();

    std::printf("import:              %.0f tracks/s (%.3f s for %d, %.3f s CPU)\n",
                count / importSeconds, importSeconds, count, importCpu);
    std::printf("reading files alone: %.3f s (%.0f%% of the import)\n", readSeconds,
                100.0 * readSeconds / importSeconds);
    std::printf("resident memory:     %.0f bytes per track (%.1f MiB)\n",
                static_cast<double>(after - before) / count,
                static_cast<double>(after - before) / (1024.0 * 1024.0));
    // The pass above built Search's index once the tracks were visible; its share alone:
    MediaCatalogue* version = media_db_acquire();
    start = Clock::now();
    SearchIndex* index = search_index_build(version);
    double indexSeconds = secondsSince(start);
    std::printf("search index:        %.3f s (%.0f%% of the import), %.0f bytes per track\n",
                indexSeconds, 100.0 * indexSeconds / importSeconds,
                index != nullptr ? static_cast<double>(index->bytes) / count : 0.0);
    search_index_free(index);
    media_db_release(version);

    touchLibrary(folder, paths);
    timedPass("touch, no change:", folder, &state);
    // One track retagged (new size and time) and one added.
    fixtures::Mp3Spec shape;
    shape.title = "Retagged title";
    shape.artist = "Artist 1";
    shape.album = "Album 1";
    shape.genre = "(1)";
    fixtures::writeFile(paths[1], fixtures::buildMp3(shape));
    paths.push_back(dir + "/added.mp3");
    fixtures::writeFile(paths.back(), fixtures::buildMp3(shape));
    touchLibrary(folder, paths);
    timedPass("one retagged, one added:", folder, &state);
    for (int i = 0; i < 5; i++) {
        touchLibrary(folder, paths);
        timedPass("touch, no change:", folder, &state);
    }
    std::printf("resident memory now: %.0f bytes per track\n",
                static_cast<double>(benchResidentBytes() - before) / count);

    media_db_read_lock();
    MediaTop top = media_db_top();
    std::vector<int64_t> ids;
    std::vector<std::string> texts;
    for (int32_t i = 0; i < top.all_tracks->child_count; i++) {
        int64_t id = media_db_object_id(media_db_child_at(top.all_tracks, i));
        ids.push_back(id);
        texts.push_back(std::to_string(id) + ".mp3");
    }
    std::printf("containers:          %d albums, %d artists, %d genres\n", top.albums->child_count,
                top.artists->child_count, top.genres->child_count);
    const int lookups = 5000000;
    unsigned seed = 12345;
    size_t found = 0;
    start = Clock::now();
    for (int i = 0; i < lookups; i++) {
        seed = seed * 1103515245u + 12345u;
        found += media_db_find(ids[seed % ids.size()]) != nullptr ? 1 : 0;
    }
    double findSeconds = secondsSince(start);
    char path[4096];
    start = Clock::now();
    for (int i = 0; i < lookups; i++) {
        seed = seed * 1103515245u + 12345u;
        const MediaObject* item = media_db_item_for_id(texts[seed % texts.size()].c_str());
        found += media_db_item_path(item, path, sizeof path) > 0 ? 1 : 0;
    }
    double pathSeconds = secondsSince(start);
    media_db_read_unlock();
    std::printf("media_db_find:       %.1f million lookups/s\n", lookups / findSeconds / 1e6);
    std::printf("path by ObjectID text: %.1f million lookups/s\n", lookups / pathSeconds / 1e6);
    std::printf("(found %zu of %d)\n", found, 2 * lookups);

    media_library_state_release(&state);
    media_db_destroy();
    fixtures::removeTree(dir);
    return 0;
}
