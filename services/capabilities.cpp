#include "services/capabilities.h"

#include <cstdio>
#include <cstring>

#include "eventing/notify.h"
#include "http/http_writers.h"
#include "media_db/media_db.h"
#include "mp3/dlna_info.h"

namespace {

#define KB_ENVELOPE_OPEN                                                                           \
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"                                               \
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "                           \
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"

constexpr char kSearchCapabilities[] =
    KB_ENVELOPE_OPEN "<s:Body>\r\n"
                     "<u:GetSearchCapabilitiesResponse "
                     "xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">\r\n"
                     "<SearchCaps>dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,"
                     "upnp:originalTrackNumber,upnp:class,@id,@parentID</SearchCaps>\r\n"
                     "</u:GetSearchCapabilitiesResponse>\r\n"
                     "</s:Body>\r\n"
                     "</s:Envelope>\r\n";

constexpr char kSortCapabilities[] =
    KB_ENVELOPE_OPEN "<s:Body>\r\n"
                     "<u:GetSortCapabilitiesResponse "
                     "xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">\r\n"
                     "<SortCaps>dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,"
                     "upnp:originalTrackNumber</SortCaps>\r\n"
                     "</u:GetSortCapabilitiesResponse>\r\n"
                     "</s:Body>\r\n"
                     "</s:Envelope>\r\n";

constexpr char kSystemUpdateIdFormat[] = KB_ENVELOPE_OPEN
    "<s:Body>\r\n"
    "<u:GetSystemUpdateIDResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">\r\n"
    "<Id>%u</Id>\r\n"
    "</u:GetSystemUpdateIDResponse>\r\n"
    "</s:Body>\r\n"
    "</s:Envelope>\r\n";

constexpr char kProtocolInfoFormat[] =
    KB_ENVELOPE_OPEN "  <s:Body>\r\n"
                     "    <u:GetProtocolInfoResponse "
                     "xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">\r\n"
                     "      <Sink></Sink>\r\n"
                     "      <Source>%s</Source>\r\n"
                     "    </u:GetProtocolInfoResponse>\r\n"
                     "  </s:Body>\r\n"
                     "</s:Envelope>\r\n";

constexpr char kConnectionIds[] =
    KB_ENVELOPE_OPEN "  <s:Body>\r\n"
                     "    <u:GetCurrentConnectionIDsResponse "
                     "xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">\r\n"
                     "      <ConnectionIDs>0</ConnectionIDs>\r\n"
                     "    </u:GetCurrentConnectionIDsResponse>\r\n"
                     "  </s:Body>\r\n"
                     "</s:Envelope>\r\n";

constexpr char kConnectionInfo[] =
    KB_ENVELOPE_OPEN "  <s:Body>\r\n"
                     "    <u:GetCurrentConnectionInfoResponse "
                     "xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">\r\n"
                     "      <RcsID>-1</RcsID>\r\n"
                     "      <AVTransportID>-1</AVTransportID>\r\n"
                     "      <ProtocolInfo></ProtocolInfo>\r\n"
                     "      <PeerConnectionManager></PeerConnectionManager>\r\n"
                     "      <PeerConnectionID>-1</PeerConnectionID>\r\n"
                     "      <Direction>Output</Direction>\r\n"
                     "      <Status>Unknown</Status>\r\n"
                     "    </u:GetCurrentConnectionInfoResponse>\r\n"
                     "  </s:Body>\r\n"
                     "</s:Envelope>\r\n";

// The media-receiver registrar that some control points ask before they list a server: every
// device is authorised and validated, and a registration needs no answer of substance.
#define KB_REGISTRAR_ANSWER(action, element, value)                                                \
    KB_ENVELOPE_OPEN "<s:Body>\r\n"                                                                \
                     "<u:" action "Response "                                                      \
                     "xmlns:u=\"urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1\">\r\n"    \
                     "<" element ">" value "</" element ">\r\n"                                    \
                     "</u:" action "Response>\r\n"                                                 \
                     "</s:Body>\r\n"                                                               \
                     "</s:Envelope>\r\n"

constexpr char kIsAuthorized[] = KB_REGISTRAR_ANSWER("IsAuthorized", "Result", "1");
constexpr char kIsValidated[] = KB_REGISTRAR_ANSWER("IsValidated", "Result", "1");
constexpr char kRegisterDevice[] = KB_REGISTRAR_ANSWER("RegisterDevice", "RegistrationRespMsg", "");

#undef KB_REGISTRAR_ANSWER

// The feature list travels escaped, as the text of its element. Its one feature points
// control points that browse for music straight at All Tracks; the container line is left out
// before the first catalogue build.
constexpr char kFeatureListHead[] = KB_ENVELOPE_OPEN
    "<s:Body>\r\n"
    "<u:X_GetFeatureListResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">\r\n"
    "<FeatureList>"
    "&lt;?xml version=&quot;1.0&quot; encoding=&quot;UTF-8&quot;?&gt;\r\n"
    "&lt;Features xmlns=&quot;urn:schemas-upnp-org:av:avs&quot; "
    "xmlns:xsi=&quot;http://www.w3.org/2001/XMLSchema-instance&quot; "
    "xsi:schemaLocation=&quot;urn:schemas-upnp-org:av:avs "
    "http://www.upnp.org/schemas/av/avs.xsd&quot;&gt;\r\n"
    "&lt;Feature name=&quot;samsung.com_BASICVIEW&quot; version=&quot;1&quot;&gt;\r\n";
constexpr char kFeatureListContainerFormat[] =
    "&lt;container id=&quot;%lld&quot; type=&quot;object.item.audioItem&quot;/&gt;\r\n";
constexpr char kFeatureListTail[] = "&lt;/Feature&gt;\r\n"
                                    "&lt;/Features&gt;"
                                    "</FeatureList>\r\n"
                                    "</u:X_GetFeatureListResponse>\r\n"
                                    "</s:Body>\r\n"
                                    "</s:Envelope>\r\n";

#undef KB_ENVELOPE_OPEN

void sendText(PlatformSocket socket, const char* version, const char* text, int length) {
    httpSendOkWith(socket, version, length, "text/xml", true, text, length);
}

void sendFixed(PlatformSocket socket, const char* version, const char* text) {
    sendText(socket, version, text, static_cast<int>(std::strlen(text)));
}

} // namespace

