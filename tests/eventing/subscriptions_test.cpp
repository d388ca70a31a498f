#include "eventing/subscriptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <string>

#include "support/http_socket_pair.h"

namespace {

// Subscriber 192.0.2.2 talking to the local address 192.0.2.1/24.
const GenaPeer kPeer = {0x020200C0u, 0x010200C0u, 0x00FFFFFFu};

// Subscriber 192.0.2.(10 + n) on the same network.
GenaPeer host(int n) {
    return GenaPeer{0x0A0200C0u + (static_cast<uint32_t>(n) << 24), 0x010200C0u, 0x00FFFFFFu};
}

const char kRefused[] = "HTTP/1.1 412 Precondition Failed\r\n\r\n";
const char kFailed[] = "HTTP/1.1 500 Server Error\r\n\r\n";

struct Answer {
    int index;
    std::string text;
};

// Runs one operation against a socket pair and returns what the client received.
template <typename Operation> Answer answerOf(Operation operation) {
    HttpSocketPair pair;
    EXPECT_TRUE(httpSocketPairOpen(&pair));
    Answer a;
    a.index = operation(pair.server);
    platformSocketClose(pair.server);
    pair.server = kPlatformInvalidSocket;
    a.text = httpReadAll(pair.client);
    httpSocketPairClose(&pair);
    return a;
}

Answer subscribe(const char* path, const char* callback, int timeout = 1800,
                 const GenaPeer* peer = &kPeer) {
    return answerOf(
        [&](PlatformSocket s) { return genaSubscribe(s, timeout, path, callback, peer); });
}

Answer renew(const std::string& sid, int timeout) {
    return answerOf([&](PlatformSocket s) {
        genaRenew(s, timeout, sid.c_str());
        return 0;
    });
}

Answer unsubscribe(const char* sid) {
    return answerOf([&](PlatformSocket s) {
        genaUnsubscribe(s, sid);
        return 0;
    });
}

// The SID of a granted answer after "uuid:" (random hex in the version 4 layout), checking the
// answer's layout and granted seconds.
std::string grantedSid(const std::string& text, int seconds) {
    std::smatch m;
    std::regex granted("HTTP/1\\.1 200 OK\r\nDATE: [^\r\n]+ GMT\r\nSERVER: [^\r\n]+\r\nSID: "
                       "uuid:([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})"
                       "\r\nTIMEOUT: Second-" +
                       std::to_string(seconds) + "\r\n\r\n");
    EXPECT_TRUE(std::regex_match(text, m, granted)) << text;
    return m.size() > 1 ? m[1].str() : "";
}

class Subscriptions : public ::testing::Test {
  protected:
    void SetUp() override { genaClearSubscriptions(); }
    void TearDown() override { genaClearSubscriptions(); }
};

TEST_F(Subscriptions, PeerAndSubnetRuleForCallbacks) {
    EXPECT_TRUE(genaCallbackAddressAllowed(&kPeer, 0x020200C0u));
    EXPECT_TRUE(genaCallbackAddressAllowed(&kPeer, 0x630200C0u)); // 192.0.2.99
    EXPECT_FALSE(genaCallbackAddressAllowed(&kPeer, 0x097100CBu));
    EXPECT_FALSE(genaCallbackAddressAllowed(&kPeer, 0x08080808u));
    EXPECT_FALSE(genaCallbackAddressAllowed(&kPeer, 0));
    EXPECT_FALSE(genaCallbackAddressAllowed(&kPeer, 0xFFFFFFFFu));
    EXPECT_FALSE(genaCallbackAddressAllowed(nullptr, 0x020200C0u));
    // A subscriber from outside the local network may still name itself.
    GenaPeer remote = {0x097100CBu, 0x010200C0u, 0x00FFFFFFu};
    EXPECT_TRUE(genaCallbackAddressAllowed(&remote, 0x097100CBu));
    // Unknown netmask: only the local address itself counts as the local network.
    GenaPeer unknown = {0x020200C0u, 0x010200C0u, 0xFFFFFFFFu};
    EXPECT_FALSE(genaCallbackAddressAllowed(&unknown, 0x630200C0u));
}

TEST_F(Subscriptions, IndicesFromNineteenDownAndThirtySeconds) {
    Answer first =
        subscribe("/ContentDirectory/Event", "<http://192.0.2.2:4004/cd>\r\nNT: x", 1800);
    EXPECT_EQ(first.index, 19);
    std::string sid1 = grantedSid(first.text, 30);
    Answer second = subscribe("/ConnectionManager/Event", "<http://192.0.2.2:4004/cm>", 100);
    EXPECT_EQ(second.index, 18);
    std::string sid2 = grantedSid(second.text, 30);
    EXPECT_NE(sid1, sid2); // unique even when taken within the same millisecond

    GenaEventTarget t;
    ASSERT_TRUE(genaTakeEventTarget(19, true, false, &t));
    EXPECT_EQ(std::string(t.sid), "uuid:" + sid1);
    EXPECT_EQ(t.isContentDirectory, 1);
    EXPECT_EQ(t.seq, 0);
    EXPECT_STREQ(t.callback, "<http://192.0.2.2:4004/cd>");
    EXPECT_EQ(t.peer.localAddress, kPeer.localAddress);
    ASSERT_TRUE(genaTakeEventTarget(19, true, true, &t));
    EXPECT_EQ(t.seq, 1);
    // The ConnectionManager entry takes part only when its service is wanted.
    EXPECT_FALSE(genaTakeEventTarget(18, true, false, &t));
    ASSERT_TRUE(genaTakeEventTarget(18, false, true, &t));
    EXPECT_EQ(t.isContentDirectory, 0);
    EXPECT_EQ(t.seq, 0);
    EXPECT_FALSE(genaTakeEventTarget(17, true, true, &t));
    EXPECT_FALSE(genaTakeEventTarget(20, true, true, &t));
    EXPECT_FALSE(genaTakeEventTarget(-1, true, true, &t));
    // Any other target is a ContentDirectory subscription.
    EXPECT_EQ(subscribe("/", "<http://192.0.2.2/>").index, 17);
    ASSERT_TRUE(genaTakeEventTarget(17, true, false, &t));
    // The registrar's subscribers get their first event only: its variables never change.
    EXPECT_EQ(subscribe("/X_MS_MediaReceiverRegistrar/Event", "<http://192.0.2.2/>").index, 16);
    EXPECT_FALSE(genaTakeEventTarget(16, true, false, &t));
    EXPECT_FALSE(genaTakeEventTarget(16, false, true, &t));
    ASSERT_TRUE(genaTakeEventTarget(16, true, true, &t));
    EXPECT_EQ(t.isRegistrar, 1);
    EXPECT_EQ(t.isContentDirectory, 0);
}

TEST_F(Subscriptions, TheTwentyFirstIsRefusedWithServerError) {
    for (int i = 19; i >= 0; i--) {
        GenaPeer peer = host(i / kGenaEntriesPerHost);
        ASSERT_EQ(subscribe("/e", "<http://192.0.2.2/>", 30, &peer).index, i);
    }
    GenaPeer peer = host(9);
    Answer full = subscribe("/e", "<http://192.0.2.2/>", 30, &peer);
    EXPECT_EQ(full.index, -1);
    EXPECT_EQ(full.text, kFailed);
}

TEST_F(Subscriptions, OneHostHoldsAtMostFiveEntries) {
    GenaPeer greedy = host(1);
    for (int i = 0; i < kGenaEntriesPerHost; i++) {
        ASSERT_GE(subscribe("/e", "<http://192.0.2.2/>", 30, &greedy).index, 0);
    }
    Answer sixth = subscribe("/e", "<http://192.0.2.2/>", 30, &greedy);
    EXPECT_EQ(sixth.index, -1);
    EXPECT_EQ(sixth.text, kFailed);
    GenaPeer other = host(2);
    Answer polite = subscribe("/e", "<http://192.0.2.2/>", 30, &other);
    EXPECT_EQ(polite.index, 19 - kGenaEntriesPerHost);
    // Once one of its entries is gone the host may subscribe again.
    GenaEventTarget t;
    ASSERT_TRUE(genaTakeEventTarget(19, true, true, &t));
    EXPECT_EQ(unsubscribe(t.sid).text.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(subscribe("/e", "<http://192.0.2.2/>", 30, &greedy).index, 19);
}

TEST_F(Subscriptions, CallbackTextRules) {
    Answer none = subscribe("/e", "http://192.0.2.2/\r\nNT: <upnp:event>");
    EXPECT_EQ(none.index, -1);
    EXPECT_EQ(none.text, kRefused);
    EXPECT_EQ(subscribe("/e", nullptr).text, kRefused);
    EXPECT_EQ(subscribe("/e", "<http://192.0.2.2/").text, kRefused);
    EXPECT_EQ(subscribe("/e", "<ftp://192.0.2.2/>").text, kRefused);
    EXPECT_EQ(subscribe("/e", "<http://user@192.0.2.2/>").text, kRefused);

    // Two URLs: both kept, each in its brackets. The last header line runs to the end.
    Answer both = subscribe("/e", "<http://192.0.2.2:1/a><http://192.0.2.7:2/b>");
    ASSERT_EQ(both.index, 19);
    GenaEventTarget t;
    ASSERT_TRUE(genaTakeEventTarget(19, true, true, &t));
    EXPECT_STREQ(t.callback, "<http://192.0.2.2:1/a><http://192.0.2.7:2/b>");
}

TEST_F(Subscriptions, ForeignCallbacksAreNotStored) {
    Answer foreign = subscribe("/e", "<http://203.0.113.9:80/steal>");
    EXPECT_EQ(foreign.index, -1);
    EXPECT_EQ(foreign.text, kRefused);
    GenaEventTarget t;
    for (int i = 0; i < kGenaTableSize; i++) {
        EXPECT_FALSE(genaTakeEventTarget(i, true, true, &t));
    }
    // Only the qualifying URLs of a mixed list are kept for delivery.
    Answer mixed =
        subscribe("/e", "<http://203.0.113.9/x> <HTTP://192.0.2.2:9/y> <http://8.8.8.8/z>");
    ASSERT_EQ(mixed.index, 19);
    ASSERT_TRUE(genaTakeEventTarget(19, true, true, &t));
    EXPECT_STREQ(t.callback, "<HTTP://192.0.2.2:9/y>");
    // Without a known peer nothing qualifies.
    EXPECT_EQ(subscribe("/e", "<http://192.0.2.2/>", 30, nullptr).text, kRefused);
}

TEST_F(Subscriptions, RenewalGrantsWhatItAsksUpToAnHour) {
    std::string sid = grantedSid(subscribe("/e", "<http://192.0.2.2/>").text, 30);
    // Asked (0 stands for infinite) and granted.
    const int kAsks[][2] = {{1800, 1800}, {100, 100}, {1, 1},     {3600, 3600},
                            {3601, 1800}, {0, 1800},  {-5, 1800}, {86400, 1800}};
    for (const auto& ask : kAsks) {
        grantedSid(renew(sid, ask[0]).text, ask[1]);
        EXPECT_EQ(genaRenewalSeconds(ask[0]), ask[1]);
    }
    // The status page's view: the subscriber and the time left, read after a renewal.
    GenaSubscriptionView views[kGenaTableSize];
    ASSERT_EQ(genaListSubscriptions(views, kGenaTableSize), 1);
    EXPECT_EQ(views[0].peerAddress, kPeer.peerAddress);
    EXPECT_GE(views[0].secondsLeft, 1798);
    EXPECT_LE(views[0].secondsLeft, 1800);
    EXPECT_EQ(genaListSubscriptions(views, 0), 0);
    grantedSid(renew(sid + "\r\nCALLBACK: <http://x/>", 100).text, 100);
    grantedSid(renew("  " + sid, 30).text, 30);
    GenaEventTarget t;
    ASSERT_TRUE(genaTakeEventTarget(19, true, true, &t));
    EXPECT_EQ(t.seq, 0);
    EXPECT_EQ(std::string(t.sid), "uuid:" + sid);
    // Only the whole SID names the entry.
    std::string other = sid;
    other[0] = other[0] == '0' ? '1' : '0';
    EXPECT_EQ(renew(other, 30).text, kRefused);
    EXPECT_EQ(renew(sid.substr(0, 35), 30).text, kRefused);
    EXPECT_EQ(renew(sid + "0", 30).text, kRefused);
    EXPECT_EQ(renew("0", 30).text, kRefused);
    EXPECT_EQ(renew("", 30).text, kRefused);
}

TEST_F(Subscriptions, UnsubscribeReleasesOnce) {
    std::string sid = grantedSid(subscribe("/e", "<http://192.0.2.2/>").text, 30);
    Answer released = unsubscribe(("uuid:" + sid + "\r\nHOST: x").c_str());
    EXPECT_EQ(released.text.rfind("HTTP/1.1 200 OK\r\nSERVER: ", 0), 0u);
    EXPECT_NE(released.text.find("\r\nCONNECTION: close\r\nCONTENT-LENGTH: 0\r\nCONTENT-TYPE: "
                                 "text/html\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(unsubscribe(("uuid:" + sid).c_str()).text, kRefused);
    EXPECT_EQ(renew(sid, 30).text, kRefused);
    EXPECT_EQ(unsubscribe(nullptr).text, kRefused);
    EXPECT_EQ(unsubscribe("uu").text, kRefused);
    EXPECT_EQ(unsubscribe("uuid:0").text, kRefused);
    EXPECT_EQ(unsubscribe("uuid:").text, kRefused);
    // The freed entry is the highest free one again.
    EXPECT_EQ(subscribe("/e", "<http://192.0.2.2/>").index, 19);
}

TEST_F(Subscriptions, EntriesExpireWithoutRenewal) {
    std::string lapsing = grantedSid(subscribe("/e", "<http://192.0.2.2/a>").text, 30);
    std::string forever = grantedSid(subscribe("/e", "<http://192.0.2.2/b>").text, 30);
    grantedSid(renew(lapsing, 1).text, 1);
    grantedSid(renew(forever, 0).text, kGenaCappedSeconds); // infinite is not granted
    platformSleepMs(1300);
    GenaEventTarget t;
    EXPECT_FALSE(genaTakeEventTarget(19, true, true, &t));
    EXPECT_EQ(renew(lapsing, 30).text, kRefused);
    ASSERT_TRUE(genaTakeEventTarget(18, true, true, &t));
    EXPECT_EQ(std::string(t.sid), "uuid:" + forever);
    // The lapsed entry's slot is free for the next subscriber.
    EXPECT_EQ(subscribe("/e", "<http://192.0.2.2/c>").index, 19);
}

// Subscribing and cancelling from many threads at once never hands out one entry or SID twice.
std::atomic<int> concurrentFailures{0};

void churn(void* arg) {
    GenaPeer peer = host(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    for (int round = 0; round < 50; round++) {
        Answer a = subscribe("/e", "<http://192.0.2.2/>", 30, &peer);
        if (a.index < 0) {
            continue; // the table can be full for a moment
        }
        // Found by hand: compiling a std::regex writes the locale's shared cache, which the
        // thread sanitizer reports when threads do it at once.
        size_t at = a.text.find("uuid:");
        size_t end =
            at == std::string::npos ? at : a.text.find_first_not_of("-0123456789abcdef", at + 5);
        if (at == std::string::npos || end == std::string::npos || end - at != 5 + 36) {
            concurrentFailures++;
            continue;
        }
        if (unsubscribe(a.text.substr(at, end - at).c_str()).text.rfind("HTTP/1.1 200", 0) != 0) {
            concurrentFailures++;
        }
    }
}

TEST_F(Subscriptions, ConcurrentSubscribersKeepEntriesApart) {
    PlatformThread threads[8];
    for (intptr_t i = 0; i < 8; i++) {
        ASSERT_EQ(platformThreadStart(&threads[i], churn, reinterpret_cast<void*>(i)), 0);
    }
    for (PlatformThread& t : threads) {
        platformThreadJoin(t);
    }
    EXPECT_EQ(concurrentFailures.load(), 0);
    GenaEventTarget t;
    for (int i = 0; i < kGenaTableSize; i++) {
        EXPECT_FALSE(genaTakeEventTarget(i, true, true, &t));
    }
}

} // namespace
