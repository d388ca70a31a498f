// Drives SOAP control on a loopback socket pair and takes the answer apart: the exchange runs
// the server side on the calling thread while a reader thread drains the client end, so
// answers larger than the socket buffers cannot block.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

// Runs `serve(serverSocket)`, closes the server end and returns every byte the client read.
std::string soapServe(const std::function<void(PlatformSocket)>& serve);

// soap_dispatch with a copy of `body` (nullptr body when `hasBody` is false).
std::string soapDispatch(const std::string& soapAction, const std::string& body,
                         const std::string& version = "HTTP/1.1", bool hasBody = true);

struct SoapAnswer {
    std::string head; // status line and headers, without the blank line
    std::string body; // de-chunked when the answer was chunked
    bool chunked = false;
    bool wellFramed = false; // lengths and chunk framing exactly consistent
};
SoapAnswer soapSplit(const std::string& raw);

// The text of the first element `<name>...</name>` in `xml` ("" when absent).
std::string soapElement(const std::string& xml, const std::string& name);
// Count of non-overlapping occurrences.
int soapCount(const std::string& text, const std::string& needle);
// Undoes the five XML entity escapes once (&lt; &gt; &quot; &apos; &amp;).
std::string soapUnescape(const std::string& text);

// A Browse or Search envelope with the given arguments (already escaped by the caller).
std::string soapBrowseBody(const std::string& objectId, const std::string& flag,
                           const std::string& filter, int start, int count,
                           const std::string& sort);
std::string soapSearchBody(const std::string& containerId, const std::string& criteria,
                           const std::string& filter, int start, int count,
                           const std::string& sort);
