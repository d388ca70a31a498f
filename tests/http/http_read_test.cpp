#include "http/http_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/http_socket_pair.h"

namespace {

// A client that writes its pieces with a pause before each one and then, when asked, keeps
// its end open until the test closes it.
struct Writer {
    PlatformSocket socket;
    std::vector<std::string> pieces;
    uint32_t pauseMs;
    bool closeAfter;
    bool awaitContinue = false; // after the first piece, read what the server sends (2 s at most)
    std::string continueSeen;
};

void writerBody(void* arg) {
    auto* w = static_cast<Writer*>(arg);
    for (size_t i = 0; i < w->pieces.size(); i++) {
        platformSleepMs(w->pauseMs);
        if (!httpSendText(w->socket, w->pieces[i])) {
            break;
        }
        if (i == 0 && w->awaitContinue) {
            char got[64];
            platformSocketSetTimeouts(w->socket, 2000, 2000);
            int n = platformSocketRecv(w->socket, got, sizeof got);
            w->continueSeen.assign(got, n > 0 ? static_cast<size_t>(n) : 0);
        }
    }
    if (w->closeAfter) {
        platformSocketClose(w->socket);
    }
}

struct ReadOutcome {
    HttpReadResult result;
    std::string text;
    uint32_t elapsedMs;
    std::string continueSeen;
};

ReadOutcome readWith(std::vector<std::string> pieces, uint32_t pauseMs, bool closeAfter,
                     HttpReadLimits limits = {64 * 1024, 1024 * 1024, 3000, 3000},
                     bool awaitContinue = false) {
    HttpSocketPair pair;
    EXPECT_TRUE(httpSocketPairOpen(&pair));
    Writer w = {pair.client, std::move(pieces), pauseMs, closeAfter, awaitContinue, ""};
    PlatformThread thread;
    EXPECT_EQ(platformThreadStart(&thread, writerBody, &w), 0);
    TextBuffer* request = textBufferCreate(nullptr, 1024);
    uint32_t start = platformTickMs();
    ReadOutcome out;
    out.result = httpReadRequest(pair.server, request, limits);
    out.elapsedMs = platformTickMs() - start;
    out.text = request->text;
    textBufferFree(request);
    // Closing the server end ends a writer blocked on a full pipe.
    platformSocketClose(pair.server);
    pair.server = kPlatformInvalidSocket;
    platformThreadJoin(thread);
    out.continueSeen = w.continueSeen;
    if (closeAfter) {
        pair.client = kPlatformInvalidSocket;
    }
    httpSocketPairClose(&pair);
    return out;
}

const std::string kPostHead = "POST /ContentDirectory/Control HTTP/1.1\r\n"
                              "SOAPACTION: \"urn:a#Browse\"\r\nContent-Length: 12\r\n\r\n";

TEST(HttpRead, BodyInALaterSegmentIsKept) {
    ReadOutcome r = readWith({kPostHead, "<s>body</s>!"}, 100, false);
    EXPECT_EQ(r.result, HttpReadResult::Complete);
    EXPECT_EQ(r.text, kPostHead + "<s>body</s>!");
    // Header name in other capitals, body in several pieces.
    std::string head = "POST /c HTTP/1.1\r\ncontent-length: 9\r\n\r\n";
    r = readWith({head, "abc", "def", "ghi"}, 50, false);
    EXPECT_EQ(r.result, HttpReadResult::Complete);
    EXPECT_EQ(r.text, head + "abcdefghi");
}

TEST(HttpRead, HeadSplitAcrossSegmentsAndBlockBoundaries) {
    ReadOutcome r =
        readWith({"GET /DeviceDescription.xml HTTP/1.1\r\nHost: x\r", "\n\r", "\n"}, 50, false);
    EXPECT_EQ(r.result, HttpReadResult::Complete);
    EXPECT_EQ(r.text, "GET /DeviceDescription.xml HTTP/1.1\r\nHost: x\r\n\r\n");
    // A request ending exactly on a 1,024-byte boundary does not wait for more.
    std::string exact = "GET /x HTTP/1.1\r\nX-Pad: ";
    exact += std::string(1024 - exact.size() - 4, 'p') + "\r\n\r\n";
    ASSERT_EQ(exact.size(), 1024u);
    r = readWith({exact}, 0, false);
    EXPECT_EQ(r.result, HttpReadResult::Complete);
    EXPECT_EQ(r.text, exact);
    EXPECT_LT(r.elapsedMs, 1000u);
    // 2,500 bytes in one piece.
    std::string big = "POST /c HTTP/1.1\r\nContent-Length: 2400\r\n\r\n";
    big += std::string(2500 - big.size(), 'b');
    r = readWith({big}, 0, false);
    EXPECT_EQ(r.result, HttpReadResult::Complete);
    EXPECT_EQ(r.text, big);
}

TEST(HttpRead, SilentAndSlowClientsAreDropped) {
    HttpReadLimits quick = {64 * 1024, 1024 * 1024, 400, 400};
    ReadOutcome silent = readWith({}, 0, false, quick);
    EXPECT_EQ(silent.result, HttpReadResult::Dropped);
    EXPECT_GE(silent.elapsedMs, 350u);
    EXPECT_LT(silent.elapsedMs, 2000u);
    // Each piece arrives within the per-read wait, but the request as a whole takes too long.
    std::vector<std::string> trickle(40, "X");
    trickle[0] = "GET / HTTP/1.1\r\n";
    ReadOutcome slow = readWith(trickle, 50, false, quick);
    EXPECT_EQ(slow.result, HttpReadResult::Dropped);
    EXPECT_LT(slow.elapsedMs, 2000u);
    // A body shorter than announced is waited for, then dropped.
    ReadOutcome shortBody = readWith({kPostHead + "abc"}, 0, false, quick);
    EXPECT_EQ(shortBody.result, HttpReadResult::Dropped);
}

TEST(HttpRead, AHeadMustArriveWithinItsOwnTime) {
    HttpReadLimits limits = {64 * 1024, 1024 * 1024, 3000, 400};
    // A trickled head is dropped at the head's time, long before the whole request's.
    std::vector<std::string> trickle(40, "X-Slow: y\r\n");
    trickle[0] = "GET / HTTP/1.1\r\n";
    ReadOutcome slow = readWith(trickle, 50, false, limits);
    EXPECT_EQ(slow.result, HttpReadResult::Dropped);
    EXPECT_GE(slow.elapsedMs, 350u);
    EXPECT_LT(slow.elapsedMs, 1500u);
    // Once the head is whole, the body may take the rest of the total time.
    ReadOutcome body = readWith({kPostHead, "<s>body</s>", "!"}, 300, false, limits);
    EXPECT_EQ(body.result, HttpReadResult::Complete);
    EXPECT_GE(body.elapsedMs, 800u);
}

TEST(HttpRead, ContentLengthMustBeOnePlainDecimalNumber) {
    struct Case {
        const char* lines;
        HttpReadResult result;
    };
    const Case kCases[] = {
        {"Content-Length: -5\r\n", HttpReadResult::BadRequest},
        {"Content-Length: 0x20\r\n", HttpReadResult::BadRequest},
        {"Content-Length: +3\r\n", HttpReadResult::BadRequest},
        {"Content-Length: 3 3\r\n", HttpReadResult::BadRequest},
        {"Content-Length:\r\n", HttpReadResult::BadRequest},
        {"Content-Length: 3\r\ncontent-length: 4\r\n", HttpReadResult::BadRequest},
        {"Content-Length: 3\r\nCONTENT-LENGTH:3 \r\n", HttpReadResult::Complete},
        {"Content-Length:\t3\r\n", HttpReadResult::Complete},
        {"Content-Lengthy: x\r\n", HttpReadResult::Complete}, // another header
        {"Content-Length: 8193\r\n", HttpReadResult::TooLarge},
        {"Content-Length: 99999999999999999999999\r\n", HttpReadResult::TooLarge},
    };
    HttpReadLimits limits = {4096, 8192, 3000, 3000};
    for (const Case& c : kCases) {
        ReadOutcome r =
            readWith({std::string("POST /c HTTP/1.1\r\n") + c.lines + "\r\nabc"}, 0, false, limits);
        EXPECT_EQ(r.result, c.result) << c.lines;
    }
}

TEST(HttpRead, OversizedHeadsAndBodiesAreDroppedEarly) {
    HttpReadLimits limits = {4096, 8192, 3000, 3000};
    // A head without end: dropped once it passes the limit, not after the whole stream.
    std::vector<std::string> endless(200, std::string(1000, 'h'));
    ReadOutcome head = readWith(endless, 0, false, limits);
    EXPECT_EQ(head.result, HttpReadResult::Dropped);
    EXPECT_LT(head.text.size(), 8192u);
    EXPECT_LT(head.elapsedMs, 2000u);
    // An announced body above the limit is refused before it is read.
    ReadOutcome body =
        readWith({"POST /c HTTP/1.1\r\nContent-Length: 8193\r\n\r\n"}, 0, false, limits);
    EXPECT_EQ(body.result, HttpReadResult::TooLarge);
    EXPECT_LT(body.elapsedMs, 1000u);
    ReadOutcome fits =
        readWith({"POST /c HTTP/1.1\r\nContent-Length: 8192\r\n\r\n", std::string(8192, 'b')}, 0,
                 false, limits);
    EXPECT_EQ(fits.result, HttpReadResult::Complete);
}

TEST(HttpRead, PeerCloseRoutesWhatArrived) {
    ReadOutcome r = readWith({"GET /DeviceDescription.xml HTTP/1.1"}, 0, true);
    EXPECT_EQ(r.result, HttpReadResult::Complete);
    EXPECT_EQ(r.text, "GET /DeviceDescription.xml HTTP/1.1");
    ReadOutcome empty = readWith({}, 0, true);
    EXPECT_EQ(empty.result, HttpReadResult::Complete);
    EXPECT_EQ(empty.text, "");
}

TEST(HttpRead, ChunkedBodiesAndExpectContinue) {
    const std::string chunkedHead = "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string expectHead =
        "POST /c HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n";
    const std::string continued = "HTTP/1.1 100 Continue\r\n\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        bool closeAfter;
        bool awaitContinue;
        HttpReadResult result;
        std::string text; // checked for Complete
        std::string continueSeen;
    } cases[] = {
        {"chunks in pieces",
         {chunkedHead + "5\r\nhel", "lo\r\n6;ext=1\r\n world\r\n", "0\r\nTrailer: x\r\n\r\n"},
         false,
         false,
         HttpReadResult::Complete,
         chunkedHead + "hello world",
         ""},
        {"bare line feeds",
         {chunkedHead + "3\nabc\n0\n\n"},
         false,
         false,
         HttpReadResult::Complete,
         chunkedHead + "abc",
         ""},
        // Content-Length is ignored when the body is chunked.
        {"both framings",
         {"POST /c HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
          "4\r\nabcd\r\n0\r\n\r\n"},
         false,
         false,
         HttpReadResult::Complete,
         "POST /c HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabcd",
         ""},
        {"cut before the last chunk",
         {chunkedHead + "5\r\nhello\r\n"},
         true,
         false,
         HttpReadResult::Dropped,
         "",
         ""},
        {"not chunk framing",
         {chunkedHead + "xyz\r\nhello\r\n"},
         false,
         false,
         HttpReadResult::Dropped,
         "",
         ""},
        // The body limit holds for a chunk announced above it and for chunks that add up to more.
        {"chunk above the body limit",
         {chunkedHead + "2001\r\n"},
         false,
         false,
         HttpReadResult::TooLarge,
         "",
         ""},
        {"chunks above the body limit",
         {chunkedHead + "1000\r\n" + std::string(4096, 'a') + "\r\n", "1001\r\n"},
         false,
         false,
         HttpReadResult::TooLarge,
         "",
         ""},
        {"other coding",
         {"POST /c HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"},
         false,
         false,
         HttpReadResult::LengthRequired,
         "",
         ""},
        // 100 Continue comes before the body, and only while the body is still missing.
        {"continue",
         {expectHead, "hello"},
         false,
         true,
         HttpReadResult::Complete,
         expectHead + "hello",
         continued},
        {"continue, chunked",
         {"POST /c HTTP/1.1\r\nExpect: 100-Continue\r\nTransfer-Encoding: chunked\r\n\r\n",
          "1\r\nx\r\n0\r\n\r\n"},
         false,
         true,
         HttpReadResult::Complete,
         "POST /c HTTP/1.1\r\nExpect: 100-Continue\r\nTransfer-Encoding: chunked\r\n\r\nx",
         continued},
        {"body already there",
         {expectHead + "hello"},
         false,
         true,
         HttpReadResult::Complete,
         expectHead + "hello",
         ""},
        {"HTTP/1.0 client",
         {"POST /c HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n", "hi"},
         false,
         true,
         HttpReadResult::Complete,
         "POST /c HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nhi",
         ""},
    };
    for (const Case& c : cases) {
        ReadOutcome r =
            readWith(c.pieces, 20, c.closeAfter, {64 * 1024, 8192, 3000, 3000}, c.awaitContinue);
        EXPECT_EQ(r.result, c.result) << c.name;
        if (c.result == HttpReadResult::Complete) {
            EXPECT_EQ(r.text, c.text) << c.name;
        }
        EXPECT_EQ(r.continueSeen, c.continueSeen) << c.name;
    }
}

TEST(HttpRead, FindHeaderNeedsAWholeNameAtLineStart) {
    char head[] = "GET /Content-Length: 3 HTTP/1.1\r\nX-Content-Length: 4\r\n"
                  "Content-Lengthy: 5\r\nCONTENT-LENGTH:\t 6\r\nContent-Length: 7";
    char* value = httpFindHeader(head, "Content-Length");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(value).rfind("6\r\n", 0), 0u);
    char only[] = "GET / HTTP/1.1";
    EXPECT_EQ(httpFindHeader(only, "GET / HTTP/1.1"), nullptr);
}

} // namespace
