#include "platform/platform.h"

#include <sys/stat.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <unistd.h>

const char platformPathSeparator = '/';
const PlatformTextEncoding platformHostTextEncoding = PlatformTextEncoding::Utf8;

int platformHostProgramPath(char* out, int size) {
    if (out == nullptr || size <= 1) {
        return 0;
    }
    ssize_t n = readlink("/proc/self/exe", out, static_cast<size_t>(size));
    if (n <= 0 || n >= size) {
        out[0] = '\0';
        return 0;
    }
    out[n] = '\0';
    return static_cast<int>(n);
}

bool platformPathIsAbsolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

int platformFileStatus(const char* path, PlatformFileStatus* status) {
    struct stat info {};
    if (path == nullptr || stat(path, &info) != 0) {
        return -1;
    }
    if (status != nullptr) {
        status->size = static_cast<int64_t>(info.st_size);
        status->modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000LL +
                             static_cast<int64_t>(info.st_mtim.tv_nsec);
    }
    return 0;
}

void platformReleaseFreeMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
