#include "services/services_internal.h"

#include <cstdlib>
#include <cstring>

#include "http/http_writers.h"
#include "runtime/upnp_error.h"

namespace {

constexpr int32_t kFlushBytes = 64 * 1024;

void sendOut(ServicesAnswer* answer) {
    if (!answer->failed && answer->out->length > 0) {
        answer->failed = !httpSendAll(answer->socket, answer->out->text, answer->out->length);
    }
    textBufferClear(answer->out);
}

// Frames a text as one chunk (an empty text is no chunk) and queues it. A chunk that could
// not be queued whole (memory short) would break the framing: the answer is given up instead.
void queueChunk(ServicesAnswer* answer, const char* text, size_t length) {
    if (length > 0 && !answer->failed) {
        int32_t before = answer->out->length;
        answer->out =
            textBufferAppendFormat(answer->out, "%x\r\n", static_cast<unsigned int>(length));
        int32_t framed = answer->out->length - before;
        answer->out = textBufferAppend(answer->out, text);
        answer->out = textBufferAppend(answer->out, "\r\n");
        if (answer->out->length != before + framed + static_cast<int32_t>(length) + 2) {
            answer->failed = true;
        }
    }
    if (answer->out->length >= kFlushBytes) {
        sendOut(answer);
    }
}

void queueText(ServicesAnswer* answer) {
    queueChunk(answer, answer->text->text, static_cast<size_t>(answer->text->length));
    textBufferClear(answer->text);
}

} // namespace

bool services_answer_open(ServicesAnswer* answer, PlatformSocket socket, const char* version,
                          const char* urlBase, const char* responseName, const char* filter,
                          bool chunkable) {
    answer->socket = socket;
    answer->version = version;
    answer->urlBase = urlBase;
    answer->responseName = responseName;
    didl_filter_parse(filter, &answer->filter);
    answer->chunked = chunkable && version != nullptr && std::strstr(version, "1.1") != nullptr;
    answer->failed = false;
    answer->text = textBufferCreate(nullptr, 4096);
    answer->out = answer->chunked ? textBufferCreate(nullptr, kFlushBytes + 4096) : nullptr;
    answer->element = textBufferCreate(nullptr, 4096);
    if (answer->text == nullptr || answer->element == nullptr ||
        (answer->chunked && answer->out == nullptr)) {
        services_answer_discard(answer);
        return false;
    }
    return true;
}

void services_answer_begin(ServicesAnswer* answer) {
    if (answer->chunked) {
        httpSendChunkedHead(answer->socket);
    }
    answer->text = textBufferAppendFormat(
        answer->text,
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
        "<s:Body>\r\n"
        "<u:%s xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">\r\n"
        "<Result>\r\n"
        "&lt;DIDL-Lite xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
        "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot; "
        "xmlns:dlna=&quot;urn:schemas-dlna-org:metadata-1-0/&quot; "
        "xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot;&gt;\r\n",
        answer->responseName);
    if (answer->chunked) {
        queueText(answer);
    }
}

void services_answer_object(ServicesAnswer* answer, const MediaObject* object) {
    if (answer->failed) {
        return;
    }
    textBufferClear(answer->element);
    didl_render(answer->element, object, &answer->filter, answer->urlBase);
    // An element that lost a piece would go out as a well-framed but broken document.
    if (answer->element->lost) {
        answer->failed = true;
    } else if (answer->chunked) {
        queueChunk(answer, answer->element->text, static_cast<size_t>(answer->element->length));
    } else {
        answer->text =
            textBufferAppendLength(answer->text, answer->element->text, answer->element->length);
    }
}

int services_answer_finish(ServicesAnswer* answer, int32_t returned, int32_t total) {
    answer->text = textBufferAppendFormat(answer->text,
                                          "&lt;/DIDL-Lite&gt;\r\n"
                                          "</Result>\r\n"
                                          "<NumberReturned>%d</NumberReturned>\r\n"
                                          "<TotalMatches>%d</TotalMatches>\r\n"
                                          "<UpdateID>%d</UpdateID>\r\n"
                                          "</u:%s>\r\n"
                                          "</s:Body>\r\n"
                                          "</s:Envelope>\r\n",
                                          static_cast<int>(returned), static_cast<int>(total), 0,
                                          answer->responseName);
    int code = 0;
    if (answer->chunked) {
        // A failed answer gets no last chunk: the client sees it cut, never complete.
        queueText(answer);
        if (!answer->failed) {
            answer->out = textBufferAppend(answer->out, "0\r\n\r\n\r\n");
            sendOut(answer);
        }
    } else if (answer->failed || answer->text->lost) {
        code = kUpnpOutOfMemory; // nothing is sent yet: the caller answers with the fault
    } else {
        httpSendOkWith(answer->socket, answer->version, answer->text->length, "text/xml", true,
                       answer->text->text, answer->text->length);
    }
    services_answer_discard(answer);
    return code;
}

void services_answer_discard(ServicesAnswer* answer) {
    textBufferFree(answer->text);
    textBufferFree(answer->out);
    textBufferFree(answer->element);
    answer->text = nullptr;
    answer->out = nullptr;
    answer->element = nullptr;
}

int32_t services_page_length(int32_t total, int32_t start, int32_t requested) {
    if (requested < 0 || start >= total) {
        return 0;
    }
    int32_t rest = total - start;
    return requested == 0 || requested > rest ? rest : requested;
}

int64_t services_parse_id(const char* text) {
    return static_cast<int64_t>(std::strtoll(text, nullptr, 10));
}
