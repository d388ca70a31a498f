#include "services/search_criteria.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "catalogue_fixture.h"

namespace {

class CriteriaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        buildCatalogue({{"Help", "Band", "Rec", "Rock", 9},
                        {"help", "", "Rec", "Pop", 10},
                        {"A \"quoted\" word", "Other", "Live", "Rock", 12},
                        {"x", "Band", "Rec", "Rock", 2, false, "", "", 0, true}});
        track9 = findByTitle("Help", 'i');
        track10 = findByTitle("help", 'i');
        quoted = findByTitle("A \"quoted\" word", 'i');
        album = findByTitle("Rec", 'c');
        reference = findByTitle("Help", 'r');
        media_db_read_lock();
        root = media_db_find(0);
        allTracks = media_db_top().all_tracks;
        media_db_read_unlock();
    }
    int match(const MediaObject* object, const char* criteria) {
        media_db_read_lock();
        int result = criteria_match(object, criteria);
        media_db_read_unlock();
        return result;
    }
    MediaObject* track9 = nullptr;
    MediaObject* track10 = nullptr;
    MediaObject* quoted = nullptr;
    MediaObject* album = nullptr;
    MediaObject* reference = nullptr;
    MediaObject* root = nullptr;
    MediaObject* allTracks = nullptr;
};

TEST_F(CriteriaTest, StarEmptyAndMissing) {
    EXPECT_EQ(match(album, "*"), 1);
    EXPECT_EQ(match(track9, ""), 0);
    EXPECT_EQ(match(track9, nullptr), 0);
    EXPECT_EQ(match(nullptr, "*"), 0);
    EXPECT_EQ(match(track9, "   "), 0);
}

TEST_F(CriteriaTest, ComparisonsAreExactContainmentFoldsCase) {
    EXPECT_EQ(match(track9, "dc:title = \"Help\""), 1);
    EXPECT_EQ(match(track10, "dc:title = \"Help\""), 0);
    EXPECT_EQ(match(track10, "dc:title != \"Help\""), 1);
    EXPECT_EQ(match(track9, "dc:title contains \"el\""), 1);
    EXPECT_EQ(match(track10, "dc:title contains \"HEL\""), 1);
    EXPECT_EQ(match(track9, "dc:title doesNotContain \"EL\""), 0);
    EXPECT_EQ(match(track9, "dc:title doesNotContain \"elk\""), 1);
    EXPECT_EQ(match(track9, "upnp:class derivedfrom \"OBJECT.item\""), 0);
    EXPECT_EQ(match(track9, "dc:title < \"Helq\""), 1);
    EXPECT_EQ(match(track9, "dc:title >= \"help\""), 0);
    // Trailing blanks are ignored; bare operands end at a blank.
    EXPECT_EQ(match(track9, "dc:title = \"Help\"  "), 1);
    EXPECT_EQ(match(track9, "dc:title = Help"), 1);
    EXPECT_EQ(match(quoted, "dc:title = \"A \\\"quoted\\\" word\""), 1);
}

TEST_F(CriteriaTest, ClassesAndContainers) {
    EXPECT_EQ(match(album, "upnp:class derivedfrom \"object.container\""), 1);
    EXPECT_EQ(match(track9, "upnp:class derivedfrom \"object.container\""), 0);
    EXPECT_EQ(match(reference, "upnp:class = \"object.item.audioItem.musicTrack\""), 1);
    EXPECT_EQ(match(album, "dc:title = \"Rec\""), 1);
    // A container has no artist: every operator but exists is false for it.
    EXPECT_EQ(match(album, "upnp:artist != \"x\""), 0);
    EXPECT_EQ(match(album, "upnp:artist doesNotContain \"x\""), 0);
    EXPECT_EQ(match(album, "dc:creator exists \"false\""), 1);
    EXPECT_EQ(match(album, "dc:creator exists \"true\""), 0);
    EXPECT_EQ(match(track9, "dc:creator exists \"true\""), 1);
    EXPECT_EQ(match(findByTitle("x", 'i'), "dc:creator exists true"), 0);
}

