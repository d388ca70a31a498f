// Figures of a large generated library, read through the host-library import as the watcher
// reads it: import time, resident memory (total and per track), Browse of the first and of a
// deep page of All Tracks, and Search `dc:title contains` from the root and from All Tracks.
//
//   bench_library [TRACKS [FOLDER [import]]]
//       default 200,000 tracks; FOLDER keeps the generated files between runs (generated again
//       when its count differs); `import` stops after the import and memory figures, for
//       profiling the import alone.
//
// The library: albums of 12 tracks in a folder of their own under the artist's folder, 2,000
// artists, 80 genres; every file is a small valid MP3 (ID3v2.3 tag, a Xing frame, one audio
// frame). One title in ten holds the word "Love".
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "common/measure.h"
#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "platform/platform.h"
#include "soap/soap_dispatch.h"
#include "support/fixtures_media.h"
#include "support/http_socket_pair.h"
#include "support/soap_exchange.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of the process so far in seconds: user, or system with `system` set.
double cpuSeconds(bool system) {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const timeval& t = system ? usage.ru_stime : usage.ru_utime;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

std::string trackPath(const std::string& dir, int i) {
    int album = i / 12;
    return dir + "/music/artist" + std::to_string(album % 2000) + "/album" + std::to_string(album) +
           "/" + std::to_string(i % 12 + 1) + " track.mp3";
}

// Writes the files and main.dat unless `dir` already holds a library of `count` tracks; returns
// the track paths.
std::vector<std::string> makeLibrary(const std::string& dir, int count) {
    std::vector<std::string> paths;
    paths.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        paths.push_back(trackPath(dir, i));
    }
    std::string marker = dir + "/generated";
    if (fixtures::readFile(marker) == std::to_string(count)) {
        return paths;
    }
    auto start = Clock::now();
    fixtures::Mp3Spec shape;
    shape.audio.frames = 1;
    shape.audio.xingFrames = 9000;
    for (int i = 0; i < count; i++) {
        int album = i / 12;
        shape.title = ((i / 7) % 10 == 3 ? "Love Song " : "Track title ") + std::to_string(i);
        shape.artist = "Artist " + std::to_string(album % 2000);
        shape.album = "Album " + std::to_string(album);
        shape.genre = "(" + std::to_string(album % 80) + ")";
        shape.year = std::to_string(1960 + album % 60);
        shape.track = std::to_string(i % 12 + 1);
        fixtures::writeFile(paths[static_cast<size_t>(i)], fixtures::buildMp3(shape));
    }
    fixtures::writeFile(dir + "/Plugins/ml/main.dat", fixtures::libraryFile(paths));
    fixtures::writeFile(dir + "/Plugins/gen_ml.ini", fixtures::settingsFile({}));
    fixtures::writeFile(marker, std::to_string(count));
    std::printf("generated %d tracks in %.1f s\n", count, msSince(start) / 1000);
    return paths;
}

// Server time of one request kind (p50 and p99 over `runs`), answered into a drained socket.
void timeRequest(PlatformSocket socket, const char* name, const char* action,
                 const std::string& body, int runs) {
    std::string soapAction =
        std::string("\"urn:schemas-upnp-org:service:ContentDirectory:1#") + action + "\"";
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        std::vector<char> text(body.begin(), body.end());
        text.push_back('\0');
        auto t0 = Clock::now();
        soap_dispatch(socket, "HTTP/1.1", "http://192.0.2.1:8080/", soapAction.c_str(),
                      text.data());
        times.push_back(msSince(t0));
    }
    std::printf("%-34s p50 %8.3f ms   p99 %8.3f ms\n", name, benchPercentile(times, 0.5),
                benchPercentile(times, 0.99));
}

} // namespace

int main(int argc, char** argv) {
    platformNetStartup();
    int count = argc > 1 ? std::atoi(argv[1]) : 200000;
    std::string dir = argc > 2 ? argv[2] : fixtures::makeTempDir("bench-library");
    // The generator's list of paths is not part of what a server holds: gone before measuring.
    makeLibrary(dir, count);

    long before = benchResidentBytes();
    LibraryWatchState state{};
    auto start = Clock::now();
    double userBefore = cpuSeconds(false);
    double systemBefore = cpuSeconds(true);
    media_library_pass(dir.c_str(), &state);
    double importMs = msSince(start);
    double importUser = cpuSeconds(false) - userBefore;
    double importSystem = cpuSeconds(true) - systemBefore;
    long after = benchResidentBytes();

    media_db_read_lock();
    MediaTop top = media_db_top();
    int tracks = top.all_tracks != nullptr ? top.all_tracks->child_count : 0;
    std::string allTracks = std::to_string(media_db_object_id(top.all_tracks));
    std::printf("tracks:          %d (%d albums, %d artists, %d genres)\n", tracks,
                top.albums->child_count, top.artists->child_count, top.genres->child_count);
    media_db_read_unlock();
    std::printf("import:          %.3f s (CPU %.3f s user, %.3f s system)\n", importMs / 1000,
                importUser, importSystem);
    std::printf("resident memory: %.1f MiB in all, %.1f MiB for the catalogue, %.0f bytes per "
                "track\n",
                static_cast<double>(after) / 1048576, static_cast<double>(after - before) / 1048576,
                static_cast<double>(after - before) / (tracks > 0 ? tracks : 1));
    if (argc > 3 && std::string(argv[3]) == "import") {
        return 0;
    }

    HttpSocketPair pair;
    if (!httpSocketPairOpen(&pair)) {
        return 1;
    }
    BenchDrain drain;
    drain.socket = pair.client;
    PlatformThread thread;
    platformThreadStart(&thread, benchDrainBody, &drain);
    std::string contains = "dc:title contains &quot;Love&quot;";
    timeRequest(pair.server, "browse All Tracks first page", "Browse",
                soapBrowseBody(allTracks, "BrowseDirectChildren", "*", 0, 50, ""), 200);
    timeRequest(pair.server, "browse All Tracks deep page", "Browse",
                soapBrowseBody(allTracks, "BrowseDirectChildren", "*", tracks - 60, 50, ""), 200);
    timeRequest(pair.server, "search title contains, All Tracks", "Search",
                soapSearchBody(allTracks, contains, "*", 0, 50, ""), 50);
    timeRequest(pair.server, "search title contains, root", "Search",
                soapSearchBody("0", contains, "*", 0, 50, ""), 50);
    timeRequest(pair.server, "search class and title, root", "Search",
                soapSearchBody("0",
                               "upnp:class = &quot;object.container.album.musicAlbum&quot; and "
                               "dc:title contains &quot;Album 12&quot;",
                               "*", 0, 50, ""),
                50);
    httpSocketPairClose(&pair);
    platformThreadJoin(thread);

    start = Clock::now();
    media_db_destroy();
    std::printf("free:            %.3f s\n", msSince(start) / 1000);
    if (argc <= 2) {
        fixtures::removeTree(dir);
    }
    return 0;
}
