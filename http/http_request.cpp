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

static bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// What the head says about the body that follows it.
struct BodyFraming {
    int32_t length;     // Content-Length, 0 without it
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
    while (isBlank(*value)) {
        value++;
    }
    return *value == '\0' || *value == '\r' || *value == '\n';
}

// Reads the framing from the head (its first `headLength` bytes): Complete, BadRequest or
// TooLarge as httpBodyLength decides for a Content-Length, Dropped when memory is short.
static HttpReadResult bodyFraming(const TextBuffer* request, int32_t headLength, int32_t maxBody,
                                  BodyFraming* framing) {
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(headLength) + 1));
    if (copy == nullptr) {
        return HttpReadResult::Dropped;
    }
    std::memcpy(copy, request->text, static_cast<size_t>(headLength));
    copy[headLength] = '\0';
    *framing = BodyFraming{0, false, false, false};
    HttpReadResult result = HttpReadResult::Complete;
    const char* value = httpFindHeader(copy, "Transfer-Encoding");
    if (value != nullptr) {
        framing->chunked = valueIs(value, "chunked");
        framing->otherCoding = !framing->chunked;
    } else {
        result = httpBodyLength(copy, headLength, maxBody, &framing->length);
    }
    value = httpFindHeader(copy, "Expect");
    const char* lineEnd = std::strchr(copy, '\n');
    const char* version = std::strstr(copy, " HTTP/1.1");
    framing->wantsContinue = value != nullptr && valueIs(value, "100-continue") &&
                             version != nullptr && (lineEnd == nullptr || version < lineEnd);
    std::free(copy);
    return result;
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

// The value of one Content-Length line from `value` to `end`: blanks, decimal digits, blanks.
// Sets *length (capped just above maxBody); false when the value is no plain decimal number.
static bool readLength(const char* value, const char* end, int32_t maxBody, int64_t* length) {
    while (value < end && isBlank(*value)) {
        value++;
    }
    const char* digits = value;
    int64_t n = 0;
    for (; value < end && *value >= '0' && *value <= '9'; value++) {
        n = n > maxBody ? n : n * 10 + (*value - '0');
    }
    bool any = value > digits;
    while (value < end && (isBlank(*value) || *value == '\r')) {
        value++;
    }
    *length = n;
    return any && value == end;
}

HttpReadResult httpBodyLength(const char* head, int32_t headLength, int32_t maxBody,
                              int32_t* length) {
    static const char kName[] = "content-length:";
    const size_t nameLength = sizeof kName - 1;
    const char* text = head;
    const char* limit = text + headLength;
    int64_t found = -1;
    for (const char* line = text; line < limit;) {
        const char* next = static_cast<const char*>(std::memchr(line, '\n', limit - line));
        const char* end = next != nullptr ? next : limit;
        if (line != text && static_cast<size_t>(end - line) > nameLength &&
            asciiEqualNoCase(line, kName, nameLength)) {
            int64_t value = 0;
            if (!readLength(line + nameLength, end, maxBody, &value) ||
                (found >= 0 && value != found)) {
                return HttpReadResult::BadRequest;
            }
            found = value;
        }
        line = end + 1;
    }
    if (found > maxBody) {
        return HttpReadResult::TooLarge;
    }
    *length = found < 0 ? 0 : static_cast<int32_t>(found);
    return HttpReadResult::Complete;
}

// What is left of the time for the stage the reading is in; 0 when it has run out.
static uint32_t timeLeft(uint32_t start, bool headWhole, const HttpReadLimits& limits) {
    uint32_t spent = platformTickMs() - start;
    uint32_t limit = headWhole || limits.headMs > limits.totalMs ? limits.totalMs : limits.headMs;
    return spent < limit ? limit - spent : 0;
}

// The receive time-out is set afresh this often (and when the head is whole), not before every
// block: a long body then costs a few system calls rather than two per block, and a deadline is
// overshot by at most this much.
constexpr uint32_t kRefreshMs = 50;

HttpReadResult httpReadRequest(PlatformSocket socket, TextBuffer* request,
                               const HttpReadLimits& limits, bool timeoutsPreset) {
    char strReceiveBuf[1025];
    uint32_t start = platformTickMs();
    int32_t bodyStart = -1; // index in the text where the body begins, once the head is whole
    BodyFraming framing = {0, false, false, false};
    HttpChunkedScan chunks = {0, 0, false};
    bool continueDue = false;
    int64_t bodyRead = 0;
    // A preset head time-out counts as set now: it runs out no later than the head's time.
    uint32_t timeoutSetAt = start;
    bool timeoutSet = timeoutsPreset && limits.headMs <= limits.totalMs;
    bool setForBody = false; // the receive time-out was last set once the head was whole
    for (;;) {
        bool headWhole = bodyStart >= 0;
        uint32_t left = timeLeft(start, headWhole, limits);
        if (left == 0) {
            return HttpReadResult::Dropped;
        }
        uint32_t now = platformTickMs();
        if (!timeoutSet || setForBody != headWhole || now - timeoutSetAt >= kRefreshMs) {
            platformSocketSetTimeouts(socket, left, limits.totalMs);
            timeoutSetAt = now;
            setForBody = headWhole;
            timeoutSet = true;
        }
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
            HttpReadResult result = bodyFraming(request, bodyStart, limits.maxBody, &framing);
            if (result != HttpReadResult::Complete) {
                return result;
            }
            if (framing.otherCoding) {
                return HttpReadResult::LengthRequired;
            }
            bodyRead = request->length - bodyStart;
            // One allocation for the whole body rather than a copy at every doubling.
            textBufferReserve(request, framing.length - static_cast<int32_t>(bodyRead));
            continueDue = framing.wantsContinue;
        }
        if (framing.chunked) {
            HttpChunked state = takeChunks(request, bodyStart, limits.maxBody, &chunks);
            if (state == HttpChunked::Done) {
                return HttpReadResult::Complete;
            }
            if (state != HttpChunked::More) {
                return state == HttpChunked::TooLarge ? HttpReadResult::TooLarge
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
