#include "soap/soap_fault.h"

#include <cstdio>

#include "http/http_writers.h"

const UpnpError upnp_error_table[] = {
    {401, "invalid Action"},
    {402, "invalid Args"},
    {501, "Action Failed"},
    {600, "Argument Value Invalid"},
    {601, "Argument Value Out of Range"},
    {602, "Optional Action Not implemented"},
    {603, "Out of Memory"},
    {604, "Human Intervention Required"},
    {605, "String Argument Too Long"},
    {606, "Action not authorized"},
    {607, "Signature failure"},
    {608, "Signature missing"},
    {609, "Not encrypted"},
    {610, "Invalid Sequence"},
    {611, "Invalid control URL"},
    {612, "No such session"},
    {701, "No such object"},
    {708, "Invalid search criteria"},
    {710, "No such container"},
    {0, nullptr},
};

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
        if (row->code == 604) {
            fallback = row;
        }
    }
    return fallback;
}

} // namespace

TextBuffer* soap_fault_text(int code) {
    const UpnpError* row = errorRow(code);
    char area[1024];
    int length = std::snprintf(area, sizeof area, kFaultFormat, row->code, row->description);
    if (length < 0) {
        return nullptr;
    }
    if (length >= static_cast<int>(sizeof area)) {
        length = static_cast<int>(sizeof area) - 1;
    }
    return textBufferCreate(area, length + 1);
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
