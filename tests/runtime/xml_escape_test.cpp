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
    EXPECT_EQ(escape("caf\xE9 \"q\" 'a'"), "caf&#233; \"q\" 'a'");
    EXPECT_EQ(escape("caf\xE9", XmlEscape::Once), "caf&#233;");
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
    std::string many(2000, '\xE9');
    std::string cut = escape(many.c_str());
    EXPECT_EQ(cut.size() % 6, 0u); // whole "&#233;" references only
    EXPECT_GE(cut.size(), 1017u);
    EXPECT_LE(cut.size(), 1022u);
    EXPECT_EQ(escape("a&b", XmlEscape::Once, 5), "a");
    EXPECT_EQ(escape("a&b", XmlEscape::Once, 6), "a&amp;");
}

} // namespace
