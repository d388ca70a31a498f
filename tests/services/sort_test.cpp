#include "services/sort_criteria.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue_fixture.h"

namespace {

// Titles of All Tracks' items (and optionally the Albums container) sorted with qsort and
// sort_entry_compare; ties keep their list order so the results are comparable.
std::vector<std::string> sortedTitles(const char* criteria, bool withContainer = false) {
    media_db_read_lock();
    MediaTop top = media_db_top();
    std::vector<SortEntry> entries;
    for (const MediaObject* child = top.all_tracks->first_child; child != nullptr;
         child = child->next_sibling) {
        entries.push_back(SortEntry{child, criteria, static_cast<int32_t>(entries.size())});
    }
    if (withContainer) {
        entries.push_back(SortEntry{top.albums, criteria, static_cast<int32_t>(entries.size())});
    }
    std::stable_sort(entries.begin(), entries.end(), [](const SortEntry& a, const SortEntry& b) {
        return sort_entry_compare(&a, &b) < 0;
    });
    std::vector<std::string> titles;
    for (const SortEntry& entry : entries) {
        titles.push_back(entry.object->title);
    }
    media_db_read_unlock();
    return titles;
}

using Titles = std::vector<std::string>;

TEST(SortCriteria, TitlesInCodePointOrder) {
    buildCatalogue({{"夜の曲", "", "", ""},
                    {"abc", "", "", ""},
                    {"Звезда", "", "", ""},
                    {"alpha", "", "", ""},
                    {"Ωμέγα", "", "", ""},
                    {"Zulu", "", "", ""},
                    {"Émile", "", "", ""},
                    {"Alpha", "", "", ""}});
    Titles ascending{"Alpha", "Zulu", "abc", "alpha", "Émile", "Ωμέγα", "Звезда", "夜の曲"};
    EXPECT_EQ(sortedTitles("+dc:title"), ascending);
    EXPECT_EQ(sortedTitles("dc:title"), ascending);
    EXPECT_EQ(sortedTitles("-dc:title"), Titles(ascending.rbegin(), ascending.rend()));
}

TEST(SortCriteria, NumbersAbsentValuesAndContainers) {
    buildCatalogue({{"t2", "", "", "", 2}, {"t12", "", "", "", 12}, {"t1", "", "", "", 1}});
    EXPECT_EQ(sortedTitles("-upnp:originalTrackNumber", true),
              (Titles{"t12", "t2", "t1", "Albums"}));
    EXPECT_EQ(sortedTitles("+upnp:originalTrackNumber", true),
              (Titles{"Albums", "t1", "t2", "t12"}));
    // Track numbers restart on every disc: the disc orders first.
    buildCatalogue({{"d2t1", "", "", "", 1, false, "", "", 0, false, "", 1, 2},
                    {"d1t2", "", "", "", 2, false, "", "", 0, false, "", 1, 1},
                    {"d1t1", "", "", "", 1, false, "", "", 0, false, "", 1, 1}});
    EXPECT_EQ(sortedTitles("+upnp:originalTrackNumber"), (Titles{"d1t1", "d1t2", "d2t1"}));
    EXPECT_EQ(sortedTitles("-upnp:originalTrackNumber"), (Titles{"d2t1", "d1t2", "d1t1"}));
    // A container has no album: it sorts first ascending, last descending.
    EXPECT_EQ(sortedTitles("+upnp:album", true).front(), "Albums");
    EXPECT_EQ(sortedTitles("-upnp:album", true).back(), "Albums");
}

TEST(SortCriteria, SeveralKeysAndIgnoredItems) {
    buildCatalogue({{"b2", "X", "B", "", 2},
                    {"a2", "Y", "A", "", 2},
                    {"b1", "X", "B", "", 1},
                    {"a1", "Y", "A", "", 1}});
    EXPECT_EQ(sortedTitles("+upnp:album,+upnp:originalTrackNumber"),
              (Titles{"a1", "a2", "b1", "b2"}));
    EXPECT_EQ(sortedTitles("-dc:creator,-upnp:originalTrackNumber"),
              (Titles{"a2", "a1", "b2", "b1"}));
    // The second item begins with a blank and names no key: title order only.
    EXPECT_EQ(sortedTitles("+upnp:originalTrackNumber, +dc:title"),
              (Titles{"b1", "a1", "b2", "a2"}));
    // Unknown or empty criteria: all equal, list order kept.
    EXPECT_EQ(sortedTitles("+upnp:class"), (Titles{"b2", "a2", "b1", "a1"}));
    EXPECT_EQ(sortedTitles(""), (Titles{"b2", "a2", "b1", "a1"}));
    EXPECT_EQ(sortedTitles(nullptr), (Titles{"b2", "a2", "b1", "a1"}));
}

// The parsed keys and the page selection must give exactly the order of the comparison that
// reads the text, page by page.
TEST(SortCriteria, PagesAgreeWithTheFullSort) {
    std::vector<TrackSpec> tracks;
    for (int i = 0; i < 200; i++) {
        tracks.push_back({"t" + std::to_string(i % 7), "a" + std::to_string(i % 5),
                          "al" + std::to_string(i % 3), "g" + std::to_string(i % 4), i % 11, false,
                          i % 6 == 0 ? "" : "200" + std::to_string(i % 9)});
    }
    buildCatalogue(tracks);
    for (const char* criteria :
         {"+dc:title", "-upnp:artist,+upnp:originalTrackNumber", "+upnp:genre,-dc:date,dc:title",
          "-upnp:album,upnp:album,+dc:creator", "+dc:date,-dc:title,+upnp:originalTrackNumber"}) {
        SortKeys keys;
        sort_keys_parse(criteria, &keys);
        media_db_read_lock();
        std::vector<SortEntry> all;
        for (const MediaObject* child = media_db_top().all_tracks->first_child; child != nullptr;
             child = child->next_sibling) {
            all.push_back(SortEntry{child, criteria, static_cast<int32_t>(all.size())});
        }
        std::vector<SortEntry> expected = all;
        std::stable_sort(
            expected.begin(), expected.end(),
            [](const SortEntry& a, const SortEntry& b) { return sort_entry_compare(&a, &b) < 0; });
        for (int start = 0; start < 200; start += 23) {
            std::vector<SortEntry> page = all;
            sort_select_page(page.data(), 200, &keys, start, 23);
            for (int i = start; i < std::min(200, start + 23); i++) {
                ASSERT_EQ(page[i].object, expected[i].object) << criteria << " at " << i;
            }
        }
        media_db_read_unlock();
    }
}

} // namespace
