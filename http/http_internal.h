// Request reading, splitting and routing shared by the connection thread, its tests and the
// request fuzzer.
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

enum class HttpRouteKind {
    None, // no answer: the connection is just closed
    DeviceDescription,
    ConnectionManagerDescription,
    ContentDirectoryDescription,
    Track,
    AlbumArt,
    Soap,
    Unsubscribe,
    Renew,
    Subscribe,
};

// Header values a media answer depends on, each running to the end of its line (the head's
// last line ends at the head's end); nullptr when absent.
struct HttpMediaHeaders {
    const char* range;
    const char* ifRange;
    const char* timeSeekRange;   // TimeSeekRange.dlna.org
    const char* contentFeatures; // getcontentFeatures.dlna.org
    const char* transferMode;    // transferMode.dlna.org
};

// One request cut up in place. Every pointer points into the request text.
struct HttpRoute {
    HttpRouteKind kind;
    char* path;
    HttpMediaHeaders media; // GET and HEAD
    const char* version;    // "HTTP/1.0" when the request line names none
    char* body;             // after the first blank line; nullptr when none
    char* soapAction;       // the SOAPACTION value with its quotes
    char* sid;              // Renew: after "uuid:"; Unsubscribe: the whole value
    char* callback;         // Subscribe: the CALLBACK value to the end of the head
    int timeout;            // Subscribe and Renew: seconds asked for (100 without TIMEOUT)
    bool headOnly;          // HEAD: routed as GET, answered with the status line and headers only
};

// Splits `text` (the whole request, NUL-terminated) into head and body, recognises the method
// from the request line and picks the handler. Writes NULs into `text`.
HttpRoute httpRouteRequest(char* text);

// Serves one accepted connection with the given limits (the connection thread uses
// kHttpReadLimits) and closes it.
void httpServeConnection(PlatformSocket socket, const HttpReadLimits& limits);

// Number of connection threads running now (all listeners together) and the most allowed;
// connections above the limit are closed at once by the accept thread.
int httpActiveConnections();
constexpr int kHttpMaxConnections = 256;
