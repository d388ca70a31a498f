// The date text of HTTP, GENA and SSDP headers: "Wdy, DD Mon YYYY HH:MM:SS" in UTC.
#pragma once

#include <cstdint>

struct HttpDateText {
    char text[26]; // 25 characters and the terminator
};

// The current moment. Each caller gets its own copy, so concurrent callers never share a result.
HttpDateText httpDate();
// The same text of a UTC moment given as seconds since 1970-01-01.
HttpDateText httpDateFromTime(int64_t secondsSinceEpoch);