TEST_F(CriteriaTest, TrackNumbersCompareAsNumbers) {
    EXPECT_EQ(match(track9, "upnp:originalTrackNumber >= \"10\""), 0);
    EXPECT_EQ(match(track10, "upnp:originalTrackNumber >= \"10\""), 1);
    EXPECT_EQ(match(quoted, "upnp:originalTrackNumber > 9"), 1);
    EXPECT_EQ(match(reference, "upnp:originalTrackNumber = \"9\""), 1);
    EXPECT_EQ(match(track9, "upnp:originalTrackNumber contains \"9\""), 0);
    EXPECT_EQ(match(album, "upnp:originalTrackNumber <= \"100\""), 0);
    EXPECT_EQ(match(album, "upnp:originalTrackNumber exists \"false\""), 1);
}

TEST_F(CriteriaTest, IdsGenreAndRefId) {
    EXPECT_EQ(match(allTracks, "@parentID = \"0\""), 1);
    EXPECT_EQ(match(root, "@parentID = \"-1\""), 1);
    EXPECT_EQ(match(root, "@id = \"0\""), 1);
    EXPECT_EQ(match(track9, ("@id = \"" + idOf(track9) + "\"").c_str()), 1);
    // A reference has its own id and names its target with @refID.
    EXPECT_EQ(match(reference, ("@id = \"" + idOf(track9) + "\"").c_str()), 0);
    EXPECT_EQ(match(reference, ("@refID = \"" + idOf(track9) + "\"").c_str()), 1);
    EXPECT_EQ(match(track9, "@refID exists false"), 1);
    EXPECT_EQ(match(reference, "@refID exists false"), 0);
    EXPECT_EQ(match(track9, "upnp:class derivedfrom \"object.item.audioItem\" and "
                            "@refID exists false"),
              1);
    EXPECT_EQ(match(track9, "upnp:genre = \"Rock\""), 1);
    EXPECT_EQ(match(reference, "upnp:genre = \"Rock\""), 1);
    EXPECT_EQ(match(album, "upnp:genre exists \"false\""), 1);
}

TEST_F(CriteriaTest, PrecedenceGroupsAndSequences) {
    // a or (b and c): "and" binds tighter.
    EXPECT_EQ(match(track9, "dc:title contains \"H\" or dc:title contains \"x\" and "
                            "dc:title contains \"y\""),
              1);
    EXPECT_EQ(match(track9, "(dc:title contains \"H\" or dc:title contains \"x\") and "
                            "dc:title contains \"y\""),
              0);
    EXPECT_EQ(match(track9, "dc:title = \"x\" or dc:title = \"y\" or dc:title = \"Help\""), 1);
    EXPECT_EQ(match(track9, "((dc:title = \"Help\"))"), 1);
    EXPECT_EQ(match(track9, "() or dc:title = \"x\""), 0);
    EXPECT_EQ(match(track9, "(*) and dc:title = \"Help\""), 1);
    // Parentheses inside quoted strings do not count.
    EXPECT_EQ(match(track9, "(dc:title != \")(\")"), 1);
    // Comparisons without a connective: the first remaining symbol decides.
    EXPECT_EQ(match(track9, "dc:title = \"Help\" dc:title = \"x\""), 1);
    EXPECT_EQ(match(track9, "dc:title = \"x\" dc:title = \"Help\""), 0);
    EXPECT_EQ(match(track9, "dc:title = \"x\" or dc:title = \"Help\" dc:title = \"x\""), 1);
    EXPECT_EQ(match(track9, "dc:title = \"x\" dc:title = \"Help\" and dc:title = \"Help\""), 0);
    // A settled chain skips what follows, even a later run that would fail.
    EXPECT_EQ(match(track9, "dc:title = \"Help\" or (dc:title = \"x\" and @id exists true)"), 1);
    EXPECT_EQ(match(track9, "dc:title = \"x\" and dc:title = \"Help\" or dc:title = \"Help\""), 1);
    EXPECT_EQ(match(track9, "dc:title = \"Help\" and dc:title = \"x\" or () "), 0);
}

