// Routing one request read whole: the head is searched in place and cut by writing NULs.
#include "server/http_route.h"

#include <cstdlib>
#include <cstring>

#include "http/http_request.h"
#include "runtime/device_icons.h"
#include "runtime/diagnostics.h"

// The request line: method word, blanks, target, blanks, version. Cuts the target and the
// version in place.
static void cutRequestLine(char* line, size_t methodLength, HttpRoute* route) {
    char* p = line + methodLength;
    while (*p == ' ') {
        p++;
    }
    route->path = p;
    while (*p != '\0' && *p != ' ' && *p != '\r' && *p != '\n') {
        p++;
    }
    bool more = *p == ' ';
    *p = '\0';
    if (!more) {
        return;
    }
    p++;
    while (*p == ' ') {
        p++;
    }
    char* version = p;
    while (*p != '\0' && *p != '\r' && *p != '\n') {
        p++;
    }
    *p = '\0';
    if (*version != '\0') {
        route->version = version;
    }
}

// Decimal number with optional leading white space and sign; 0 when there are no digits.
static int leadingNumber(const char* text) {
    long n = std::strtol(text, nullptr, 10);
    return n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : static_cast<int>(n);
}

// TIMEOUT value: the number after the '-' of "Second-N" on the header's own line; 0 when the
// line has no '-' (as for "infinite" written without the prefix) or no digits follow it.
static int subscribeTimeout(char* head) {
    const char* value = httpFindHeader(head, "TIMEOUT");
    if (value == nullptr) {
        return 100;
    }
    while (*value != '\0' && *value != '-' && *value != '\r' && *value != '\n') {
        value++;
    }
    return *value == '-' ? leadingNumber(value + 1) : 0;
}

// The targets a HEAD request may ask about: the icons and the presentation page.
static HttpRouteKind routeHead(const char* path) {
    if (deviceIconForPath(path) != nullptr) {
        return HttpRouteKind::Icon;
    }
    if (std::strcmp(path, "/") == 0) {
        return HttpRouteKind::PresentationPage;
    }
    return HttpRouteKind::None;
}

static HttpRouteKind routeGet(const char* path) {
    HttpRouteKind face = routeHead(path);
    if (face != HttpRouteKind::None) {
        return face;
    }
    if (std::strcmp(path, "/X_MS_MediaReceiverRegistrar.xml") == 0) {
        return HttpRouteKind::RegistrarDescription;
    }
    if (std::strcmp(path, "/DeviceDescription.xml") == 0) {
        return HttpRouteKind::DeviceDescription;
    }
    if (std::strcmp(path, "/ConnectionManager.xml") == 0) {
        return HttpRouteKind::ConnectionManagerDescription;
    }
    if (std::strcmp(path, "/ContentDirectory.xml") == 0) {
        return HttpRouteKind::ContentDirectoryDescription;
    }
    if (std::strstr(path, "disk/") != nullptr) {
        return HttpRouteKind::Track;
    }
    if (std::strstr(path, "virtual/") != nullptr) {
        return HttpRouteKind::AlbumArt;
    }
    return HttpRouteKind::None;
}

static void routePost(char* head, HttpRoute* route) {
    char* soap = httpFindHeader(head, "SOAPACTION");
    if (soap == nullptr) {
        return;
    }
    char* end = soap;
    while (*end != '\0' && *end != ' ' && *end != '\r' && *end != '\n') {
        end++;
    }
    *end = '\0';
    route->soapAction = soap;
    route->kind = HttpRouteKind::Soap;
}

static void routeSubscribe(char* head, HttpRoute* route) {
    route->timeout = subscribeTimeout(head);
    char* sid = httpFindHeader(head, "SID");
    if (sid != nullptr && std::strncmp(sid, "uuid:", 5) == 0) {
        route->sid = sid + 5;
        route->kind = HttpRouteKind::Renew;
        return;
    }
    route->callback = httpFindHeader(head, "CALLBACK");
    route->kind = HttpRouteKind::Subscribe;
}

struct MethodWord {
    const char* word;
    size_t length;
};
static const MethodWord kMethods[] = {
    {"GET", 3}, {"HEAD", 4}, {"POST", 4}, {"UNSUBSCRIBE", 11}, {"SUBSCRIBE", 9}};

// Ends the head at the first blank line, written "\r\n\r\n" or with bare line feeds, and
// points the body after it.
static void cutHead(char* text, HttpRoute* route) {
    for (char* lf = std::strchr(text, '\n'); lf != nullptr; lf = std::strchr(lf + 1, '\n')) {
        char* next = lf[1] == '\r' ? lf + 2 : lf + 1;
        if (*next == '\n') {
            *(lf > text && lf[-1] == '\r' ? lf - 1 : lf) = '\0';
            route->body = next + 1;
            return;
        }
    }
}

HttpRoute httpRouteRequest(char* text) {
    HttpRoute route = {};
    route.version = "HTTP/1.0";
    route.timeout = 100;
    cutHead(text, &route);
    char* head = text;
    verbosePrint("### HTTP RECEIVED:\n%s\n", head);
    // Clients may send empty lines before the request line.
    char* line = head + std::strspn(head, "\r\n");
    const MethodWord* method = nullptr;
    for (const MethodWord& m : kMethods) {
        if (std::strncmp(line, m.word, m.length) == 0 && line[m.length] == ' ') {
            method = &m;
            break;
        }
    }
    if (method == nullptr) {
        return route;
    }
    // Header look-ups run before the request line is cut, which ends the first line early, and
    // Host before the others, whose cutting may end their lines early.
    HttpRoute fields = route;
    fields.host = httpFindHeader(line, "Host");
    if (method->word[0] == 'P') {
        routePost(line, &fields);
    } else if (method->word[0] == 'U') {
        fields.sid = httpFindHeader(line, "SID");
        fields.kind = HttpRouteKind::Unsubscribe;
    } else if (method->word[0] == 'S') {
        routeSubscribe(line, &fields);
    } else {
        fields.media = {httpFindHeader(line, "Range"), httpFindHeader(line, "If-Range"),
                        httpFindHeader(line, "TimeSeekRange.dlna.org"),
                        httpFindHeader(line, "getcontentFeatures.dlna.org"),
                        httpFindHeader(line, "transferMode.dlna.org")};
    }
    cutRequestLine(line, method->length, &fields);
    if (method->word[0] == 'G' || method->word[0] == 'H') {
        fields.kind = routeGet(fields.path);
        fields.headOnly = method->word[0] == 'H';
    }
    return fields;
}
