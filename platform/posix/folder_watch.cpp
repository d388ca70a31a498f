// Folder watches through inotify: one descriptor for the set, read without waiting.
#include <cerrno>
#include <cstdlib>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "platform/platform.h"

struct PlatformFolderWatch {
    int fd;
};

namespace {

constexpr uint32_t kWatchMask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// File systems whose files may change without this machine's kernel seeing it (network
// shares, user-space file systems): a watch on them would stay silent.
constexpr unsigned long kRemoteTypes[] = {
    0x6969,     // NFS
    0x517B,     // SMB
    0xFF534D42, // CIFS
    0xFE534D42, // SMB2
    0x65735546, // FUSE
    0x01021997, // 9P
    0x564C,     // NCP
    0x6B414653, // AFS
    0x5346414F, // OpenAFS
    0x73757245, // Coda
    0x47504653, // GPFS
    0x00C36400, // Ceph
    0x013111A8, // IBRIX
};

bool remoteFolder(const char* folder) {
    struct statfs info {};
    if (statfs(folder, &info) != 0) {
        return true; // unknown: not trusted to a watch
    }
    auto type = static_cast<unsigned long>(static_cast<uint32_t>(info.f_type));
    for (unsigned long remote : kRemoteTypes) {
        if (type == remote) {
            return true;
        }
    }
    return false;
}

} // namespace

PlatformFolderWatch* platformFolderWatchOpen() {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    auto* watch = static_cast<PlatformFolderWatch*>(std::malloc(sizeof(PlatformFolderWatch)));
    if (watch == nullptr) {
        close(fd);
        return nullptr;
    }
    watch->fd = fd;
    return watch;
}

void platformFolderWatchClose(PlatformFolderWatch* watch) {
    if (watch != nullptr) {
        close(watch->fd);
        std::free(watch);
    }
}

int32_t platformFolderWatchAdd(PlatformFolderWatch* watch, const char* folder) {
    if (watch == nullptr || remoteFolder(folder)) {
        return 0;
    }
    int number = inotify_add_watch(watch->fd, folder, kWatchMask | IN_ONLYDIR);
    return number > 0 ? number : 0;
}

int platformFolderWatchChanges(PlatformFolderWatch* watch, void (*seen)(void*, int32_t),
                               void* context) {
    if (watch == nullptr) {
        return -1;
    }
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        ssize_t length = read(watch->fd, buffer, sizeof buffer);
        if (length < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
        if (length == 0) {
            return -1;
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if ((event->mask &
                 (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
                return -1;
            }
            seen(context, event->wd);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}
