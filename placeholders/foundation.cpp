// Weak stand-ins for functions the plug-in's start and stop call, until their owners land.
#include "media_db/library_import.h"
#include "media_db/media_db.h"
#include "plugin/servers.h"

__attribute__((weak)) int media_library_start() { return 0; }
__attribute__((weak)) void media_library_stop() {}
__attribute__((weak)) void media_db_destroy() {}
__attribute__((weak)) void startServers() {}
__attribute__((weak)) void stopServers() {}
__attribute__((weak)) void restartServers() {}
__attribute__((weak)) void setRestartOnAddressChange(int) {}
__attribute__((weak)) void startAddressChangeThread(ServerOperation, int) {}
__attribute__((weak)) void stopAddressChangeThread() {}
