// The whole discovery service inside a private network namespace built from dummy interfaces:
// which addresses are served, announcements per interface, who is answered, start/stop races
// and address-change restarts. Multicast sent on a dummy interface is looped back to local
// group members, so the test sees every datagram with the interface it left by.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "plugin/servers.h"
#include "ssdp/ssdp_internal.h"
#include "support/ssdp_private_network.h"

namespace {

struct Datagram {
    std::string text;
    unsigned interfaceIndex;
    Ipv4Endpoint from;
    uint32_t atMs;
};

// A group member on port 1900 that records what arrives and through which interface.
struct GroupListener {
    int socket = -1;

    explicit GroupListener(const std::vector<uint32_t>& interfaces) {
        socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(1900);
        bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local);
        for (uint32_t address : interfaces) {
            ip_mreq membership{};
            membership.imr_multiaddr.s_addr = ssdpGroupAddress();
            membership.imr_interface.s_addr = address;
            setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership);
        }
        timeval wake{0, 100000};
        setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
    }
    ~GroupListener() { close(socket); }

    std::vector<Datagram> collect(uint32_t forMs) {
        std::vector<Datagram> got;
        uint32_t start = platformTickMs();
        while (platformTickMs() - start < forMs) {
            char buffer[1024];
            char control[256];
            sockaddr_in sender{};
            iovec part{buffer, sizeof buffer};
            msghdr message{};
            message.msg_name = &sender;
            message.msg_namelen = sizeof sender;
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t n = recvmsg(socket, &message, 0);
            if (n <= 0) {
                continue;
            }
            unsigned index = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info;
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    index = static_cast<unsigned>(info.ipi_ifindex);
                }
            }
            got.push_back(Datagram{std::string(buffer, static_cast<size_t>(n)), index,
                                   Ipv4Endpoint{sender.sin_addr.s_addr, ntohs(sender.sin_port)},
                                   platformTickMs() - start});
        }
        return got;
    }
};

int countWith(const std::vector<Datagram>& got, const std::string& piece, unsigned index = 0) {
    int count = 0;
    for (const Datagram& d : got) {
        if (d.text.find(piece) != std::string::npos && (index == 0 || d.interfaceIndex == index)) {
            count++;
        }
    }
    return count;
}

std::string location(const char* address) {
    return std::string("LOCATION: http://") + address + ":8080/DeviceDescription.xml\r\n";
}

bool httpListening(const char* address) {
    PlatformSocket s = platformSocketTcp();
    bool connected = platformSocketConnect(s, ssdpAddress(address), 8080, 300) == 0;
    platformSocketClose(s);
    return connected;
}

bool waitListening(const char* address) {
    for (int i = 0; i < 40; i++) {
        if (httpListening(address)) {
            return true;
        }
        platformSleepMs(50);
    }
    return false;
}

class ServersTest : public ::testing::Test {
  protected:
    std::vector<std::string> links;

    void SetUp() override {
        if (!ssdpEnterPrivateNetwork()) {
            GTEST_SKIP() << "needs permission to create a network namespace";
        }
    }
    void TearDown() override {
        stopServers();
        for (const std::string& link : links) {
            ssdpRunCommand("ip link del %s", link.c_str());
        }
    }
    void addLink(const char* name, const char* cidr) {
        ASSERT_TRUE(ssdpAddDummy(name, cidr));
        links.push_back(name);
    }
};

TEST_F(ServersTest, ServesTheFirstFiveAddressesOnly) {
    char name[16];
    char cidr[32];
    for (int i = 0; i < 7; i++) {
        std::snprintf(name, sizeof name, "five%d", i);
        std::snprintf(cidr, sizeof cidr, "10.77.%d.1/24", i);
        addLink(name, cidr);
    }
    startServers();
    for (int i = 0; i < 5; i++) {
        std::snprintf(cidr, sizeof cidr, "10.77.%d.1", i);
        EXPECT_TRUE(waitListening(cidr)) << cidr;
    }
    EXPECT_FALSE(httpListening("10.77.5.1"));
    EXPECT_FALSE(httpListening("10.77.6.1"));
    stopServers();
    // Stopping waits for every address to shut down.
    EXPECT_FALSE(httpListening("10.77.0.1"));
    EXPECT_FALSE(httpListening("10.77.4.1"));
    stopServers();
}

TEST_F(ServersTest, EachAddressAnnouncesThroughItsOwnInterface) {
    addLink("annA", "10.79.0.1/24");
    addLink("annB", "10.79.1.1/24");
    unsigned indexA = if_nametoindex("annA");
    unsigned indexB = if_nametoindex("annB");
    GroupListener listener({ssdpAddress("10.79.0.1"), ssdpAddress("10.79.1.1")});
    startServers();
    std::vector<Datagram> burst = listener.collect(2500);
    EXPECT_EQ(countWith(burst, "NTS: ssdp:alive"), 30);
    EXPECT_EQ(countWith(burst, location("10.79.0.1"), indexA), 15);
    EXPECT_EQ(countWith(burst, location("10.79.1.1"), indexB), 15);
    for (const Datagram& d : burst) {
        EXPECT_GE(d.atMs, 800u) << "alive before the first heartbeat pass";
    }
    stopServers();
    std::vector<Datagram> farewell = listener.collect(1200);
    EXPECT_EQ(countWith(farewell, "NTS: ssdp:byebye", indexA), 5);
    EXPECT_EQ(countWith(farewell, "NTS: ssdp:byebye", indexB), 5);
    EXPECT_EQ(countWith(farewell, "NTS: ssdp:alive"), 0);
}

