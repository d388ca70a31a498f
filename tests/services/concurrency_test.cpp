// Browse and Search on several threads while the catalogue is rebuilt: every answer must be
// complete and well framed, whichever catalogue it saw. Meant for ThreadSanitizer builds too.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include <chrono>

#include "catalogue_fixture.h"
#include "media_db/media_db_internal.h"
#include "soap/soap_dispatch.h"
#include "support/fixtures_media.h"
#include "support/http_socket_pair.h"
#include "support/soap_exchange.h"

namespace {

struct ReaderState {
    std::atomic<bool>* stop;
    std::atomic<int> answers{0};
    std::atomic<int> broken{0};
};

void readerBody(void* arg) {
    auto* state = static_cast<ReaderState*>(arg);
    const std::string browse = "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"";
    const std::string search = "\"urn:schemas-upnp-org:service:ContentDirectory:1#Search\"";
    for (int i = 0; i < 200 && !state->stop->load(); i++) {
        std::string raw =
            i % 2 == 0
                ? soapDispatch(browse, soapBrowseBody("0", "BrowseDirectChildren", "*", 0, 0, ""))
                : soapDispatch(search, soapSearchBody("0", "dc:title contains &quot;1&quot;", "*",
                                                      0, 20, "+dc:title"));
        SoapAnswer answer = soapSplit(raw);
        state->answers++;
        if (!answer.wellFramed || answer.body.find("</s:Envelope>") == std::string::npos) {
            state->broken++;
        }
    }
}

TEST(Concurrency, ReadersDuringRebuilds) {
    std::vector<TrackSpec> tracks;
    for (int i = 0; i < 60; i++) {
        tracks.push_back({"t" + std::to_string(i), "a" + std::to_string(i % 4),
                          "al" + std::to_string(i % 6), "g" + std::to_string(i % 3), i});
    }
    buildCatalogue(tracks);
    std::atomic<bool> stop{false};
    ReaderState states[3];
    for (ReaderState& state : states) {
        state.stop = &stop;
    }
    PlatformThread threads[3];
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(platformThreadStart(&threads[i], readerBody, &states[i]), 0);
    }
    // Rebuild until every reader has been answered a few times (at most about ten seconds).
    auto fewest = [&] {
        int least = states[0].answers;
        for (const ReaderState& state : states) {
            least = state.answers < least ? state.answers.load() : least;
        }
        return least;
    };
    for (int round = 0; round < 5000 && fewest() < 20; round++) {
        buildCatalogue(tracks);
        platformSleepMs(2);
    }
    stop = true;
    for (int i = 0; i < 3; i++) {
        platformThreadJoin(threads[i]);
        EXPECT_GE(states[i].answers, 20);
        EXPECT_EQ(states[i].broken, 0);
    }
}

struct StalledAnswer {
    PlatformSocket socket;
    std::string body;
    std::atomic<bool> done{false};
};

