#include "runtime/ascii.h"

#include <gtest/gtest.h>

namespace {

// Only ASCII letters fold: bytes above 0x7F (Latin-1 letters in some locales) match only
// themselves, and '@'/'[' (next to 'A' and 'Z') are not letters.
TEST(Ascii, CompareAndFindFoldOnlyAsciiLetters) {
    EXPECT_TRUE(asciiEqualNoCase("Content-Length", "CONTENT-LENGTH", 14));
    EXPECT_FALSE(asciiEqualNoCase("\xC9t\xE9", "\xE9T\xE9", 3));
    EXPECT_FALSE(asciiEqualNoCase("@[", "`{", 2));
    EXPECT_TRUE(asciiSameNoCase("Section", "sECTION"));
    EXPECT_FALSE(asciiSameNoCase("Section", "Sections"));
    EXPECT_TRUE(asciiStartsWithNoCase("HTTP://x", "http://"));
    EXPECT_FALSE(asciiStartsWithNoCase("HTT", "http://"));
    const char* datagram = "M-SEARCH * HTTP/1.1\r\nmx: 3\r\nSt: ssdp:all\r\n";
    EXPECT_EQ(asciiFindNoCase(datagram, "\nMX:"), datagram + 20);
    EXPECT_EQ(asciiFindNoCase(datagram, "\nST:"), datagram + 27);
    EXPECT_EQ(asciiFindNoCase(datagram, "\nMAN"), nullptr);
    EXPECT_EQ(asciiFindNoCase(datagram, ""), datagram);
    // Ordering for listings: case aside, then byte order (unsigned), shorter first.
    EXPECT_EQ(asciiCompareNoCase("alpha", "ALPHA"), 0);
    EXPECT_LT(asciiCompareNoCase("Alpha", "beta"), 0);
    EXPECT_GT(asciiCompareNoCase("zulu", "Alpha"), 0);
    EXPECT_LT(asciiCompareNoCase("Caf", "Caf\xE9"), 0);
    EXPECT_GT(asciiCompareNoCase("\xE9", "z"), 0);
}

} // namespace
