// Browse and Search figures on a synthetic catalogue (default 50,000 tracks: 25 genres of
// 2,000, albums of 12, artists of 50; one title in ten, in every genre, holds the word "Love").
//
//   bench_browse local [TRACKS]        server time of each scenario in this process: the
//                                      dispatcher answers into a loopback socket that a thread
//                                      drains; prints p50/p99 per scenario.
//   bench_browse serve ADDRESS [TRACKS] HTTP server on ADDRESS (port 8080 up) without SSDP; prints
//                                      "listening PORT" and serves until standard input ends.
//   bench_browse get ADDRESS PORT [COUNT [CLIENTS]]
//                                      GETs of the device description (default 2,000 from one
//                                      client): p50/p99 and rate.
//   bench_browse load ADDRESS PORT     latency (p50/p99) and throughput at 1, 8 and 32
//                                      concurrent clients per scenario, then the same at 8
//                                      clients while one more client stops reading mid-answer.
//   serve/load ... TRACKS library      the server reads a generated library of tagged files
//                                      through the watcher's pass and rebuilds it once a second
//                                      (one track added or removed), printing each rebuild's
//                                      time; the load runs All Tracks pages at 8 clients in pairs
//                                      of rounds without and with a client stalled on the whole
//                                      All Tracks listing, printing each round's time window and
//                                      the median over the pairs of the p99 ratios.
// Every run is bounded: fixed request counts, socket time-outs, and a deadline per level.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "common/measure.h"
#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "media_db/search_index.h"
#include "platform/platform.h"
#include "server/http_server.h"
#include "services/search.h"
#include "soap/soap_dispatch.h"
#include "support/fixtures_media.h"
#include "support/http_socket_pair.h"
#include "support/soap_exchange.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Ids {
    std::string allTracks, genre, item;
};

Ids buildCatalogue(int tracks) {
    media_db_build();
    media_db_lock();
    MediaTop top = media_db_top();
    char text[128];
    for (int i = 0; i < tracks; i++) {
        std::snprintf(text, sizeof text, "/music/%06d.mp3", i);
        MediaObject* item = make_item(text, kClassMusicTrack);
        std::snprintf(text, sizeof text, (i / 25) % 10 == 3 ? "Love Song %06d" : "Track %06d",
                      (i * 7919) % tracks);
        item->title = strdup(text);
        std::snprintf(text, sizeof text, "Artist %04d", i % 1000);
        item->artist = strdup(text);
        std::snprintf(text, sizeof text, "Album %05d", i / 12);
        item->album = strdup(text);
        std::snprintf(text, sizeof text, "Genre %02d", i % 25);
        item->genre = strdup(text);
        item->date = strdup("2001-01-01");
        item->duration = strdup("0:03:21.000");
        item->size = 3000000 + i;
        item->track_number = i % 12 + 1;
        media_db_append_child(top.all_tracks, item);
        struct {
            MediaObject* groups;
            const char* title;
            const char* upnpClass;
        } files[] = {{top.albums, item->album, kClassMusicAlbum},
                     {top.artists, item->artist, kClassMusicArtist},
                     {top.genres, item->genre, kClassMusicGenre}};
        for (auto& file : files) {
            MediaObject* group = find_child_by_title(file.title, file.groups);
            if (group == nullptr) {
                group = add_child_container(file.title, file.groups, file.upnpClass);
            }
            add_child_reference(group, item);
        }
    }
    media_db_unlock();
    // As the importer leaves it: in its default order.
    media_db_order_catalogue();
    media_db_lock();
    Ids ids;
    ids.allTracks = std::to_string(media_db_object_id(top.all_tracks));
    ids.genre = std::to_string(media_db_object_id(top.genres->first_child));
    ids.item = std::to_string(media_db_object_id(top.all_tracks->first_child));
    media_db_unlock();
    return ids;
}

struct Scenario {
    const char* name;
    std::string action; // "Browse" or "Search"
    std::string body;
};

