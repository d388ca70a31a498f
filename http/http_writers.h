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
// The same head followed by `bodyLength` bytes of `body` in one send, so a short answer leaves
// in one segment; the bytes on the wire are those of httpSendOk and then the body.
void httpSendOkWith(PlatformSocket socket, const char* version, int32_t contentLength,
                    const char* contentType, bool upnpHeaders, const char* body,
                    int32_t bodyLength);
void httpSendServerError(PlatformSocket socket, const char* version, int32_t contentLength,
                         const char* contentType, bool upnpHeaders);
// The 404 page naming `url` with '&', '<' and '>' escaped, with its length; only the status
// line and headers when headOnly.
void httpSendNotFound(PlatformSocket socket, const char* version, const char* url,
                      bool headOnly = false);
// A status line and headers with an empty body, for a request refused before any handler saw
// it: 400, 403, 411, 413 or 503. `version` nullptr (the request line not read yet) says HTTP/1.1.
void httpSendStatus(PlatformSocket socket, const char* version, int status);

// Head of an answer that carries a track or a picture, or refuses the range or time asked for.
struct HttpMediaHead {
    int status;               // 200, 206, 406 or 416
    const char* contentType;  // nullptr for 406 and 416
    int64_t contentLength;    // body bytes that follow (0 for 406 and 416)
    int64_t rangeFirst;       // 206: first byte sent
    int64_t totalSize;        // 206 and 416: size of the whole resource
    const char* features;     // contentFeatures.dlna.org value, or nullptr
    const char* transferMode; // transferMode.dlna.org value, or nullptr
};

// Sends the head: status line, Content-Type, Date, Content-Length, Content-Range (206, 416),
// Accept-Ranges, the DLNA headers given, Connection: close.
void httpSendMediaHead(PlatformSocket socket, const char* version, const HttpMediaHead& head);
void httpSendChunkedHead(PlatformSocket socket);
// Sends the buffer as one chunk (nothing when empty) and empties it, keeping its storage.
void httpSendChunk(PlatformSocket socket, TextBuffer* buffer);
void httpSendLastChunk(PlatformSocket socket);
