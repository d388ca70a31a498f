#include "http/http_host.h"

#include <gtest/gtest.h>

namespace {

TEST(HttpHost, OnlyAddressLiteralsAndTheOwnNameAreServed) {
    struct Case {
        const char* value;
        bool allowed;
    };
    const Case kCases[] = {
        {"192.0.2.1", true},
        {"192.0.2.1:8080\r\nX-Other: y", true},
        {"192.0.2.1:8080  ", true},
        {"127.0.0.1", true},
        {"KestrelBox", true}, // the own name, any case, with or without a port
        {"kestrelbox:8081", true},
        {"kestrelbox.", true},
        {"evil.example:8080", false},
        {"kestrelbox.evil.example", false},
        {"kestrelboxx", false},
        {"192.0.2.1.evil.example", false},
        {"192.0.2", false},
        {"192.0.2.256", false},
        {"192.0.2.1:", false},
        {"192.0.2.1:65536", false},
        {"192.0.2.1:80x", false},
        {"[::1]:8080", false},
        {"", false},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(httpHostAllowed(c.value, "kestrelbox"), c.allowed) << c.value;
    }
    EXPECT_TRUE(httpHostAllowed(nullptr, "kestrelbox")); // HTTP/1.0 without Host
    EXPECT_FALSE(httpHostAllowed("kestrelbox", ""));     // no own name known
    EXPECT_TRUE(httpHostAllowed("10.1.2.3", nullptr));
}

} // namespace
