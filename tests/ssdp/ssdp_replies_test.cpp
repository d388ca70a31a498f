// The queue of delayed answers: only due answers go out, in order, and never after the answer
// socket has been withdrawn.
#include <gtest/gtest.h>

#include <string>

#include "ssdp/ssdp_internal.h"
#include "support/ssdp_private_network.h"

namespace {

struct QueueFixture : ::testing::Test {
    PlatformSocket receiver = platformSocketUdp();
    std::atomic<PlatformSocket> sendSocket{platformSocketUdp()};
    std::atomic<PlatformSocket> httpSocket{1};
    SsdpTimerParam param;
    Ipv4Endpoint searcher{};

    void SetUp() override {
        ASSERT_EQ(platformSocketBind(receiver, ssdpAddress("127.0.0.1"), 0), 0);
        platformSocketLocalName(receiver, &searcher);
        platformSocketSetTimeouts(receiver, 200, 0);
        param.pending = nullptr;
        param.pendingCount = 0;
        param.httpSocket = &httpSocket;
        param.sendSocket = &sendSocket;
        param.http = Ipv4Endpoint{ssdpAddress("127.0.0.1"), 8080};
        param.heartbeatSocket = kPlatformInvalidSocket;
    }
    void TearDown() override {
        dropPendingReplies(&param);
        platformSocketClose(receiver);
        platformSocketClose(sendSocket.load());
    }
    void queue(uint32_t dueMs, const std::string& target) {
        ASSERT_TRUE(queueSearchReply(&param, dueMs, target.data(), static_cast<int>(target.size()),
                                     &searcher));
    }
    int received() {
        char buffer[1024];
        int count = 0;
        while (platformSocketRecv(receiver, buffer, sizeof buffer) > 0) {
            count++;
        }
        return count;
    }
    int queued() {
        int count = 0;
        for (PendingReply* node = param.pending; node != nullptr; node = node->next) {
            count++;
        }
        return count;
    }
};

TEST_F(QueueFixture, OnlyDueAnswersAreSentAndRemoved) {
    queue(10000, "upnp:rootdevice");
    queue(12000, "ssdp:all");
    queue(9000, "urn:schemas-upnp-org:device:MediaServer:1");
    EXPECT_EQ(sendDueReplies(&param, 9999), 1);
    EXPECT_EQ(received(), 1);
    EXPECT_EQ(queued(), 2);
    EXPECT_EQ(std::string(param.pending->searchTarget), "upnp:rootdevice");
    EXPECT_EQ(sendDueReplies(&param, 11000), 1);
    EXPECT_EQ(received(), 1);
    EXPECT_EQ(sendDueReplies(&param, 12000), 1);
    EXPECT_EQ(received(), 5); // one datagram per row
    EXPECT_EQ(queued(), 0);
    EXPECT_EQ(param.pendingCount, 0);
}

TEST_F(QueueFixture, QueueHoldsAtMostItsCapAndFreesRoomAsAnswersLeave) {
    std::string target = "upnp:rootdevice";
    for (int i = 0; i < kSsdpMaxPending; i++) {
        queue(1000u + static_cast<uint32_t>(i), target);
    }
    EXPECT_FALSE(
        queueSearchReply(&param, 500, target.data(), static_cast<int>(target.size()), &searcher));
    EXPECT_EQ(queued(), kSsdpMaxPending);
    EXPECT_EQ(sendDueReplies(&param, 1001), 2);
    EXPECT_EQ(param.pendingCount, kSsdpMaxPending - 2);
    queue(5000, target);
    dropPendingReplies(&param);
    EXPECT_EQ(param.pendingCount, 0);
}

TEST_F(QueueFixture, TargetThatSelectsNothingIsStillConsumed) {
    queue(100, "urn:schemas-upnp-org:device:MediaServer:2");
    EXPECT_EQ(sendDueReplies(&param, 100), 1);
    EXPECT_EQ(received(), 0);
    EXPECT_EQ(queued(), 0);
}

TEST_F(QueueFixture, NothingLeavesOnceTheAnswerSocketIsWithdrawn) {
    queue(100, "ssdp:all");
    PlatformSocket socket = sendSocket.exchange(0);
    EXPECT_EQ(sendDueReplies(&param, 5000), 0);
    EXPECT_EQ(queued(), 1);
    sendSocket.store(socket);
}

TEST_F(QueueFixture, AnswerDueAcrossTheTickWrapIsSent) {
    queue(0xFFFFFF00u + 2000u, "upnp:rootdevice");
    EXPECT_EQ(sendDueReplies(&param, 0xFFFFFF00u), 0);
    EXPECT_EQ(sendDueReplies(&param, 0xFFFFFF00u + 2500u), 1);
    EXPECT_EQ(received(), 1);
}

} // namespace