std::vector<Scenario> scenarios(const Ids& ids, int tracks) {
    int genreSize = tracks / 25;
    std::string contains = "dc:title contains &quot;Love&quot;";
    return {
        {"browse 2k first page", "Browse",
         soapBrowseBody(ids.genre, "BrowseDirectChildren", "*", 0, 50, "")},
        {"browse 2k deep page", "Browse",
         soapBrowseBody(ids.genre, "BrowseDirectChildren", "*", genreSize - 50, 50, "")},
        {"browse 2k first sorted", "Browse",
         soapBrowseBody(ids.genre, "BrowseDirectChildren", "*", 0, 50, "+dc:title")},
        {"browse 2k deep sorted", "Browse",
         soapBrowseBody(ids.genre, "BrowseDirectChildren", "*", genreSize - 50, 50, "+dc:title")},
        {"browse 50k first page", "Browse",
         soapBrowseBody(ids.allTracks, "BrowseDirectChildren", "*", 0, 50, "")},
        {"browse 50k deep page", "Browse",
         soapBrowseBody(ids.allTracks, "BrowseDirectChildren", "*", tracks - 50, 50, "")},
        {"browse metadata", "Browse", soapBrowseBody(ids.item, "BrowseMetadata", "*", 0, 0, "")},
        {"search 2k contains", "Search", soapSearchBody(ids.genre, contains, "*", 0, 50, "")},
        {"search 50k contains", "Search", soapSearchBody(ids.allTracks, contains, "*", 0, 50, "")},
        {"search 50k deep sorted", "Search",
         soapSearchBody(ids.allTracks, contains, "*", tracks / 10 - 50, 50, "+dc:title")},
        {"search root contains", "Search", soapSearchBody("0", contains, "*", 0, 50, "")},
        {"search root artist", "Search",
         soapSearchBody("0", "upnp:artist contains &quot;artist 01&quot;", "*", 0, 50, "")},
        {"search root album", "Search",
         soapSearchBody("0", "upnp:album contains &quot;album 0001&quot;", "*", 0, 50, "")},
        {"search root genre", "Search",
         soapSearchBody("0", "upnp:genre contains &quot;genre 07&quot;", "*", 0, 50, "")},
        // The Windows Media Player library walk, one page from the middle.
        {"search root wmp page", "Search",
         soapSearchBody("0",
                        "upnp:class derivedfrom &quot;object.item.audioItem&quot; and "
                        "@refID exists false",
                        "*", tracks / 2, 200,
                        "+upnp:artist,+upnp:album,+upnp:originalTrackNumber,+dc:title")},
    };
}

std::string soapAction(const std::string& action) {
    return "\"urn:schemas-upnp-org:service:ContentDirectory:1#" + action + "\"";
}

// ---- local: server time --------------------------------------------------------------------

