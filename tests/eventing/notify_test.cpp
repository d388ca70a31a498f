// Event delivery against a callback server run on loopback: message texts, SEQ counting,
// fall-through to later URLs, and refusal of callbacks outside the subscriber's reach.
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

#include "eventing/delivery.h"
#include "eventing/notify.h"
#include "eventing/subscriptions.h"
#include "platform/platform.h"
#include "support/http_socket_pair.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F; // 127.0.0.1 in network order

// Accepts connections on 127.0.0.1 and keeps what each one sent until it closed.
struct CallbackServer {
    PlatformSocket listener = kPlatformInvalidSocket;
    uint16_t port = 0;
    PlatformThread thread{};
    std::atomic<int> stop{0};
    std::mutex lock;
    std::vector<std::string> received;

    static void acceptBody(void* arg) {
        auto* server = static_cast<CallbackServer*>(arg);
        while (server->stop.load() == 0) {
            PlatformSocket client = platformSocketAccept(server->listener, nullptr);
            if (client == kPlatformInvalidSocket) {
                break;
            }
            std::string text = httpReadAll(client, 3000);
            platformSocketClose(client);
            std::lock_guard<std::mutex> guard(server->lock);
            server->received.push_back(text);
        }
    }

    bool start() {
        stop = 0;
        received.clear();
        listener = platformSocketTcp();
        Ipv4Endpoint local{};
        if (listener == kPlatformInvalidSocket || platformSocketBind(listener, kLoopback, 0) != 0 ||
            platformSocketListen(listener, 16) != 0 ||
            platformSocketLocalName(listener, &local) != 0) {
            return false;
        }
        port = local.port;
        return platformThreadStart(&thread, acceptBody, this) == 0;
    }

    void finish() {
        stop = 1;
        platformSocketClose(listener);
        platformThreadJoin(thread);
    }

    // Waits (bounded) until `count` messages have arrived and returns them all.
    std::vector<std::string> waitFor(size_t count) {
        for (int i = 0; i < 250; i++) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (received.size() >= count) {
                    return received;
                }
            }
            platformSleepMs(20);
        }
        std::lock_guard<std::mutex> guard(lock);
        return received;
    }
};

// A port on loopback that refuses connections: bound, never listened on.
struct ClosedPort {
    PlatformSocket socket = platformSocketTcp();
    uint16_t port = 0;
    ClosedPort() {
        Ipv4Endpoint local{};
        if (platformSocketBind(socket, kLoopback, 0) == 0 &&
            platformSocketLocalName(socket, &local) == 0) {
            port = local.port;
        }
    }
    ~ClosedPort() { platformSocketClose(socket); }
};

const GenaPeer kLocalPeer = {kLoopback, kLoopback, 0x000000FF}; // 127.0.0.0/8

// Subscribes through the table's own SUBSCRIBE handling; returns the entry index.
int subscribe(const std::string& path, const std::string& callback,
              const GenaPeer* peer = &kLocalPeer) {
    HttpSocketPair pair;
    if (!httpSocketPairOpen(&pair)) {
        return -1;
    }
    int index = genaSubscribe(pair.server, 1800, path.c_str(), callback.c_str(), peer);
    platformSocketClose(pair.server);
    pair.server = kPlatformInvalidSocket;
    httpReadAll(pair.client, 2000);
    httpSocketPairClose(&pair);
    return index;
}

std::string header(const std::string& message, const std::string& name) {
    size_t at = message.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return "(absent)";
    }
    at += name.size() + 4;
    return message.substr(at, message.find("\r\n", at) - at);
}

class NotifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        genaClearSubscriptions();
        ASSERT_TRUE(server_.start());
        url_ = "http://127.0.0.1:" + std::to_string(server_.port);
    }
    void TearDown() override {
        server_.finish();
        genaClearSubscriptions();
    }
    CallbackServer server_;
    std::string url_;
};

