#include "runtime/utf8.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(Utf8, ContainsFoldsLetterCaseOfLatinGreekAndCyrillic) {
    struct Case {
        const char* text;
        const char* pattern;
        bool contained;
    } cases[] = {
        {"Night Train", "night", true},
        {"Night Train", "TRAIN", true},
        {"Night Train", "trains", false},
        {"CAFÉ NOIR", "café", true},
        {"Ærøskøbing", "ÆRØ", true},
        {"Ÿvonne Łódź", "ÿvonne łÓdŹ", true},
        {"ΩΜΈΓΑ", "ωμέγα", true},
        {"ΟΔΥΣΣΕΥΣ", "οδυσσευς", true},
        {"Οδυσσευς", "ΟΔΥΣΣΕΥΣ", true}, // final sigma folds to sigma
        {"ЗВЕЗДА Ёлка", "звезда ёлка", true},
        {"夜の曲", "の曲", true},
        {"夜の曲", "曲の", false},
        {"abc", "", true},
        {"", "a", false},
        {"a\xC3", "\xC3", true}, // an ill-formed byte matches only itself
        {"a\xC3", "\xC2", false},
        {"İstanbul", "istanbul", false}, // dotted capital I has no one-character lower case
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8ContainsFolded(c.text, c.pattern), c.contained)
            << c.text << " / " << c.pattern;
    }
}

TEST(Utf8, ConversionsCutAtWholeCharacters) {
    char out[16];
    // Windows-1252: the euro sign and curly quotes of 0x80 to 0x9F, Latin-1 above.
    EXPECT_EQ(utf8FromWindows1252("\x80 \x93\xE9\x94 \x81", out, sizeof out), 15);
    EXPECT_EQ(std::string(out), "€ “é” \xC2\x81");
    // Room for "ab" and the terminator only: the two-byte character does not fit half.
    EXPECT_EQ(utf8FromWindows1252("ab\xE9", out, 4), 2);
    EXPECT_EQ(std::string(out), "ab");
    // Well-formed UTF-8 stays; each ill-formed part becomes one U+FFFD.
    EXPECT_EQ(utf8Sanitize("Звезда", out, sizeof out), 12);
    EXPECT_EQ(std::string(out), "Звезда");
    utf8Sanitize("a\xE9z\xF0\x9F\x8E", out, sizeof out);
    EXPECT_EQ(std::string(out), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
    EXPECT_EQ(utf8Sanitize("夜の曲", out, 8), 6);
    EXPECT_EQ(std::string(out), "夜の");
    // Beyond the BMP: one four-byte character both ways.
    size_t length = 0;
    EXPECT_EQ(utf8Decode(reinterpret_cast<const unsigned char*>("\xF0\x9F\x8E\xB5"), 4, &length),
              0x1F3B5u);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(utf8Encode(0x1F3B5, out), 4u);
    EXPECT_EQ(std::string(out, 4), "\xF0\x9F\x8E\xB5");
}

} // namespace
