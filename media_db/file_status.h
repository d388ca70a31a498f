// The status of many files at once, asked folder by folder rather than path by path.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Fills statuses[i] and found[i] for paths[i], with the answers platformFileStatus gives,
// grouping the paths by folder whatever their order. Returns false on short memory, having
// filled nothing.
bool files_status(const char* const* paths, int32_t count, PlatformFileStatus* statuses,
                  bool* found);
