// SOAP fault answers carrying a UPnP error code and its description.
#pragma once

#include "platform/platform.h"
#include "runtime/text_buffer.h"
#include "runtime/upnp_error.h"

// A new buffer holding the fault envelope for `code` (a code not in the table is answered as
// 604 with that row's text). nullptr when memory is short. The caller frees it.
TextBuffer* soap_fault_text(int code);

// Sends one complete fault answer (status 500, text/xml) for `code`. Connection thread.
void soap_send_fault(PlatformSocket socket, const char* version, int code);
