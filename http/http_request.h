// Reading one HTTP request from a client connection, and looking up its header fields.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "runtime/text_buffer.h"

// Limits of one request.
struct HttpReadLimits {
    int32_t maxHead;  // a longer head is dropped without an answer
    int32_t maxBody;  // a longer announced body is refused with 413
    uint32_t totalMs; // the whole request must have arrived by then
    uint32_t headMs;  // the head must have arrived by then
};

constexpr HttpReadLimits kHttpReadLimits = {
    64 * 1024,   // heads of real clients are a few hundred bytes
    1024 * 1024, // the largest SOAP request worth reading; Search criteria are far smaller
    30000,       // a whole request, body included, over a slow network
    10000,       // a head: a client that trickles one holds a connection for nothing
};

enum class HttpReadResult {
    Complete,       // head and body read, or the peer ended its side: route the text
    Dropped,        // time-out, error, a head over its limit or broken chunks: close unanswered
    BadRequest,     // Content-Length negative, not decimal, or given twice with different values
    TooLarge,       // the announced or the decoded chunked body is over maxBody
    LengthRequired, // a body in a transfer coding other than chunked: answer 411
};

// Reads one request into `request` in 1,024-byte blocks: until the blank line that ends the
// head and then, when the head announces a Content-Length, until that many body bytes have
// arrived. A chunked body is read to its last chunk and decoded in place, so the text holds the
// head and the plain body. When the head asks for "Expect: 100-continue" and the body has not
// all arrived, "100 Continue" is sent first. Sets the socket's receive time-out for each read
// from what is left of the head's time (until the head is whole) or of the total, and the send
// time-out to the total. `timeoutsPreset`: the socket already has a receive time-out of headMs
// and a send time-out of totalMs (inherited from its listener), so the first read sets none.
HttpReadResult httpReadRequest(PlatformSocket socket, TextBuffer* request,
                               const HttpReadLimits& limits, bool timeoutsPreset = false);

// The body length announced by the first `headLength` bytes of a head (its request line and
// header lines): Complete with *length 0 without a Content-Length header; BadRequest unless every
// Content-Length line holds the same plain decimal number; TooLarge when it is above `maxBody`.
HttpReadResult httpBodyLength(const char* head, int32_t headLength, int32_t maxBody,
                              int32_t* length);

// Value of header `name` in `head` (NUL-terminated head text): the name must start a line after
// the request line and be followed directly by ':'; names compare without regard to case.
// Returns the value with leading blanks skipped (it runs to the end of the head), or nullptr.
char* httpFindHeader(char* head, const char* name);
