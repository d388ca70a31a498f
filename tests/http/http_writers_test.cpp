#include "http/http_writers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "runtime/device_identity.h"
#include "support/http_socket_pair.h"

namespace {

// Runs one writer on the server end of a fresh pair and returns what the client read.
template <typename Writer> std::string captured(Writer writer) {
    HttpSocketPair pair;
    EXPECT_TRUE(httpSocketPairOpen(&pair));
    writer(pair.server);
    platformSocketClose(pair.server);
    pair.server = kPlatformInvalidSocket;
    std::string text = httpReadAll(pair.client);
    httpSocketPairClose(&pair);
    return text;
}

// Replaces the one date text with a marker after checking its layout.
std::string withoutDate(const std::string& text) {
    static const std::regex date(
        "(Date|DATE): [A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} GMT\r\n");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(text, m, date)) << text;
    return std::regex_replace(text, date, "$1: <date>\r\n");
}

const std::string server = serverString;

TEST(HttpWriters, OkHeaderLayouts) {
    std::string upnp =
        captured([](PlatformSocket s) { httpSendOk(s, "HTTP/1.1", 1234, "text/xml", true); });
    EXPECT_EQ(withoutDate(upnp), "HTTP/1.1 200 OK\r\nContent-Length: 1234\r\nContent-Type: "
                                 "text/xml\r\nDate: <date>\r\nEXT:\r\nSERVER: " +
                                     server + "\r\nConnection: close\r\n\r\n");
    std::string plain =
        captured([](PlatformSocket s) { httpSendOk(s, "HTTP/1.0", 7, "audio/mpeg", false); });
    EXPECT_EQ(withoutDate(plain), "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nDate: "
                                  "<date>\r\nContent-Length: 7\r\nConnection: close\r\n\r\n");
}

TEST(HttpWriters, ServerErrorLayouts) {
    std::string upnp = captured(
        [](PlatformSocket s) { httpSendServerError(s, "HTTP/1.1", 600, "text/xml", true); });
    EXPECT_EQ(withoutDate(upnp),
              "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/xml\r\nDate: "
              "<date>\r\nContent-Length: 600\r\nConnection: close\r\nEXT:\r\nSERVER: " +
                  server + "\r\n\r\n");
}

TEST(HttpWriters, NotFoundPageIsWholeForLongUrls) {
    static const std::string url = "/" + std::string(2000, 'u');
    std::string page =
        captured([](PlatformSocket s) { httpSendNotFound(s, "HTTP/1.1", url.c_str()); });
    std::string body = "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\r\n<BODY><H1>Not "
                       "Found</H1>The requested URL " +
                       url + " was not found on this server.</BODY></HTML>\r\n";
    std::string head =
        "HTTP/1.1 404 Not Found\r\nDate: <date>\r\nConnection: close\r\nContent-Type: "
        "text/html\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n";
    EXPECT_EQ(withoutDate(page), head + body);
    std::string headOnly =
        captured([](PlatformSocket s) { httpSendNotFound(s, "HTTP/1.1", url.c_str(), true); });
    EXPECT_EQ(withoutDate(headOnly), head);
    // A target holding markup comes back as text, never as markup.
    std::string reflected = captured([](PlatformSocket s) {
        httpSendNotFound(s, "HTTP/1.1", "/disk/<script>alert(1)</script>&x.mp3");
    });
    EXPECT_NE(
        reflected.find("The requested URL /disk/&lt;script&gt;alert(1)&lt;/script&gt;&amp;x.mp3 "
                       "was not found"),
        std::string::npos)
        << reflected;
}

TEST(HttpWriters, ChunkedFraming) {
    std::string head = captured([](PlatformSocket s) { httpSendChunkedHead(s); });
    EXPECT_EQ(withoutDate(head), "HTTP/1.1 200 OK\r\nCONTENT-TYPE: text/xml\r\nDATE: "
                                 "<date>\r\nConnection: close\r\nEXT:\r\nSERVER: " +
                                     server + "\r\nTransfer-Encoding: chunked\r\n\r\n");

    static TextBuffer* buffer = textBufferCreate(std::string(300, 'c').c_str(), 512);
    ASSERT_NE(buffer, nullptr);
    int32_t capacity = buffer->capacity;
    std::string chunk = captured([](PlatformSocket s) {
        httpSendChunk(s, buffer);
        httpSendChunk(s, buffer); // now empty: sends nothing, so no early terminator
        httpSendLastChunk(s);
    });
    EXPECT_EQ(chunk, "12c\r\n" + std::string(300, 'c') + "\r\n0\r\n\r\n\r\n");
    EXPECT_EQ(buffer->length, 0);
    EXPECT_EQ(buffer->text[0], '\0');
    EXPECT_EQ(buffer->capacity, capacity);
    textBufferFree(buffer);
}

// A large body is written whole across partial writes while the client reads slowly.
TEST(HttpWriters, SendAllCompletesPartialWrites) {
    HttpSocketPair pair;
    ASSERT_TRUE(httpSocketPairOpen(&pair));
    static std::string body;
    body.assign(8 * 1024 * 1024, 'x');
    for (size_t i = 0; i < body.size(); i += 4093) {
        body[i] = static_cast<char>('a' + i % 26);
    }
    static bool sent = false;
    PlatformThread writer;
    ASSERT_EQ(platformThreadStart(
                  &writer,
                  [](void* arg) {
                      auto s = static_cast<PlatformSocket>(reinterpret_cast<intptr_t>(arg));
                      sent = httpSendAll(s, body.data(), static_cast<int>(body.size()));
                      platformSocketClose(s);
                  },
                  reinterpret_cast<void*>(static_cast<intptr_t>(pair.server))),
              0);
    pair.server = kPlatformInvalidSocket;
    std::string received = httpReadAll(pair.client);
    platformThreadJoin(writer);
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received == body);
    httpSocketPairClose(&pair);
}

// A client that stops reading makes the write fail once the send time-out expires.
TEST(HttpWriters, SendAllGivesUpOnAStalledClient) {
    HttpSocketPair pair;
    ASSERT_TRUE(httpSocketPairOpen(&pair));
    platformSocketSetTimeouts(pair.server, 0, 300);
    std::string body(64 * 1024 * 1024, 'x');
    uint32_t start = platformTickMs();
    EXPECT_FALSE(httpSendAll(pair.server, body.data(), static_cast<int>(body.size())));
    EXPECT_LT(platformTickMs() - start, 10000u);
    httpSocketPairClose(&pair);
}

} // namespace
