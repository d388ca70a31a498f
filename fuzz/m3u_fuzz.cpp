// M3U playlist reading over arbitrary file contents.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "media_db/media_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char path[] = "/tmp/kb-m3u-fuzz-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        return 0;
    }
    bool written = write(fd, data, size) == static_cast<ssize_t>(size);
    close(fd);
    if (written) {
        media_db_build();
        media_db_read_m3u(path, "Fuzz.m3u");
        media_db_destroy();
    }
    unlink(path);
    return 0;
}
