#include "runtime/utf8.h"

#include "platform/platform.h"

// Code points of bytes 0x80 to 0x9F in Windows-1252; the five bytes the code page leaves
// undefined keep their own value, as Windows itself converts them.
static constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Appends one character if it fits in front of the terminator; false when it does not.
static bool put(uint32_t point, char* out, int32_t size, int32_t* used) {
    char bytes[4];
    auto length = static_cast<int32_t>(utf8Encode(point, bytes));
    if (*used + length > size - 1) {
        return false;
    }
    for (int32_t i = 0; i < length; i++) {
        out[(*used)++] = bytes[i];
    }
    return true;
}

// The character at p (NUL-terminated), folded; an ill-formed byte stands for itself.
static uint32_t foldedAt(const unsigned char* p, size_t* length) {
    size_t available = 0;
    while (available < 4 && p[available] != 0) {
        available++;
    }
    uint32_t point = utf8Decode(p, available, length);
    if (point == kUtf8Invalid) {
        *length = 1;
        return 0x110000u + p[0]; // apart from every character
    }
    return unicodeFoldCase(point);
}

uint32_t utf8Decode(const unsigned char* p, size_t available, size_t* length) {
    *length = 1;
    if (available == 0) {
        return kUtf8Invalid;
    }
    unsigned char lead = p[0];
    if (lead < 0x80) {
        return lead;
    }
    size_t need = lead >= 0xC2 && lead <= 0xDF   ? 1
                  : lead >= 0xE0 && lead <= 0xEF ? 2
                  : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                 : 0;
    if (need == 0) {
        return kUtf8Invalid;
    }
    // The second byte's range rules out overlong forms, surrogates and values too large.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    uint32_t point = lead & (0x3Fu >> need);
    size_t taken = 1;
    while (taken <= need && taken < available) {
        unsigned char next = p[taken];
        bool fits = taken == 1 ? next >= low && next <= high : (next & 0xC0) == 0x80;
        if (!fits) {
            break;
        }
        point = (point << 6) | (next & 0x3Fu);
        taken++;
    }
    *length = taken;
    return taken == need + 1 ? point : kUtf8Invalid;
}

size_t utf8Encode(uint32_t point, char* out) {
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

uint32_t unicodeFoldCase(uint32_t point) {
    if (point < 0x80) {
        return point >= 'A' && point <= 'Z' ? point + 32 : point;
    }
    if (point >= 0xC0 && point <= 0xDE && point != 0xD7) {
        return point + 32;
    }
    if (point >= 0x100 && point <= 0x17F) {
        // Latin Extended-A pairs upper and lower case side by side; which of the two is upper
        // changes at U+0138 and U+0149. U+0130 and U+0131 (dotted and dotless i) stay.
        if (point == 0x178) {
            return 0xFF;
        }
        if (point == 0x130 || point == 0x131 || point == 0x138 || point == 0x149 ||
            point == 0x17F) {
            return point;
        }
        bool oddUpper = (point >= 0x139 && point <= 0x148) || (point >= 0x179 && point <= 0x17E);
        bool odd = (point & 1) != 0;
        return oddUpper == odd ? point + 1 : point;
    }
    if (point >= 0x386 && point <= 0x3AB) {
        if (point >= 0x391 && point != 0x3A2) {
            return point + 32;
        }
        switch (point) {
        case 0x386:
            return 0x3AC;
        case 0x388:
        case 0x389:
        case 0x38A:
            return point + 37;
        case 0x38C:
            return 0x3CC;
        case 0x38E:
        case 0x38F:
            return point + 63;
        default:
            return point;
        }
    }
    if (point == 0x3C2) {
        return 0x3C3; // final sigma
    }
    if (point >= 0x400 && point <= 0x42F) {
        return point < 0x410 ? point + 80 : point + 32;
    }
    return point;
}

bool utf8ContainsFolded(const char* text, const char* pattern) {
    if (text == nullptr || pattern == nullptr) {
        return false;
    }
    auto* start = reinterpret_cast<const unsigned char*>(text);
    auto* wanted = reinterpret_cast<const unsigned char*>(pattern);
    while (true) {
        const unsigned char* t = start;
        const unsigned char* w = wanted;
        while (*w != 0 && *t != 0) {
            size_t textLength = 0;
            size_t wantedLength = 0;
            if (foldedAt(t, &textLength) != foldedAt(w, &wantedLength)) {
                break;
            }
            t += textLength;
            w += wantedLength;
        }
        if (*w == 0) {
            return true;
        }
        if (*start == 0) {
            return false;
        }
        size_t step = 0;
        foldedAt(start, &step);
        start += step;
    }
}

size_t utf8FoldText(const char* text, char* out, size_t size) {
    size_t used = 0;
    for (auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
        if (*p < 0x80) { // most texts are mostly ASCII
            if (used < size) {
                out[used] = static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p + 32 : *p);
            }
            used++;
            p++;
            continue;
        }
        size_t length = 0;
        uint32_t point = foldedAt(p, &length);
        char bytes[4];
        size_t written = 1;
        if (point >= 0x110000u) {
            bytes[0] = static_cast<char>(*p);
        } else {
            written = utf8Encode(point, bytes);
        }
        for (size_t i = 0; i < written; i++, used++) {
            if (used < size) {
                out[used] = bytes[i];
            }
        }
        p += length;
    }
    if (used < size) {
        out[used] = '\0';
    }
    return used;
}

bool utf8WellFormed(const char* text) {
    for (auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
        size_t length = 0;
        if (foldedAt(p, &length) >= 0x110000u) {
            return false;
        }
        p += length;
    }
    return true;
}

int32_t utf8Sanitize(const char* text, char* out, int32_t size) {
    if (out == nullptr || size <= 0) {
        return 0;
    }
    int32_t used = 0;
    for (auto* p = reinterpret_cast<const unsigned char*>(text); p != nullptr && *p != 0;) {
        size_t available = 0;
        while (available < 4 && p[available] != 0) {
            available++;
        }
        size_t length = 0;
        uint32_t point = utf8Decode(p, available, &length);
        if (!put(point == kUtf8Invalid ? kReplacementCharacter : point, out, size, &used)) {
            break;
        }
        p += length;
    }
    out[used] = '\0';
    return used;
}

int32_t utf8FromWindows1252(const char* text, char* out, int32_t size) {
    if (out == nullptr || size <= 0) {
        return 0;
    }
    int32_t used = 0;
    for (auto* p = reinterpret_cast<const unsigned char*>(text); p != nullptr && *p != 0; p++) {
        uint32_t point = *p >= 0x80 && *p <= 0x9F ? kWindows1252High[*p - 0x80] : *p;
        if (!put(point, out, size, &used)) {
            break;
        }
    }
    out[used] = '\0';
    return used;
}

int32_t utf8FromHostText(const char* text, char* out, int32_t size) {
    return platformHostTextEncoding == PlatformTextEncoding::Windows1252
               ? utf8FromWindows1252(text, out, size)
               : utf8Sanitize(text, out, size);
}
