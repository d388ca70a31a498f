// How both platform trees start a thread: the body and its argument travel in one allocated
// record, and every started body counts as running until it returns (platformThreadsRunning).
#pragma once

#include "platform/platform.h"

// Packs body and argument for a new thread and counts it as running; nullptr when out of memory.
void* platformThreadPrepare(PlatformThreadBody body, void* arg);

// Undoes platformThreadPrepare when the thread could not be created.
void platformThreadAbandon(void* start);

// Runs on the new thread: calls the packed body, releases the record, counts the thread ended.
void platformThreadRun(void* start);
