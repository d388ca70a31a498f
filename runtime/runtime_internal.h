// Helpers shared inside runtime/ and with its tests.
#pragma once

#include <cstdint>

#include "runtime/http_date.h"

// "Wdy, DD Mon YYYY HH:MM:SS" of a UTC moment given as seconds since 1970-01-01.
HttpDateText httpDateFromTime(int64_t secondsSinceEpoch);

struct PlatformAdapter;
struct UdnText;

// The UDN of an adapter; nullptr gives the fallback "uuid:12345678-4321".
UdnText udnFromAdapter(const PlatformAdapter* adapter);
