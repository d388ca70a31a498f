// Which Host header values name this server.
#pragma once

// Whether a Host header value (the text after "Host:", to its line end; nullptr when there is
// no Host header) names this server: an IPv4 literal or `ownName` (the machine's host name,
// any case), each with an optional ":port". Anything else is a name that may have been rebound
// to this address by someone else's web page.
bool httpHostAllowed(const char* value, const char* ownName);
