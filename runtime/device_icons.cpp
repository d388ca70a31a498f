#include "runtime/device_icons.h"

#include <cstring>

const DeviceIcon* deviceIconForPath(const char* path) {
    if (path == nullptr) {
        return nullptr;
    }
    for (int32_t i = 0; i < kDeviceIconCount; i++) {
        if (std::strcmp(kDeviceIcons[i].path, path) == 0) {
            return &kDeviceIcons[i];
        }
    }
    return nullptr;
}
