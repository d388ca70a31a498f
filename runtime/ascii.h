// Case-insensitive comparison of protocol text (header names, URL schemes, setting names) and
// of titles in listings.
// ASCII letters only: the locale is never consulted, so "I" and "i" match in every locale and
// bytes above 0x7F match only themselves.
#pragma once

#include <cstddef>

// The byte with 'A'..'Z' turned into 'a'..'z'.
char asciiLower(char c);

// Whether the first `n` bytes of `a` and `b` are equal but for ASCII case. Stops at neither
// NUL: both texts must hold `n` bytes (or differ before a NUL).
bool asciiEqualNoCase(const char* a, const char* b, size_t n);

// The order of the NUL-terminated `a` and `b` with ASCII case aside, as strcmp gives it
// (negative, 0, positive); bytes compare unsigned. For listings people read.
int asciiCompareNoCase(const char* a, const char* b);

// Whether the NUL-terminated `a` and `b` are equal but for ASCII case.
bool asciiSameNoCase(const char* a, const char* b);

// Whether `text` begins with `prefix` but for ASCII case.
bool asciiStartsWithNoCase(const char* text, const char* prefix);

// First place in the NUL-terminated `haystack` where `needle` occurs but for ASCII case, or
// nullptr. An empty needle is found at the start.
const char* asciiFindNoCase(const char* haystack, const char* needle);
