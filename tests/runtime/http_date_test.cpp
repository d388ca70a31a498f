#include "runtime/http_date.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "runtime/runtime_internal.h"

namespace {

TEST(HttpDate, KnownMoments) {
    EXPECT_STREQ(httpDateFromTime(1102384556).text, "Tue, 07 Dec 2004 01:55:56");
    EXPECT_STREQ(httpDateFromTime(0).text, "Thu, 01 Jan 1970 00:00:00");
    EXPECT_STREQ(httpDateFromTime(951782400).text, "Tue, 29 Feb 2000 00:00:00");
    EXPECT_STREQ(httpDateFromTime(1733356800).text, "Thu, 05 Dec 2024 00:00:00");
    EXPECT_STREQ(httpDateFromTime(4102444799).text, "Thu, 31 Dec 2099 23:59:59");
}

TEST(HttpDate, AgreesWithTheCalendarAcrossYears) {
    // Every ~1.3 days from 1970 to 2100, compared field by field with the C library.
    for (int64_t t = 0; t < 4102444800; t += 113777) {
        time_t moment = static_cast<time_t>(t);
        tm parts{};
        gmtime_r(&moment, &parts);
        char expected[64];
        strftime(expected, sizeof expected, "%a, %d %b %Y %H:%M:%S", &parts);
        HttpDateText text = httpDateFromTime(t);
        ASSERT_STREQ(text.text, expected) << "at " << t;
    }
}

namespace {
std::atomic<int> malformed{0};

void callRepeatedly(void*) {
    for (int i = 0; i < 20000; i++) {
        HttpDateText date = httpDate();
        if (std::strlen(date.text) != 25 || date.text[3] != ',' || date.text[19] != ':') {
            malformed++;
        }
    }
}
} // namespace

TEST(HttpDate, ConcurrentCallersGetWholeTexts) {
    PlatformThread threads[4];
    for (PlatformThread& thread : threads) {
        ASSERT_EQ(platformThreadStart(&thread, callRepeatedly, nullptr), 0);
    }
    for (PlatformThread& thread : threads) {
        platformThreadJoin(thread);
    }
    EXPECT_EQ(malformed.load(), 0);
}

} // namespace
