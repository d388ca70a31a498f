#include "soap/soap_request.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "runtime/utf8.h"

namespace {

// Cuts at every '<' and '>' outside double quotes; every '"' flips the quote state.
void cutAtTagDelimiters(char* body) {
    bool quoted = false;
    for (char* p = body; *p != '\0'; p++) {
        if (*p == '"') {
            quoted = !quoted;
        } else if (!quoted && (*p == '<' || *p == '>')) {
            *p = '\0';
        }
    }
}

struct NamedEntity {
    const char* text;
    int length;
    char value;
};

constexpr NamedEntity kEntities[] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&apos;", 6, '\''}, {"&quot;", 6, '"'},
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// A numeric reference "&#...;" at `p` whose ';' lies 2 to 10 places after the '&' (room for
// every character up to U+10FFFF, in decimal or hexadecimal). Writes the character as UTF-8
// into `out` (4 bytes) with its length in *size, and the reference's length in *length. A
// value beyond U+10FFFF or a surrogate gives U+FFFD. False when the reference is unfinished or
// its value is 0 (a NUL would split the fragment, so it is kept as text).
bool numericReference(const char* p, char* out, size_t* size, int* length) {
    int end = 0;
    for (int i = 2; i <= 10 && p[i - 1] != '\0'; i++) {
        if (p[i] == ';') {
            end = i;
            break;
        }
    }
    if (end == 0) {
        return false;
    }
    long long number = 0;
    if (p[2] == 'x') {
        for (const char* q = p + 3; hexDigit(*q) >= 0; q++) {
            number = number * 16 + hexDigit(*q);
        }
    } else {
        number = std::strtoll(p + 2, nullptr, 10);
    }
    if (number == 0) {
        return false;
    }
    bool valid = number > 0 && number <= 0x10FFFF && (number < 0xD800 || number > 0xDFFF);
    // The shortest reference that yields n bytes of UTF-8 is at least n characters long, so
    // the text never grows.
    *size = utf8Encode(valid ? static_cast<uint32_t>(number) : kReplacementCharacter, out);
    *length = end + 1;
    return true;
}

// Decodes one fragment, writing from `out` (never ahead of `in`). Returns the new end. Text is
// UTF-8, as control points send it and as the catalogue holds it: bytes other than references
// stay as they are.
char* decodeFragment(const char* in, char* out) {
    while (*in != '\0') {
        char value[4] = {*in};
        size_t size = 1;
        int length = 1;
        if (*in == '&') {
            for (const NamedEntity& entity : kEntities) {
                if (std::strncmp(in, entity.text, static_cast<size_t>(entity.length)) == 0) {
                    value[0] = entity.value;
                    length = entity.length;
                    break;
                }
            }
            if (length == 1 && in[1] == '#') {
                numericReference(in, value, &size, &length);
            }
        }
        std::memcpy(out, value, size);
        out += size;
        in += length;
    }
    return out;
}

} // namespace

int soap_prepare_body(char* body) {
    size_t rawLength = std::strlen(body);
    cutAtTagDelimiters(body);
    // Decode fragment by fragment, closing the gaps so the fragments stay contiguous.
    const char* in = body;
    const char* rawEnd = body + rawLength;
    char* out = body;
    while (in < rawEnd) {
        size_t fragmentLength = std::strlen(in);
        out = decodeFragment(in, out);
        in += fragmentLength;
        if (in < rawEnd) {
            *out++ = '\0';
            in++;
        }
    }
    *out = '\0';
    return static_cast<int>(out - body);
}

const char* soap_get_arg(const char* name, const char* body, int length) {
    if (name == nullptr || body == nullptr) {
        return nullptr;
    }
    size_t nameLength = std::strlen(name);
    int offset = 0;
    while (offset < length) {
        const char* fragment = body + offset;
        size_t fragmentLength = std::strlen(fragment);
        int next = offset + static_cast<int>(fragmentLength) + 1;
        if (std::strncmp(fragment, name, nameLength) == 0) {
            if (fragmentLength > 0 && fragment[fragmentLength - 1] == '/') {
                return nullptr;
            }
            return next < length ? body + next : nullptr;
        }
        offset = next;
    }
    return nullptr;
}

int soap_get_int_arg(const char* name, const char* body, int length) {
    const char* value = soap_get_arg(name, body, length);
    if (value == nullptr) {
        return 0;
    }
    long long number = std::strtoll(value, nullptr, 10);
    if (number > INT_MAX) {
        return INT_MAX;
    }
    if (number < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(number);
}