TEST_F(NotifyTest, ContentDirectoryEventsCountSeqAndCarryTheUpdateId) {
    int index = subscribe("/ContentDirectory/event", "<" + url_ + "/upnp/event/1>\r\n");
    ASSERT_GE(index, 0);
    int32_t id = currentSystemUpdateId();
    genaNotify(index, 1, 1);
    announceContentChange();
    EXPECT_EQ(currentSystemUpdateId(), id + 1);
    std::vector<std::string> got = server_.waitFor(2);
    ASSERT_EQ(got.size(), 2u);

    std::string body = "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n"
                       "<e:property>\n"
                       "<SystemUpdateID>" +
                       std::to_string(id) +
                       "</SystemUpdateID>\n"
                       "</e:property>\n"
                       "<e:property>\n"
                       "<ContainerUpdateIDs></ContainerUpdateIDs>\n"
                       "</e:property>\n"
                       "<e:property>\n"
                       "<TransferIDs></TransferIDs>\n"
                       "</e:property>\n"
                       "</e:propertyset>\n";
    std::string sid = header(got[0], "SID");
    std::string expected = "NOTIFY /upnp/event/1 HTTP/1.1\r\n"
                           "HOST: 127.0.0.1:" +
                           std::to_string(server_.port) +
                           "\r\n"
                           "CONTENT-TYPE: text/xml\r\n"
                           "CONTENT-LENGTH: " +
                           std::to_string(body.size()) +
                           "\r\n"
                           "NT: upnp:event\r\n"
                           "NTS: upnp:propchange\r\n"
                           "SID: " +
                           sid +
                           "\r\n"
                           "SEQ: 0\r\n"
                           "\r\n" +
                           body;
    EXPECT_EQ(got[0], expected);
    EXPECT_EQ(sid.compare(0, 5, "uuid:"), 0);
    EXPECT_EQ(header(got[1], "SEQ"), "1");
    EXPECT_EQ(header(got[1], "SID"), sid);
    EXPECT_NE(got[1].find("<SystemUpdateID>" + std::to_string(id + 1) + "</SystemUpdateID>"),
              std::string::npos);
}

TEST_F(NotifyTest, ConnectionManagerSubscribersGetOnlyTheirFirstEvent) {
    int manager = subscribe("/ConnectionManager/event", "<" + url_ + "/cm>");
    ASSERT_GE(manager, 0);
    genaNotify(manager, 1, 1);
    announceContentChange();
    announceContentChange();
    std::vector<std::string> got = server_.waitFor(1);
    platformSleepMs(100);
    got = server_.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].compare(0, 28, "NOTIFY /cm HTTP/1.1\r\nHOST: 1"), 0);
    EXPECT_NE(got[0].find("<SourceProtocolInfo>http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;"),
              std::string::npos);
    EXPECT_NE(
        got[0].find(",http-get:*:audio/mpeg:*,http-get:*:audio/mpegurl:*</SourceProtocolInfo>\n"),
        std::string::npos);
    EXPECT_NE(got[0].find("<CurrentConnectionIDs>0</CurrentConnectionIDs>"), std::string::npos);
    size_t bodyStart = got[0].find("\r\n\r\n") + 4;
    EXPECT_EQ(header(got[0], "CONTENT-LENGTH"), std::to_string(got[0].size() - bodyStart));
}

TEST_F(NotifyTest, LaterUrlsAreTriedAndSeqAdvancesEvenWhenAllFail) {
    ClosedPort closed;
    ASSERT_NE(closed.port, 0);
    std::string refused = "http://127.0.0.1:" + std::to_string(closed.port);
    int index =
        subscribe("/ContentDirectory/event", "<" + refused + "/a><" + url_ + "/b><" + url_ + "/c>");
    ASSERT_GE(index, 0);
    genaNotify(index, 1, 0);
    std::vector<std::string> got = server_.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].compare(0, 18, "NOTIFY /b HTTP/1.1"), 0); // first success ends the walk
    EXPECT_EQ(header(got[0], "SEQ"), "0");

    int lost = subscribe("/ContentDirectory/event", "<" + refused + "/x>");
    ASSERT_GE(lost, 0);
    genaNotify(lost, 1, 0); // seq 0 lost
    server_.finish();       // nobody listens any more: seq 1 of the first entry is lost too
    genaNotify(index, 1, 0);
    ASSERT_TRUE(server_.start());
    std::string url = "http://127.0.0.1:" + std::to_string(server_.port);
    // The entries keep their old callbacks; a third subscriber shows the table still serves.
    int third = subscribe("/ContentDirectory/event", "<" + url + "/t>");
    ASSERT_GE(third, 0);
    genaNotify(third, 1, 0);
    got = server_.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(header(got[0], "SEQ"), "0");
    // The first entry's next key is 2: one delivered, one lost.
    GenaEventTarget target;
    ASSERT_TRUE(genaTakeEventTarget(index, true, false, &target));
    EXPECT_EQ(target.seq, 2);
    ASSERT_TRUE(genaTakeEventTarget(lost, true, false, &target));
    EXPECT_EQ(target.seq, 1);
}

