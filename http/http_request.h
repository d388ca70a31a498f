// Reading one HTTP request from a client connection, and looking up its header fields.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "runtime/text_buffer.h"

// Limits of one request. A head or body above its limit, or a request that has not arrived
// whole within `totalMs`, is dropped without an answer.
struct HttpReadLimits {
    int32_t maxHead;
    int32_t maxBody;
    uint32_t totalMs;
};

constexpr HttpReadLimits kHttpReadLimits = {64 * 1024, 1024 * 1024, 30000};

enum class HttpReadResult {
    Complete,       // head and body read, or the peer ended its side: route the text
    Dropped,        // time-out, error, a size limit or broken chunks: close without an answer
    LengthRequired, // a body in a transfer coding other than chunked: answer 411
};

// Reads one request into `request` in 1,024-byte blocks: until the blank line that ends the
// head and then, when the head announces a Content-Length, until that many body bytes have
// arrived. A chunked body is read to its last chunk and decoded in place, so the text holds the
// head and the plain body. When the head asks for "Expect: 100-continue" and the body has not
// all arrived, "100 Continue" is sent first. Sets the socket's receive time-out for each read
// from what is left of the total.
HttpReadResult httpReadRequest(PlatformSocket socket, TextBuffer* request,
                               const HttpReadLimits& limits);

// Value of header `name` in `head` (NUL-terminated head text): the name must start a line after
// the request line and be followed directly by ':'; names compare without regard to case.
// Returns the value with leading blanks skipped (it runs to the end of the head), or nullptr.
char* httpFindHeader(char* head, const char* name);
