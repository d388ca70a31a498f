// Reading one request and cutting it up: the head is searched in place and cut by writing NULs.
#include "http/http_internal.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "runtime/diagnostics.h"

// Index just past the blank line ending the head ("\r\n\r\n", or "\n\n" from clients that end
// lines with a bare line feed), searching from `from`; -1 while there is none.
static int32_t headEnd(const TextBuffer* request, int32_t from) {
    const char* text = request->text;
    for (int32_t i = from; i < request->length; i++) {
        if (text[i] != '\n') {
            continue;
        }
        if (text[i + 1] == '\n') {
            return i + 2;
        }
        if (text[i + 1] == '\r' && text[i + 2] == '\n') {
            return i + 3;
        }
    }
    return -1;
}

static bool namesEqual(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

char* httpFindHeader(char* head, const char* name) {
    size_t n = std::strlen(name);
    char* line = std::strchr(head, '\n');
    while (line != nullptr) {
        line++;
        if (namesEqual(line, name, n) && line[n] == ':') {
            char* value = line + n + 1;
            while (*value == ' ' || *value == '\t') {
                value++;
            }
            return value;
        }
        line = std::strchr(line, '\n');
    }
    return nullptr;
}

// Body length announced by the head (only its first `headLength` bytes are searched): 0 without
// the header or with a value that is no number, -1 when it is above `maxBody`.
static int32_t announcedBody(const TextBuffer* request, int32_t headLength, int32_t maxBody) {
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(headLength) + 1));
    if (copy == nullptr) {
        return -1;
    }
    std::memcpy(copy, request->text, static_cast<size_t>(headLength));
    copy[headLength] = '\0';
    int32_t result = 0;
    const char* value = httpFindHeader(copy, "Content-Length");
    if (value != nullptr) {
        long long n = 0;
        while (*value >= '0' && *value <= '9' && n <= maxBody) {
            n = n * 10 + (*value++ - '0');
        }
        result = n > maxBody ? -1 : static_cast<int32_t>(n);
    }
    std::free(copy);
    return result;
}

HttpReadResult httpReadRequest(PlatformSocket socket, TextBuffer* request,
                               const HttpReadLimits& limits) {
    char strReceiveBuf[1025];
    uint32_t start = platformTickMs();
    int32_t bodyStart = -1; // index in the text where the body begins, once the head is whole
    int32_t bodyWanted = 0;
    int64_t bodyRead = 0;
    for (;;) {
        uint32_t spent = platformTickMs() - start;
        if (spent >= limits.totalMs) {
            return HttpReadResult::Dropped;
        }
        platformSocketSetTimeouts(socket, limits.totalMs - spent, limits.totalMs);
        int n = platformSocketRecv(socket, strReceiveBuf, 1024);
        if (n < 0) {
            return HttpReadResult::Dropped;
        }
        if (n == 0) {
            return HttpReadResult::Complete;
        }
        strReceiveBuf[n] = '\0';
        int32_t before = request->length;
        textBufferAppend(request, strReceiveBuf);
        if (bodyStart >= 0) {
            bodyRead += n;
        } else {
            bodyStart = headEnd(request, before > 3 ? before - 3 : 0);
            if (bodyStart < 0) {
                if (request->length > limits.maxHead) {
                    return HttpReadResult::Dropped;
                }
                continue;
            }
            if (bodyStart > limits.maxHead) {
                return HttpReadResult::Dropped;
            }
            bodyWanted = announcedBody(request, bodyStart, limits.maxBody);
            if (bodyWanted < 0) {
                return HttpReadResult::Dropped;
            }
            bodyRead = request->length - bodyStart;
        }
        if (bodyRead >= bodyWanted) {
            return HttpReadResult::Complete;
        }
    }
}

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

static HttpRouteKind routeGet(const char* path) {
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
    {"GET", 3}, {"POST", 4}, {"UNSUBSCRIBE", 11}, {"SUBSCRIBE", 9}};

HttpRoute httpRouteRequest(char* text) {
    HttpRoute route = {
        HttpRouteKind::None, nullptr, nullptr, "HTTP/1.0", nullptr, nullptr, nullptr, nullptr, 100};
    char* blank = std::strstr(text, "\r\n\r\n");
    if (blank != nullptr) {
        *blank = '\0';
        route.body = blank + 4;
    }
    char* head = text;
    route.head = head;
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
    // Header look-ups run before the request line is cut, which ends the first line early.
    HttpRoute fields = route;
    if (method->word[0] == 'P') {
        routePost(line, &fields);
    } else if (method->word[0] == 'U') {
        fields.sid = httpFindHeader(line, "SID");
        fields.kind = HttpRouteKind::Unsubscribe;
    } else if (method->word[0] == 'S') {
        routeSubscribe(line, &fields);
    }
    cutRequestLine(line, method->length, &fields);
    if (method->word[0] == 'G') {
        fields.kind = routeGet(fields.path);
    }
    return fields;
}
