#include "runtime/http_date.h"

#include <cstdio>
#include <ctime>

#include "runtime/runtime_internal.h"

static const char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

HttpDateText httpDateFromTime(int64_t secondsSinceEpoch) {
    HttpDateText date{};
    // Civil date from days since 1970-01-01 (proleptic Gregorian), so no shared gmtime result
    // area is involved and concurrent callers each build their own text.
    int64_t days = secondsSinceEpoch / 86400;
    int64_t secs = secondsSinceEpoch % 86400;
    if (secs < 0) {
        secs += 86400;
        days -= 1;
    }
    int weekday = static_cast<int>(((days % 7) + 11) % 7); // 1970-01-01 was a Thursday
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 0 || year > 9999) {
        year = year < 0 ? 0 : 9999; // keep the text exactly 25 characters
    }
    std::snprintf(date.text, sizeof date.text, "%s, %02d %s %04d %02d:%02d:%02d",
                  kDayNames[weekday], day, kMonthNames[month - 1], static_cast<int>(year),
                  static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                  static_cast<int>(secs % 60));
    return date;
}

HttpDateText httpDate() {
    return httpDateFromTime(static_cast<int64_t>(std::time(nullptr)));
}
