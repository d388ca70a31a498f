// Recognising a request read whole: its method, target and the header values its handler needs.
#pragma once

enum class HttpRouteKind {
    None, // no answer: the connection is just closed
    DeviceDescription,
    ConnectionManagerDescription,
    ContentDirectoryDescription,
    RegistrarDescription,
    Icon,
    PresentationPage,
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
    const char* host;       // the Host value to the end of the head; nullptr when none
};

// Splits `text` (the whole request, NUL-terminated) into head and body, recognises the method
// from the request line and picks the handler. Writes NULs into `text`.
HttpRoute httpRouteRequest(char* text);
