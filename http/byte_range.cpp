// Range header: one byte range in the three forms a client may write, checked against the size.
#include "http/byte_range.h"

#include "runtime/ascii.h"

static constexpr ByteRange kWhole = {ByteRangeKind::Whole, 0, 0};

static bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Decimal digits at *p, saturating at INT64_MAX; false when there are none.
static bool readNumber(const char** p, int64_t* out) {
    if (!isDigit(**p)) {
        return false;
    }
    int64_t value = 0;
    for (; isDigit(**p); (*p)++) {
        int digit = **p - '0';
        value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
    }
    *out = value;
    return true;
}

// True when only blanks remain before the end of the value.
static bool atEnd(const char* p) {
    while (*p == ' ' || *p == '\t') {
        p++;
    }
    return *p == '\0' || *p == '\r' || *p == '\n';
}

static ByteRange partial(int64_t first, int64_t last) {
    return {ByteRangeKind::Partial, first, last - first + 1};
}

ByteRange httpParseByteRange(const char* value, int64_t size) {
    if (value == nullptr || !asciiStartsWithNoCase(value, "bytes=") || size <= 0) {
        return kWhole;
    }
    const char* p = value + 6;
    while (*p == ' ' || *p == '\t') {
        p++;
    }
    int64_t first = 0;
    int64_t last = INT64_MAX;
    bool hasFirst = readNumber(&p, &first);
    if (*p++ != '-') {
        return kWhole;
    }
    bool hasLast = readNumber(&p, &last);
    // A comma (several ranges) or anything else left over makes the header unusable.
    if (!atEnd(p) || (!hasFirst && !hasLast) || (hasFirst && hasLast && last < first)) {
        return kWhole;
    }
    if (!hasFirst) {
        if (last == 0) {
            return {ByteRangeKind::Unsatisfiable, 0, 0};
        }
        return partial(last >= size ? 0 : size - last, size - 1);
    }
    if (first >= size) {
        return {ByteRangeKind::Unsatisfiable, 0, 0};
    }
    return partial(first, last >= size ? size - 1 : last);
}
