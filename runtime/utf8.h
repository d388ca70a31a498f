// UTF-8 text: the catalogue's one character encoding. Decoding and encoding single characters,
// case-insensitive search, and conversion of texts that arrive in other encodings.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kUtf8Invalid = 0xFFFFFFFFu;
constexpr uint32_t kReplacementCharacter = 0xFFFD;

// The character of the well-formed UTF-8 sequence at `p` (at most `available` bytes looked at)
// with its length in *length. For an ill-formed sequence (a stray continuation byte, a byte
// that starts nothing, a sequence cut short, an overlong form, a surrogate, a value beyond
// U+10FFFF) returns kUtf8Invalid with *length the bytes of its maximal ill-formed part, at
// least 1, so that a caller replacing it by one U+FFFD follows the Unicode recommendation.
uint32_t utf8Decode(const unsigned char* p, size_t available, size_t* length);

// Writes the UTF-8 form of a character (at most 4 bytes) and returns its length.
size_t utf8Encode(uint32_t point, char* out);

// The simple lower-case form of a letter of ASCII, Latin-1, Latin Extended-A, Greek or
// Cyrillic (final sigma folds to sigma); any other character as it is.
uint32_t unicodeFoldCase(uint32_t point);

// Whether `text` contains `pattern`, comparing characters by unicodeFoldCase. Ill-formed bytes
// compare as themselves. An empty pattern is contained in every text.
bool utf8ContainsFolded(const char* text, const char* pattern);

// The text as utf8ContainsFolded compares it, for searching many texts with a byte search:
// each well-formed character as the UTF-8 of its unicodeFoldCase, each ill-formed byte as
// itself. Writes at most `size` bytes and a terminator when room is left; returns the length
// of the whole folded text. Folding never lengthens a character, so strlen(text) + 1 bytes
// always suffice. A well-formed pattern folded so is found in a folded text exactly where
// utf8ContainsFolded finds it, since a match can only begin at a character's first byte.
size_t utf8FoldText(const char* text, char* out, size_t size);

// Whether the text is well-formed UTF-8 throughout.
bool utf8WellFormed(const char* text);

// Copies NUL-terminated text into out (size bytes, terminated), cut at a whole character:
// utf8Sanitize keeps well-formed UTF-8 and turns each ill-formed part into U+FFFD;
// utf8FromWindows1252 reads single bytes of that code page. Return the length written.
int32_t utf8Sanitize(const char* text, char* out, int32_t size);
int32_t utf8FromWindows1252(const char* text, char* out, int32_t size);

// A text provided by the host (settings values, playlist titles), read in the host's encoding
// (platformHostTextEncoding), into UTF-8 as above.
int32_t utf8FromHostText(const char* text, char* out, int32_t size);
