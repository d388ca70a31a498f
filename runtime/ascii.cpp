#include "runtime/ascii.h"

#include <cstring>

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool asciiEqualNoCase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
        if (a[i] == '\0') {
            return true;
        }
    }
    return true;
}

int asciiCompareNoCase(const char* a, const char* b) {
    for (;; a++, b++) {
        unsigned char ca = static_cast<unsigned char>(asciiLower(*a));
        unsigned char cb = static_cast<unsigned char>(asciiLower(*b));
        if (ca != cb || ca == 0) {
            return ca < cb ? -1 : (ca > cb ? 1 : 0);
        }
    }
}

bool asciiSameNoCase(const char* a, const char* b) {
    size_t n = std::strlen(a);
    return std::strlen(b) == n && asciiEqualNoCase(a, b, n);
}

bool asciiStartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; text++, prefix++) {
        if (asciiLower(*text) != asciiLower(*prefix)) {
            return false;
        }
    }
    return true;
}

const char* asciiFindNoCase(const char* haystack, const char* needle) {
    for (const char* p = haystack;; p++) {
        if (asciiStartsWithNoCase(p, needle)) {
            return p;
        }
        if (*p == '\0') {
            return nullptr;
        }
    }
}
