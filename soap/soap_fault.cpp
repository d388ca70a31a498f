#include "soap/soap_fault.h"

#include <cstdio>

#include "http/http_writers.h"

namespace {

// Lines end in LF only; the leading blanks are part of the envelope.
constexpr char kFaultFormat[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                                "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\n"
                                " <s:Body>\n"
                                "  <s:Fault>\n"
                                "   <faultcode>s:Client</faultcode>\n"
                                "   <faultstring>UPnPError</faultstring>\n"
                                "   <detail>\n"
                                "    <UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">\n"
                                "     <errorCode>%d</errorCode>\n"
                                "     <errorDescription>%s</errorDescription>\n"
                                "    </UPnPError>\n"
                                "   </detail>\n"
                                "  </s:Fault>\n"
                                " </s:Body>\n"
                                "</s:Envelope>\n";

// The row of `code`, or the row of 604 when no row has that code.
const UpnpError* errorRow(int code) {
    const UpnpError* fallback = upnp_error_table;
    for (const UpnpError* row = upnp_error_table; row->code != 0; row++) {
        if (row->code == code) {
            return row;
        }
        if (row->code == kUpnpHumanInterventionRequired) {
            fallback = row;
        }
    }
    return fallback;
}

} // namespace

TextBuffer* soap_fault_text(int code) {
    const UpnpError* row = errorRow(code);
    // Exactly as large as the envelope and its terminator.
    int length = std::snprintf(nullptr, 0, kFaultFormat, row->code, row->description);
    if (length < 0) {
        return nullptr;
    }
    TextBuffer* text = textBufferCreate(nullptr, length + 1);
    return textBufferAppendFormat(text, kFaultFormat, row->code, row->description);
}

void soap_send_fault(PlatformSocket socket, const char* version, int code) {
    TextBuffer* text = soap_fault_text(code);
    if (text == nullptr) {
        return;
    }
    httpSendServerError(socket, version, text->length, "text/xml", true);
    httpSendAll(socket, text->text, text->length);
    textBufferFree(text);
}