void stalledBody(void* arg) {
    auto* stalled = static_cast<StalledAnswer*>(arg);
    soap_dispatch(stalled->socket, "HTTP/1.1", "http://192.0.2.1:8080/",
                  "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"", &stalled->body[0]);
    stalled->done = true;
}

// A client that stops reading holds its answer (and the shared lock) without delaying other
// readers; its answer ends once its connection is gone. (With an exclusive reader lock the
// second Browse would wait for ever and the test would time out.)
TEST(Concurrency, StalledReaderDoesNotBlockOthers) {
    std::vector<TrackSpec> tracks(20000, TrackSpec{"title", "artist", "album", "genre", 1});
    buildCatalogue(tracks);
    HttpSocketPair pair;
    ASSERT_TRUE(httpSocketPairOpen(&pair));
    StalledAnswer stalled;
    stalled.socket = pair.server;
    stalled.body =
        soapBrowseBody(idOf(findByTitle("All Tracks", 'c')), "BrowseDirectChildren", "*", 0, 0, "");
    PlatformThread thread;
    ASSERT_EQ(platformThreadStart(&thread, stalledBody, &stalled), 0);
    platformSleepMs(300); // the answer (megabytes) has filled the socket buffers by now
    EXPECT_FALSE(stalled.done.load());

    auto t0 = std::chrono::steady_clock::now();
    SoapAnswer other =
        soapSplit(soapDispatch("\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"",
                               soapBrowseBody("0", "BrowseDirectChildren", "*", 0, 0, "")));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_TRUE(other.wellFramed);
    EXPECT_LT(seconds, 2.0);

    platformSocketClose(pair.client);
    pair.client = kPlatformInvalidSocket;
    for (int i = 0; i < 200 && !stalled.done.load(); i++) {
        platformSleepMs(10);
    }
    EXPECT_TRUE(stalled.done.load());
    platformThreadJoin(thread);
    httpSocketPairClose(&pair);
}

// A host folder whose library lists `count` tracks (files that do not exist: each is still an
// item under All Tracks), rewritten by write(); the watcher's pass publishes each change.
struct HostLibrary {
    std::string dir = fixtures::makeTempDir("concurrency");
    LibraryWatchState state{};
    void write(int count, const std::string& stem) {
        std::vector<std::string> paths;
        for (int i = 0; i < count; i++) {
            paths.push_back(dir + "/" + stem + std::to_string(i) + ".mp3");
        }
        fixtures::writeFile(dir + "/Plugins/ml/main.dat", fixtures::libraryFile(paths));
    }
    bool pass() { return media_library_pass(dir.c_str(), &state); }
    ~HostLibrary() {
        media_library_state_release(&state);
        media_db_destroy();
        fixtures::removeTree(dir);
    }
};

struct VersionReader {
    std::atomic<bool>* stop;
    std::string allTracks;
    std::atomic<int> answers{0};
    std::atomic<int> broken{0};
};

// Browses All Tracks whole: every answer must list one library, 40 or 25 tracks, as counted.
void versionReaderBody(void* arg) {
    auto* state = static_cast<VersionReader*>(arg);
    const std::string browse = "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"";
    for (int i = 0; i < 400 && !state->stop->load(); i++) {
        SoapAnswer answer = soapSplit(soapDispatch(
            browse, soapBrowseBody(state->allTracks, "BrowseDirectChildren", "*", 0, 0, "")));
        std::string total = soapElement(answer.body, "TotalMatches");
        int items = soapCount(soapUnescape(soapElement(answer.body, "Result")), "<item ");
        bool whole = (total == "40" && items == 40) || (total == "25" && items == 25);
        state->answers++;
        if (!answer.wellFramed || !whole) {
            state->broken++;
        }
    }
}

TEST(Concurrency, ReadersSeeWholeVersionsWhileTheWatcherPublishes) {
    HostLibrary library;
    library.write(40, "a");
    ASSERT_TRUE(library.pass());
    std::atomic<bool> stop{false};
    VersionReader states[3];
    PlatformThread threads[3];
    for (int i = 0; i < 3; i++) {
        states[i].stop = &stop;
        states[i].allTracks = idOf(findByTitle("All Tracks", 'c'));
        ASSERT_EQ(platformThreadStart(&threads[i], versionReaderBody, &states[i]), 0);
    }
    auto fewest = [&] {
        int least = states[0].answers;
        for (const VersionReader& state : states) {
            least = state.answers < least ? state.answers.load() : least;
        }
        return least;
    };
    for (int round = 1; round < 2000 && (round < 20 || fewest() < 20); round++) {
        library.write(round % 2 == 0 ? 40 : 25, round % 2 == 0 ? "a" : "b");
        EXPECT_TRUE(library.pass());
    }
    stop = true;
    for (int i = 0; i < 3; i++) {
        platformThreadJoin(threads[i]);
        EXPECT_GE(states[i].answers, 20);
        EXPECT_EQ(states[i].broken, 0);
    }
}

// A client that stops reading keeps the version it started with; the watcher publishes the
// next one meanwhile, and other clients read that. (Before versions, the rebuild waited for
// the stalled answer, and every later reader waited for the rebuild.)
TEST(Concurrency, StalledReaderHoldsNoRebuildBack) {
    HostLibrary library;
    library.write(20000, "t");
    ASSERT_TRUE(library.pass());
    std::string allTracks = idOf(findByTitle("All Tracks", 'c'));
    HttpSocketPair pair;
    ASSERT_TRUE(httpSocketPairOpen(&pair));
    StalledAnswer stalled;
    stalled.socket = pair.server;
    stalled.body = soapBrowseBody(allTracks, "BrowseDirectChildren", "*", 0, 0, "");
    PlatformThread thread;
    ASSERT_EQ(platformThreadStart(&thread, stalledBody, &stalled), 0);
    platformSleepMs(300);
    EXPECT_FALSE(stalled.done.load());

    library.write(20001, "t");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(library.pass());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(seconds, 10.0); // the stalled answer would hold it until the client is gone
    SoapAnswer other =
        soapSplit(soapDispatch("\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"",
                               soapBrowseBody(allTracks, "BrowseDirectChildren", "*", 0, 1, "")));
    EXPECT_EQ(soapElement(other.body, "TotalMatches"), "20001");
    EXPECT_FALSE(stalled.done.load());

    platformSocketClose(pair.client);
    pair.client = kPlatformInvalidSocket;
    for (int i = 0; i < 500 && !stalled.done.load(); i++) {
        platformSleepMs(10);
    }
    EXPECT_TRUE(stalled.done.load());
    platformThreadJoin(thread);
    httpSocketPairClose(&pair);
}

} // namespace