void send_search_capabilities(PlatformSocket socket, const char* version) {
    sendFixed(socket, version, kSearchCapabilities);
}

void send_sort_capabilities(PlatformSocket socket, const char* version) {
    sendFixed(socket, version, kSortCapabilities);
}

void send_system_update_id(PlatformSocket socket, const char* version) {
    char area[1024];
    int length = std::snprintf(area, sizeof area, kSystemUpdateIdFormat,
                               static_cast<unsigned int>(currentSystemUpdateId()));
    sendText(socket, version, area, length);
}

void send_protocol_info(PlatformSocket socket, const char* version) {
    char source[512];
    char area[sizeof source + sizeof kProtocolInfoFormat];
    int length = std::snprintf(area, sizeof area, kProtocolInfoFormat,
                               dlna_source_protocols(source, sizeof source));
    sendText(socket, version, area, length);
}

void send_connection_ids(PlatformSocket socket, const char* version) {
    sendFixed(socket, version, kConnectionIds);
}

void send_connection_info(PlatformSocket socket, const char* version) {
    sendFixed(socket, version, kConnectionInfo);
}

void send_registrar_authorized(PlatformSocket socket, const char* version) {
    sendFixed(socket, version, kIsAuthorized);
}

void send_registrar_validated(PlatformSocket socket, const char* version) {
    sendFixed(socket, version, kIsValidated);
}

void send_register_device(PlatformSocket socket, const char* version) {
    sendFixed(socket, version, kRegisterDevice);
}

void send_feature_list(PlatformSocket socket, const char* version) {
    media_db_read_lock();
    const MediaObject* allTracks = media_db_top().all_tracks;
    long long allTracksId = allTracks != nullptr ? media_db_object_id(allTracks) : -1;
    media_db_read_unlock();
    char container[sizeof kFeatureListContainerFormat + 24] = "";
    if (allTracksId >= 0) {
        std::snprintf(container, sizeof container, kFeatureListContainerFormat, allTracksId);
    }
    char area[sizeof kFeatureListHead + sizeof container + sizeof kFeatureListTail];
    int length =
        std::snprintf(area, sizeof area, "%s%s%s", kFeatureListHead, container, kFeatureListTail);
    sendText(socket, version, area, length);
}
