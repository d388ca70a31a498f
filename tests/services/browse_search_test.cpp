#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue_fixture.h"
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
    // Root's five, 25 items, 1 album + 2 artists + 2 genres containers with 25 references
    // each: 5 + 25 + 5 + 75.
    Listing all = search("0", "*");
    EXPECT_EQ(all.total, "110");
    EXPECT_EQ(all.returned, "110");
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
    // 4 items, each with a reference under its album, artist and genre.
    EXPECT_EQ(search("0", "upnp:genre = &quot;Jazz&quot;").total, "16");
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

TEST(Search, DepthFirstOrderAndReferences) {
    buildCatalogue({{"Song", "Band", "Rec", "Rock", 1}});
    Listing found = search("0", "dc:title = &quot;Song&quot; or dc:title = &quot;Rec&quot;");
    // The item under All Tracks, then the album before its own reference, then the artist's
    // and the genre's references.
    std::vector<std::string> expected{"Song", "Rec", "Song", "Song", "Song"};
    EXPECT_EQ(titles(found.result), expected);
    EXPECT_EQ(soapCount(found.result, "refID="), 3);
}

} // namespace
