// Request bodies sent with "Transfer-Encoding: chunked", decoded in place as they arrive.
#pragma once

#include <cstdint>

// Where decoding stands; start from all zeros for each body.
struct HttpChunkedScan {
    int32_t next;    // offset of the first byte not yet taken apart
    int32_t decoded; // body bytes decoded so far, moved to the front of the body
    bool trailers;   // the last chunk was read; trailer lines until the blank line follow
};

enum class HttpChunked {
    More,     // the body is not complete yet: call again when more bytes have arrived
    Done,     // body[0, decoded) is the decoded body
    Bad,      // not chunked framing
    TooLarge, // the decoded body would exceed maxBody
};

// Takes apart the chunks in body[scan->next, length) (chunk sizes in hex with optional
// extensions, data, line ends CR LF or a bare LF; then the last chunk, trailers and a blank line)
// and moves the data of each whole chunk down to body + scan->decoded. Bytes past the blank line
// that ends the body are left alone.
HttpChunked httpDecodeChunked(char* body, int32_t length, int32_t maxBody, HttpChunkedScan* scan);
