#include "platform/platform.h"

#include <malloc.h>

const char platformPathSeparator = '\\';
const PlatformTextEncoding platformHostTextEncoding = PlatformTextEncoding::Windows1252;

int platformHostProgramPath(char* out, int size) {
    if (out == nullptr || size <= 1) {
        return 0;
    }
    DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
    if (n == 0 || n >= static_cast<DWORD>(size)) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<int>(n);
}

bool platformPathIsAbsolute(const char* path) {
    return path != nullptr && (path[0] == '\\' || path[0] == '/' || (path[0] && path[1] == ':'));
}

int platformFileStatus(const char* path, PlatformFileStatus* status) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path == nullptr || !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        return -1;
    }
    if (status != nullptr) {
        status->size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        int64_t ticks = (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                        data.ftLastWriteTime.dwLowDateTime;
        status->modifiedNs = ticks * 100; // FILETIME counts 100 ns steps
    }
    return 0;
}

void platformReleaseFreeMemory() {
    _heapmin();
}
