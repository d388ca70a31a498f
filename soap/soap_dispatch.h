// Entry of every SOAP control request.
#pragma once

#include "platform/platform.h"

// Prepares `body` in place (may be nullptr: no body), picks the action named by `soapAction`
// (the SOAPACTION value with its quotes) and answers on the socket: the action's own answer or
// a SOAP fault. Called on the connection thread; writes exactly one answer.
void soap_dispatch(PlatformSocket socket, const char* version, const char* urlBase,
                   const char* soapAction, char* body);
