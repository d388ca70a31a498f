// The UPnP error codes of control answers and their texts. Actions return one of the codes
// (0 for success); the SOAP dispatcher alone turns a code into a fault with its text.
#pragma once

constexpr int kUpnpInvalidAction = 401;
constexpr int kUpnpInvalidArgs = 402;
constexpr int kUpnpActionFailed = 501;
constexpr int kUpnpOptionalActionNotImplemented = 602;
constexpr int kUpnpOutOfMemory = 603;
constexpr int kUpnpHumanInterventionRequired = 604; // also the row of unknown codes
constexpr int kUpnpNoSuchObject = 701;
constexpr int kUpnpInvalidSearchCriteria = 708;
constexpr int kUpnpNoSuchContainer = 710;

struct UpnpError {
    int code;
    const char* description;
};

// The UPnP error codes and their texts, searched in order; a row with code 0 ends it.
extern const UpnpError upnp_error_table[];
