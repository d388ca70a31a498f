#include "http/http_writers.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/device_identity.h"
#include "runtime/diagnostics.h"
#include "runtime/http_date.h"
#include "runtime/xml_escape.h"

bool httpSendAll(PlatformSocket socket, const char* data, int length) {
    while (length > 0) {
        int sent = platformSocketSend(socket, data, length);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= sent;
    }
    return true;
}

// Formats the head into a stack block, or into a heap block when it does not fit, so a long
// version or url never cuts a header block short; sends it whole, followed by `body` in the same
// send (one segment on the wire for a short answer), and logs the head when asked. Nothing is
// sent when the heap block cannot be had.
__attribute__((format(printf, 5, 0))) static void sendHeadAndBody(PlatformSocket socket, bool log,
                                                                  const char* body, int bodyLength,
                                                                  const char* format,
                                                                  va_list args) {
    char local[4096];
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(local, sizeof local, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    size_t whole = static_cast<size_t>(n) + static_cast<size_t>(bodyLength);
    char* text = local;
    if (whole >= sizeof local) {
        text = static_cast<char*>(std::malloc(whole + 1));
        if (text != nullptr) {
            std::vsnprintf(text, static_cast<size_t>(n) + 1, format, again);
        }
    }
    va_end(again);
    if (text == nullptr) {
        return;
    }
    if (bodyLength > 0) {
        std::memcpy(text + n, body, static_cast<size_t>(bodyLength));
    }
    httpSendAll(socket, text, static_cast<int>(whole));
    if (log) {
        text[n] = '\0';
        verbosePrint("### HTTP SEND:\n%s", text);
    }
    if (text != local) {
        std::free(text);
    }
}

__attribute__((format(printf, 3, 4))) static void sendFormatted(PlatformSocket socket, bool log,
                                                                const char* format, ...) {
    va_list args;
    va_start(args, format);
    sendHeadAndBody(socket, log, nullptr, 0, format, args);
    va_end(args);
}

__attribute__((format(printf, 5, 6))) static void sendWithBody(PlatformSocket socket,
                                                               const char* body, int bodyLength,
                                                               bool log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    sendHeadAndBody(socket, log, body, bodyLength, format, args);
    va_end(args);
}

void httpSendOk(PlatformSocket socket, const char* version, int32_t contentLength,
                const char* contentType, bool upnpHeaders) {
    httpSendOkWith(socket, version, contentLength, contentType, upnpHeaders, nullptr, 0);
}

void httpSendOkWith(PlatformSocket socket, const char* version, int32_t contentLength,
                    const char* contentType, bool upnpHeaders, const char* body,
                    int32_t bodyLength) {
    HttpDateText date = httpDate();
    if (upnpHeaders) {
        sendWithBody(socket, body, bodyLength, true,
                     "%s 200 OK\r\n"
                     "Content-Length: %d\r\n"
                     "Content-Type: %s\r\n"
                     "Date: %s GMT\r\n"
                     "EXT:\r\n"
                     "SERVER: %s\r\n"
                     "Connection: close\r\n"
                     "\r\n",
                     version, static_cast<int>(contentLength), contentType, date.text,
                     serverString);
        return;
    }
    sendWithBody(socket, body, bodyLength, true,
                 "%s 200 OK\r\n"
                 "Content-Type: %s\r\n"
                 "Date: %s GMT\r\n"
                 "Content-Length: %d\r\n"
                 "Connection: close\r\n"
                 "\r\n",
                 version, contentType, date.text, static_cast<int>(contentLength));
}

void httpSendServerError(PlatformSocket socket, const char* version, int32_t contentLength,
                         const char* contentType, bool upnpHeaders) {
    HttpDateText date = httpDate();
    if (upnpHeaders) {
        sendFormatted(socket, true,
                      "%s 500 Internal Server Error\r\n"
                      "Content-Type: %s\r\n"
                      "Date: %s GMT\r\n"
                      "Content-Length: %d\r\n"
                      "Connection: close\r\n"
                      "EXT:\r\n"
                      "SERVER: %s\r\n"
                      "\r\n",
                      version, contentType, date.text, static_cast<int>(contentLength),
                      serverString);
        return;
    }
    sendFormatted(socket, true,
                  "%s 500 Internal Server Error\r\n"
                  "Content-Type: %s\r\n"
                  "Date: %s GMT\r\n"
                  "Content-Length: %d\r\n"
                  "Connection: close\r\n"
                  "\r\n",
                  version, contentType, date.text, static_cast<int>(contentLength));
}

#define KB_NOT_FOUND_PAGE                                                                          \
    "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\r\n"                                          \
    "<BODY><H1>Not Found</H1>The requested URL %s was not found on this server.</BODY></HTML>\r\n"

// The url is markup-escaped: the page is text/html, and a target holding markup must not come
// back as markup (a reflected script). Without memory for the escaped text it is left out.
void httpSendNotFound(PlatformSocket socket, const char* version, const char* url, bool headOnly) {
    HttpDateText date = httpDate();
    TextBuffer* escaped = textBufferCreate(nullptr, 256);
    if (escaped != nullptr) {
        textBufferAppendXml(escaped, url, XmlEscape::Once, INT32_MAX);
    }
    const char* shown = escaped != nullptr ? escaped->text : "";
    int length = std::snprintf(nullptr, 0, KB_NOT_FOUND_PAGE, shown);
    if (headOnly) {
        sendFormatted(socket, true,
                      "%s 404 Not Found\r\n"
                      "Date: %s GMT\r\n"
                      "Connection: close\r\n"
                      "Content-Type: text/html\r\n"
                      "Content-Length: %d\r\n"
                      "\r\n",
                      version, date.text, length);
    } else {
        sendFormatted(socket, true,
                      "%s 404 Not Found\r\n"
                      "Date: %s GMT\r\n"
                      "Connection: close\r\n"
                      "Content-Type: text/html\r\n"
                      "Content-Length: %d\r\n"
                      "\r\n" KB_NOT_FOUND_PAGE,
                      version, date.text, length, shown);
    }
    textBufferFree(escaped);
}

#undef KB_NOT_FOUND_PAGE

static const char* reasonPhrase(int status) {
    switch (status) {
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 411:
        return "Length Required";
    case 413:
        return "Request Entity Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

void httpSendStatus(PlatformSocket socket, const char* version, int status) {
    HttpDateText date = httpDate();
    sendFormatted(socket, true,
                  "%s %d %s\r\n"
                  "Date: %s GMT\r\n"
                  "Content-Length: 0\r\n"
                  "Connection: close\r\n"
                  "\r\n",
                  version != nullptr ? version : "HTTP/1.1", status, reasonPhrase(status),
                  date.text);
}

static const char* statusText(int status) {
    switch (status) {
    case 206:
        return "206 Partial Content";
    case 406:
        return "406 Not Acceptable";
    case 416:
        return "416 Range Not Satisfiable";
    default:
        return "200 OK";
    }
}

void httpSendMediaHead(PlatformSocket socket, const char* version, const HttpMediaHead& head) {
    char type[96] = "";
    char range[96] = "";
    char dlna[320] = "";
    if (head.contentType != nullptr) {
        std::snprintf(type, sizeof type, "Content-Type: %s\r\n", head.contentType);
    }
    if (head.status == 206) {
        std::snprintf(range, sizeof range, "Content-Range: bytes %lld-%lld/%lld\r\n",
                      static_cast<long long>(head.rangeFirst),
                      static_cast<long long>(head.rangeFirst + head.contentLength - 1),
                      static_cast<long long>(head.totalSize));
    } else if (head.status == 416) {
        std::snprintf(range, sizeof range, "Content-Range: bytes */%lld\r\n",
                      static_cast<long long>(head.totalSize));
    }
    int used = 0;
    if (head.features != nullptr) {
        used = std::snprintf(dlna, sizeof dlna, "contentFeatures.dlna.org: %s\r\n", head.features);
    }
    if (head.transferMode != nullptr && used >= 0 && used < static_cast<int>(sizeof dlna)) {
        std::snprintf(dlna + used, sizeof dlna - static_cast<size_t>(used),
                      "transferMode.dlna.org: %s\r\n", head.transferMode);
    }
    HttpDateText date = httpDate();
    sendFormatted(socket, true,
                  "%s %s\r\n"
                  "%s"
                  "Date: %s GMT\r\n"
                  "Content-Length: %lld\r\n"
                  "%s"
                  "Accept-Ranges: bytes\r\n"
                  "%s"
                  "Connection: close\r\n"
                  "\r\n",
                  version, statusText(head.status), type, date.text,
                  static_cast<long long>(head.contentLength), range, dlna);
}

void httpSendChunkedHead(PlatformSocket socket) {
    HttpDateText date = httpDate();
    sendFormatted(socket, true,
                  "HTTP/1.1 200 OK\r\n"
                  "CONTENT-TYPE: text/xml\r\n"
                  "DATE: %s GMT\r\n"
                  "Connection: close\r\n"
                  "EXT:\r\n"
                  "SERVER: %s\r\n"
                  "Transfer-Encoding: chunked\r\n"
                  "\r\n",
                  date.text, serverString);
}

void httpSendChunk(PlatformSocket socket, TextBuffer* buffer) {
    if (buffer == nullptr || buffer->length == 0) {
        return;
    }
    char size[16];
    int n = std::snprintf(size, sizeof size, "%x\r\n", static_cast<unsigned>(buffer->length));
    // A failed write ends the chunk: the rest would only corrupt the framing further.
    if (httpSendAll(socket, size, n) && httpSendAll(socket, buffer->text, buffer->length)) {
        httpSendAll(socket, "\r\n", 2);
    }
    textBufferClear(buffer);
}

void httpSendLastChunk(PlatformSocket socket) {
    httpSendAll(socket, "0\r\n\r\n\r\n", 7);
}
