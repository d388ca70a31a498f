// Helpers shared inside runtime/ and with its tests.
#pragma once

#include <cstdint>

#include "runtime/http_date.h"

struct PlatformAdapter;
struct UdnText;

// The UDN of an adapter; nullptr gives the fallback "uuid:12345678-4321".
UdnText udnFromAdapter(const PlatformAdapter* adapter);
