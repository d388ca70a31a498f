#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalogue_fixture.h"
#include "runtime/upnp_error.h"
#include "services/search.h"
#include "services/services_internal.h"
#include "support/http_socket_pair.h"
#include "support/soap_exchange.h"

namespace {

const std::string kBrowse = "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"";
const std::string kSearch = "\"urn:schemas-upnp-org:service:ContentDirectory:1#Search\"";

struct Listing {
    SoapAnswer answer;
    std::string result; // the DIDL-Lite document, unescaped once
    std::string returned, total, fault;
};

Listing parse(const std::string& raw) {
    Listing listing;
    listing.answer = soapSplit(raw);
    listing.result = soapUnescape(soapElement(listing.answer.body, "Result"));
    listing.returned = soapElement(listing.answer.body, "NumberReturned");
    listing.total = soapElement(listing.answer.body, "TotalMatches");
    listing.fault = soapElement(listing.answer.body, "errorCode");
    return listing;
}

Listing browse(const std::string& id, const std::string& flag, int start = 0, int count = 0,
               const std::string& sort = "", const std::string& version = "HTTP/1.1",
               const std::string& filter = "*") {
    return parse(
        soapDispatch(kBrowse, soapBrowseBody(id, flag, filter, start, count, sort), version));
}

Listing search(const std::string& id, const std::string& criteria, int start = 0, int count = 0,
               const std::string& sort = "", const std::string& version = "HTTP/1.1") {
    return parse(
        soapDispatch(kSearch, soapSearchBody(id, criteria, "*", start, count, sort), version));
}

// Titles in document order.
std::vector<std::string> titles(const std::string& didl) {
    std::vector<std::string> out;
    for (size_t at = didl.find("<dc:title>"); at != std::string::npos;
         at = didl.find("<dc:title>", at + 1)) {
        size_t end = didl.find("</dc:title>", at);
        out.push_back(didl.substr(at + 10, end - at - 10));
    }
    return out;
}

std::vector<TrackSpec> numberedTracks(int n) {
    std::vector<TrackSpec> tracks;
    for (int i = 0; i < n; i++) {
        tracks.push_back({"t" + std::to_string(100 + i), i % 2 ? "Odd" : "Even", "Album",
                          i % 3 ? "Rock" : "Jazz", i + 1});
    }
    return tracks;
}

TEST(Browse, RootChunkedAndUnchunkedAgree) {
    buildCatalogue(numberedTracks(4));
    Listing chunked = browse("0", "BrowseDirectChildren");
    EXPECT_TRUE(chunked.answer.chunked);
    EXPECT_TRUE(chunked.answer.wellFramed);
    EXPECT_EQ(titles(chunked.result),
              (std::vector<std::string>{"All Tracks", "Albums", "Artists", "Genres", "Playlists"}));
    EXPECT_EQ(chunked.returned, "5");
    EXPECT_EQ(chunked.total, "5");
    EXPECT_EQ(soapElement(chunked.answer.body, "UpdateID"), "0");
    Listing plain = browse("0", "BrowseDirectChildren", 0, 0, "", "HTTP/1.0");
    EXPECT_FALSE(plain.answer.chunked);
    EXPECT_TRUE(plain.answer.wellFramed);
    EXPECT_EQ(plain.answer.body, chunked.answer.body);
    // An ObjectID without digits reads as the root.
    EXPECT_EQ(browse("", "BrowseDirectChildren").total, "5");
    EXPECT_EQ(browse("abc", "BrowseDirectChildren").total, "5");
}

TEST(Browse, PagingAndSorting) {
    buildCatalogue(numberedTracks(4));
    std::string allTracks = idOf(findByTitle("All Tracks", 'c'));
    Listing page = browse(allTracks, "BrowseDirectChildren", 2, 3, "+dc:title");
    EXPECT_EQ(titles(page.result), (std::vector<std::string>{"t102", "t103"}));
    EXPECT_EQ(page.returned, "2");
    EXPECT_EQ(page.total, "4");
    Listing beyond = browse(allTracks, "BrowseDirectChildren", 4, 3);
    EXPECT_EQ(beyond.returned, "0");
    EXPECT_EQ(beyond.total, "4");
    EXPECT_EQ(browse(allTracks, "BrowseDirectChildren", 0, -1).returned, "0");
    Listing down = browse(allTracks, "BrowseDirectChildren", 0, 0, "-upnp:originalTrackNumber");
    EXPECT_EQ(titles(down.result), (std::vector<std::string>{"t103", "t102", "t101", "t100"}));
    // Unsorted pages, put together, list each child once.
    std::vector<std::string> joined;
    for (int start = 0; start < 4; start += 3) {
        for (const std::string& t :
             titles(browse(allTracks, "BrowseDirectChildren", start, 3).result)) {
            joined.push_back(t);
        }
    }
    std::sort(joined.begin(), joined.end());
    EXPECT_EQ(joined, (std::vector<std::string>{"t100", "t101", "t102", "t103"}));
}

TEST(Browse, MetadataAndFaults) {
    buildCatalogue(numberedTracks(2));
    Listing root = browse("0", "BrowseMetadata");
    EXPECT_FALSE(root.answer.chunked); // never chunked, even for HTTP/1.1
    EXPECT_NE(root.result.find("<container id=\"0\" parentID=\"-1\""), std::string::npos);
    EXPECT_EQ(root.returned, "1");
    EXPECT_EQ(root.total, "1");
    std::string item = idOf(findByTitle("t100", 'i'));
    EXPECT_EQ(browse(item, "BrowseDirectChildren").fault, "402");
    EXPECT_EQ(titles(browse(item, "BrowseMetadata").result), (std::vector<std::string>{"t100"}));
    EXPECT_EQ(browse("123456789", "BrowseMetadata").fault, "701");
    EXPECT_EQ(browse("0", "BrowseDirectChildren", -1, 5).fault, "402");
    std::string noId = soapBrowseBody("0", "BrowseMetadata", "*", 0, 0, "");
    noId.replace(noId.find("<ObjectID>0</ObjectID>"), 22, "");
    EXPECT_EQ(parse(soapDispatch(kBrowse, noId)).fault, "701");
}

TEST(Browse, NothingBeforeTheFirstBuild) {
    media_db_destroy();
    EXPECT_EQ(browse("0", "BrowseDirectChildren").fault, "701");
    EXPECT_EQ(browse("0", "BrowseMetadata").fault, "701");
    EXPECT_EQ(search("0", "*").fault, "710");
    buildCatalogue({});
}

TEST(Search, WholeCatalogueAndPaging) {
    buildCatalogue(numberedTracks(25));
    // Root's five, 25 items, 1 album + 2 artists + 2 genres containers; the references under
    // them stand for tracks already returned from All Tracks.
    Listing all = search("0", "*");
    EXPECT_EQ(all.total, "35");
    EXPECT_EQ(all.returned, "35");
    EXPECT_EQ(soapCount(all.result, "refID="), 0);
    std::string allTracks = idOf(findByTitle("All Tracks", 'c'));
    Listing first = search(allTracks, "upnp:class derivedfrom \"object.item\"", 0, 10, "+dc:title");
    EXPECT_EQ(first.returned, "10");
    EXPECT_EQ(first.total, "25");
    EXPECT_EQ(titles(first.result).front(), "t100");
    Listing last = search(allTracks, "upnp:class derivedfrom \"object.item\"", 20, 10, "+dc:title");
    EXPECT_EQ(last.returned, "5");
    EXPECT_EQ(titles(last.result).back(), "t124");
    EXPECT_EQ(search("0", "").total, "0");
    EXPECT_EQ(search("0", "   ").total, "0");
}

TEST(Search, CriteriaThroughTheSoapBody) {
    buildCatalogue(numberedTracks(12));
    std::string allTracks = idOf(findByTitle("All Tracks", 'c'));
    // Escaped comparisons reach the criteria whole: tracks 10, 11 and 12.
    Listing numbers = search(allTracks, "upnp:originalTrackNumber &gt;= &quot;10&quot;");
    EXPECT_EQ(numbers.total, "3");
    EXPECT_TRUE(numbers.answer.wellFramed);
    Listing below = search(allTracks, "upnp:originalTrackNumber &lt; &quot;3&quot;");
    EXPECT_EQ(below.total, "2");
    // 4 items, each returned once although its album, artist and genre refer to it.
    EXPECT_EQ(search("0", "upnp:genre = &quot;Jazz&quot;").total, "4");
    EXPECT_EQ(search(idOf(findByTitle("Genres", 'c')), "upnp:genre = &quot;Jazz&quot;").total, "4");
    EXPECT_EQ(search("0", "upnp:class derivedfrom &quot;object.item.audioItem&quot; and "
                          "@refID exists false")
                  .total,
              "12");
    EXPECT_EQ(search("0", "dc:title = &quot;x&quot; and").fault, "708");
    EXPECT_EQ(search("0", "upnp:rating = &quot;5&quot;").fault, "708");
    EXPECT_EQ(search(idOf(findByTitle("t100", 'i')), "*").fault, "710");
    EXPECT_EQ(search("987654321", "*").fault, "710");
    EXPECT_EQ(search("0", "*", -2, 5).fault, "402");
    // An empty container tests no object, so a malformed criteria is not noticed there.
    EXPECT_EQ(search(idOf(findByTitle("Playlists", 'c')), "(((").total, "0");
}

TEST(Search, EachTrackOnceWhereverItIsSearchedFrom) {
    buildCatalogue({{"Song", "Band", "Rec", "Rock", 1}, {"Other", "Band", "Rec", "Rock", 2}},
                   {{"Mix",
                     {{"Song", "", "", "", 0, false, "", "", 1, false, "/music/0.mp3"},
                      {"Song", "", "", "", 0, false, "", "", 1, false, "/music/0.mp3"}}},
                    {"Best", {{"Song", "", "", "", 0, false, "", "", 1, false, "/music/0.mp3"}}}});
    std::string criteria = "dc:title = &quot;Song&quot; or dc:title = &quot;Rec&quot;";
    // From the root: the item under All Tracks, then the matching album, nothing more.
    Listing root = search("0", criteria);
    EXPECT_EQ(titles(root.result), (std::vector<std::string>{"Song", "Rec"}));
    EXPECT_EQ(root.total, "2");
    EXPECT_EQ(soapCount(root.result, "refID="), 0);
    // Within a container of references: that container's reference.
    Listing album = search(idOf(findByTitle("Rec", 'c')), criteria);
    EXPECT_EQ(titles(album.result), (std::vector<std::string>{"Song"}));
    EXPECT_EQ(soapCount(album.result, "refID="), 1);
    Listing artists = search(idOf(findByTitle("Artists", 'c')), criteria);
    EXPECT_EQ(titles(artists.result), (std::vector<std::string>{"Song"}));
    // A file in two playlists, and twice in one, is returned once: its first entry.
    Listing playlists = search(idOf(findByTitle("Playlists", 'c')), "dc:title = &quot;Song&quot;");
    EXPECT_EQ(playlists.total, "1");
    EXPECT_EQ(playlists.returned, "1");
    Listing mix = search(idOf(findByTitle("Mix", 'c')), "*", 0, 0, "+dc:title");
    EXPECT_EQ(mix.total, "1");
}

// The Windows Media Player walk: every audio item that is no reference, sorted, 200 a page.
TEST(Search, PagedLibraryWalkMeetsEachTrackOnce) {
    std::vector<TrackSpec> tracks;
    for (int i = 0; i < 450; i++) {
        tracks.push_back({"t" + std::to_string(1000 + i), "Artist" + std::to_string(i % 7),
                          "Album" + std::to_string(i % 13), "G" + std::to_string(i % 3),
                          i % 12 + 1});
    }
    buildCatalogue(tracks, {{"List", {tracks[3], tracks[4]}}});
    std::string criteria = "upnp:class derivedfrom &quot;object.item.audioItem&quot; and "
                           "@refID exists false";
    std::string sort = "+upnp:artist,+upnp:album,+upnp:originalTrackNumber,+dc:title";
    std::vector<std::string> seen;
    for (int start = 0; start < 1000; start += 200) {
        Listing page = search("0", criteria, start, 200, sort);
        ASSERT_EQ(page.total, "450");
        std::vector<std::string> got = titles(page.result);
        seen.insert(seen.end(), got.begin(), got.end());
        if (got.size() < 200) {
            break;
        }
    }
    ASSERT_EQ(seen.size(), 450u);
    EXPECT_EQ(seen.front(), "t1000"); // Artist0, Album0, track 1
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
}

// The objects a search collects from `scope`: walking every object, or with the index at any
// scope size; *status receives search_collect_indexed's answer (1: it left it to the walk).
std::vector<const MediaObject*> collected(const MediaObject* scope, const char* criteria,
                                          bool indexed, int* status) {
    CriteriaProgram program;
    criteria_compile(criteria, &program);
    media_db_read_lock();
    MediaTop top = media_db_top();
    SearchWalk walk{&program, "", scope == top.root ? top.all_tracks : nullptr};
    MatchList list = {nullptr, 0, 0};
    *status = indexed ? search_collect_indexed(&list, scope, &walk, 0) : 1;
    if (*status == 1) {
        search_collect(&list, scope, &walk);
    }
    std::vector<const MediaObject*> objects;
    for (int32_t i = 0; i < list.count; i++) {
        objects.push_back(list.entries[i].object);
    }
    std::free(list.entries);
    media_db_read_unlock();
    criteria_release(&program);
    return objects;
}

// The index finds what the walk finds, in the walk's order, from every kind of container.
TEST(Search, IndexAgreesWithTheWalk) {
    std::vector<TrackSpec> tracks = {
        {"\u0178es \u00dcn\u00efcode", "\u00c9COLE", "\u03a3\u03bf\u03c6\u03af\u03b1", "Rock", 1},
        {"ab", "cd", "\u03a3\u039f\u03a6\u038a\u0391", "Pop", 2},
        {"cd", "Band", "\u0418\u0442\u043e\u0433\u043e", "Rock", 3},
        {"x", "Band", "Rec", "Rock", 4, false, "", "", 0, true}, // texts absent
        {"", "Band", "Rec", "Jazz", 5},
        {"bad \xC3 byte", "Band", "Rec", "Rock", 6}, // an ill-formed byte
        {"Love Song", "Love", "Rec", "Rock", 7},
    };
    buildCatalogue(tracks, {{"Mix", {tracks[0], tracks[6], tracks[6]}}, {"Empty", {}}});
    struct Case {
        const char* criteria;
        bool indexed; // the index answers it (else it leaves it to the walk)
        size_t fromRoot;
    } cases[] = {
        {"dc:title contains \"\u00ffES \u00fc\"", true, 1}, // folded on both sides
        {"upnp:artist contains \"\u00e9cole\"", true, 1},
        {"upnp:album contains \"\u03c3\u03bf\u03c6\u03af\"", true, 2}, // Greek, tonos
        {"upnp:album contains \"\u0438\u0442\u043e\u0433\u043e\"", true, 1},
        {"dc:title contains \"bc\"", true, 0}, // "ab" then "cd": no match across texts
        {"dc:title contains \"\"", true, 24},  // every present title, containers too
        {"dc:title doesNotContain \"o\"", true, 18},
        {"upnp:genre doesNotContain \"rock\"", true, 2}, // an absent genre is no match
        {"dc:creator contains \"band\" and upnp:class derivedfrom \"object.item\"", true, 3},
        {"upnp:class derivedfrom \"object.container\" or dc:title contains \"love\"", true, 19},
        {"(upnp:class = \"object.container.album.musicAlbum\" and dc:title contains \"rec\") or "
         "(upnp:genre contains \"jazz\")",
         true, 2},
        {"upnp:class derivedfrom \"object.item.audioItem\" and @refID exists false", true, 7},
        {"@refID exists true and upnp:artist contains \"love\"", true, 0},
        {"upnp:artist exists false", true, 19}, // containers too
        {"dc:title contains \"byte\"", true, 1},
        {"dc:title contains \"o\" dc:title contains \"x\"", true, 6}, // the first decides
        {"*", true, 25},
        {"dc:title contains \"\xC3\"", false, 1}, // an ill-formed operand
        {"dc:title = \"ab\"", false, 1},
        {"upnp:originalTrackNumber > 3 and dc:title contains \"o\"", false, 1},
    };
    std::vector<const MediaObject*> scopes = {
        findByTitle("root", 'c'),      findByTitle("All Tracks", 'c'), findByTitle("Albums", 'c'),
        findByTitle("Rec", 'c'),       findByTitle("Artists", 'c'),    findByTitle("Genres", 'c'),
        findByTitle("Playlists", 'c'), findByTitle("Mix", 'c'),        findByTitle("Empty", 'c'),
    };
    for (const Case& c : cases) {
        for (const MediaObject* scope : scopes) {
            SCOPED_TRACE(std::string(c.criteria) + " from " + scope->title);
            int walked = 0;
            int status = 0;
            std::vector<const MediaObject*> expected = collected(scope, c.criteria, false, &walked);
            EXPECT_EQ(collected(scope, c.criteria, true, &status), expected);
            EXPECT_EQ(status, c.indexed ? 0 : 1);
            if (scope == scopes[0]) {
                EXPECT_EQ(expected.size(), c.fromRoot);
            }
        }
    }
    // Written in place, the version loses its index: the next search sees the new track.
    const char* love = "dc:title contains \"love\"";
    int status = 0;
    EXPECT_EQ(collected(scopes[0], love, true, &status).size(), 2u); // the track, its artist
    media_db_lock();
    MediaObject* item = make_item("/music/new.mp3", kClassMusicTrack);
    item->title = strdup("Lovely");
    media_db_append_child(media_db_top().all_tracks, item);
    media_db_unlock();
    EXPECT_EQ(collected(scopes[0], love, true, &status).size(), 3u);
    EXPECT_EQ(status, 0);
}

TEST(Sort, ReferencesByTheirTargetsValues) {
    buildCatalogue({{"b", "X", "A", "G", 3}, {"C", "X", "A", "G", 1}, {"a", "X", "A", "G", 2}});
    std::string album = idOf(findByTitle("A", 'c'));
    EXPECT_EQ(titles(browse(album, "BrowseDirectChildren", 0, 0, "+dc:title").result),
              (std::vector<std::string>{"C", "a", "b"}));
    EXPECT_EQ(titles(search(album, "*", 0, 0, "-dc:title").result),
              (std::vector<std::string>{"b", "a", "C"}));
    EXPECT_EQ(
        titles(browse(album, "BrowseDirectChildren", 0, 2, "+upnp:originalTrackNumber").result),
        (std::vector<std::string>{"C", "a"}));
    // Ties keep list order: the references were linked newest first.
    EXPECT_EQ(titles(browse(album, "BrowseDirectChildren", 0, 0, "+upnp:album").result),
              (std::vector<std::string>{"a", "C", "b"}));
}

TEST(Browse, DefaultOrderFixedAtBuild) {
    std::vector<TrackSpec> tracks = {
        {"Disc Two", "Zed", "Open Skies", "Pop", 1}, {"Third", "Zed", "Open Skies", "Pop", 3},
        {"first", "Zed", "Open Skies", "Pop", 1},    {"Intro", "Amy", "Blue", "Pop", 0},
        {"Second", "Zed", "Open Skies", "Pop", 2},   {"Bonus", "Zed", "Open Skies", "Pop", 0},
        {"Alone", "Zed", "Another", "Pop", 5}};
    for (TrackSpec& track : tracks) {
        track.disc = track.album == "Open Skies" ? 1 : 0;
    }
    tracks[0].disc = 2;
    buildCatalogue(tracks, {{"Later", {{"z", "", "", ""}, {"y", "", "", ""}}},
                            {"Earlier", {{"x", "", "", ""}}}});
    media_db_order_catalogue();
    auto list = [](const std::string& title) {
        return titles(browse(idOf(findByTitle(title, 'c')), "BrowseDirectChildren").result);
    };
    using Titles = std::vector<std::string>;
    // Disc by disc; numbered tracks in order, unnumbered ones after them.
    EXPECT_EQ(list("Open Skies"), (Titles{"first", "Second", "Third", "Bonus", "Disc Two"}));
    EXPECT_EQ(list("Zed"), (Titles{"Alone", "first", "Second", "Third", "Bonus", "Disc Two"}));
    EXPECT_EQ(list("Pop"),
              (Titles{"Alone", "Intro", "first", "Second", "Third", "Bonus", "Disc Two"}));
    EXPECT_EQ(list("All Tracks"),
              (Titles{"Alone", "Bonus", "Disc Two", "first", "Intro", "Second", "Third"}));
    EXPECT_EQ(list("Albums"), (Titles{"Another", "Blue", "Open Skies"}));
    EXPECT_EQ(list("Artists"), (Titles{"Amy", "Zed"}));
    EXPECT_EQ(list("Playlists"), (Titles{"Later", "Earlier"}));
    EXPECT_EQ(list("Later"), (Titles{"z", "y"}));
    // Pages of the default order agree with it, and Search walks the same order.
    std::string album = idOf(findByTitle("Open Skies", 'c'));
    EXPECT_EQ(titles(browse(album, "BrowseDirectChildren", 2, 2).result),
              (Titles{"Third", "Bonus"}));
    EXPECT_EQ(titles(search(album, "*").result),
              (Titles{"first", "Second", "Third", "Bonus", "Disc Two"}));
}

// A one-piece answer whose text lost a piece (its growth failed) is not sent: the action
// returns 603 for the dispatcher's fault, and nothing has gone out before it.
TEST(Browse, AnswerThatLostAPieceBecomesFault603) {
    HttpSocketPair pair;
    ASSERT_TRUE(httpSocketPairOpen(&pair));
    ServicesAnswer answer;
    ASSERT_TRUE(services_answer_open(&answer, pair.server, "HTTP/1.0", "http://192.0.2.1:8080/",
                                     "BrowseResponse", "*", true));
    services_answer_begin(&answer);
    answer.text->lost = true; // as when growing the text failed
    EXPECT_EQ(services_answer_finish(&answer, 0, 0), kUpnpOutOfMemory);
    platformSocketClose(pair.server);
    pair.server = kPlatformInvalidSocket;
    EXPECT_EQ(httpReadAll(pair.client), "");
    httpSocketPairClose(&pair);
}

} // namespace
