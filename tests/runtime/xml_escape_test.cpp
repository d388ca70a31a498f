#include "runtime/xml_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string escape(const char* text, XmlEscape depth = XmlEscape::Twice, int32_t limit = 1022) {
    TextBuffer* buffer = textBufferCreate("[", 4);
    textBufferAppendXml(buffer, text, depth, limit);
    std::string out = buffer->text + 1;
    textBufferFree(buffer);
    return out;
}

TEST(XmlEscape, OnceAndTwiceAndBytes) {
    EXPECT_EQ(escape("Rock & Roll <b>"), "Rock &amp;amp; Roll &amp;lt;b&amp;gt;");
    EXPECT_EQ(escape("Rock & Roll <b>", XmlEscape::Once), "Rock &amp; Roll &lt;b&gt;");
    // One reference per character: UTF-8 of any length, beyond the BMP too (not surrogates).
    EXPECT_EQ(escape("café \"q\" 'a'"), "caf&#233; \"q\" 'a'");
    EXPECT_EQ(escape("Звезда Ωμέγα 夜の曲", XmlEscape::Once),
              "&#1047;&#1074;&#1077;&#1079;&#1076;&#1072; &#937;&#956;&#941;&#947;&#945; "
              "&#22812;&#12398;&#26354;");
    EXPECT_EQ(escape("\xF0\x9F\x8E\xB5!"), "&#127925;!");
    // A byte that forms no UTF-8 is an ISO-8859-1 character; U+FFFF is no XML character.
    EXPECT_EQ(escape("caf\xE9 \xC3", XmlEscape::Once), "caf&#233; &#195;");
    EXPECT_EQ(escape("\xEF\xBF\xBF"), "&#65533;");
    // Control bytes cannot appear in XML; tab, LF and CR can.
    EXPECT_EQ(escape("a\x01"
                     "b\x1F"
                     "c\td\ne\rf\x7F"),
              "abc\td\ne\rf\x7F");
    EXPECT_EQ(escape(nullptr), "");
}

TEST(XmlEscape, LongTextsAreCutAtAWholeReference) {
    std::string text(1020, 'x');
    text += "&&&";
    EXPECT_EQ(escape(text.c_str()).size(), 1020u);
    std::string many;
    for (int i = 0; i < 1000; i++) {
        many += "é";
    }
    std::string cut = escape(many.c_str());
    EXPECT_EQ(cut.size() % 6, 0u); // whole "&#233;" references only
    EXPECT_GE(cut.size(), 1017u);
    EXPECT_LE(cut.size(), 1022u);
    EXPECT_EQ(escape("a&b", XmlEscape::Once, 5), "a");
    EXPECT_EQ(escape("a&b", XmlEscape::Once, 6), "a&amp;");
}

} // namespace
