#include "http/byte_range.h"

#include <gtest/gtest.h>

namespace {

constexpr ByteRangeKind W = ByteRangeKind::Whole;
constexpr ByteRangeKind P = ByteRangeKind::Partial;
constexpr ByteRangeKind U = ByteRangeKind::Unsatisfiable;

TEST(ByteRange, FormsOffsetsAndRefusals) {
    struct Case {
        const char* value;
        int64_t size;
        ByteRangeKind kind;
        int64_t first;
        int64_t length;
    } cases[] = {
        // The three forms.
        {"bytes=0-499", 1000, P, 0, 500},
        {"bytes=500-", 1000, P, 500, 500},
        {"bytes=-200", 1000, P, 800, 200},
        {"BYTES=10-19\r\nHost: x\r\n", 1000, P, 10, 10}, // unit in any case; value ends at CR
        {"bytes=10-19  ", 1000, P, 10, 10},
        // Edges: the last byte, a last position past the end, a suffix longer than the body.
        {"bytes=999-999", 1000, P, 999, 1},
        {"bytes=999-", 1000, P, 999, 1},
        {"bytes=0-0", 1, P, 0, 1},
        {"bytes=0-5000", 1000, P, 0, 1000},
        {"bytes=100-99999999999999999999999", 1000, P, 100, 900},
        {"bytes=-1000", 1000, P, 0, 1000},
        {"bytes=-99999999999999999999999", 1000, P, 0, 1000},
        // Unsatisfiable: starting at or past the end, or an empty suffix.
        {"bytes=1000-", 1000, U, 0, 0},
        {"bytes=1000-2000", 1000, U, 0, 0},
        {"bytes=99999999999999999999999-", 1000, U, 0, 0},
        {"bytes=-0", 1000, U, 0, 0},
        // Malformed, several ranges, other units, or an empty body: the whole body.
        {nullptr, 1000, W, 0, 0},
        {"", 1000, W, 0, 0},
        {"bytes=", 1000, W, 0, 0},
        {"bytes=-", 1000, W, 0, 0},
        {"bytes=5", 1000, W, 0, 0},
        {"bytes=20-10", 1000, W, 0, 0},
        {"bytes=a-b", 1000, W, 0, 0},
        {"bytes=1-2x", 1000, W, 0, 0},
        {"bytes=+1-2", 1000, W, 0, 0},
        {"bytes=0-1,5-6", 1000, W, 0, 0},
        {"bytes=0-1, 5-6", 1000, W, 0, 0},
        {"bytes = 0-1", 1000, W, 0, 0},
        {"items=0-1", 1000, W, 0, 0},
        {"bytes=0-1", 0, W, 0, 0},
        {"bytes=-5", 0, W, 0, 0},
    };
    for (const Case& c : cases) {
        ByteRange range = httpParseByteRange(c.value, c.size);
        const char* shown = c.value != nullptr ? c.value : "(none)";
        EXPECT_EQ(range.kind, c.kind) << shown;
        if (c.kind == P) {
            EXPECT_EQ(range.first, c.first) << shown;
            EXPECT_EQ(range.length, c.length) << shown;
        }
    }
}

} // namespace