// The host ends at the first '/' after "http://": a ':' in the path is part of the path, so
// the event goes to the host and port that were checked at SUBSCRIBE.
TEST_F(NotifyTest, DeliveryUsesTheUrlParsedAtSubscribe) {
    int colon = subscribe("/ContentDirectory/event", "<" + url_ + "/cb:7/x>");
    ASSERT_GE(colon, 0);
    genaNotify(colon, 1, 0);
    std::vector<std::string> got = server_.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].compare(0, 24, "NOTIFY /cb:7/x HTTP/1.1\r"), 0) << got[0];
    EXPECT_EQ(header(got[0], "HOST"), "127.0.0.1:" + std::to_string(server_.port));

    // No path: the request target is "/". The scheme is read without regard to case.
    server_.finish();
    ASSERT_TRUE(server_.start());
    std::string bare = "HTTP://127.0.0.1:" + std::to_string(server_.port);
    int noPath = subscribe("/ContentDirectory/event", "<" + bare + ">");
    ASSERT_GE(noPath, 0);
    genaNotify(noPath, 1, 0);
    got = server_.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].compare(0, 17, "NOTIFY / HTTP/1.1"), 0) << got[0];
}

TEST(CallbackUrl, HostPortAndPath) {
    struct Case {
        const char* url;
        bool ok;
        uint16_t port;
        const char* host; // as written, for HOST
        const char* path; // "" when none
    };
    const Case cases[] = {
        {"http://127.0.0.1:8000/a/b", true, 8000, "127.0.0.1:8000", "/a/b"},
        {"http://127.0.0.1/cb:7/x", true, 80, "127.0.0.1", "/cb:7/x"},
        {"Http://127.0.0.1:9", true, 9, "127.0.0.1:9", ""},
        {"http://127.0.0.1:/p", true, 80, "127.0.0.1:", "/p"},
        {"http://127.0.0.1:0/p", false, 0, "", ""},
        {"http://127.0.0.1:65536/p", false, 0, "", ""},
        {"http://127.0.0.1:8x/p", false, 0, "", ""},
        {"http://user@127.0.0.1/p", false, 0, "", ""},
        {"http:///p", false, 0, "", ""},
        {"https://127.0.0.1/p", false, 0, "", ""},
        {"http://", false, 0, "", ""},
        {"http://no-such-host.invalid/p", false, 0, "", ""},
        {"http://127.0.0.1\x01/p", false, 0, "", ""},
        {"http://127.0.0 .1/p", false, 0, "", ""},
    };
    for (const Case& c : cases) {
        GenaCallbackUrl url{};
        bool ok = genaParseCallbackUrl(c.url, std::strlen(c.url), &url);
        ASSERT_EQ(ok, c.ok) << c.url;
        if (!ok) {
            continue;
        }
        EXPECT_EQ(url.address, 0x0100007Fu) << c.url;
        EXPECT_EQ(url.port, c.port) << c.url;
        EXPECT_EQ(std::string(c.url + url.hostStart, static_cast<size_t>(url.hostLength)), c.host);
        EXPECT_EQ(std::string(c.url + url.pathStart, static_cast<size_t>(url.pathLength)), c.path);
    }
}

TEST_F(NotifyTest, SendMessageHonoursTheSubscribersReach) {
    const char* message = "NOTIFY / HTTP/1.1\r\n\r\nhello";
    GenaPeer elsewhere = {0x0102A8C0, 0x0202A8C0, 0x00FFFFFF}; // 192.168.2.x, not loopback
    EXPECT_FALSE(genaSendMessage("127.0.0.1", server_.port, message, &elsewhere));
    EXPECT_TRUE(genaSendMessage("127.0.0.1", server_.port, message, &kLocalPeer));
    EXPECT_TRUE(genaSendMessage("localhost", server_.port, message, nullptr));
    EXPECT_FALSE(genaSendMessage("no-such-host.invalid", server_.port, message, nullptr));
    EXPECT_FALSE(genaSendMessage("127.0.0.1", 0, message, nullptr));
    std::vector<std::string> got = server_.waitFor(2);
    platformSleepMs(50);
    got = server_.waitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], message);
    EXPECT_EQ(got[1], message);
}

