// Helpers shared inside platform/posix/ and with its tests.
#pragma once

#include <cstddef>
#include <cstdint>

// The GUID-like adapter name "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" of an interface, derived
// from its name and hardware address only, so it is the same at every start.
void posixAdapterName(const char* interfaceName, const uint8_t* hardwareAddress, int length,
                      char* out, size_t size);
