// Reading one request and cutting it up: the head is searched in place and cut by writing NULs.
#include "http/http_internal.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "http/chunked_body.h"
#include "http/http_writers.h"
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

// What the head says about the body that follows it.
struct BodyFraming {
    int32_t length;     // Content-Length: 0 without it or with a value that is no number,
                        // -1 when above maxBody
    bool chunked;       // Transfer-Encoding: chunked (it overrides any Content-Length)
    bool otherCoding;   // a Transfer-Encoding this server does not decode
    bool wantsContinue; // Expect: 100-continue from an HTTP/1.1 client
};

static bool valueIs(const char* value, const char* word) {
    size_t n = std::strlen(word);
    if (!namesEqual(value, word, n)) {
        return false;
    }
    value += n;
    while (*value == ' ' || *value == '\t') {
        value++;
    }
    return *value == '\0' || *value == '\r' || *value == '\n';
}

// Reads the framing from the head (its first `headLength` bytes). False when memory is short.
static bool bodyFraming(const TextBuffer* request, int32_t headLength, int32_t maxBody,
                        BodyFraming* framing) {
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(headLength) + 1));
    if (copy == nullptr) {
        return false;
    }
    std::memcpy(copy, request->text, static_cast<size_t>(headLength));
    copy[headLength] = '\0';
    *framing = BodyFraming{0, false, false, false};
    const char* value = httpFindHeader(copy, "Content-Length");
    if (value != nullptr) {
        long long n = 0;
        while (*value >= '0' && *value <= '9' && n <= maxBody) {
            n = n * 10 + (*value++ - '0');
        }
        framing->length = n > maxBody ? -1 : static_cast<int32_t>(n);
    }
    value = httpFindHeader(copy, "Transfer-Encoding");
    if (value != nullptr) {
        framing->chunked = valueIs(value, "chunked");
        framing->otherCoding = !framing->chunked;
        framing->length = 0;
    }
    value = httpFindHeader(copy, "Expect");
    const char* lineEnd = std::strchr(copy, '\n');
    const char* version = std::strstr(copy, " HTTP/1.1");
    framing->wantsContinue = value != nullptr && valueIs(value, "100-continue") &&
                             version != nullptr && (lineEnd == nullptr || version < lineEnd);
    std::free(copy);
    return true;
}

// Decodes what has arrived of a chunked body; on its end, cuts the text after the decoded body.
static HttpChunked takeChunks(TextBuffer* request, int32_t bodyStart, int32_t maxBody,
                              HttpChunkedScan* scan) {
    HttpChunked state =
        httpDecodeChunked(request->text + bodyStart, request->length - bodyStart, maxBody, scan);
    if (state == HttpChunked::Done) {
        request->length = bodyStart + scan->decoded;
        request->text[request->length] = '\0';
    }
    return state;
}

HttpReadResult httpReadRequest(PlatformSocket socket, TextBuffer* request,
                               const HttpReadLimits& limits) {
    char strReceiveBuf[1025];
    uint32_t start = platformTickMs();
    int32_t bodyStart = -1; // index in the text where the body begins, once the head is whole
    BodyFraming framing = {0, false, false, false};
    HttpChunkedScan chunks = {0, 0, false};
    bool continueDue = false;
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
            // A chunked body that stops before its last chunk is not routed cut short.
            return framing.chunked ? HttpReadResult::Dropped : HttpReadResult::Complete;
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
            if (!bodyFraming(request, bodyStart, limits.maxBody, &framing) || framing.length < 0) {
                return HttpReadResult::Dropped;
            }
            if (framing.otherCoding) {
                return HttpReadResult::LengthRequired;
            }
            bodyRead = request->length - bodyStart;
            continueDue = framing.wantsContinue;
        }
        if (framing.chunked) {
            HttpChunked state = takeChunks(request, bodyStart, limits.maxBody, &chunks);
            if (state != HttpChunked::More) {
                return state == HttpChunked::Done ? HttpReadResult::Complete
                                                  : HttpReadResult::Dropped;
            }
        } else if (bodyRead >= framing.length) {
            return HttpReadResult::Complete;
        }
        // The client waits for this before it sends the body.
        if (continueDue && !httpSendAll(socket, "HTTP/1.1 100 Continue\r\n\r\n", 25)) {
            return HttpReadResult::Dropped;
        }
        continueDue = false;
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
    // Header look-ups run before the request line is cut, which ends the first line early.
    HttpRoute fields = route;
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
