// Growable NUL-terminated text in which requests are collected and answers are built.
// Invariants: text is always terminated, length == strlen(text), length <= capacity - 1.
// A buffer belongs to the one thread that created it; it has no lock.
//
// Every text the plug-in builds (requests, answers, documents, events) is built in a
// TextBuffer. Out of memory has one rule: an append whose growth fails loses the piece being
// appended and nothing else; the buffer stays valid and nothing is reported, so no caller
// aborts. Callers that must not send a cut answer decide with the sizes they allocate first, or
// look at `lost` before sending.
#pragma once

#include <cstdint>

struct TextBuffer {
    int32_t length;
    int32_t capacity;
    char* text;
    bool lost; // an append lost its piece since the buffer was created or last cleared
};

// New empty buffer of `capacity` bytes (at least 1), then `initial` appended (may be nullptr).
// Returns nullptr when allocation fails; nothing stays allocated then.
TextBuffer* textBufferCreate(const char* initial, int32_t capacity);

// Appends `text` (nullptr appends nothing). Grows to 2 x capacity, or straight to the needed
// size when that is larger. When growing fails the text is lost, the buffer stays valid and
// unchanged, and the buffer is still returned.
TextBuffer* textBufferAppend(TextBuffer* buffer, const char* text);

// Appends the `length` bytes at `text` (which must hold no NUL), with the rule above.
TextBuffer* textBufferAppendLength(TextBuffer* buffer, const char* text, int32_t length);

// Makes room for `extra` more bytes in one step, so that appends up to that size never move the
// text again. False when memory is short: the buffer is unchanged and nothing counts as lost.
bool textBufferReserve(TextBuffer* buffer, int32_t extra);

// Appends printf-style formatted text with the growth rule of textBufferAppend.
TextBuffer* textBufferAppendFormat(TextBuffer* buffer, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Empties the buffer, keeping its storage, and clears `lost`. nullptr is ignored.
void textBufferClear(TextBuffer* buffer);

// Cuts the text back to its first `length` bytes (a length not below the current one changes
// nothing), keeping the storage. nullptr is ignored.
void textBufferTruncate(TextBuffer* buffer, int32_t length);

// Releases the text and the record. nullptr is ignored.
void textBufferFree(TextBuffer* buffer);
