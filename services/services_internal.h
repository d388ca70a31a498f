// The answer of Browse and Search: head, one DIDL-Lite element per object, tail. HTTP/1.1
// answers are chunked with one chunk per object; chunks are gathered and written in blocks of
// about 64 KB, so the bytes on the wire are the same as one write per chunk at a fraction of
// the system calls. Once a write fails the rest of the answer is skipped.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "runtime/text_buffer.h"
#include "services/didl_lite.h"

struct ServicesAnswer {
    PlatformSocket socket;
    const char* version;
    const char* urlBase;
    const char* responseName; // "BrowseResponse" or "SearchResponse"
    DidlFilter filter;
    bool chunked;
    bool failed;
    TextBuffer* text;    // unchunked: the whole answer; chunked: head and tail before framing
    TextBuffer* out;     // framed chunks waiting to be written (chunked answers only)
    TextBuffer* element; // the element being written, its storage kept for the next
};

// Prepares an answer; nothing is sent yet. It is chunked when `chunkable` is set and the
// version text contains "1.1". False when memory is short (nothing to release then).
bool services_answer_open(ServicesAnswer* answer, PlatformSocket socket, const char* version,
                          const char* urlBase, const char* responseName, const char* filter,
                          bool chunkable);

// Sends the status line (chunked) and the head. From here on the answer must be completed.
void services_answer_begin(ServicesAnswer* answer);

// Adds one object's element.
void services_answer_object(ServicesAnswer* answer, const MediaObject* object);

// Adds the tail, sends what remains and releases the answer. Returns 0, or kUpnpOutOfMemory
// when a one-piece answer could not be built whole: nothing has been sent then, and the caller
// answers with that fault. A chunked answer that could not be built whole is left without its
// last chunk, so the client sees it cut rather than complete.
int services_answer_finish(ServicesAnswer* answer, int32_t returned, int32_t total);

// Releases an answer that was opened but never begun.
void services_answer_discard(ServicesAnswer* answer);

// How many entries a page holds: from `start`, at most `requested` (0: all the rest; negative:
// none).
int32_t services_page_length(int32_t total, int32_t start, int32_t requested);

// Parses a signed 64-bit decimal ObjectID (leading blanks and a sign accepted; no digits: 0).
int64_t services_parse_id(const char* text);
