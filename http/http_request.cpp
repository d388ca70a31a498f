// Reading one request whole, and looking up its header fields.
#include "http/http_request.h"

#include <cstdlib>
#include <cstring>

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
