#include "runtime/xml_escape.h"

#include <cstdio>

#include "runtime/utf8.h"

// The replacement of the character at `p` into `reference` (at least 12 bytes); its length, 0
// to drop it. *consumed receives the bytes of text it stands for.
static int32_t escapeCharacter(const unsigned char* p, XmlEscape depth, char* reference,
                               const char** piece, size_t* consumed) {
    bool twice = depth == XmlEscape::Twice;
    *piece = reference;
    *consumed = 1;
    switch (*p) {
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
    if (*p > 0x7F) {
        size_t available = 0;
        while (available < 4 && p[available] != 0) {
            available++;
        }
        uint32_t point = utf8Decode(p, available, consumed);
        if (point == kUtf8Invalid) {
            // A byte that is not UTF-8 (a host name in its own code page) reads as ISO-8859-1.
            *consumed = 1;
            point = *p;
        } else if (point == 0xFFFE || point == 0xFFFF) {
            point = kReplacementCharacter; // not characters XML may carry
        }
        return std::snprintf(reference, 12, "&#%u;", static_cast<unsigned>(point));
    }
    if (*p < 0x20 && *p != '\t' && *p != '\n' && *p != '\r') {
        return 0;
    }
    reference[0] = static_cast<char>(*p);
    return 1;
}

TextBuffer* textBufferAppendXml(TextBuffer* buffer, const char* text, XmlEscape depth,
                                int32_t limit) {
    if (buffer == nullptr || text == nullptr) {
        return buffer;
    }
    int32_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
        char reference[12];
        const char* piece = nullptr;
        size_t consumed = 1;
        int32_t length = escapeCharacter(p, depth, reference, &piece, &consumed);
        if (used + length > limit) {
            break;
        }
        textBufferAppendLength(buffer, piece, length);
        used += length;
        p += consumed;
    }
    return buffer;
}
