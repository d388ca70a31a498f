#include "server/presentation_page.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string build(const PresentationStatus& status) {
    TextBuffer* page = presentationPageBuild(&status);
    EXPECT_NE(page, nullptr);
    std::string text = page != nullptr ? page->text : "";
    textBufferFree(page);
    return text;
}

bool has(const std::string& page, const std::string& piece) {
    return page.find(piece) != std::string::npos;
}

TEST(PresentationPage, ShowsTheStatusWithEveryTextEscaped) {
    PresentationStatus status{};
    status.name = "KestrelBloom Media Server [<b>Caf\xE9 & \"Co\"\x01]";
    status.version = "1.0";
    status.serving = true;
    status.addressCount = 2;
    std::strcpy(status.addresses[0], "http://10.0.0.1:8080/");
    std::strcpy(status.addresses[1], "http://192.168.1.20:8081/");
    status.tracks = 20000;
    status.albums = 1500;
    status.artists = 700;
    status.genres = 40;
    status.playlists = 3;
    status.libraryReadAt = 1102384556;
    status.systemUpdateId = 17;
    status.subscriptionCount = 2;
    std::strcpy(status.subscriptions[0].host, "10.0.0.9:49152");
    status.subscriptions[0].secondsLeft = 1745;
    status.subscriptions[0].service = "ContentDirectory";
    std::strcpy(status.subscriptions[1].host, "<evil>");
    status.subscriptions[1].secondsLeft = -1;
    status.subscriptions[1].service = "ConnectionManager";
    std::string page = build(status);

    EXPECT_EQ(page.rfind("<!DOCTYPE html>\n<html lang=\"en\">\n", 0), 0u);
    EXPECT_EQ(page.substr(page.size() - 16), "</body>\n</html>\n");
    const std::string name = "KestrelBloom Media Server [&lt;b&gt;Caf&#233; &amp; \"Co\"]";
    EXPECT_TRUE(has(page, "<title>" + name + "</title>"));
    EXPECT_TRUE(has(page, "<h1>" + name + "</h1>"));
    EXPECT_TRUE(has(page, "Version 1.0 &middot; <strong class=\"on\">On</strong>"));
    EXPECT_TRUE(has(page, "<li>http://10.0.0.1:8080/</li>\n<li>http://192.168.1.20:8081/</li>"));
    EXPECT_TRUE(has(page, "<tr><th>Tracks</th><td class=\"n\">20000</td></tr>"));
    EXPECT_TRUE(has(page, "<tr><th>Playlists</th><td class=\"n\">3</td></tr>"));
    EXPECT_TRUE(has(page, "Tue, 07 Dec 2004 01:55:56 UTC"));
    EXPECT_TRUE(has(page, "<tr><th>SystemUpdateID</th><td class=\"n\">17</td></tr>"));
    EXPECT_TRUE(has(page, "<td>10.0.0.9:49152</td><td>ContentDirectory</td><td>29 min 5 s</td>"));
    EXPECT_TRUE(has(page, "<td>&lt;evil&gt;</td><td>ConnectionManager</td><td>no time-out</td>"));
    // Nothing runs, nothing is sent back, and the page is plain ASCII.
    EXPECT_FALSE(has(page, "<script"));
    EXPECT_FALSE(has(page, "<form"));
    for (unsigned char c : page) {
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << static_cast<int>(c);
    }
}

TEST(PresentationPage, AnEmptyServer) {
    PresentationStatus status{};
    std::string page = build(status);
    EXPECT_TRUE(has(page, "<title></title>"));
    EXPECT_TRUE(has(page, "<strong class=\"off\">Off</strong>"));
    EXPECT_TRUE(has(page, "<h2>Served addresses</h2>\n<p>None</p>"));
    EXPECT_TRUE(has(page, "<tr><th>Last read</th><td class=\"n\">not yet</td></tr>"));
    EXPECT_TRUE(has(page, "<h2>Event subscriptions</h2>\n<p>None</p>"));
}

} // namespace
