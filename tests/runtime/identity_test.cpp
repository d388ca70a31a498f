#include "runtime/device_identity.h"

#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "runtime/diagnostics.h"
#include "runtime/runtime_internal.h"

namespace {

PlatformAdapter adapterOf(const char* name, std::initializer_list<uint8_t> mac) {
    PlatformAdapter adapter;
    std::memset(&adapter, 0, sizeof adapter);
    std::strcpy(adapter.name, name);
    int i = 0;
    for (uint8_t b : mac) {
        adapter.hardwareAddress[i++] = b;
    }
    adapter.hardwareLength = i;
    return adapter;
}

TEST(DeviceIdentity, UdnFromAdapterGuidAndHardwareAddress) {
    PlatformAdapter adapter =
        adapterOf("{4D36E972-E325-11CE-BFC1-08002BE10318}", {0x00, 0x0C, 0x29, 0xAB, 0xCD, 0xEF});
    UdnText udn = udnFromAdapter(&adapter);
    EXPECT_STREQ(udn.text, "uuid:4D36E972-E3-000c29abcdef-kestrelbloom-mediaserver");
    EXPECT_EQ(std::strlen(udn.text), 54u);
}

TEST(DeviceIdentity, FallbackAndShortNames) {
    EXPECT_STREQ(udnFromAdapter(nullptr).text, "uuid:12345678-4321");
    // A name shorter than a GUID still gives a terminated text, never a read past the name.
    PlatformAdapter adapter = adapterOf("{AB", {1, 2, 3, 4, 5, 6});
    EXPECT_STREQ(udnFromAdapter(&adapter).text, "uuid:AB-010203040506-kestrelbloom-mediaserver");
}

TEST(DeviceIdentity, MachineUdnHasOneOfTheTwoShapesAndIsStable) {
    UdnText first = deviceUdn();
    UdnText second = deviceUdn();
    EXPECT_STREQ(first.text, second.text);
    std::regex normal("uuid:[0-9A-F]{8}-[0-9A-F]{2}-[0-9a-f]{12}-kestrelbloom-mediaserver");
    bool fallback = std::strcmp(first.text, "uuid:12345678-4321") == 0;
    EXPECT_TRUE(fallback || std::regex_match(first.text, normal)) << first.text;
    EXPECT_STREQ(serverString, "Windows NT/5.0, UPnP/1.0, KestrelBloom SDK/1.0");
}

TEST(DeviceIdentity, AdapterNameIsGuidShapedAndDependsOnNameAndAddress) {
    const uint8_t mac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
    const uint8_t other[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x57};
    char a[64], b[64], c[64], d[64];
    posixAdapterName("eth0", mac, 6, a, sizeof a);
    posixAdapterName("eth0", mac, 6, b, sizeof b);
    posixAdapterName("eth1", mac, 6, c, sizeof c);
    posixAdapterName("eth0", other, 6, d, sizeof d);
    EXPECT_STREQ(a, b);
    EXPECT_STRNE(a, c);
    EXPECT_STRNE(a, d);
    std::regex guid("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    EXPECT_TRUE(std::regex_match(a, guid)) << a;
}

TEST(Diagnostics, VerboseSwitchAnnouncesItselfOnlyWhenTurnedOn) {
    EXPECT_EQ(isVerbose(), 0);
    testing::internal::CaptureStdout();
    verbosePrint("### hidden %d\n", 1);
    setVerbose(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStdout();
    setVerbose(1);
    verbosePrint("### shown %d\n", 2);
    logPrint("plain\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "verbose mode is on\n### shown 2\nplain\n");
    setVerbose(0);
}

} // namespace
