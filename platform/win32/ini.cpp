#include "platform/platform.h"

int platformIniReadInt(const char* section, const char* key, int defaultValue, const char* path) {
    return static_cast<int>(GetPrivateProfileIntA(section, key, defaultValue, path));
}

int platformIniReadString(const char* section, const char* key, const char* defaultValue, char* out,
                          int size, const char* path) {
    if (out == nullptr || size <= 0) {
        return 0;
    }
    return static_cast<int>(
        GetPrivateProfileStringA(section, key, defaultValue, out, static_cast<DWORD>(size), path));
}

int platformIniWriteString(const char* section, const char* key, const char* value,
                           const char* path) {
    return WritePrivateProfileStringA(section, key, value, path) ? 0 : -1;
}
