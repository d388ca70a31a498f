#include "server/presentation_page.h"

#include <cstdio>
#include <cstring>

#include "runtime/http_date.h"

namespace {

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

// The page being built; `lost` once any piece could not be added for lack of memory, so that
// a page with a hole is never sent.
struct Page {
    TextBuffer* text;
    bool lost;
};

void put(Page* page, const char* piece) {
    int32_t before = page->text->length;
    page->text = textBufferAppend(page->text, piece);
    if (page->text->length != before + static_cast<int32_t>(std::strlen(piece))) {
        page->lost = true;
    }
}

void putNumber(Page* page, long long value) {
    char area[24];
    std::snprintf(area, sizeof area, "%lld", value);
    put(page, area);
}

// `text` as HTML character data or attribute text: markup characters as entities, bytes above
// 0x7F (ISO-8859-1) as numeric references so that the page stays ASCII, control bytes dropped.
void putEscaped(Page* page, const char* text) {
    char piece[8];
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; p++) {
        const char* entity = *p == '&'    ? "&amp;"
                             : *p == '<'  ? "&lt;"
                             : *p == '>'  ? "&gt;"
                             : *p == '"'  ? "&quot;"
                             : *p == '\'' ? "&#39;"
                                          : nullptr;
        if (entity != nullptr) {
            put(page, entity);
        } else if (*p > 0x7F) {
            std::snprintf(piece, sizeof piece, "&#%u;", static_cast<unsigned>(*p));
            put(page, piece);
        } else if (*p >= 0x20 && *p != 0x7F) {
            piece[0] = static_cast<char>(*p);
            piece[1] = '\0';
            put(page, piece);
        }
    }
}

void putRow(Page* page, const char* label, long long value) {
    put(page, "<tr><th>");
    put(page, label);
    put(page, "</th><td class=\"n\">");
    putNumber(page, value);
    put(page, "</td></tr>\n");
}

// "29 min 5 s", "40 s"; a subscription without time-out never expires.
void putTimeLeft(Page* page, int32_t seconds) {
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

void putAddresses(Page* page, const PresentationStatus* status) {
    put(page, "<h2>Served addresses</h2>\n");
    if (status->addressCount <= 0) {
        put(page, "<p>None</p>\n");
        return;
    }
    put(page, "<ul>\n");
    for (int32_t i = 0; i < status->addressCount && i < kPresentationMaxAddresses; i++) {
        put(page, "<li>");
        putEscaped(page, status->addresses[i]);
        put(page, "</li>\n");
    }
    put(page, "</ul>\n");
}

void putLibrary(Page* page, const PresentationStatus* status) {
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

void putSubscriptions(Page* page, const PresentationStatus* status) {
    put(page, "<h2>Event subscriptions</h2>\n");
    if (status->subscriptionCount <= 0) {
        put(page, "<p>None</p>\n");
        return;
    }
    put(page, "<table>\n<tr><th>Subscriber</th><th>Service</th><th>Time left</th></tr>\n");
    for (int32_t i = 0; i < status->subscriptionCount && i < kPresentationMaxSubscriptions; i++) {
        put(page, "<tr><td>");
        putEscaped(page, status->subscriptions[i].host);
        put(page, status->subscriptions[i].contentDirectory
                      ? "</td><td>ContentDirectory</td><td>"
                      : "</td><td>ConnectionManager</td><td>");
        putTimeLeft(page, status->subscriptions[i].secondsLeft);
        put(page, "</td></tr>\n");
    }
    put(page, "</table>\n");
}

} // namespace

TextBuffer* presentationPageBuild(const PresentationStatus* status) {
    Page page{textBufferCreate(nullptr, 8192), false};
    if (page.text == nullptr) {
        return nullptr;
    }
    const char* name = status->name != nullptr ? status->name : "";
    put(&page, kHeadBeforeTitle);
    putEscaped(&page, name);
    put(&page, kHeadAfterTitle);
    putEscaped(&page, name);
    put(&page, "</h1></header>\n<p>Version ");
    putEscaped(&page, status->version != nullptr ? status->version : "");
    put(&page, status->serving ? " &middot; <strong class=\"on\">On</strong></p>\n"
                               : " &middot; <strong class=\"off\">Off</strong></p>\n");
    putAddresses(&page, status);
    putLibrary(&page, status);
    putSubscriptions(&page, status);
    put(&page, "</body>\n</html>\n");
    if (page.lost) {
        textBufferFree(page.text);
        return nullptr;
    }
    return page.text;
}
