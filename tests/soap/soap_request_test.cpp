#include "soap/soap_request.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

// A prepared copy of a body; the lookups run on it.
struct Prepared {
    std::vector<char> text;
    int length = 0;
    explicit Prepared(const std::string& body) : text(body.begin(), body.end()) {
        text.push_back('\0');
        // Bytes past the body that a lookup must never reach.
        text.insert(text.end(), 8, 'Z');
        length = soap_prepare_body(text.data());
    }
    const char* arg(const char* name) const { return soap_get_arg(name, text.data(), length); }
    int intArg(const char* name) const { return soap_get_int_arg(name, text.data(), length); }
};

std::string valueOf(const std::string& body, const char* name) {
    Prepared prepared(body);
    const char* value = prepared.arg(name);
    return value == nullptr ? "<missing>" : value;
}

TEST(SoapDecode, NamedAndNumericReferences) {
    EXPECT_EQ(valueOf("<A>a&amp;b</A>", "A"), "a&b");
    EXPECT_EQ(valueOf("<A>&lt;&gt;&apos;&quot;</A>", "A"), "<>'\"");
    EXPECT_EQ(valueOf("<A>&#65;&#x41;</A>", "A"), "AA");
    // Numeric references give UTF-8, up to U+10FFFF; beyond, and surrogates, give U+FFFD.
    EXPECT_EQ(valueOf("<A>&#233;&#x20AC;&#1047;&#x1F3B5;&#1114111;</A>", "A"),
              "é€З\xF0\x9F\x8E\xB5\xF4\x8F\xBF\xBF");
    EXPECT_EQ(valueOf("<A>&#x110000;&#55296;&#-1;</A>", "A"), "\uFFFD\uFFFD\uFFFD");
    // The ';' must come within ten places of the '&'.
    EXPECT_EQ(valueOf("<A>&#00000000065;</A>", "A"), "&#00000000065;");
    EXPECT_EQ(valueOf("<A>&#x41</A>", "A"), "&#x41");
    // One level deep only.
    EXPECT_EQ(valueOf("<A>&amp;quot;</A>", "A"), "&quot;");
    EXPECT_EQ(valueOf("<A>&amp;lt;</A>", "A"), "&lt;");
    // A reference to character 0 would split the value; it stays as text.
    EXPECT_EQ(valueOf("<A>x&#0;y&#x0;z</A>", "A"), "x&#0;y&#x0;z");
}

TEST(SoapDecode, Utf8TextStaysAsSent) {
    // "Café ½ Звезда" as a control point sends it, and as references: the same bytes.
    EXPECT_EQ(valueOf("<A>Caf\xC3\xA9 \xC2\xBD Звезда</A>", "A"), "Café ½ Звезда");
    EXPECT_EQ(valueOf("<A>\xC3\x80&#192;</A>", "A"), "ÀÀ");
    // Bytes that form no UTF-8 stay as they are (they match nothing in the catalogue).
    EXPECT_EQ(valueOf("<A>\xC3 \xE9</A>", "A"), "\xC3 \xE9");
    std::vector<char> body{'\xC3', '\xA9', '\0'};
    EXPECT_EQ(soap_prepare_body(body.data()), 2);
}

TEST(SoapDecode, PreparedLengthCountsDecodedText) {
    std::vector<char> body{'a', '&', 'a', 'm', 'p', ';', 'b', '\0'};
    EXPECT_EQ(soap_prepare_body(body.data()), 3);
    EXPECT_STREQ(body.data(), "a&b");
}

TEST(SoapDecode, EscapedComparisonsStayInsideTheirValue) {
    // The criteria arrives escaped; decoding after cutting keeps its operators.
    EXPECT_EQ(valueOf("<SearchCriteria>upnp:originalTrackNumber &gt;= &quot;10&quot;"
                      "</SearchCriteria><Filter>*</Filter>",
                      "SearchCriteria"),
              "upnp:originalTrackNumber >= \"10\"");
    EXPECT_EQ(valueOf("<S>a &lt; b</S>", "S"), "a < b");
    // Raw quotes protect raw delimiters as well.
    EXPECT_EQ(valueOf("<S>dc:title = \"a<b>c\"</S><T>x</T>", "S"), "dc:title = \"a<b>c\"");
    EXPECT_EQ(valueOf("<S>dc:title = \"a<b>c\"</S><T>x</T>", "T"), "x");
}

TEST(SoapArgs, EmptyMissingAndEmptyElement) {
    const std::string body = "<u:Browse xmlns:u=\"urn:x\"><BrowseFlag>BrowseMetadata</BrowseFlag>"
                             "<Filter/><SortCriteria></SortCriteria></u:Browse>";
    EXPECT_EQ(valueOf(body, "BrowseFlag"), "BrowseMetadata");
    EXPECT_EQ(valueOf(body, "Filter"), "<missing>");
    EXPECT_EQ(valueOf(body, "SortCriteria"), "");
    EXPECT_EQ(valueOf(body, "ObjectID"), "<missing>");
}

TEST(SoapArgs, PrefixMatchIsByDesign) {
    // The name is matched as a fragment prefix: a tag with attributes matches its bare name,
    // and so does a longer tag that begins with it; the first in document order wins.
    EXPECT_EQ(valueOf("<ObjectID xmlns:dt=\"urn:d\" dt:dt=\"string\">7</ObjectID>", "ObjectID"),
              "7");
    EXPECT_EQ(valueOf("<ObjectIDs>1</ObjectIDs><ObjectID>2</ObjectID>", "ObjectID"), "1");
    // A name that is longer than every fragment does not match a shorter one.
    EXPECT_EQ(valueOf("<Object>1</Object>", "ObjectID"), "<missing>");
    EXPECT_EQ(valueOf("<a>Filter</a><Filter>x</Filter>", "Filter"), "/a");
}

TEST(SoapArgs, NothingPastThePreparedTextIsRead) {
    // The matching tag is the last fragment: there is no value.
    EXPECT_EQ(valueOf("<A>1</A><Last", "Last"), "<missing>");
    EXPECT_EQ(valueOf("<Last>", "Last"), "<missing>");
    EXPECT_EQ(valueOf("", "A"), "<missing>");
}

TEST(SoapArgs, IntegerArguments) {
    Prepared prepared("<StartingIndex>10</StartingIndex><RequestedCount> -5x</RequestedCount>"
                      "<Big>99999999999</Big><Small>-99999999999</Small><Word>abc</Word>");
    EXPECT_EQ(prepared.intArg("StartingIndex"), 10);
    EXPECT_EQ(prepared.intArg("RequestedCount"), -5);
    EXPECT_EQ(prepared.intArg("Big"), INT_MAX);
    EXPECT_EQ(prepared.intArg("Small"), INT_MIN);
    EXPECT_EQ(prepared.intArg("Word"), 0);
    EXPECT_EQ(prepared.intArg("Missing"), 0);
}

} // namespace
