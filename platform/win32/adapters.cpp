#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <iphlpapi.h>

// The first entry of GetAdaptersInfo that carries a hardware address; its name is the
// adapter's GUID in braces.
int platformFirstAdapter(PlatformAdapter* adapter) {
    if (adapter == nullptr) {
        return -1;
    }
    ULONG size = 0;
    if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) {
        return -1;
    }
    IP_ADAPTER_INFO* list = static_cast<IP_ADAPTER_INFO*>(std::malloc(size));
    if (list == nullptr) {
        return -1;
    }
    int result = -1;
    if (GetAdaptersInfo(list, &size) == NO_ERROR) {
        for (IP_ADAPTER_INFO* entry = list; entry != nullptr; entry = entry->Next) {
            if (entry->AddressLength == 0) {
                continue;
            }
            std::memset(adapter, 0, sizeof *adapter);
            lstrcpynA(adapter->name, entry->AdapterName, sizeof adapter->name);
            int length = entry->AddressLength < 8 ? static_cast<int>(entry->AddressLength) : 8;
            std::memcpy(adapter->hardwareAddress, entry->Address, static_cast<size_t>(length));
            adapter->hardwareLength = length;
            result = 0;
            break;
        }
    }
    std::free(list);
    return result;
}