TEST_F(CriteriaTest, MalformedTexts) {
    for (const char* text :
         {"(dc:title = \"x\"", "upnp:foo = \"Rock\"", "dc:title", "dc:title =", "dc:title ~ \"x\"",
          "and dc:title = \"x\"", "dc:title = \"x\" and", "dc:title = \"x\" or and dc:title = x",
          "(dc:title = \"x\" or)", "(or)", "(dc:title = \"x)", "dc:title = \"x\" or ( "}) {
        EXPECT_EQ(match(track9, text), -1) << text;
    }
}

TEST_F(CriteriaTest, LengthNodeAndDepthCaps) {
    // 512 comparisons and 511 connectives: 1,023 nodes at one level, all read.
    std::string text = "@id exists true";
    for (int i = 1; i < 512; i++) {
        text += " and @id exists true";
    }
    ASSERT_LE(text.size(), static_cast<size_t>(kCriteriaMaxLength));
    EXPECT_EQ(match(track9, text.c_str()), 1);
    EXPECT_EQ(match(track9, (text + " ").c_str()), 1);
    EXPECT_EQ(match(track9, ("(" + text + ")").c_str()), 1); // the group makes 1,024
    EXPECT_EQ(match(track9, ("(" + text + ") or @id exists true").c_str()), -1); // 1,026
    EXPECT_EQ(match(track9, (text + " and @id exists true").c_str()), -1);
    // Length: 16 KiB is read, one byte more is not, even when it is only blanks or a '*'.
    std::string padded = "dc:title = \"Help\"";
    padded.resize(static_cast<size_t>(kCriteriaMaxLength), ' ');
    EXPECT_EQ(match(track9, padded.c_str()), 1);
    EXPECT_EQ(match(track9, (padded + " ").c_str()), -1);
    EXPECT_EQ(match(track9, ("*" + padded).c_str()), -1);
    std::string nested = "dc:title = \"Help\"";
    for (int i = 0; i < kCriteriaMaxDepth; i++) {
        nested = "(" + nested + ")";
    }
    EXPECT_EQ(match(track9, nested.c_str()), 1);
    EXPECT_EQ(match(track9, ("(" + nested + ")").c_str()), -1);
    // A megabyte of parentheses is refused by its length before anything is read.
    std::string flood(1 << 20, '(');
    CriteriaProgram program;
    EXPECT_EQ(criteria_compile(flood.c_str(), &program), -1);
    EXPECT_EQ(program.nodes, nullptr);
    criteria_release(&program);
}

TEST_F(CriteriaTest, CompiledSizeFollowsTheText) {
    // 200 groups side by side cost 200 nodes, not a block of symbols each.
    std::string text = "(@id exists true)";
    for (int i = 1; i < 200; i++) {
        text += " or (@id exists true)";
    }
    CriteriaProgram program;
    ASSERT_EQ(criteria_compile(text.c_str(), &program), 2);
    EXPECT_EQ(program.count, 200 + 199 + 200);
    EXPECT_LE(program.capacity, 2 * program.count);
    EXPECT_LE(program.operandsUsed, static_cast<int32_t>(text.size()));
    criteria_release(&program);
}

TEST(CriteriaHelpers, OperatorsValuesAndComparison) {
    int position = 0;
    EXPECT_STREQ(criteria_next_operator("  <= 5", &position), "<=");
    EXPECT_EQ(position, 4);
    position = 0;
    EXPECT_EQ(criteria_next_operator("=", &position), nullptr);
    position = 0;
    EXPECT_EQ(criteria_next_operator("like x", &position), nullptr);

    position = 0;
    char* value = criteria_next_value(" \"a\\\\b\\\"c\" rest", &position);
    EXPECT_STREQ(value, "a\\b\"c");
    EXPECT_STREQ(" \"a\\\\b\\\"c\" rest" + position, " rest");
    std::free(value);
    position = 0;
    value = criteria_next_value("word and", &position);
    EXPECT_STREQ(value, "word");
    EXPECT_EQ(position, 5);
    std::free(value);
    std::string huge(3000, 'q');
    position = 0;
    value = criteria_next_value(huge.c_str(), &position);
    EXPECT_EQ(std::string(value).size(), 1023u);
    std::free(value);

    // The numeric flag decides between number and byte order.
    EXPECT_EQ(criteria_compare("12", "<", "9", 1), 0);
    EXPECT_EQ(criteria_compare("12", "<", "9", 0), 1);
}

} // namespace
