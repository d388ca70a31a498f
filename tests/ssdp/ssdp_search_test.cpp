// M-SEARCH datagram checks (ST, MX, required pieces), who is answered, and due times.
#include <gtest/gtest.h>

#include <string>

#include "ssdp/ssdp_internal.h"
#include "support/ssdp_private_network.h"

namespace {

std::string search(const std::string& st, const std::string& mxLine = "MX: 3\r\n") {
    return "M-SEARCH * HTTP/1.1\r\n"
           "HOST: 239.255.255.250:1900\r\n"
           "MAN: \"ssdp:discover\"\r\n" +
           mxLine + st + "\r\n\r\n";
}

struct Parsed {
    bool ok;
    std::string target;
    int mx;
};

Parsed parse(const std::string& datagram) {
    SsdpSearch found{};
    bool ok = ssdpParseSearch(datagram.c_str(), &found);
    return ok ? Parsed{true, std::string(found.target, static_cast<size_t>(found.targetLength)),
                       found.mx}
              : Parsed{false, "", 0};
}

TEST(SsdpSearch, TargetValue) {
    EXPECT_EQ(parse(search("ST: ssdp:all")).target, "ssdp:all");
    EXPECT_EQ(parse(search("ST:    upnp:rootdevice")).target, "upnp:rootdevice");
    // The value ends at the first control byte, blank or byte above 0x7F.
    EXPECT_EQ(parse(search("ST: upnp:rootdevice extra")).target, "upnp:rootdevice");
    EXPECT_EQ(parse(search("ST: upnp:root\xE9")).target, "upnp:root");
    EXPECT_EQ(parse(search("ST:\tupnp:rootdevice")).target, "");
    // "ST :" has no "ST:" line: ignored.
    EXPECT_FALSE(parse(search("ST : ssdp:all")).ok);
}

TEST(SsdpSearch, MxRules) {
    auto mx = [](const char* line) { return parse(search("ST: ssdp:all", line)); };
    EXPECT_EQ(mx("MX: 3\r\n").mx, 3);
    EXPECT_EQ(mx("MX:3\r\n").mx, 3);
    EXPECT_EQ(mx("MX: 5\r\n").mx, 5);
    // Any larger wish is answered within the longest delay.
    EXPECT_EQ(mx("MX: 120\r\n").mx, kSsdpMaxDelaySeconds);
    EXPECT_EQ(mx("MX: 300\r\n").mx, kSsdpMaxDelaySeconds); // 44 in 8 bits
    EXPECT_EQ(mx("MX: 4seconds\r\n").mx, 4);
    EXPECT_EQ(mx("MX: 99999999999999999999\r\n").mx, kSsdpMaxDelaySeconds); // no overflow trap
    EXPECT_EQ(mx("MX : 3\r\n").mx, 5); // "MX" present, "MX:" absent
    EXPECT_FALSE(mx("MX: 0\r\n").ok);
    EXPECT_FALSE(mx("MX: 256\r\n").ok);
    EXPECT_FALSE(mx("MX: -1\r\n").ok);
    EXPECT_FALSE(mx("MX:\r\n").ok);
    EXPECT_FALSE(mx("").ok); // "\nMX" required
}

TEST(SsdpSearch, RequiredPieces) {
    EXPECT_TRUE(parse(search("ST: ssdp:all")).ok);
    std::string datagram = search("ST: ssdp:all");
    std::string http10 = datagram;
    http10.replace(http10.find("HTTP/1.1"), 8, "HTTP/1.0");
    EXPECT_FALSE(parse(http10).ok);
    std::string notify = datagram;
    notify.replace(0, 8, "NOTIFY  ");
    EXPECT_FALSE(parse(notify).ok);
    std::string noMan = datagram;
    noMan.erase(noMan.find("MAN:"), 22);
    EXPECT_FALSE(parse(noMan).ok);
    // Order and position do not matter.
    EXPECT_TRUE(parse("HTTP/1.1 * M-SEARCH\r\nST: ssdp:all\r\nMAN: x\r\nMX: 1\r\nHOST: h\r\n").ok);
}

TEST(SsdpSearch, HeaderNamesIgnoreCaseButValuesDoNot) {
    Parsed lower = parse("M-SEARCH * HTTP/1.1\r\nhost: 239.255.255.250:1900\r\n"
                         "man: \"ssdp:discover\"\r\nmx: 2\r\nst: upnp:rootdevice\r\n\r\n");
    ASSERT_TRUE(lower.ok);
    EXPECT_EQ(lower.mx, 2);
    EXPECT_EQ(lower.target, "upnp:rootdevice");
    Parsed mixed = parse(search("St: ssdp:all", "Mx: 1\r\n"));
    EXPECT_TRUE(mixed.ok);
    EXPECT_EQ(mixed.mx, 1);
    EXPECT_FALSE(parse("m-search * http/1.1\r\nHOST: h\r\nMAN: m\r\nMX: 1\r\nST: ssdp:all\r\n").ok);
    EXPECT_EQ(parse(search("ST: SSDP:ALL")).target, "SSDP:ALL");
}

TEST(SsdpSearch, FullLengthDatagramIsExaminedToItsEnd) {
    // The ST line sits in the last bytes of a 512-byte datagram.
    std::string head = "M-SEARCH * HTTP/1.1\r\nHOST: h\r\nMAN: m\r\nMX: 1\r\nX-PAD: ";
    std::string tail = "\r\nST: ssdp:all\r\n";
    std::string datagram = head + std::string(512 - head.size() - tail.size(), 'p') + tail;
    ASSERT_EQ(datagram.size(), 512u);
    EXPECT_EQ(parse(datagram).target, "ssdp:all");
}

TEST(SsdpSearch, OnlyOwnSubnetOrOwnAddressIsAnswered) {
    uint32_t served = ssdpAddress("192.0.2.1");
    uint32_t mask24 = ssdpAddress("255.255.255.0");
    EXPECT_TRUE(ssdpSenderAllowed(ssdpAddress("192.0.2.77"), served, mask24));
    EXPECT_TRUE(ssdpSenderAllowed(served, served, mask24));
    EXPECT_FALSE(ssdpSenderAllowed(ssdpAddress("192.0.3.77"), served, mask24));
    EXPECT_FALSE(ssdpSenderAllowed(ssdpAddress("8.8.8.8"), served, mask24));
    // Unknown netmask: only the address itself.
    EXPECT_TRUE(ssdpSenderAllowed(served, served, 0xFFFFFFFFu));
    EXPECT_FALSE(ssdpSenderAllowed(ssdpAddress("192.0.2.2"), served, 0xFFFFFFFFu));
}

TEST(SsdpSearch, SourcePortsOfOtherAgentsAndSystemServicesAreNotAnswered) {
    EXPECT_FALSE(ssdpSourcePortAllowed(1900));
    EXPECT_FALSE(ssdpSourcePortAllowed(19)); // chargen: a classic reflection victim
    EXPECT_FALSE(ssdpSourcePortAllowed(0));
    EXPECT_FALSE(ssdpSourcePortAllowed(1023));
    EXPECT_TRUE(ssdpSourcePortAllowed(1024));
    EXPECT_TRUE(ssdpSourcePortAllowed(50000));
}

TEST(SsdpSearch, EachSenderGetsFiveAnswersASecond) {
    SsdpRateTable table{};
    uint32_t a = ssdpAddress("192.0.2.7");
    uint32_t b = ssdpAddress("192.0.2.8");
    uint32_t t = 0xFFFFFC00u; // the window also holds across the tick wrap
    for (int i = 0; i < kSsdpAnswersPerSecond; i++) {
        EXPECT_TRUE(ssdpRateAllows(&table, a, t + static_cast<uint32_t>(i) * 100u)) << i;
    }
    EXPECT_FALSE(ssdpRateAllows(&table, a, t + 900u));
    EXPECT_TRUE(ssdpRateAllows(&table, b, t + 900u)); // others are not held up
    EXPECT_FALSE(ssdpRateAllows(&table, a, t + 999u));
    EXPECT_TRUE(ssdpRateAllows(&table, a, t + 1000u)); // a new second
    // More senders than tracked: the stalest is forgotten, the table never grows.
    for (uint32_t i = 0; i < 3u * kSsdpRateSenders; i++) {
        EXPECT_TRUE(ssdpRateAllows(&table, 0x0A000000u + i, t + 1100u)); // distinct senders
    }
    EXPECT_EQ(table.used, kSsdpRateSenders);
}

TEST(SsdpSearch, DueTimesSurviveTheTickWrap) {
    EXPECT_TRUE(ssdpIsDue(5000, 5000));
    EXPECT_TRUE(ssdpIsDue(5001, 5000));
    EXPECT_FALSE(ssdpIsDue(4999, 5000));
    // Queued just before the 32-bit millisecond tick wraps, due just after it.
    uint32_t due = 0xFFFFFF00u + 3000u;
    EXPECT_FALSE(ssdpIsDue(0xFFFFFF00u, due));
    EXPECT_TRUE(ssdpIsDue(due, due));
    EXPECT_TRUE(ssdpIsDue(due + 1000u, due));
}

} // namespace
