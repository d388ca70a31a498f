#include "runtime/xml_escape.h"

#include <cstdio>

// The replacement of byte `c` into `reference` (at least 8 bytes); its length, 0 to drop it.
static int32_t escapeByte(unsigned char c, XmlEscape depth, char* reference, const char** piece) {
    bool twice = depth == XmlEscape::Twice;
    *piece = reference;
    switch (c) {
    case '<':
        *piece = twice ? "&amp;lt;" : "&lt;";
        return twice ? 8 : 4;
    case '>':
        *piece = twice ? "&amp;gt;" : "&gt;";
        return twice ? 8 : 4;
    case '&':
        *piece = twice ? "&amp;amp;" : "&amp;";
        return twice ? 9 : 5;
    default:
        break;
    }
    if (c > 0x7F) {
        return std::snprintf(reference, 8, "&#%d;", c);
    }
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
        return 0;
    }
    reference[0] = static_cast<char>(c);
    return 1;
}

TextBuffer* textBufferAppendXml(TextBuffer* buffer, const char* text, XmlEscape depth,
                                int32_t limit) {
    if (buffer == nullptr || text == nullptr) {
        return buffer;
    }
    int32_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; p++) {
        char reference[8];
        const char* piece = nullptr;
        int32_t length = escapeByte(*p, depth, reference, &piece);
        if (used + length > limit) {
            break;
        }
        textBufferAppendLength(buffer, piece, length);
        used += length;
    }
    return buffer;
}
