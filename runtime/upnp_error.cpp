#include "runtime/upnp_error.h"

const UpnpError upnp_error_table[] = {
    {kUpnpInvalidAction, "invalid Action"},
    {kUpnpInvalidArgs, "invalid Args"},
    {kUpnpActionFailed, "Action Failed"},
    {600, "Argument Value Invalid"},
    {601, "Argument Value Out of Range"},
    {kUpnpOptionalActionNotImplemented, "Optional Action Not implemented"},
    {kUpnpOutOfMemory, "Out of Memory"},
    {kUpnpHumanInterventionRequired, "Human Intervention Required"},
    {605, "String Argument Too Long"},
    {606, "Action not authorized"},
    {607, "Signature failure"},
    {608, "Signature missing"},
    {609, "Not encrypted"},
    {610, "Invalid Sequence"},
    {611, "Invalid control URL"},
    {612, "No such session"},
    {kUpnpNoSuchObject, "No such object"},
    {kUpnpInvalidSearchCriteria, "Invalid search criteria"},
    {kUpnpNoSuchContainer, "No such container"},
    {0, nullptr},
};
