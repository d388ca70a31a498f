// Reads of one media file through a window of its bytes held in memory. A read inside the window
// is a copy; one outside moves the window there with one seek and one read. A file no larger
// than the window is read in one call, and so are a usual tag and the first audio frame after
// it: the readers then make no further calls into the file.
#pragma once

#include <cstdint>
#include <cstdio>

// Bytes a reader's window holds: a tag without pictures, its padding and the first frame.
constexpr int64_t kFileWindow = 16 * 1024;

struct FileBytes {
    FILE* file;
    int64_t size;         // the file's length: nothing at or past it is read
    uint8_t* window;      // `capacity` bytes owned by the caller
    int64_t capacity;     // 0: every read goes to the file
    int64_t windowStart;  // file offset of window[0]
    int64_t windowLength; // bytes loaded; 0 before the first load
    int64_t filePosition; // where the file stands, so reads in sequence need no seek; -1 unknown
};

// A reader over an open file of `size` bytes whose position is unknown, with an empty window.
FileBytes file_bytes_over(FILE* file, int64_t size, uint8_t* window, int64_t capacity);

// Copies `count` bytes at `at` into out. False when any of them lies outside [0, size) or the
// file cannot be read.
bool file_bytes_read(FileBytes* bytes, int64_t at, uint8_t* out, int64_t count);

// The `count` bytes at `at` inside the window, moving it there when needed; nullptr when they do
// not fit the window, lie outside [0, size) or cannot be read. Valid until the next call.
const uint8_t* file_bytes_view(FileBytes* bytes, int64_t at, int64_t count);

// Loads the window from the start of a file opened just now (position 0) whose size is not
// known yet: a short first read gives the size; a full one asks the file, unless `sizeHint`
// (a size read from the file's status just before, else -1) tells it. False when nothing sure
// about the size is known.
bool file_bytes_load_head(FileBytes* bytes, int64_t sizeHint);