// Milliseconds per collection of one criteria's matches (p50 of `rounds`); *count receives
// the matches.
double collectMs(const MediaObject* scope, const char* criteria, bool indexed, int rounds,
                 int32_t* count) {
    CriteriaProgram program;
    criteria_compile(criteria, &program);
    MediaTop top = media_db_top();
    SearchWalk walk{&program, "", scope == top.root ? top.all_tracks : nullptr};
    std::vector<double> times;
    for (int i = 0; i < rounds; i++) {
        MatchList list = {nullptr, 0, 0};
        auto t0 = Clock::now();
        int status = indexed ? search_collect_indexed(&list, scope, &walk, kSearchWalkShare) : 1;
        if (status == 1) {
            status = search_collect(&list, scope, &walk);
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        *count = list.count;
        std::free(list.entries);
    }
    criteria_release(&program);
    return benchPercentile(times, 0.5);
}

// The search index: its build time and size, then the time to collect the matches of each
// criteria by walking every object and with the index, in the same run.
void printSearchCollect(int tracks) {
    media_db_read_lock();
    auto t0 = Clock::now();
    const SearchIndex* index = media_db_search_index();
    double buildMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (index == nullptr) {
        std::printf("search index: none\n");
        media_db_read_unlock();
        return;
    }
    std::printf("search index: built in %.1f ms, %lld bytes, %.1f bytes per track\n", buildMs,
                static_cast<long long>(index->bytes), static_cast<double>(index->bytes) / tracks);
    MediaTop top = media_db_top();
    struct {
        const char* name;
        const MediaObject* scope;
        const char* criteria;
    } cases[] = {
        {"root title contains", top.root, "dc:title contains \"love\""},
        {"root artist contains", top.root, "upnp:artist contains \"artist 01\""},
        {"root album contains", top.root, "upnp:album contains \"album 0001\""},
        {"root genre contains", top.root, "upnp:genre contains \"genre 07\""},
        {"root title rare", top.root, "dc:title contains \"song 000123\""},
        {"all tracks title", top.all_tracks, "dc:title contains \"Love\""},
        {"albums title", top.albums, "dc:title contains \"love\""},
        {"root any of four", top.root,
         "dc:title contains \"zz\" or upnp:artist contains \"zz\" or upnp:album contains "
         "\"zz\" or upnp:genre contains \"zz\""},
        {"root audio items", top.root,
         "upnp:class derivedfrom \"object.item.audioItem\" and @refID exists false"},
        {"root albums by class", top.root, "upnp:class = \"object.container.album.musicAlbum\""},
    };
    std::printf("%-26s %10s %10s %8s\n", "collect (p50 ms)", "walk", "index", "matches");
    for (const auto& c : cases) {
        int32_t walked = 0;
        int32_t found = 0;
        double walk = collectMs(c.scope, c.criteria, false, 21, &walked);
        double indexed = collectMs(c.scope, c.criteria, true, 21, &found);
        std::printf("%-26s %10.3f %10.3f %8d%s\n", c.name, walk, indexed, found,
                    walked == found ? "" : " (walk differs)");
    }
    media_db_read_unlock();
}

int runLocal(int tracks) {
    auto started = Clock::now();
    Ids ids = buildCatalogue(tracks);
    std::printf("catalogue: %d tracks built in %.0f ms\n", tracks,
                std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    printSearchCollect(tracks);
    HttpSocketPair pair;
    if (!httpSocketPairOpen(&pair)) {
        return 1;
    }
    BenchDrain drain;
    drain.socket = pair.client;
    PlatformThread thread;
    platformThreadStart(&thread, benchDrainBody, &drain);
    std::printf("%-26s %10s %10s %10s %8s\n", "server time (1 thread)", "p50 ms", "p99 ms", "bytes",
                "matches");
    for (const Scenario& s : scenarios(ids, tracks)) {
        std::vector<double> times;
        long long before = drain.bytes;
        for (int i = 0; i < 200; i++) {
            std::vector<char> body(s.body.begin(), s.body.end());
            body.push_back('\0');
            auto t0 = Clock::now();
            soap_dispatch(pair.server, "HTTP/1.1", "http://192.0.2.1:8080/",
                          soapAction(s.action).c_str(), body.data());
            times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        platformSleepMs(50);
        std::vector<char> body(s.body.begin(), s.body.end());
        body.push_back('\0');
        std::string raw = soapServe([&](PlatformSocket socket) {
            soap_dispatch(socket, "HTTP/1.0", "http://x/", soapAction(s.action).c_str(),
                          body.data());
        });
        if (std::getenv("BENCH_SHOW") != nullptr) {
            std::printf("%s\n", raw.substr(0, 1500).c_str());
        }
        std::printf("%-26s %10.3f %10.3f %10lld %8s\n", s.name, benchPercentile(times, 0.5),
                    benchPercentile(times, 0.99), (drain.bytes - before) / 200,
                    soapElement(raw, "TotalMatches").c_str());
    }
    httpSocketPairClose(&pair);
    platformThreadJoin(thread);
    return 0;
}

// ---- library: the watcher's pass rebuilds a served catalogue once a second --------------------

long long epochMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct HostLibrary {
    std::string dir;
    std::string folder; // the host folder: Plugins/ml/main.dat lies under it
    std::vector<std::string> paths;
    LibraryWatchState state{};
    std::atomic<int> stop{0};
    PlatformThread thread{};
};

void writeLibrary(const HostLibrary& library, bool withExtra) {
    std::vector<std::string> paths = library.paths;
    if (withExtra) {
        paths.push_back(library.paths.front()); // a second item for the first file
    }
    fixtures::writeFile(library.folder + "/Plugins/ml/main.dat", fixtures::libraryFile(paths));
}

// Once a second: one track more or one less, then the watcher's pass; prints
// "rebuild EPOCH_MS DURATION_MS PUBLISHED".
void rebuildBody(void* arg) {
    auto* library = static_cast<HostLibrary*>(arg);
    for (int round = 0; library->stop.load() == 0; round++) {
        for (int slept = 0; slept < 1000 && library->stop.load() == 0; slept += 50) {
            platformSleepMs(50);
        }
        writeLibrary(*library, round % 2 == 0);
        auto t0 = Clock::now();
        bool published = media_library_pass(library->folder.c_str(), &library->state);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        std::printf("rebuild %lld %.1f %d\n", epochMs(), ms, published ? 1 : 0);
        std::fflush(stdout);
    }
}

// Tagged files shaped like buildCatalogue's catalogue, read through the watcher's first pass.
bool buildLibrary(HostLibrary* library, int tracks) {
    library->dir = fixtures::makeTempDir("bench-browse");
    library->folder = library->dir + "/host";
    fixtures::Mp3Spec shape;
    shape.audio.frames = 2;
    char text[128];
    for (int i = 0; i < tracks; i++) {
        std::snprintf(text, sizeof text, (i / 25) % 10 == 3 ? "Love Song %06d" : "Track %06d",
                      (i * 7919) % tracks);
        shape.title = text;
        shape.artist = "Artist " + std::to_string(i % 1000);
        shape.album = "Album " + std::to_string(i / 12);
        shape.genre = "Genre " + std::to_string(i % 25);
        std::string path =
            library->dir + "/m/" + std::to_string(i % 100) + "/" + std::to_string(i) + ".mp3";
        fixtures::writeFile(path, fixtures::buildMp3(shape));
        library->paths.push_back(path);
    }
    writeLibrary(*library, false);
    auto t0 = Clock::now();
    bool built = media_library_pass(library->folder.c_str(), &library->state);
    std::printf("library: %d tracks read in %.0f ms\n", tracks,
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    return built && platformThreadStart(&library->thread, rebuildBody, library) == 0;
}

// ---- serve -----------------------------------------------------------------------------------

int runServe(const char* address, int tracks, bool fromLibrary) {
    HostLibrary library;
    if (!fromLibrary) {
        buildCatalogue(tracks);
    } else if (!buildLibrary(&library, tracks)) {
        std::fprintf(stderr, "library not built\n");
        return 1;
    }
    uint32_t ip = 0;
    if (platformResolveIpv4(address, &ip) != 0) {
        return 1;
    }
    static std::atomic<PlatformSocket> listener{0};
    listener = httpOpenListener(ip);
    Ipv4Endpoint local;
    if (listener == 0 || platformSocketLocalName(listener, &local) != 0) {
        std::fprintf(stderr, "no listener\n");
        return 1;
    }
    PlatformThread accept;
    platformThreadStart(&accept, httpAcceptThread, &listener);
    std::printf("listening %d\n", local.port);
    std::fflush(stdout);
    char line[64];
    // Each line read prints the process's CPU time so far (user and system), in microseconds.
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        long long us = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL +
                       usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
        std::printf("cpu %lld\n", us);
        std::fflush(stdout);
    }
    PlatformSocket s = listener.exchange(0);
    platformSocketClose(s);
    platformThreadJoin(accept);
    if (fromLibrary) {
        library.stop = 1;
        platformThreadJoin(library.thread);
        media_library_state_release(&library.state);
        fixtures::removeTree(library.dir);
    }
    return 0;
}

// ---- load ------------------------------------------------------------------------------------

struct Target {
    uint32_t address;
    uint16_t port;
};

std::string request(const Target& target, const Scenario& s) {
    char host[16];
    platformAddressText(target.address, host);
    return "POST /control/ContentDirectory HTTP/1.1\r\nHOST: " + std::string(host) + ":" +
           std::to_string(target.port) +
           "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nCONTENT-LENGTH: " +
           std::to_string(s.body.size()) + "\r\nSOAPACTION: " + soapAction(s.action) + "\r\n\r\n" +
           s.body;
}

// One request on a new connection; the time until the server closed it, or -1.
double timedRequest(const Target& target, const std::string& text) {
    auto t0 = Clock::now();
    PlatformSocket s = platformSocketTcp();
    if (s == kPlatformInvalidSocket) {
        return -1;
    }
    bool ok = platformSocketConnect(s, target.address, target.port, 5000) == 0 &&
              platformSocketSetTimeouts(s, 10000, 10000) == 0 && httpSendText(s, text);
    long long bytes = 0;
    char block[65536];
    while (ok) {
        int n = platformSocketRecv(s, block, sizeof block);
        if (n < 0) {
            ok = false;
        }
        if (n <= 0) {
            break;
        }
        bytes += n;
    }
    platformSocketClose(s);
    if (!ok || bytes == 0) {
        return -1;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Worker {
    const Target* target;
    const std::string* text;
    int requests;
    Clock::time_point deadline;
    std::vector<double> times;
    int failures = 0;
};

void workerBody(void* arg) {
    auto* w = static_cast<Worker*>(arg);
    for (int i = 0; i < w->requests && Clock::now() < w->deadline; i++) {
        double ms = timedRequest(*w->target, *w->text);
        if (ms < 0) {
            w->failures++;
        } else {
            w->times.push_back(ms);
        }
    }
}

// Runs one scenario at `clients` concurrent clients, prints its figures and returns the
// latencies.
std::vector<double> runLevel(const Target& target, const Scenario& s, int clients, int perClient) {
    std::string text = request(target, s);
    std::vector<Worker> workers(static_cast<size_t>(clients));
    std::vector<PlatformThread> threads(static_cast<size_t>(clients));
    auto t0 = Clock::now();
    for (int i = 0; i < clients; i++) {
        workers[i] = Worker{&target, &text, perClient, t0 + std::chrono::seconds(60), {}, 0};
        platformThreadStart(&threads[i], workerBody, &workers[i]);
    }
    std::vector<double> all;
    int failures = 0;
    for (int i = 0; i < clients; i++) {
        platformThreadJoin(threads[i]);
        all.insert(all.end(), workers[i].times.begin(), workers[i].times.end());
        failures += workers[i].failures;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("%-26s %4d %9.3f %9.3f %10.0f %6d\n", s.name, clients, benchPercentile(all, 0.5),
                benchPercentile(all, 0.99), static_cast<double>(all.size()) / seconds, failures);
    std::fflush(stdout);
    return all;
}

// A client that asks for the whole All Tracks listing and then stops reading.
PlatformSocket stalledClient(const Target& target, const std::string& allTracks) {
    Scenario whole{"whole listing", "Browse",
                   soapBrowseBody(allTracks, "BrowseDirectChildren", "*", 0, 0, "")};
    PlatformSocket s = platformSocketTcp();
    if (platformSocketConnect(s, target.address, target.port, 5000) != 0 ||
        !httpSendText(s, request(target, whole))) {
        platformSocketClose(s);
        return kPlatformInvalidSocket;
    }
    char block[1024];
    platformSocketRecv(s, block, sizeof block); // the answer has started
    return s;
}

int runLoad(const char* address, int port, int tracks) {
    Target target{0, static_cast<uint16_t>(port)};
    if (platformResolveIpv4(address, &target.address) != 0) {
        return 1;
    }
    // The ids are the same as the server's: both build the same catalogue from handle 1.
    Ids ids = buildCatalogue(tracks);
    std::printf("%-26s %4s %9s %9s %10s %6s\n", "scenario", "cli", "p50 ms", "p99 ms", "req/s",
                "fail");
    for (const Scenario& s : scenarios(ids, tracks)) {
        for (int clients : {1, 8, 32}) {
            runLevel(target, s, clients, clients == 1 ? 200 : 1600 / clients);
        }
    }
    // The same scenarios back to back without and with a stalled reader, so that both runs
    // see the same machine load.
    auto stalledRound = [&](bool stall) {
        std::printf("-- 8 clients, %s --\n",
                    stall ? "one more client stops reading mid-answer" : "baseline");
        PlatformSocket stalled =
            stall ? stalledClient(target, ids.allTracks) : kPlatformInvalidSocket;
        if (stall && stalled == kPlatformInvalidSocket) {
            std::printf("stalled client could not start\n");
        }
        for (const Scenario& s : scenarios(ids, tracks)) {
            if (std::strstr(s.name, "first page") != nullptr ||
                std::strstr(s.name, "2k contains") != nullptr) {
                runLevel(target, s, 8, 200);
            }
        }
        platformSocketClose(stalled);
    };
    stalledRound(false);
    stalledRound(true);
    return 0;
}

// Against a server that rebuilds its library once a second: All Tracks pages at 8 clients,
// without and with a client stalled on the whole listing, in pairs of rounds of a fixed request
// count (ABBA: every other pair runs the stalled round first, so a drift in machine load favours
// neither). Each pair gives the ratio stalled / baseline of each scenario's p99; the median of
// those ratios is robust to a pair that a burst of load on a shared machine spoiled. Prints
// "round NAME START_MS END_MS PAIR" around each round, from which browse_bench.sh pairs the
// rebuild times the same way.
double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

int runLibraryLoad(const Target& target, int tracks) {
    constexpr int kPairs = 6;
    std::string allTracks = std::to_string(kIdAllTracks);
    std::vector<Scenario> pages = {
        {"all tracks first page", "Browse",
         soapBrowseBody(allTracks, "BrowseDirectChildren", "*", 0, 50, "")},
        {"all tracks deep page", "Browse",
         soapBrowseBody(allTracks, "BrowseDirectChildren", "*", tracks - 50, 50, "")},
        {"root", "Browse", soapBrowseBody("0", "BrowseDirectChildren", "*", 0, 0, "")},
    };
    std::printf("%-26s %4s %9s %9s %10s %6s\n", "scenario", "cli", "p50 ms", "p99 ms", "req/s",
                "fail");
    std::vector<double> pooled[2][3];
    std::vector<double> ratios[3];
    for (int pair = 0; pair < kPairs; pair++) {
        double p99[2][3] = {};
        for (int half = 0; half < 2; half++) {
            bool stall = (half == 1) != (pair % 2 == 1);
            std::printf("-- pair %d, 8 clients, %s --\n", pair,
                        stall ? "one more client stops reading mid-answer" : "baseline");
            PlatformSocket stalled =
                stall ? stalledClient(target, allTracks) : kPlatformInvalidSocket;
            if (stall && stalled == kPlatformInvalidSocket) {
                std::printf("stalled client could not start\n");
            }
            long long start = epochMs();
            for (size_t i = 0; i < pages.size(); i++) {
                std::vector<double> times = runLevel(target, pages[i], 8, 300);
                p99[stall][i] = benchPercentile(times, 0.99);
                pooled[stall][i].insert(pooled[stall][i].end(), times.begin(), times.end());
            }
            std::printf("round %s %lld %lld %d\n", stall ? "stalled" : "baseline", start, epochMs(),
                        pair);
            platformSocketClose(stalled);
        }
        for (size_t i = 0; i < pages.size(); i++) {
            if (p99[0][i] > 0) {
                ratios[i].push_back(p99[1][i] / p99[0][i]);
            }
        }
    }
    std::printf("%-26s %10s %10s %10s %10s %14s\n", "over all rounds", "base p50", "base p99",
                "stall p50", "stall p99", "median p99 x");
    for (size_t i = 0; i < pages.size(); i++) {
        std::printf("%-26s %10.3f %10.3f %10.3f %10.3f %14.3f\n", pages[i].name,
                    benchPercentile(pooled[0][i], 0.5), benchPercentile(pooled[0][i], 0.99),
                    benchPercentile(pooled[1][i], 0.5), benchPercentile(pooled[1][i], 0.99),
                    median(ratios[i]));
    }
    std::printf("(median p99 x: the median over %d pairs of stalled p99 / baseline p99)\n", kPairs);
    return 0;
}

// `count` GETs of the device description from `clients` concurrent clients (one after another
// on each); prints their p50, p99 and rate.
int runGet(const char* address, int port, int count, int clients) {
    Target target{0, static_cast<uint16_t>(port)};
    if (platformResolveIpv4(address, &target.address) != 0 || clients < 1) {
        return 1;
    }
    char host[16];
    platformAddressText(target.address, host);
    std::string text = "GET /DeviceDescription.xml HTTP/1.1\r\nHOST: " + std::string(host) + ":" +
                       std::to_string(port) + "\r\n\r\n";
    std::vector<Worker> workers(static_cast<size_t>(clients));
    std::vector<PlatformThread> threads(static_cast<size_t>(clients));
    auto t0 = Clock::now();
    for (int i = 0; i < clients; i++) {
        workers[i] = Worker{&target, &text, count / clients, t0 + std::chrono::seconds(60), {}, 0};
        platformThreadStart(&threads[i], workerBody, &workers[i]);
    }
    std::vector<double> times;
    int failures = 0;
    for (int i = 0; i < clients; i++) {
        platformThreadJoin(threads[i]);
        times.insert(times.end(), workers[i].times.begin(), workers[i].times.end());
        failures += workers[i].failures;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("no-op GET, %d client%s: p50 %.3f ms, p99 %.3f ms, %.0f req/s, %d failed\n",
                clients, clients == 1 ? "" : "s", benchPercentile(times, 0.5),
                benchPercentile(times, 0.99), static_cast<double>(times.size()) / seconds,
                failures);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    platformNetStartup();
    std::string mode = argc > 1 ? argv[1] : "local";
    if (mode == "local") {
        return runLocal(argc > 2 ? std::atoi(argv[2]) : 50000);
    }
    bool fromLibrary = argc > 1 && std::strcmp(argv[argc - 1], "library") == 0;
    if (mode == "serve" && argc > 2) {
        return runServe(argv[2], argc > 3 ? std::atoi(argv[3]) : 50000, fromLibrary);
    }
    if (mode == "load" && argc > 3 && fromLibrary) {
        Target target{0, static_cast<uint16_t>(std::atoi(argv[3]))};
        if (platformResolveIpv4(argv[2], &target.address) != 0) {
            return 1;
        }
        return runLibraryLoad(target, argc > 5 ? std::atoi(argv[4]) : 50000);
    }
    if (mode == "get" && argc > 3) {
        return runGet(argv[2], std::atoi(argv[3]), argc > 4 ? std::atoi(argv[4]) : 2000,
                      argc > 5 ? std::atoi(argv[5]) : 1);
    }
    if (mode == "load" && argc > 3) {
        return runLoad(argv[2], std::atoi(argv[3]), argc > 4 ? std::atoi(argv[4]) : 50000);
    }
    std::fprintf(stderr,
                 "usage: bench_browse local [TRACKS] | serve ADDRESS [TRACKS [library]] | "
                 "load ADDRESS PORT [TRACKS [library]] | get ADDRESS PORT [COUNT [CLIENTS]]\n");
    return 2;
}
