// The actions whose answers are fixed texts. Each sends one complete, unchunked answer on
// the socket (status 200, text/xml, UPnP headers) and cannot fail. Connection thread.
#pragma once

#include "platform/platform.h"

void send_search_capabilities(PlatformSocket socket, const char* version);
void send_sort_capabilities(PlatformSocket socket, const char* version);
// Fills in the current SystemUpdateID.
void send_system_update_id(PlatformSocket socket, const char* version);
void send_protocol_info(PlatformSocket socket, const char* version);
void send_connection_ids(PlatformSocket socket, const char* version);
// The same answer whatever ConnectionID the request names.
void send_connection_info(PlatformSocket socket, const char* version);

// The media-receiver registrar: IsAuthorized and IsValidated answer Result 1 whatever device
// they name; RegisterDevice answers an empty RegistrationRespMsg.
void send_registrar_authorized(PlatformSocket socket, const char* version);
void send_registrar_validated(PlatformSocket socket, const char* version);
void send_register_device(PlatformSocket socket, const char* version);
// ContentDirectory's X_GetFeatureList: a BASICVIEW feature naming All Tracks as the container
// of audio items. Takes the catalogue's read lock for the id.
void send_feature_list(PlatformSocket socket, const char* version);
