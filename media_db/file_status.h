// The status of many files at once, asked folder by folder rather than path by path.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct FolderWatch;

// Fills statuses[i] and found[i] for paths[i], with the answers platformFileStatus gives,
// grouping the paths by folder whatever their order. Returns false on short memory, having
// filled nothing.
bool files_status(const char* const* paths, int32_t count, PlatformFileStatus* statuses,
                  bool* found);

// The same with a folder watch: unchanged[i] says on entry whether path i may be taken as
// unchanged since its folder was last checked (its last status is known), and on return
// whether it was, its status then not asked (statuses[i] and found[i] left as they are).
// Folders that are asked get their watch first (see folder_watch.h).
bool files_status_watched(const char* const* paths, int32_t count, PlatformFileStatus* statuses,
                          bool* found, FolderWatch* watch, bool* unchanged);
