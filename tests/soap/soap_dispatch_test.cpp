#include "soap/soap_dispatch.h"

#include <gtest/gtest.h>

#include <string>

#include "eventing/notify.h"
#include "media_db/media_db.h"
#include "runtime/text_buffer.h"
#include "soap/soap_fault.h"
#include "support/soap_exchange.h"

namespace {

const std::string kCds = "\"urn:schemas-upnp-org:service:ContentDirectory:1#";
const std::string kCm = "\"urn:schemas-upnp-org:service:ConnectionManager:1#";
const std::string kRegistrar = "\"urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1#";

const char kFault602[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
    "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\n"
    " <s:Body>\n"
    "  <s:Fault>\n"
    "   <faultcode>s:Client</faultcode>\n"
    "   <faultstring>UPnPError</faultstring>\n"
    "   <detail>\n"
    "    <UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">\n"
    "     <errorCode>602</errorCode>\n"
    "     <errorDescription>Optional Action Not implemented</errorDescription>\n"
    "    </UPnPError>\n"
    "   </detail>\n"
    "  </s:Fault>\n"
    " </s:Body>\n"
    "</s:Envelope>\n";

std::string faultCode(const std::string& action, const std::string& body = "<x/>",
                      bool hasBody = true) {
    SoapAnswer answer = soapSplit(soapDispatch(action, body, "HTTP/1.1", hasBody));
    if (answer.head.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0) != 0) {
        return "no fault: " + answer.head;
    }
    return soapElement(answer.body, "errorCode") + " " +
           soapElement(answer.body, "errorDescription");
}

TEST(SoapFault, EnvelopeAndHeaders) {
    std::string raw = soapDispatch(kCds + "DestroyObject\"", "<x/>", "HTTP/1.0");
    SoapAnswer answer = soapSplit(raw);
    EXPECT_EQ(answer.body, kFault602);
    EXPECT_TRUE(answer.wellFramed);
    EXPECT_EQ(answer.head.rfind("HTTP/1.0 500 Internal Server Error\r\n", 0), 0u);
    EXPECT_NE(answer.head.find("Content-Type: text/xml\r\n"), std::string::npos);
    EXPECT_NE(answer.head.find("\r\nEXT:\r\n"), std::string::npos);
    EXPECT_EQ(answer.body.find('\r'), std::string::npos);
}

TEST(SoapFault, UnknownCodesAnswerAs604) {
    TextBuffer* text = soap_fault_text(999);
    ASSERT_NE(text, nullptr);
    std::string body = text->text;
    EXPECT_EQ(text->capacity, text->length + 1);
    textBufferFree(text);
    EXPECT_EQ(soapElement(body, "errorCode"), "604");
    EXPECT_EQ(soapElement(body, "errorDescription"), "Human Intervention Required");
}

TEST(SoapDispatch, ActionTable) {
    for (const char* action :
         {"CreateObject", "DestroyObject", "UpdateObject", "ImportResource", "ExportResource",
          "StopTransferResource", "GetTransferProgress", "DeleteResource", "CreateReference"}) {
        EXPECT_EQ(faultCode(kCds + action + "\""), "602 Optional Action Not implemented") << action;
    }
    EXPECT_EQ(faultCode(kCm + "ConnectionComplete\""), "602 Optional Action Not implemented");
    EXPECT_EQ(faultCode(kCds + "Frobnicate\""), "401 invalid Action");
    EXPECT_EQ(faultCode(kCds + "X_SetBookmark\""), "401 invalid Action");
    EXPECT_EQ(faultCode(kRegistrar + "Unregister\""), "401 invalid Action");
    EXPECT_EQ(faultCode("\"urn:schemas-upnp-org:service:ContentDirectory:2#Browse\""),
              "401 invalid Action");
    EXPECT_EQ(faultCode("\"urn:schemas-upnp-org:service:contentdirectory:1#Browse\""),
              "401 invalid Action");
    EXPECT_EQ(faultCode(""), "401 invalid Action");
}

TEST(SoapDispatch, BrowseFlagAndPrepareForConnection) {
    EXPECT_EQ(faultCode(kCds + "Browse\"", "<BrowseFlag>browsemetadata</BrowseFlag>"),
              "402 invalid Args");
    EXPECT_EQ(faultCode(kCds + "Browse\"", "<BrowseFlag></BrowseFlag>"), "402 invalid Args");
    EXPECT_EQ(faultCode(kCds + "Browse\"", "<ObjectID>0</ObjectID>"), "402 invalid Args");
    EXPECT_EQ(faultCode(kCm + "PrepareForConnection\"", "<Direction>Output</Direction>"),
              "602 Optional Action Not implemented");
    EXPECT_EQ(faultCode(kCm + "PrepareForConnection\"", "<Direction>Input</Direction>"),
              "602 Optional Action Not implemented");
    EXPECT_EQ(faultCode(kCm + "PrepareForConnection\"", "<Direction>output</Direction>"),
              "402 invalid Args");
    EXPECT_EQ(faultCode(kCm + "PrepareForConnection\""), "402 invalid Args");
}

TEST(SoapDispatch, RequestWithoutBodyIs402) {
    EXPECT_EQ(faultCode(kCds + "Browse\"", "", false), "402 invalid Args");
    EXPECT_EQ(faultCode(kCds + "GetSortCapabilities\"", "", false), "402 invalid Args");
}

// The DLNA profiles first, then the plain entries.
const std::string kSourceProtocols =
    "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
    "DLNA.ORG_FLAGS=01700000000000000000000000000000,"
    "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3X;DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
    "DLNA.ORG_FLAGS=01700000000000000000000000000000,"
    "http-get:*:audio/mpeg:*,http-get:*:audio/mpegurl:*";

TEST(SoapCapabilities, FixedAnswers) {
    SoapAnswer sort = soapSplit(soapDispatch(kCds + "GetSortCapabilities\"", "<x/>"));
    EXPECT_EQ(sort.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_FALSE(sort.chunked);
    EXPECT_TRUE(sort.wellFramed);
    EXPECT_EQ(soapElement(sort.body, "SortCaps"),
              "dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,"
              "upnp:originalTrackNumber");
    // GetSearchCapabilities contains "Search" but is its own action.
    SoapAnswer search = soapSplit(soapDispatch(kCds + "GetSearchCapabilities\"", "<x/>"));
    EXPECT_EQ(soapElement(search.body, "SearchCaps"),
              "dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,"
              "upnp:originalTrackNumber,upnp:class,@id,@parentID");
    SoapAnswer info = soapSplit(
        soapDispatch(kCm + "GetCurrentConnectionInfo\"", "<ConnectionID>5</ConnectionID>"));
    SoapAnswer info0 = soapSplit(soapDispatch(kCm + "GetCurrentConnectionInfo\"", "<x/>"));
    EXPECT_EQ(info.body, info0.body);
    EXPECT_NE(info.body.find("\r\n      <Direction>Output</Direction>\r\n"), std::string::npos);
    SoapAnswer protocols = soapSplit(soapDispatch(kCm + "GetProtocolInfo\"", "<x/>"));
    EXPECT_NE(protocols.body.find("\r\n      <Source>" + kSourceProtocols + "</Source>\r\n"),
              std::string::npos);
    EXPECT_TRUE(protocols.wellFramed);
    SoapAnswer ids = soapSplit(soapDispatch(kCm + "GetCurrentConnectionIDs\"", "<x/>"));
    EXPECT_EQ(soapElement(ids.body, "ConnectionIDs"), "0");
    EXPECT_EQ(ids.body.substr(ids.body.size() - 15), "</s:Envelope>\r\n");
}

TEST(SoapCapabilities, RegistrarAnswers) {
    const std::string open = "xmlns:u=\"urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1\">";
    for (const char* action : {"IsAuthorized", "IsValidated"}) {
        SoapAnswer answer = soapSplit(
            soapDispatch(kRegistrar + action + "\"", "<DeviceID>abc</DeviceID>", "HTTP/1.0"));
        EXPECT_EQ(answer.head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << action;
        EXPECT_TRUE(answer.wellFramed);
        EXPECT_EQ(soapElement(answer.body, "Result"), "1") << action;
        EXPECT_NE(answer.body.find(std::string("<u:") + action + "Response " + open),
                  std::string::npos);
    }
    SoapAnswer registered = soapSplit(soapDispatch(
        kRegistrar + "RegisterDevice\"", "<RegistrationReqMsg>AAEC</RegistrationReqMsg>"));
    EXPECT_NE(registered.body.find("<RegistrationRespMsg></RegistrationRespMsg>"),
              std::string::npos);
}

TEST(SoapCapabilities, FeatureListNamesAllTracks) {
    auto featureList = [] {
        SoapAnswer answer = soapSplit(soapDispatch(kCds + "X_GetFeatureList\"", "<x/>"));
        EXPECT_TRUE(answer.wellFramed);
        return soapUnescape(soapElement(answer.body, "FeatureList"));
    };
    media_db_destroy();
    std::string none = featureList();
    EXPECT_NE(none.find("<Feature name=\"samsung.com_BASICVIEW\" version=\"1\">"),
              std::string::npos);
    EXPECT_EQ(none.find("<container"), std::string::npos);
    media_db_build();
    media_db_read_lock();
    std::string allTracks = std::to_string(media_db_object_id(media_db_top().all_tracks));
    media_db_read_unlock();
    std::string list = featureList();
    EXPECT_EQ(list.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Features "
                         "xmlns=\"urn:schemas-upnp-org:av:avs\"",
                         0),
              0u);
    EXPECT_NE(list.find("<container id=\"" + allTracks + "\" type=\"object.item.audioItem\"/>"),
              std::string::npos);
    EXPECT_EQ(list.substr(list.size() - 11), "</Features>");
}

TEST(SoapCapabilities, SystemUpdateIdFollowsAnnouncements) {
    auto current = [] {
        return soapElement(soapSplit(soapDispatch(kCds + "GetSystemUpdateID\"", "<x/>")).body,
                           "Id");
    };
    std::string before = current();
    EXPECT_EQ(before, std::to_string(static_cast<unsigned>(currentSystemUpdateId())));
    announceContentChange();
    EXPECT_EQ(current(), std::to_string(std::stoul(before) + 1));
}

} // namespace
