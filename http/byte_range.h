// The Range header of a GET: which bytes of a resource the client asks for.
#pragma once

#include <cstdint>

enum class ByteRangeKind {
    Whole,         // no usable range: answer 200 with the whole body
    Partial,       // answer 206 with bytes first .. first + length - 1
    Unsatisfiable, // answer 416 with "Content-Range: bytes */size"
};

struct ByteRange {
    ByteRangeKind kind;
    int64_t first;
    int64_t length;
};

// Reads a Range value ("bytes=a-b", "bytes=a-" or "bytes=-n"; the value may run on past a CR
// or LF, where it ends) against a resource of `size` bytes. A missing value, another unit, a
// malformed range and a list of several ranges all give Whole, so the client gets the whole
// body; so does any range over an empty resource. A last position past the end is cut to the
// end, and a suffix longer than the resource covers all of it. A first position at or past the
// end, and a suffix of zero bytes, are Unsatisfiable.
ByteRange httpParseByteRange(const char* value, int64_t size);