// Sends one M-SEARCH to the group from `source` (port `port`, 0 for any), leaving through the
// interface of `via`. Returns the datagrams that come back to the searching socket within `waitMs`.
std::vector<Datagram> searchFrom(const char* source, const char* via, const char* mx,
                                 uint32_t waitMs, uint16_t port = 0) {
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    int reuse = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ssdpAddress(source);
    local.sin_port = htons(port);
    bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local);
    in_addr out{};
    out.s_addr = ssdpAddress(via);
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
    std::string text = std::string("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                                   "MAN: \"ssdp:discover\"\r\nMX: ") +
                       mx + "\r\nST: upnp:rootdevice\r\n\r\n";
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = ssdpGroupAddress();
    group.sin_port = htons(1900);
    sendto(s, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    timeval wake{0, 100000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
    std::vector<Datagram> got;
    uint32_t start = platformTickMs();
    while (platformTickMs() - start < waitMs) {
        char buffer[1024];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        ssize_t n =
            recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (n > 0) {
            got.push_back(Datagram{std::string(buffer, static_cast<size_t>(n)), 0,
                                   Ipv4Endpoint{sender.sin_addr.s_addr, ntohs(sender.sin_port)},
                                   platformTickMs() - start});
        }
    }
    close(s);
    return got;
}

TEST_F(ServersTest, AnswersSearchesFromTheOwnSubnetOnly) {
    addLink("srchA", "10.78.0.1/24");
    addLink("srchB", "10.78.1.1/24");
    startServers();
    ASSERT_TRUE(waitListening("10.78.0.1"));

    std::vector<Datagram> answers = searchFrom("10.78.0.1", "10.78.0.1", "2", 3500);
    ASSERT_EQ(answers.size(), 1u); // one copy per answer
    for (const Datagram& d : answers) {
        EXPECT_EQ(d.from.address, ssdpAddress("10.78.0.1"));
        EXPECT_EQ(d.from.port, 9080);
        EXPECT_NE(d.text.find(location("10.78.0.1")), std::string::npos);
        EXPECT_NE(d.text.find("\r\nST: upnp:rootdevice\r\n"), std::string::npos);
        EXPECT_LT(d.atMs, 3100u);
    }
    // From another network, arriving over the first address's interface: not answered.
    EXPECT_TRUE(searchFrom("10.78.1.1", "10.78.0.1", "1", 2500).empty());
    // MX 0 is never answered.
    EXPECT_TRUE(searchFrom("10.78.0.1", "10.78.0.1", "0", 2000).empty());
    // Another agent's SSDP port, or a system port: a reflection attempt, not answered.
    EXPECT_TRUE(searchFrom("10.78.0.1", "10.78.0.1", "1", 2200, 1900).empty());
    EXPECT_TRUE(searchFrom("10.78.0.1", "10.78.0.1", "1", 2200, 999).empty());
    EXPECT_EQ(searchFrom("10.78.0.1", "10.78.0.1", "1", 2200, 1024).size(), 1u);
}

void toggleRepeatedly(void*) {
    for (int i = 0; i < 6; i++) {
        startServers();
        platformSleepMs(40);
        stopServers();
    }
}

void restartTwice(void*) {
    restartServers();
    restartServers();
}

bool portFree(int type, const char* address, uint16_t port) {
    int s = ::socket(AF_INET, type, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ssdpAddress(address);
    local.sin_port = htons(port);
    bool free = bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    close(s);
    return free;
}

TEST_F(ServersTest, ConcurrentTogglesAndRestartsLeaveNothingBehind) {
    addLink("race0", "10.80.0.1/24");
    PlatformThread toggler;
    PlatformThread restarter;
    ASSERT_EQ(platformThreadStart(&toggler, toggleRepeatedly, nullptr), 0);
    ASSERT_EQ(platformThreadStart(&restarter, restartTwice, nullptr), 0);
    platformThreadJoin(toggler);
    platformThreadJoin(restarter);
    // Whichever came last, one start on top of another must not orphan a listen thread.
    startServers();
    startServers();
    ASSERT_TRUE(waitListening("10.80.0.1"));
    stopServers();
    EXPECT_TRUE(portFree(SOCK_STREAM, "10.80.0.1", 8080));
    EXPECT_TRUE(portFree(SOCK_STREAM, "10.80.0.1", 8081));
    EXPECT_TRUE(portFree(SOCK_DGRAM, "10.80.0.1", 9080));
    EXPECT_TRUE(portFree(SOCK_DGRAM, "10.80.0.1", 9081));
}

std::atomic<int> restarts{0};
void countRestart() {
    restarts.fetch_add(1);
}

bool waitForRestarts(int wanted, uint32_t ms) {
    for (uint32_t waited = 0; waited < ms; waited += 50) {
        if (restarts.load() >= wanted) {
            return true;
        }
        platformSleepMs(50);
    }
    return restarts.load() >= wanted;
}

TEST_F(ServersTest, AddressChangesRestartOnlyWhileEnabledAndNeverAfterStop) {
    addLink("chg0", "10.81.0.1/24");
    restarts.store(0);
    testing::internal::CaptureStdout();
    startAddressChangeThread(countRestart, 1);
    platformSleepMs(300);
    ASSERT_TRUE(ssdpRunCommand("ip addr add 10.81.0.2/24 dev chg0"));
    EXPECT_TRUE(waitForRestarts(1, 2000));

    setRestartOnAddressChange(0);
    ASSERT_TRUE(ssdpRunCommand("ip addr add 10.81.0.3/24 dev chg0"));
    platformSleepMs(1000);
    EXPECT_EQ(restarts.load(), 1);

    setRestartOnAddressChange(1);
    stopAddressChangeThread();
    ASSERT_TRUE(ssdpRunCommand("ip addr del 10.81.0.3/24 dev chg0"));
    platformSleepMs(800);
    EXPECT_EQ(restarts.load(), 1);
    std::string printed = testing::internal::GetCapturedStdout();
    size_t first = printed.find("### NIC change!\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(printed.find("### NIC change!\n", first + 1), std::string::npos);
}

} // namespace

namespace {

// An address configured while its link is down joins the served set only when the link comes
// up; that moment, not the address message, is the change.
TEST_F(ServersTest, LinkComingUpWithItsAddressIsAChange) {
    ASSERT_TRUE(ssdpRunCommand("ip link add late0 type veth peer name late0p"));
    links.push_back("late0");
    startAddressChangeThread(countRestart, 1);
    platformSleepMs(300);
    // The change watch outlives its thread: what earlier tests changed in this namespace is
    // reported on the thread's first wait, so counting starts once that has been taken.
    restarts.store(0);
    ASSERT_TRUE(ssdpRunCommand("ip addr add 10.82.0.1/24 dev late0"));
    platformSleepMs(800);
    EXPECT_EQ(restarts.load(), 0);
    ASSERT_TRUE(ssdpRunCommand("ip link set late0 up"));
    EXPECT_TRUE(waitForRestarts(1, 2000));
    stopAddressChangeThread();
    uint32_t served[5];
    int count = platformOwnAddresses(served, 5);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(served[0], ssdpAddress("10.82.0.1"));
}

TEST_F(ServersTest, LoopbackStandsInWhenNoOtherAddressIsUp) {
    uint32_t served[5];
    ASSERT_EQ(platformOwnAddresses(served, 5), 1);
    EXPECT_EQ(served[0], ssdpAddress("127.0.0.1"));
    addLink("nm0", "10.83.4.1/22");
    EXPECT_EQ(platformNetmaskOf(ssdpAddress("10.83.4.1")), ssdpAddress("255.255.252.0"));
    EXPECT_EQ(platformNetmaskOf(ssdpAddress("10.83.9.9")), 0xFFFFFFFFu);
    ASSERT_EQ(platformOwnAddresses(served, 5), 1);
    EXPECT_EQ(served[0], ssdpAddress("10.83.4.1"));
}

} // namespace

namespace {

// With every HTTP port of an address taken, nothing could ever be answered or announced with a
// valid LOCATION there: the address's listen thread ends by itself, releasing its answer port,
// while the other address is served normally.
TEST_F(ServersTest, AddressWithoutHttpListenerEndsCleanly) {
    addLink("nohttp0", "10.84.0.1/24");
    addLink("nohttp1", "10.84.1.1/24");
    std::vector<int> taken;
    for (int port = 8080; port <= 9080; port++) {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = ssdpAddress("10.84.0.1");
        local.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << port;
        taken.push_back(s);
    }
    GroupListener listener({ssdpAddress("10.84.0.1"), ssdpAddress("10.84.1.1")});
    startServers();
    ASSERT_TRUE(waitListening("10.84.1.1"));
    std::vector<Datagram> burst = listener.collect(2200);
    EXPECT_EQ(countWith(burst, location("10.84.1.1")), 15);
    EXPECT_EQ(countWith(burst, "http://10.84.0.1:"), 0);
    EXPECT_TRUE(portFree(SOCK_DGRAM, "10.84.0.1", 9080)) << "answer socket still open";
    EXPECT_TRUE(searchFrom("10.84.0.1", "10.84.0.1", "1", 2200).empty());
    uint32_t before = platformTickMs();
    stopServers();
    EXPECT_LT(platformTickMs() - before, 1500u);
    for (int s : taken) {
        close(s);
    }
}

} // namespace
