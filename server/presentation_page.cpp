#include "server/presentation_page.h"

#include <cstdio>
#include <cstring>

#include "runtime/http_date.h"
#include "runtime/xml_escape.h"

namespace {

// Bounds for the room the page is built in.
constexpr int32_t kPresentationMaxText = 1024; // longest name or version shown
constexpr int32_t kFixedBytes = 4096;          // the fixed text, the numbers and the date
constexpr int32_t kAddressBytes = 6 * 32 + 32;
constexpr int32_t kServiceNameBytes = 40;
constexpr int32_t kSubscriptionBytes = 6 * (64 + kServiceNameBytes) + 160;

constexpr char kHeadBeforeTitle[] =
    "<!DOCTYPE html>\n"
    "<html lang=\"en\">\n"
    "<head>\n"
    "<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<title>";
// Small and readable on a phone; nothing is loaded but the device's own icon.
constexpr char kHeadAfterTitle[] =
    "</title>\n"
    "<style>\n"
    "body{font-family:sans-serif;margin:1em auto;padding:0 1em;max-width:40em;color:#222}\n"
    "h1{font-size:1.4em;margin:.2em 0}h2{font-size:1.1em;margin:1.2em 0 .4em}\n"
    "header{display:flex;align-items:center;gap:.8em}\n"
    "table{border-collapse:collapse;width:100%}\n"
    "th,td{text-align:left;padding:.3em .5em;border-bottom:1px solid #ddd}\n"
    "td.n{text-align:right}.on{color:#070}.off{color:#a00}\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<header><img src=\"/icons/kestrelbloom-120.png\" width=\"60\" height=\"60\" alt=\"\">"
    "<h1>";

static_assert(sizeof kHeadBeforeTitle + sizeof kHeadAfterTitle < kFixedBytes / 2,
              "the fixed text outgrew its room");

// Texts are appended into room allocated up front (see presentationPageBuild), so no append
// ever grows the buffer and none can be lost.
void put(TextBuffer* page, const char* piece) {
    textBufferAppend(page, piece);
}

void putNumber(TextBuffer* page, long long value) {
    textBufferAppendFormat(page, "%lld", value);
}

// A host's text as character data (markup escaped, bytes above 0x7F as references).
constexpr int32_t kEscapedBytesPerByte = 6; // "&#233;"

void putEscaped(TextBuffer* page, const char* text, int32_t limit) {
    textBufferAppendXml(page, text, XmlEscape::Once, limit * kEscapedBytesPerByte);
}

void putRow(TextBuffer* page, const char* label, long long value) {
    put(page, "<tr><th>");
    put(page, label);
    put(page, "</th><td class=\"n\">");
    putNumber(page, value);
    put(page, "</td></tr>\n");
}

// "29 min 5 s", "40 s"; a subscription without time-out never expires.
void putTimeLeft(TextBuffer* page, int32_t seconds) {
    if (seconds < 0) {
        put(page, "no time-out");
        return;
    }
    if (seconds >= 60) {
        putNumber(page, seconds / 60);
        put(page, " min ");
    }
    putNumber(page, seconds % 60);
    put(page, " s");
}

void putAddresses(TextBuffer* page, const PresentationStatus* status) {
    put(page, "<h2>Served addresses</h2>\n");
    if (status->addressCount <= 0) {
        put(page, "<p>None</p>\n");
        return;
    }
    put(page, "<ul>\n");
    for (int32_t i = 0; i < status->addressCount && i < kPresentationMaxAddresses; i++) {
        put(page, "<li>");
        putEscaped(page, status->addresses[i], sizeof status->addresses[i]);
        put(page, "</li>\n");
    }
    put(page, "</ul>\n");
}

void putLibrary(TextBuffer* page, const PresentationStatus* status) {
    put(page, "<h2>Library</h2>\n<table>\n");
    putRow(page, "Tracks", status->tracks);
    putRow(page, "Albums", status->albums);
    putRow(page, "Artists", status->artists);
    putRow(page, "Genres", status->genres);
    putRow(page, "Playlists", status->playlists);
    put(page, "<tr><th>Last read</th><td class=\"n\">");
    if (status->libraryReadAt > 0) {
        put(page, httpDateFromTime(status->libraryReadAt).text);
        put(page, " UTC");
    } else {
        put(page, "not yet");
    }
    put(page, "</td></tr>\n");
    putRow(page, "SystemUpdateID", status->systemUpdateId);
    put(page, "</table>\n");
}

void putSubscriptions(TextBuffer* page, const PresentationStatus* status) {
    put(page, "<h2>Event subscriptions</h2>\n");
    if (status->subscriptionCount <= 0) {
        put(page, "<p>None</p>\n");
        return;
    }
    put(page, "<table>\n<tr><th>Subscriber</th><th>Service</th><th>Time left</th></tr>\n");
    for (int32_t i = 0; i < status->subscriptionCount && i < kPresentationMaxSubscriptions; i++) {
        put(page, "<tr><td>");
        putEscaped(page, status->subscriptions[i].host, sizeof status->subscriptions[i].host);
        put(page, "</td><td>");
        putEscaped(page,
                   status->subscriptions[i].service != nullptr ? status->subscriptions[i].service
                                                               : "",
                   kServiceNameBytes);
        put(page, "</td><td>");
        putTimeLeft(page, status->subscriptions[i].secondsLeft);
        put(page, "</td></tr>\n");
    }
    put(page, "</table>\n");
}

} // namespace

TextBuffer* presentationPageBuild(const PresentationStatus* status) {
    const char* name = status->name != nullptr ? status->name : "";
    const char* version = status->version != nullptr ? status->version : "";
    int32_t nameLength = static_cast<int32_t>(strnlen(name, kPresentationMaxText));
    int32_t versionLength = static_cast<int32_t>(strnlen(version, kPresentationMaxText));
    // Room for everything the page can hold: the fixed text, every host text escaped at its
    // longest, and the numbers.
    int32_t capacity = kFixedBytes + kEscapedBytesPerByte * (2 * nameLength + versionLength) +
                       kPresentationMaxAddresses * kAddressBytes +
                       kPresentationMaxSubscriptions * kSubscriptionBytes;
    TextBuffer* page = textBufferCreate(nullptr, capacity);
    if (page == nullptr) {
        return nullptr;
    }
    put(page, kHeadBeforeTitle);
    putEscaped(page, name, nameLength);
    put(page, kHeadAfterTitle);
    putEscaped(page, name, nameLength);
    put(page, "</h1></header>\n<p>Version ");
    putEscaped(page, version, versionLength);
    put(page, status->serving ? " &middot; <strong class=\"on\">On</strong></p>\n"
                              : " &middot; <strong class=\"off\">Off</strong></p>\n");
    putAddresses(page, status);
    putLibrary(page, status);
    putSubscriptions(page, status);
    put(page, "</body>\n</html>\n");
    return page;
}
