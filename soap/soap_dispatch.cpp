#include "soap/soap_dispatch.h"

#include <cstring>

#include "runtime/upnp_error.h"
#include "services/browse.h"
#include "services/capabilities.h"
#include "services/search.h"
#include "soap/soap_fault.h"
#include "soap/soap_internal.h"
#include "soap/soap_request.h"

namespace {

using ActionHandler = int (*)(PlatformSocket socket, const char* version, const char* urlBase,
                              char* body, int length);

int notImplemented(PlatformSocket, const char*, const char*, char*, int) {
    return kUpnpOptionalActionNotImplemented;
}

// The fixed answers take no arguments; each sends its own answer and cannot fail.
template <void (*Send)(PlatformSocket, const char*)>
int fixedAnswer(PlatformSocket socket, const char* version, const char*, char*, int) {
    Send(socket, version);
    return 0;
}

struct ActionRow {
    const char* actionText;
    ActionHandler handler;
};

// Searched in order as substrings of the SOAPACTION value; the first found decides.
constexpr ActionRow kActions[] = {
    {"ContentDirectory:1#GetSearchCapabilities", fixedAnswer<send_search_capabilities>},
    {"ContentDirectory:1#GetSortCapabilities", fixedAnswer<send_sort_capabilities>},
    {"ContentDirectory:1#GetSystemUpdateID", fixedAnswer<send_system_update_id>},
    {"ContentDirectory:1#Browse", browse_request},
    {"ContentDirectory:1#Search", search_request},
    {"ContentDirectory:1#CreateObject", notImplemented},
    {"ContentDirectory:1#DestroyObject", notImplemented},
    {"ContentDirectory:1#UpdateObject", notImplemented},
    {"ContentDirectory:1#ImportResource", notImplemented},
    {"ContentDirectory:1#ExportResource", notImplemented},
    {"ContentDirectory:1#StopTransferResource", notImplemented},
    {"ContentDirectory:1#GetTransferProgress", notImplemented},
    {"ContentDirectory:1#DeleteResource", notImplemented},
    {"ContentDirectory:1#CreateReference", notImplemented},
    {"ContentDirectory:1#X_GetFeatureList", fixedAnswer<send_feature_list>},
    {"ConnectionManager:1#GetProtocolInfo", fixedAnswer<send_protocol_info>},
    {"ConnectionManager:1#PrepareForConnection", prepare_for_connection},
    {"ConnectionManager:1#ConnectionComplete", notImplemented},
    {"ConnectionManager:1#GetCurrentConnectionIDs", fixedAnswer<send_connection_ids>},
    {"ConnectionManager:1#GetCurrentConnectionInfo", fixedAnswer<send_connection_info>},
    {"X_MS_MediaReceiverRegistrar:1#IsAuthorized", fixedAnswer<send_registrar_authorized>},
    {"X_MS_MediaReceiverRegistrar:1#IsValidated", fixedAnswer<send_registrar_validated>},
    {"X_MS_MediaReceiverRegistrar:1#RegisterDevice", fixedAnswer<send_register_device>},
};

ActionHandler findAction(const char* soapAction) {
    if (soapAction == nullptr) {
        return nullptr;
    }
    for (const ActionRow& row : kActions) {
        if (std::strstr(soapAction, row.actionText) != nullptr) {
            return row.handler;
        }
    }
    return nullptr;
}

} // namespace

void soap_dispatch(PlatformSocket socket, const char* version, const char* urlBase,
                   const char* soapAction, char* body) {
    // A request without a body has no arguments to read, not even an empty envelope.
    if (body == nullptr) {
        soap_send_fault(socket, version, kUpnpInvalidArgs);
        return;
    }
    int length = soap_prepare_body(body);
    ActionHandler handler = findAction(soapAction);
    int code =
        handler != nullptr ? handler(socket, version, urlBase, body, length) : kUpnpInvalidAction;
    if (code != 0) {
        soap_send_fault(socket, version, code);
    }
}

int browse_request(PlatformSocket socket, const char* version, const char* urlBase, char* body,
                   int length) {
    const char* flag = soap_get_arg("BrowseFlag", body, length);
    if (flag == nullptr) {
        return kUpnpInvalidArgs;
    }
    bool children = std::strcmp(flag, "BrowseDirectChildren") == 0;
    if (!children && std::strcmp(flag, "BrowseMetadata") != 0) {
        return kUpnpInvalidArgs;
    }
    const char* sortCriteria = soap_get_arg("SortCriteria", body, length);
    int requestedCount = soap_get_int_arg("RequestedCount", body, length);
    int startingIndex = soap_get_int_arg("StartingIndex", body, length);
    const char* filter = soap_get_arg("Filter", body, length);
    const char* objectId = soap_get_arg("ObjectID", body, length);
    if (!children) {
        return browse_metadata(socket, version, urlBase, objectId, filter);
    }
    return browse_direct_children(socket, version, urlBase, objectId, filter, startingIndex,
                                  requestedCount, sortCriteria);
}

int search_request(PlatformSocket socket, const char* version, const char* urlBase, char* body,
                   int length) {
    const char* sortCriteria = soap_get_arg("SortCriteria", body, length);
    int requestedCount = soap_get_int_arg("RequestedCount", body, length);
    int startingIndex = soap_get_int_arg("StartingIndex", body, length);
    const char* filter = soap_get_arg("Filter", body, length);
    const char* searchCriteria = soap_get_arg("SearchCriteria", body, length);
    const char* containerId = soap_get_arg("ContainerID", body, length);
    return search_action(socket, version, urlBase, containerId, searchCriteria, filter,
                         startingIndex, requestedCount, sortCriteria);
}

int prepare_for_connection(PlatformSocket, const char*, const char*, char* body, int length) {
    const char* direction = soap_get_arg("Direction", body, length);
    if (direction == nullptr) {
        return kUpnpInvalidArgs;
    }
    if (std::strcmp(direction, "Input") != 0 && std::strcmp(direction, "Output") != 0) {
        return kUpnpInvalidArgs;
    }
    return kUpnpOptionalActionNotImplemented;
}
