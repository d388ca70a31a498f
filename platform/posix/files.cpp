#include "platform/platform.h"

#include <fcntl.h>
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

static void storeStatus(const struct stat& info, bool symbolic, PlatformFileStatus* status) {
    status->size = static_cast<int64_t>(info.st_size);
    status->modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000LL +
                         static_cast<int64_t>(info.st_mtim.tv_nsec);
    status->linked = symbolic || info.st_nlink > 1;
}

// The status of the file a name leads to, following a symbolic link, and whether it was one.
static bool statusAt(int dir, const char* name, struct stat* info, bool* symbolic) {
    if (fstatat(dir, name, info, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    *symbolic = S_ISLNK(info->st_mode);
    return !*symbolic || fstatat(dir, name, info, 0) == 0;
}

int platformFileStatus(const char* path, PlatformFileStatus* status) {
    struct stat info {};
    bool symbolic = false;
    if (path == nullptr || !statusAt(AT_FDCWD, path, &info, &symbolic)) {
        return -1;
    }
    if (status != nullptr) {
        storeStatus(info, symbolic, status);
    }
    return 0;
}

int platformFolderFileStatus(const char* folder, const char* const* names, int32_t count,
                             PlatformFileStatus* statuses, bool* found) {
#if defined(O_PATH)
    // Needs only the right to pass through the folder, as a status call on a full path does.
    int dir = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (dir < 0) {
        return -1;
    }
    for (int32_t i = 0; i < count; i++) {
        struct stat info {};
        bool symbolic = false;
        found[i] = statusAt(dir, names[i], &info, &symbolic);
        if (found[i]) {
            storeStatus(info, symbolic, &statuses[i]);
        }
    }
    close(dir);
    return 0;
}

void platformReleaseFreeMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
