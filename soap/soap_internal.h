// The argument readers of the actions that take arguments. Each reads its arguments from a
// prepared body (soap_prepare_body) and runs its action; it returns 0 when the action has sent
// its answer, or a UPnP error code, decided before any byte was sent, for the dispatcher to
// turn into a fault. Connection thread.
#pragma once

#include "platform/platform.h"

int browse_request(PlatformSocket socket, const char* version, const char* urlBase, char* body,
                   int length);
int search_request(PlatformSocket socket, const char* version, const char* urlBase, char* body,
                   int length);
int prepare_for_connection(PlatformSocket socket, const char* version, const char* urlBase,
                           char* body, int length);
