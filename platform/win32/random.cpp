// Cryptographic random bytes from the system generator. RtlGenRandom (exported by advapi32 as
// SystemFunction036) exists from Windows XP on, where BCryptGenRandom does not.
#include "platform/platform.h"

#include <windows.h>

extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

int platformRandomBytes(void* out, size_t length) {
    auto* bytes = static_cast<unsigned char*>(out);
    while (length > 0) {
        ULONG part = length > 0x10000u ? 0x10000u : static_cast<ULONG>(length);
        if (!SystemFunction036(bytes, part)) {
            return -1;
        }
        bytes += part;
        length -= part;
    }
    return 0;
}
