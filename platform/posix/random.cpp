// Cryptographic random bytes: the kernel's generator, through /dev/urandom where getrandom is
// missing (an old kernel answers ENOSYS).
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

static int readUrandom(unsigned char* out, size_t length) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = read(fd, out + done, length - done);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
            close(fd);
            return -1;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    close(fd);
    return 0;
}

int platformRandomBytes(void* out, size_t length) {
    auto* bytes = static_cast<unsigned char*>(out);
    size_t done = 0;
    while (done < length) {
        ssize_t n = getrandom(bytes + done, length - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno == ENOSYS ? readUrandom(bytes + done, length - done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}