TEST_F(NotifyTest, ContainerUpdatesTravelWithTheChangeAndFitTheMessage) {
    int index = subscribe("/ContentDirectory/event", "<" + url_ + "/e>");
    ASSERT_GE(index, 0);
    const GenaContainerUpdate two[] = {{6, 3}, {20417, 1}};
    announceContainerUpdates(two, 2);
    // So many that they cannot all be listed: those that fit are, whole pairs only.
    std::vector<GenaContainerUpdate> many(1000, GenaContainerUpdate{123456789, 7});
    announceContainerUpdates(many.data(), static_cast<int>(many.size()));
    std::vector<std::string> got = server_.waitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find("<ContainerUpdateIDs>6,3,20417,1</ContainerUpdateIDs>"),
              std::string::npos);
    size_t open = got[1].find("<ContainerUpdateIDs>") + 20;
    std::string ids = got[1].substr(open, got[1].find("</ContainerUpdateIDs>") - open);
    EXPECT_GT(ids.size(), 1000u);
    EXPECT_LT(ids.size(), 2048u);
    EXPECT_EQ(ids.substr(ids.size() - 12), ",123456789,7");
    size_t bodyStart = got[1].find("\r\n\r\n") + 4;
    EXPECT_EQ(header(got[1], "CONTENT-LENGTH"), std::to_string(got[1].size() - bodyStart));
    announceContentChange(); // leaves the list empty for the tests after this one
}

// A callback that never answers the connect: a listener whose queue is full drops the SYN.
struct BlackHole {
    PlatformSocket listener = platformSocketTcp();
    std::vector<PlatformSocket> fillers;
    uint16_t port = 0;
    BlackHole() {
        Ipv4Endpoint local{};
        if (platformSocketBind(listener, kLoopback, 0) != 0 ||
            platformSocketListen(listener, 0) != 0 ||
            platformSocketLocalName(listener, &local) != 0) {
            return;
        }
        port = local.port;
        // Fill the queue until a connect no longer completes.
        for (int i = 0; i < 8; i++) {
            PlatformSocket filler = platformSocketTcp();
            fillers.push_back(filler);
            if (platformSocketConnect(filler, kLoopback, port, 200) != 0) {
                break;
            }
        }
    }
    ~BlackHole() {
        for (PlatformSocket filler : fillers) {
            platformSocketClose(filler);
        }
        platformSocketClose(listener);
    }
};

TEST_F(NotifyTest, AnnouncingNeverWaitsAndStoppingCutsAConnectShort) {
    BlackHole hole;
    ASSERT_NE(hole.port, 0);
    PlatformSocket probe = platformSocketTcp();
    ASSERT_NE(platformSocketConnect(probe, kLoopback, hole.port, 300), 0); // it does not answer
    platformSocketClose(probe);
    std::string dead = "http://127.0.0.1:" + std::to_string(hole.port);
    for (int i = 0; i < 5; i++) {
        ASSERT_GE(subscribe("/ContentDirectory/event", "<" + dead + "/a><" + dead + "/b>"), 0);
    }
    uint32_t began = platformTickMs();
    announceContentChange();
    announceContentChange();
    EXPECT_LT(platformTickMs() - began, 100u); // the caller only queues
    platformSleepMs(200);                      // the delivery thread is in a connect by now
    began = platformTickMs();
    genaDeliveryStop();
    EXPECT_LT(platformTickMs() - began, 1000u); // not 3 s per URL
    // Stopped deliveries stay stopped until resumed; then events flow again. The live subscriber
    // is another host: the first holds the five entries one host may have.
    const GenaPeer otherHost = {0x0200007F, kLoopback, 0x000000FF}; // 127.0.0.2
    int live = subscribe("/ContentDirectory/event", "<" + url_ + "/live>", &otherHost);
    ASSERT_GE(live, 0);
    genaNotify(live, 1, 0);
    platformSleepMs(100);
    EXPECT_EQ(server_.waitFor(0).size(), 0u);
    genaDeliveryResume();
    genaClearSubscriptions();
    live = subscribe("/ContentDirectory/event", "<" + url_ + "/live>");
    genaNotify(live, 1, 0);
    EXPECT_EQ(server_.waitFor(1).size(), 1u);
}

} // namespace
