// Chunked request bodies: each chunk's data is moved down over the framing as soon as it is
// whole, so the body is decoded by the time its last chunk arrives.
#include "http/chunked_body.h"

#include <cstring>

// Longest chunk-size or trailer line accepted; longer lines are not framing anyone sends.
static constexpr int32_t kMaxLine = 4096;

static int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The chunk size at the start of line [p, end): hex digits, then blanks and an extension or the
// end. -1 when malformed, or when above `limit` (reported as limit + 1).
static int64_t chunkSize(const char* p, const char* end, int64_t limit) {
    int64_t size = 0;
    const char* digits = p;
    for (; p < end && hexValue(*p) >= 0; p++) {
        size = size * 16 + hexValue(*p);
        if (size > limit) {
            return limit + 1;
        }
    }
    while (p < end && (*p == ' ' || *p == '\t')) {
        p++;
    }
    return p == digits || (p < end && *p != ';') ? -1 : size;
}

HttpChunked httpDecodeChunked(char* body, int32_t length, int32_t maxBody, HttpChunkedScan* scan) {
    for (;;) {
        const char* line = body + scan->next;
        auto* lf = static_cast<const char*>(
            std::memchr(line, '\n', static_cast<size_t>(length - scan->next)));
        if (lf == nullptr || lf - line > kMaxLine) {
            return length - scan->next > kMaxLine ? HttpChunked::Bad : HttpChunked::More;
        }
        const char* lineEnd = lf > line && lf[-1] == '\r' ? lf - 1 : lf;
        int32_t after = static_cast<int32_t>(lf + 1 - body);
        if (scan->trailers) {
            scan->next = after;
            if (lineEnd == line) {
                return HttpChunked::Done;
            }
            continue;
        }
        int64_t size = chunkSize(line, lineEnd, maxBody - scan->decoded);
        if (size < 0) {
            return HttpChunked::Bad;
        }
        if (size > maxBody - scan->decoded) {
            return HttpChunked::TooLarge;
        }
        if (size == 0) {
            scan->trailers = true;
            scan->next = after;
            continue;
        }
        // The data and the line end after it must both have arrived.
        int64_t dataEnd = after + size;
        if (dataEnd >= length || (body[dataEnd] == '\r' && dataEnd + 1 >= length)) {
            return HttpChunked::More;
        }
        int32_t lineEndLength = body[dataEnd] == '\n'                                ? 1
                                : body[dataEnd] == '\r' && body[dataEnd + 1] == '\n' ? 2
                                                                                     : 0;
        if (lineEndLength == 0) {
            return HttpChunked::Bad;
        }
        std::memmove(body + scan->decoded, body + after, static_cast<size_t>(size));
        scan->decoded += static_cast<int32_t>(size);
        scan->next = static_cast<int32_t>(dataEnd) + lineEndLength;
    }
}
