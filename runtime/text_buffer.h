// Growable NUL-terminated text in which requests are collected and answers are built.
// Invariants: text is always terminated, length == strlen(text), length <= capacity - 1.
// A buffer belongs to the one thread that created it; it has no lock.
#pragma once

#include <cstdint>

struct TextBuffer {
    int32_t length;
    int32_t capacity;
    char* text;
};

// New empty buffer of `capacity` bytes (at least 1), then `initial` appended (may be nullptr).
// Returns nullptr when allocation fails; nothing stays allocated then.
TextBuffer* textBufferCreate(const char* initial, int32_t capacity);

// Appends `text` (nullptr appends nothing). Grows to 2 x capacity, or straight to the needed
// size when that is larger. When growing fails the text is lost, the buffer stays valid and
// unchanged, and the buffer is still returned.
TextBuffer* textBufferAppend(TextBuffer* buffer, const char* text);

// Appends printf-style formatted text with the growth rule of textBufferAppend.
TextBuffer* textBufferAppendFormat(TextBuffer* buffer, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Empties the buffer, keeping its storage. nullptr is ignored.
void textBufferClear(TextBuffer* buffer);

// Releases the text and the record. nullptr is ignored.
void textBufferFree(TextBuffer* buffer);
