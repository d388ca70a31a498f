#include "runtime/text_buffer.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Makes room for `extra` more characters. Capacity doubles, or jumps straight to the needed size
// when one append is larger than the doubled buffer. Returns false (buffer untouched) when the
// size would overflow or the allocation fails.
static bool textBufferGrow(TextBuffer* buffer, size_t extra) {
    size_t needed = static_cast<size_t>(buffer->length) + extra + 1;
    if (needed <= static_cast<size_t>(buffer->capacity)) {
        return true;
    }
    if (needed > INT32_MAX) {
        buffer->lost = true;
        return false;
    }
    size_t doubled = 2 * static_cast<size_t>(buffer->capacity);
    size_t capacity = doubled < needed ? needed : doubled;
    if (capacity > INT32_MAX) {
        capacity = needed;
    }
    char* text = static_cast<char*>(std::malloc(capacity));
    if (text == nullptr) {
        buffer->lost = true;
        return false;
    }
    std::memcpy(text, buffer->text, static_cast<size_t>(buffer->length) + 1);
    std::free(buffer->text);
    buffer->text = text;
    buffer->capacity = static_cast<int32_t>(capacity);
    return true;
}

TextBuffer* textBufferCreate(const char* initial, int32_t capacity) {
    if (capacity < 1) {
        capacity = 1;
    }
    TextBuffer* buffer = static_cast<TextBuffer*>(std::malloc(sizeof(TextBuffer)));
    if (buffer == nullptr) {
        return nullptr;
    }
    buffer->text = static_cast<char*>(std::malloc(static_cast<size_t>(capacity)));
    if (buffer->text == nullptr) {
        std::free(buffer);
        return nullptr;
    }
    buffer->text[0] = '\0';
    buffer->length = 0;
    buffer->capacity = capacity;
    buffer->lost = false;
    return textBufferAppend(buffer, initial);
}

TextBuffer* textBufferAppend(TextBuffer* buffer, const char* text) {
    if (buffer == nullptr || text == nullptr) {
        return buffer;
    }
    size_t n = std::strlen(text);
    if (n > INT32_MAX) {
        buffer->lost = true;
        return buffer;
    }
    return textBufferAppendLength(buffer, text, static_cast<int32_t>(n));
}

bool textBufferReserve(TextBuffer* buffer, int32_t extra) {
    if (buffer == nullptr || extra <= 0) {
        return buffer != nullptr;
    }
    bool lost = buffer->lost;
    bool grown = textBufferGrow(buffer, static_cast<size_t>(extra));
    buffer->lost = lost;
    return grown;
}

TextBuffer* textBufferAppendLength(TextBuffer* buffer, const char* text, int32_t length) {
    if (buffer == nullptr || text == nullptr || length <= 0 ||
        !textBufferGrow(buffer, static_cast<size_t>(length))) {
        return buffer;
    }
    std::memcpy(buffer->text + buffer->length, text, static_cast<size_t>(length));
    buffer->length += length;
    buffer->text[buffer->length] = '\0';
    return buffer;
}

TextBuffer* textBufferAppendFormat(TextBuffer* buffer, const char* format, ...) {
    if (buffer == nullptr || format == nullptr) {
        return buffer;
    }
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    size_t room = static_cast<size_t>(buffer->capacity - buffer->length);
    int n = std::vsnprintf(buffer->text + buffer->length, room, format, args);
    va_end(args);
    if (n < 0) {
        buffer->text[buffer->length] = '\0';
    } else if (static_cast<size_t>(n) < room) {
        buffer->length += n;
    } else if (textBufferGrow(buffer, static_cast<size_t>(n))) {
        std::vsnprintf(buffer->text + buffer->length, static_cast<size_t>(n) + 1, format, copy);
        buffer->length += n;
    } else {
        buffer->text[buffer->length] = '\0';
    }
    va_end(copy);
    return buffer;
}

void textBufferClear(TextBuffer* buffer) {
    if (buffer == nullptr) {
        return;
    }
    buffer->length = 0;
    buffer->text[0] = '\0';
    buffer->lost = false;
}

void textBufferTruncate(TextBuffer* buffer, int32_t length) {
    if (buffer == nullptr || length < 0 || length >= buffer->length) {
        return;
    }
    buffer->length = length;
    buffer->text[length] = '\0';
}

void textBufferFree(TextBuffer* buffer) {
    if (buffer == nullptr) {
        return;
    }
    std::free(buffer->text);
    std::free(buffer);
}
