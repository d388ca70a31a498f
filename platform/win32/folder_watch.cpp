// No folder watch on Windows: every folder's files are asked for their status each time (one
// listing of the folder gives them all).
#include "platform/platform.h"

struct PlatformFolderWatch {
    int unused;
};

PlatformFolderWatch* platformFolderWatchOpen() {
    return nullptr;
}

void platformFolderWatchClose(PlatformFolderWatch*) {}

int32_t platformFolderWatchAdd(PlatformFolderWatch*, const char*) {
    return 0;
}

int platformFolderWatchChanges(PlatformFolderWatch*, void (*)(void*, int32_t), void*) {
    return -1;
}
