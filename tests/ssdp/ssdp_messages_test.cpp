// Message texts and target selection. What goes on the wire (copies, order, farewell) is
// checked by the whole-system discovery test.
#include <gtest/gtest.h>

#include <string>

#include "ssdp/ssdp_internal.h"
#include "support/ssdp_private_network.h"

namespace {

const char kUdn[] = "uuid:0123456789a-001122334455-kestrelbloom-mediaserver";
const Ipv4Endpoint kHttp{ssdpAddress("192.0.2.1"), 8080};

std::string alive(const char* type, const Ipv4Endpoint& http = kHttp) {
    char text[kSsdpMessageSize];
    int n = ssdpFormatAlive(text, kUdn, type, &http);
    return n < 0 ? std::string("<none>") : std::string(text, static_cast<size_t>(n));
}

TEST(SsdpMessages, AliveTextForUdnRowAndTypeRow) {
    EXPECT_EQ(alive(nullptr),
              std::string("NOTIFY * HTTP/1.1\r\n"
                          "HOST: 239.255.255.250:1900\r\n"
                          "CACHE-CONTROL: max-age=1810\r\n"
                          "LOCATION: http://192.0.2.1:8080/DeviceDescription.xml\r\n"
                          "NT: ") +
                  kUdn +
                  "\r\n"
                  "NTS: ssdp:alive\r\n"
                  "SERVER: Windows NT/5.0, UPnP/1.0, KestrelBloom SDK/1.0\r\n"
                  "USN: " +
                  kUdn + "\r\n\r\n");
    std::string root = alive("upnp:rootdevice");
    EXPECT_NE(root.find("\r\nNT: upnp:rootdevice\r\n"), std::string::npos);
    EXPECT_NE(root.find(std::string("\r\nUSN: ") + kUdn + "::upnp:rootdevice\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(root.find("DATE"), std::string::npos);
}

TEST(SsdpMessages, LongestAliveFitsUncut) {
    const Ipv4Endpoint widest{ssdpAddress("255.255.255.255"), 65535};
    std::string text = alive("urn:schemas-upnp-org:service:ConnectionManager:1", widest);
    ASSERT_NE(text, "<none>");
    EXPECT_NE(text.find("LOCATION: http://255.255.255.255:65535/DeviceDescription.xml\r\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
}

TEST(SsdpMessages, OverlongUdnIsRefusedNotCut) {
    std::string udn(600, 'u');
    char text[kSsdpMessageSize];
    EXPECT_EQ(ssdpFormatByebye(text, udn.c_str(), "upnp:rootdevice"), -1);
    EXPECT_EQ(ssdpFormatAlive(text, udn.c_str(), nullptr, &kHttp), -1);
}

TEST(SsdpMessages, ByebyeHasExactlyFiveLines) {
    char text[kSsdpMessageSize];
    int n = ssdpFormatByebye(text, kUdn, "urn:schemas-upnp-org:device:MediaServer:1");
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(text, static_cast<size_t>(n)),
              std::string("NOTIFY * HTTP/1.1\r\n"
                          "HOST: 239.255.255.250:1900\r\n"
                          "NT: urn:schemas-upnp-org:device:MediaServer:1\r\n"
                          "NTS: ssdp:byebye\r\n"
                          "USN: ") +
                  kUdn + "::urn:schemas-upnp-org:device:MediaServer:1\r\n\r\n");
}

TEST(SsdpMessages, SearchResponseHasEmptyExtAndZonelessDate) {
    char text[kSsdpMessageSize];
    int n = ssdpFormatSearchResponse(text, kUdn, nullptr, &kHttp, "Tue, 08 Dec 2026 03:00:00");
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(text, static_cast<size_t>(n)),
              std::string("HTTP/1.1 200 OK\r\n"
                          "CACHE-CONTROL: max-age=1810\r\n"
                          "DATE: Tue, 08 Dec 2026 03:00:00\r\n"
                          "EXT:\r\n"
                          "LOCATION: http://192.0.2.1:8080/DeviceDescription.xml\r\n"
                          "SERVER: Windows NT/5.0, UPnP/1.0, KestrelBloom SDK/1.0\r\n"
                          "ST: ") +
                  kUdn + "\r\nUSN: " + kUdn + "\r\n\r\n");
}

TEST(SsdpMessages, TargetSelection) {
    for (int row = 0; row < kSsdpTypeCount; row++) {
        EXPECT_TRUE(ssdpTargetSelects("ssdp:all", row, kUdn)) << row;
        EXPECT_EQ(ssdpTargetSelects(kUdn, row, kUdn), row == 0) << row;
        EXPECT_EQ(ssdpTargetSelects("upnp:rootdevice", row, kUdn), row == 1) << row;
        EXPECT_EQ(ssdpTargetSelects("urn:schemas-upnp-org:service:ConnectionManager:1", row, kUdn),
                  row == 4)
            << row;
    }
    const char* const nearMisses[] = {
        "UPNP:ROOTDEVICE",
        "urn:schemas-upnp-org:device:MediaServer:2",
        "urn:schemas-upnp-org:service:ContentDirectory:1 ",
        "ssdp:al",
        "",
        "uuid:0123456789a",
    };
    for (const char* target : nearMisses) {
        for (int row = 0; row < kSsdpTypeCount; row++) {
            EXPECT_FALSE(ssdpTargetSelects(target, row, kUdn)) << target << " row " << row;
        }
    }
}

} // namespace
