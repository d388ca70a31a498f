// Tag texts to UTF-8: the four ID3v2 text encodings and the ISO-8859-1 fields of ID3v1.
// Malformed input never leaks through: a broken UTF-8 or UTF-16 sequence becomes U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>

// A text frame's content (encoding byte first) as a new owned UTF-8 string, up to the first
// zero character (the first of several values). nullptr for an empty frame, an encoding
// other than 0 to 3, or short memory.
char* id3_text_to_utf8(const uint8_t* data, int32_t size);

// ISO-8859-1 bytes, up to the first zero byte or `width`, as a new owned UTF-8 string.
char* id3_latin1_to_utf8(const uint8_t* bytes, size_t width);

// Undoes unsynchronisation in place (every FF 00 becomes FF); returns the new length.
int64_t id3_undo_unsync(uint8_t* data, int64_t size);
