// Status lines, header blocks and chunk framing of every answer on a client connection.
// Each writer sends its whole text or gives up when the connection fails; results are not
// reported. Safe to call from any connection thread.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "runtime/text_buffer.h"

// Writes all `length` bytes, looping over partial writes. Returns false when the connection
// failed (or its send time-out expired) before everything was written.
bool httpSendAll(PlatformSocket socket, const char* data, int length);

void httpSendOk(PlatformSocket socket, const char* version, int32_t contentLength,
                const char* contentType, bool upnpHeaders);
void httpSendServerError(PlatformSocket socket, const char* version, int32_t contentLength,
                         const char* contentType, bool upnpHeaders);
// The 404 page names `url` with '&', '<' and '>' escaped.
void httpSendNotFound(PlatformSocket socket, const char* version, const char* url);
// A status line and headers with an empty body, for a request refused before any handler saw
// it: 400, 403, 413 or 503. `version` nullptr (the request line not read yet) says HTTP/1.1.
void httpSendStatus(PlatformSocket socket, const char* version, int status);
void httpSendChunkedHead(PlatformSocket socket);
// Sends the buffer as one chunk (nothing when empty) and empties it, keeping its storage.
void httpSendChunk(PlatformSocket socket, TextBuffer* buffer);
void httpSendLastChunk(PlatformSocket socket);
