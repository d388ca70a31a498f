// ID3 text encodings decoded to UTF-8.
#include "mp3/id3_text.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned kReplacement = 0xFFFD;

// Texts up to this many bytes of UTF-8 are decoded on the stack and copied out at their exact
// length, so the catalogue keeps no slack.
constexpr size_t kStackText = 1024;

size_t putCodePoint(unsigned point, char* out) {
    if (point < 0x80) {
        out[0] = static_cast<char>(point);
        return 1;
    }
    if (point < 0x800) {
        out[0] = static_cast<char>(0xC0 | (point >> 6));
        out[1] = static_cast<char>(0x80 | (point & 0x3F));
        return 2;
    }
    if (point < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (point >> 12));
        out[1] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (point & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (point >> 18));
    out[1] = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (point & 0x3F));
    return 4;
}

// Well-formed UTF-8 is copied; each maximal ill-formed part (a stray continuation byte, a lead
// byte that can start nothing, a sequence cut short, an overlong form, a surrogate, a value past
// U+10FFFF) becomes one U+FFFD, as the Unicode standard recommends. Stops at a zero byte.
size_t decodeUtf8(const uint8_t* in, size_t size, char* out) {
    size_t length = 0;
    size_t i = 0;
    while (i < size && in[i] != 0) {
        uint8_t lead = in[i];
        if (lead < 0x80) {
            out[length++] = static_cast<char>(lead);
            i++;
            continue;
        }
        size_t need = lead >= 0xC2 && lead <= 0xDF   ? 1
                      : lead >= 0xE0 && lead <= 0xEF ? 2
                      : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                     : 0;
        // The second byte's range rules out overlong forms, surrogates and values too large.
        uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        size_t taken = 1;
        while (taken <= need && i + taken < size) {
            uint8_t next = in[i + taken];
            bool fits = taken == 1 ? next >= low && next <= high : (next & 0xC0) == 0x80;
            if (!fits) {
                break;
            }
            taken++;
        }
        if (need > 0 && taken == need + 1) {
            std::memcpy(out + length, in + i, taken);
            length += taken;
        } else {
            length += putCodePoint(kReplacement, out + length);
        }
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
            point = kReplacement;
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
