// ID3 text encodings decoded to UTF-8.
#include "mp3/id3_text.h"

#include <cstdlib>
#include <cstring>

#include "runtime/utf8.h"

namespace {

// Texts up to this many bytes of UTF-8 are decoded on the stack and copied out at their exact
// length, so the catalogue keeps no slack.
constexpr size_t kStackText = 1024;

size_t putCodePoint(uint32_t point, char* out) {
    return utf8Encode(point, out);
}

// Well-formed UTF-8 is copied; each maximal ill-formed part becomes one U+FFFD. Stops at a zero
// byte.
size_t decodeUtf8(const uint8_t* in, size_t size, char* out) {
    size_t length = 0;
    for (size_t i = 0; i < size && in[i] != 0;) {
        size_t taken = 0;
        uint32_t point = utf8Decode(in + i, size - i, &taken);
        length += putCodePoint(point == kUtf8Invalid ? kReplacementCharacter : point, out + length);
        i += taken;
    }
    return length;
}

// UTF-16 units from `start`, up to the first zero unit; a pair of surrogates is one character,
// a lone surrogate becomes U+FFFD, an odd last byte is dropped.
size_t decodeUtf16(const uint8_t* in, size_t size, size_t start, bool littleEndian, char* out) {
    auto unitAt = [&](size_t i) -> unsigned {
        return littleEndian ? in[i] | (in[i + 1] << 8) : (in[i] << 8) | in[i + 1];
    };
    size_t length = 0;
    for (size_t i = start; i + 1 < size; i += 2) {
        unsigned unit = unitAt(i);
        if (unit == 0) {
            break;
        }
        unsigned point = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < size) {
            unsigned low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (point >= 0xD800 && point <= 0xDFFF) {
            point = kReplacementCharacter;
        }
        length += putCodePoint(point, out + length);
    }
    return length;
}

size_t decodeLatin1(const uint8_t* in, size_t size, char* out) {
    size_t length = 0;
    for (size_t i = 0; i < size && in[i] != 0; i++) {
        length += putCodePoint(in[i], out + length);
    }
    return length;
}

// Decodes by encoding into `out`, which holds at least 3 * size bytes.
size_t decodeFrame(const uint8_t* data, size_t size, char* out) {
    switch (data[0]) {
    case 0:
        return decodeLatin1(data + 1, size - 1, out);
    case 3:
        return decodeUtf8(data + 1, size - 1, out);
    case 2:
        return decodeUtf16(data, size, 1, false, out);
    default: {
        // Encoding 1 starts with a byte-order mark. Without one (a broken writer) the units are
        // read big-endian from the start, so no character is lost.
        bool marked = size >= 3 && ((data[1] == 0xFF && data[2] == 0xFE) ||
                                    (data[1] == 0xFE && data[2] == 0xFF));
        return decodeUtf16(data, size, marked ? 3 : 1, marked && data[1] == 0xFF, out);
    }
    }
}

char* copyOut(const char* text, size_t length) {
    auto* out = static_cast<char*>(std::malloc(length + 1));
    if (out != nullptr) {
        std::memcpy(out, text, length);
        out[length] = '\0';
    }
    return out;
}

} // namespace

char* id3_text_to_utf8(const uint8_t* data, int32_t size) {
    if (data == nullptr || size < 1 || data[0] > 3) {
        return nullptr;
    }
    // Every input byte gives at most 3 output bytes (a lone byte as U+FFFD, a UTF-16 unit as up
    // to 3, a Latin-1 byte as 2).
    size_t capacity = static_cast<size_t>(size) * 3;
    if (capacity <= kStackText) {
        char text[kStackText];
        return copyOut(text, decodeFrame(data, static_cast<size_t>(size), text));
    }
    auto* text = static_cast<char*>(std::malloc(capacity));
    if (text == nullptr) {
        return nullptr;
    }
    char* out = copyOut(text, decodeFrame(data, static_cast<size_t>(size), text));
    std::free(text);
    return out;
}

char* id3_latin1_to_utf8(const uint8_t* bytes, size_t width) {
    char text[2 * 128];
    if (width > 128) {
        width = 128;
    }
    return copyOut(text, decodeLatin1(bytes, width, text));
}

int64_t id3_undo_unsync(uint8_t* data, int64_t size) {
    int64_t length = 0;
    for (int64_t i = 0; i < size; i++) {
        data[length++] = data[i];
        if (data[i] == 0xFF && i + 1 < size && data[i + 1] == 0x00) {
            i++;
        }
    }
    return length;
}
