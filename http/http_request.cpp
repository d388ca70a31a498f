// Reading one request whole, and looking up its header fields.
#include "http/http_request.h"

#include <cstdlib>
#include <cstring>

#include "http/chunked_body.h"
#include "http/http_writers.h"
#include "runtime/ascii.h"
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

char* httpFindHeader(char* head, const char* name) {
    size_t n = std::strlen(name);
    char* line = std::strchr(head, '\n');
    while (line != nullptr) {
        line++;
        if (asciiEqualNoCase(line, name, n) && line[n] == ':') {
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
    if (!asciiEqualNoCase(value, word, n)) {
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
