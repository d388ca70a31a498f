#include "server/http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "eventing/subscriptions.h"
#include "http/http_request.h"
#include "runtime/device_icons.h"
#include "runtime/device_identity.h"
#include "server/worker_pool.h"
#include "support/http_socket_pair.h"

namespace {

void serveQuickly(PlatformSocket s) {
    httpServeConnection(s, {64 * 1024, 1024 * 1024, 2000, 2000});
}

std::string serve(const std::string& request) {
    return httpExchange(request, serveQuickly);
}

// The head of an answer without its Date line: two answers may fall either side of a second.
std::string headWithoutDate(const std::string& answer) {
    std::string head = answer.substr(0, answer.find("\r\n\r\n") + 4);
    size_t at = head.find("\r\nDate: ");
    return at == std::string::npos ? head : head.erase(at, head.find("\r\n", at + 2) - at);
}

// Splits an answer into head and body and checks that Content-Length counts the body.
std::string bodyOf(const std::string& answer) {
    size_t blank = answer.find("\r\n\r\n");
    EXPECT_NE(blank, std::string::npos) << answer;
    std::string body = answer.substr(blank + 4);
    std::smatch m;
    std::string head = answer.substr(0, blank);
    EXPECT_TRUE(std::regex_search(head, m, std::regex("Content-Length: (\\d+)")));
    EXPECT_EQ(std::stoul(m[1]), body.size());
    return body;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}

// The device description as served on a connection that came in on `local`.
std::string fetchDescriptionAs(const Ipv4Endpoint& local) {
    HttpSocketPair pair;
    if (!httpSocketPairOpen(&pair)) {
        return "<no connection>";
    }
    httpSendText(pair.client, "GET /DeviceDescription.xml HTTP/1.0\r\n\r\n");
    httpServeConnection(pair.server, {64 * 1024, 1024 * 1024, 2000, 2000}, &local);
    pair.server = kPlatformInvalidSocket;
    std::string answer = httpReadAll(pair.client);
    httpSocketPairClose(&pair);
    return answer;
}

TEST(HttpServer, DeviceDescriptionNamesTheAddressTheClientUsed) {
    // Each address's document is rendered once and then reused: another address between two
    // requests on one address gets its own, and the reused one is the same to the byte.
    const Ipv4Endpoint local = {0x0500007F, 8123}; // 127.0.0.5
    std::string answer = fetchDescriptionAs(local);
    std::string other = bodyOf(fetchDescriptionAs({0x0600007F, 8123}));
    EXPECT_NE(other.find("<URLBase>http://127.0.0.6:8123/</URLBase></root>"), std::string::npos);
    EXPECT_EQ(other.find("127.0.0.5"), std::string::npos);
    EXPECT_EQ(bodyOf(fetchDescriptionAs(local)), bodyOf(answer));

    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n", 0), 0u);
    std::string body = bodyOf(answer);
    EXPECT_EQ(body.find('\n'), std::string::npos);
    EXPECT_NE(
        body.find("<URLBase>http://127.0.0.5:" + std::to_string(local.port) + "/</URLBase></root>"),
        std::string::npos);
    EXPECT_NE(body.find(std::string("<UDN>") + deviceUdn().text + "</UDN>"), std::string::npos);
    // What control points beyond the UPnP basics look for.
    std::string base = "http://127.0.0.5:" + std::to_string(local.port) + "/";
    EXPECT_NE(body.find("<device><dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">"
                        "DMS-1.50</dlna:X_DLNADOC>"),
              std::string::npos);
    EXPECT_NE(body.find("<presentationURL>" + base + "</presentationURL>"), std::string::npos);
    EXPECT_NE(body.find("<iconList><icon><mimetype>image/png</mimetype><width>48</width>"
                        "<height>48</height><depth>24</depth>"
                        "<url>/icons/kestrelbloom-48.png</url></icon>"),
              std::string::npos);
    EXPECT_EQ(count(body, "<icon>"), 4u);
    EXPECT_EQ(count(body, "<service>"), 3u);
    EXPECT_NE(body.find("<serviceType>urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1"
                        "</serviceType><serviceId>urn:microsoft.com:serviceId:"
                        "X_MS_MediaReceiverRegistrar</serviceId>"
                        "<SCPDURL>/X_MS_MediaReceiverRegistrar.xml</SCPDURL>"
                        "<eventSubURL>/X_MS_MediaReceiverRegistrar/Event</eventSubURL>"
                        "<controlURL>/X_MS_MediaReceiverRegistrar/Control</controlURL>"),
              std::string::npos);
    EXPECT_NE(body.find(std::string("<friendlyName>KestrelBloom Media Server [")),
              std::string::npos);
}

TEST(HttpServer, IconsAnswerGetAndHead) {
    for (const char* path : {"/icons/kestrelbloom-48.png", "/icons/kestrelbloom-120.jpg"}) {
        const DeviceIcon* icon = deviceIconForPath(path);
        ASSERT_NE(icon, nullptr);
        std::string got = serve(std::string("GET ") + path + " HTTP/1.1\r\n\r\n");
        EXPECT_NE(got.find(std::string("Content-Type: ") + icon->mimeType + "\r\n"),
                  std::string::npos);
        EXPECT_EQ(bodyOf(got), std::string(reinterpret_cast<const char*>(icon->bytes), icon->size));
        std::string head = serve(std::string("HEAD ") + path + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(headWithoutDate(head), headWithoutDate(got));
    }
    EXPECT_EQ(serve("HEAD /icons/none.png HTTP/1.1\r\n\r\n"), "");
}

TEST(HttpServer, ServiceDescriptionsListTheirActionsAndVariables) {
    std::string cd = bodyOf(serve("GET /ContentDirectory.xml HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(
        cd.rfind("<?xml version=\"1.0\"?>\r\n<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">"
                 "\r\n    <specVersion>",
                 0),
        0u);
    EXPECT_EQ(count(cd, "<action>"), 12u);
    EXPECT_EQ(count(cd, "<stateVariable "), 20u);
    EXPECT_EQ(count(cd, "sendEvents=\"yes\""), 3u);
    EXPECT_EQ(count(cd, "\n"), count(cd, "\r\n"));
    EXPECT_EQ(cd.find("ExportResource"), std::string::npos);
    EXPECT_EQ(count(cd, "<argument>"), 42u);

    std::string cm = bodyOf(serve("GET /ConnectionManager.xml HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(count(cm, "<action>"), 5u);
    EXPECT_EQ(count(cm, "<stateVariable "), 10u);
    EXPECT_EQ(count(cm, "<argument>"), 19u);
    EXPECT_NE(cm.find("\r\n   <specVersion>"), std::string::npos);
    EXPECT_NE(cm.find("<allowedValue>UnreliableChannel</allowedValue>"), std::string::npos);

    std::string registrar = bodyOf(serve("GET /X_MS_MediaReceiverRegistrar.xml HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(count(registrar, "<action>"), 3u);
    EXPECT_EQ(count(registrar, "<stateVariable "), 8u);
    EXPECT_EQ(count(registrar, "<argument>"), 6u);
    EXPECT_EQ(count(registrar, "sendEvents=\"yes\""), 4u);
    EXPECT_EQ(count(registrar, "\n"), count(registrar, "\r\n"));
}

// The router hands the connection's own addresses to the subscription table.
TEST(HttpServer, SubscribeCarriesTheConnectionPeer) {
    genaClearSubscriptions();
    std::string granted = serve("SUBSCRIBE /ConnectionManager/Event HTTP/1.1\r\n"
                                "Callback: <http://127.0.0.1:9/ev>\r\nNT: upnp:event\r\n"
                                "Timeout: Second-1800\r\n\r\n");
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(granted, m, std::regex("SID: uuid:[0-9a-f-]{36}\r\nTIMEOUT: Second-30")))
        << granted;
    GenaEventTarget target;
    ASSERT_TRUE(genaTakeEventTarget(19, true, true, &target));
    EXPECT_EQ(target.isContentDirectory, 0);
    EXPECT_STREQ(target.callback, "<http://127.0.0.1:9/ev>");
    EXPECT_EQ(target.peer.peerAddress, 0x0100007Fu);

    // A callback outside the subscriber's own address and local network is refused.
    EXPECT_EQ(serve("SUBSCRIBE /e HTTP/1.1\r\nCALLBACK: <http://203.0.113.9/>\r\n\r\n"),
              "HTTP/1.1 412 Precondition Failed\r\n\r\n");
    genaClearSubscriptions();
}

// Requests refused before any handler: each gets a status line and no body worth reading.
TEST(HttpServer, RefusalsCarryAStatusLine) {
    const std::string kEmpty = "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    std::string rebound =
        serve("GET /DeviceDescription.xml HTTP/1.1\r\nHost: evil.example:8080\r\n\r\n");
    EXPECT_EQ(rebound.rfind("HTTP/1.1 403 Forbidden\r\nDate: ", 0), 0u) << rebound;
    EXPECT_EQ(rebound.size() - rebound.rfind(kEmpty), kEmpty.size());
    // The check holds for every target and for HEAD: the status page and the icons too.
    for (const char* line : {"GET / ", "HEAD / ", "GET /icons/kestrelbloom-120.png ",
                             "HEAD /disk/0.mp3 ", "SUBSCRIBE /ContentDirectory/Event "}) {
        EXPECT_EQ(serve(std::string(line) + "HTTP/1.1\r\nHost: evil.example\r\n\r\n")
                      .rfind("HTTP/1.1 403 ", 0),
                  0u)
            << line;
    }
    char name[256];
    ASSERT_EQ(platformHostName(name, sizeof name), 0);
    for (std::string host : {std::string("127.0.0.1:8080"), std::string(name) + ":8080"}) {
        std::string answer =
            serve("GET /ConnectionManager.xml HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << host;
    }
    EXPECT_EQ(serve("POST /c HTTP/1.1\r\nSOAPACTION: \"a#Browse\"\r\nHost: rebound.example\r\n"
                    "Content-Length: 0\r\n\r\n")
                  .rfind("HTTP/1.1 403 ", 0),
              0u);
    EXPECT_EQ(serve("POST /c HTTP/1.1\r\nContent-Length: -1\r\n\r\n").rfind("HTTP/1.1 400 ", 0),
              0u);
    std::string bad = serve("POST /c HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab");
    EXPECT_EQ(bad.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << bad;
    std::string large =
        serve("POST /c HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n" + std::string(100000, 'x'));
    EXPECT_EQ(large.rfind("HTTP/1.1 413 Request Entity Too Large\r\n", 0), 0u) << large;
    // A chunked body is held to the same limit as one announced by Content-Length.
    std::string chunks = serve("POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n200000\r\n" +
                               std::string(100000, 'x'));
    EXPECT_EQ(chunks.rfind("HTTP/1.1 413 ", 0), 0u) << chunks;
}

// Each listener test has a loopback address of its own (127.0.0.77 and up), so tests running
// at the same time never compete for the ports from 8080.
constexpr uint32_t loopback(uint32_t last) {
    return 0x0000007Fu | (last << 24);
}

TEST(HttpServer, HeadAnswersLikeGetWithoutBody) {
    for (const char* path : {"/DeviceDescription.xml", "/ContentDirectory.xml", "/disk/0.mp3"}) {
        std::string get = serve(std::string("GET ") + path + " HTTP/1.1\r\n\r\n");
        std::string head = serve(std::string("HEAD ") + path + " HTTP/1.1\r\n\r\n");
        size_t blank = get.find("\r\n\r\n");
        ASSERT_NE(blank, std::string::npos) << path;
        EXPECT_EQ(headWithoutDate(head), headWithoutDate(get)) << path;
        bodyOf(get);
    }
    // A transfer coding that is not read is refused.
    EXPECT_EQ(serve("POST /c HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\nxx").substr(0, 28),
              "HTTP/1.1 411 Length Required");
}

TEST(HttpListener, TakesTheLowestFreePortFrom8080) {
    const uint32_t kListenAddress = loopback(77);
    PlatformSocket first = httpOpenListener(kListenAddress);
    ASSERT_NE(first, 0);
    Ipv4Endpoint a;
    ASSERT_EQ(platformSocketLocalName(first, &a), 0);
    PlatformSocket second = httpOpenListener(kListenAddress);
    ASSERT_NE(second, 0);
    Ipv4Endpoint b;
    ASSERT_EQ(platformSocketLocalName(second, &b), 0);
    EXPECT_EQ(a.address, kListenAddress);
    EXPECT_GE(a.port, 8080);
    EXPECT_GT(b.port, a.port);
    platformSocketClose(second);
    // Once closed, its port is the lowest free one again.
    PlatformSocket third = httpOpenListener(kListenAddress);
    Ipv4Endpoint c;
    ASSERT_EQ(platformSocketLocalName(third, &c), 0);
    EXPECT_EQ(c.port, b.port);
    platformSocketClose(third);
    platformSocketClose(first);
}

TEST(HttpListener, RestartGetsThePortBackWhileOldConnectionsLinger) {
    const uint32_t kListenAddress = loopback(78);
    PlatformSocket listener = httpOpenListener(kListenAddress);
    ASSERT_NE(listener, 0);
    Ipv4Endpoint before;
    ASSERT_EQ(platformSocketLocalName(listener, &before), 0);
    // A connection closed by the server side leaves a TIME_WAIT entry on the server's port.
    PlatformSocket client = platformSocketTcp();
    ASSERT_EQ(platformSocketConnect(client, kListenAddress, before.port, 2000), 0);
    PlatformSocket accepted = platformSocketAccept(listener, nullptr);
    platformSocketClose(accepted);
    platformSleepMs(50);
    platformSocketClose(client);
    platformSocketClose(listener);
    PlatformSocket again = httpOpenListener(kListenAddress);
    Ipv4Endpoint after;
    ASSERT_EQ(platformSocketLocalName(again, &after), 0);
    EXPECT_EQ(after.port, before.port);
    platformSocketClose(again);
}

// Connections start with their listener's time-outs, so the first read of a request is bounded
// without setting any; the listener's own receive time-out never ends a wait in accept.
TEST(HttpListener, AcceptedConnectionsTakeTheListenersTimeOuts) {
    const uint32_t kListenAddress = loopback(76);
    PlatformSocket listener = platformSocketTcp();
    ASSERT_EQ(platformSocketBind(listener, kListenAddress, 0), 0);
    ASSERT_EQ(platformSocketListen(listener, 4), 0);
    ASSERT_EQ(platformSocketSetTimeouts(listener, 100, 100), 0);
    Ipv4Endpoint local;
    ASSERT_EQ(platformSocketLocalName(listener, &local), 0);
    struct Accepting {
        PlatformSocket listener;
        std::atomic<PlatformSocket> accepted{kPlatformInvalidSocket};
    } accepting{listener};
    PlatformThread thread;
    ASSERT_EQ(platformThreadStart(
                  &thread,
                  [](void* arg) {
                      auto* a = static_cast<Accepting*>(arg);
                      a->accepted = platformSocketAccept(a->listener, nullptr);
                  },
                  &accepting),
              0);
    platformSleepMs(400); // several receive time-outs of the listener pass before the connect
    PlatformSocket client = platformSocketTcp();
    ASSERT_EQ(platformSocketConnect(client, kListenAddress, local.port, 2000), 0);
    platformThreadJoin(thread);
    PlatformSocket accepted = accepting.accepted;
    ASSERT_NE(accepted, kPlatformInvalidSocket);
    // The client sends nothing and keeps the connection open: the read ends by its time-out
    // (-1), where a connection without one would wait until the client closes (0).
    char byte;
    EXPECT_EQ(platformSocketRecv(accepted, &byte, 1), -1);
    platformSocketClose(client);
    platformSocketClose(accepted);
    platformSocketClose(listener);
}

struct RunningServer {
    uint32_t address;
    std::atomic<PlatformSocket> variable{0};
    PlatformThread thread{};
    uint16_t port = 0;
};

void startServer(RunningServer* server, uint32_t address) {
    server->address = address;
    PlatformSocket listener = httpOpenListener(address);
    ASSERT_NE(listener, 0);
    Ipv4Endpoint local;
    ASSERT_EQ(platformSocketLocalName(listener, &local), 0);
    server->port = local.port;
    server->variable.store(listener);
    ASSERT_EQ(platformThreadStart(&server->thread, httpAcceptThread, &server->variable), 0);
}

void stopServer(RunningServer* server) {
    PlatformSocket listener = server->variable.load();
    platformSocketClose(listener);
    server->variable.store(0);
    platformThreadJoin(server->thread);
}

// A connection from the loopback address `source` (0: the system's choice).
PlatformSocket connectFrom(const RunningServer& server, uint32_t source) {
    PlatformSocket s = platformSocketTcp();
    if ((source != 0 && platformSocketBind(s, source, 0) != 0) ||
        platformSocketConnect(s, server.address, server.port, 2000) != 0) {
        platformSocketClose(s);
        return kPlatformInvalidSocket;
    }
    return s;
}

std::string fetch(const RunningServer& server, const std::string& request, uint32_t source = 0) {
    PlatformSocket s = platformSocketTcp();
    if ((source != 0 && platformSocketBind(s, source, 0) != 0) ||
        platformSocketConnect(s, server.address, server.port, 2000) != 0) {
        platformSocketClose(s);
        return "<no connection>";
    }
    httpSendText(s, request);
    std::string answer = httpReadAll(s);
    platformSocketClose(s);
    return answer;
}

bool waitForConnections(int wanted, uint32_t limitMs) {
    for (uint32_t waited = 0; waited < limitMs; waited += 20) {
        if (httpActiveConnections() == wanted) {
            return true;
        }
        platformSleepMs(20);
    }
    return httpActiveConnections() == wanted;
}

TEST(HttpListener, AcceptThreadServesUntilItsVariableIsZero) {
    RunningServer server;
    startServer(&server, loopback(79));
    std::string answer = fetch(server, "GET /ConnectionManager.xml HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    stopServer(&server);                     // returns only once the accept thread has ended
    EXPECT_EQ(workerPoolCounts().parked, 0); // and no worker still waits in accept on it
    EXPECT_EQ(fetch(server, "GET /ConnectionManager.xml HTTP/1.1\r\n\r\n"), "<no connection>");
    EXPECT_TRUE(waitForConnections(0, 3000));
}

// The presentation page answers on the addresses the server listens on, and nowhere else.
TEST(HttpListener, PresentationPageOnServedAddressesOnly) {
    RunningServer server;
    startServer(&server, loopback(84));
    std::string page;
    for (int tries = 0; tries < 100 && page.empty(); tries++) { // the listener registers itself
        page = fetch(server, "GET / HTTP/1.1\r\n\r\n");
        if (page.empty()) {
            platformSleepMs(10);
        }
    }
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n", 0), 0u);
    std::string body = bodyOf(page);
    EXPECT_EQ(body.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(body.find("<li>http://127.0.0.84:" + std::to_string(server.port) + "/</li>"),
              std::string::npos);
    EXPECT_NE(body.find("<h1>" + std::string(deviceFriendlyName().text).substr(0, 20)),
              std::string::npos);
    std::string head = fetch(server, "HEAD / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(headWithoutDate(head), headWithoutDate(page));
    stopServer(&server);
    // A connection on an address with no listener (a socket pair here) gets no page.
    EXPECT_EQ(serve("GET / HTTP/1.1\r\n\r\n"), "");
}

// Idle connections beyond a cap get 503 at once: 32 per peer address, 256 in all. Other peers
// are served while one holds its 32, and everyone again once the connections go.
TEST(HttpListener, ConnectionFloodIsBoundedPerPeerAndRecovers) {
    RunningServer server;
    startServer(&server, loopback(80));
    const std::string get = "GET /ConnectionManager.xml HTTP/1.1\r\n\r\n";
    std::vector<PlatformSocket> idle;
    const int peers = kHttpMaxConnections / kHttpMaxPerPeer;
    for (int i = 0; i < kHttpMaxConnections; i++) {
        PlatformSocket s = connectFrom(server, loopback(100 + static_cast<uint32_t>(i % peers)));
        ASSERT_NE(s, kPlatformInvalidSocket);
        idle.push_back(s);
    }
    ASSERT_TRUE(waitForConnections(kHttpMaxConnections, 5000));
    // The whole process is full: a ninth peer is refused at once, with a status line.
    uint32_t start = platformTickMs();
    EXPECT_EQ(fetch(server, get, loopback(99)).rfind("HTTP/1.1 503 Service Unavailable\r\n", 0),
              0u);
    EXPECT_LT(platformTickMs() - start, 1000u);
    EXPECT_LE(httpActiveConnections(), kHttpMaxConnections);
    // Half of every peer's connections go: one peer still cannot exceed its own cap...
    for (size_t i = 0; i < idle.size() / 2; i++) {
        platformSocketClose(idle[i]);
        idle[i] = kPlatformInvalidSocket;
    }
    ASSERT_TRUE(waitForConnections(kHttpMaxConnections / 2, 5000));
    std::vector<PlatformSocket> more;
    for (int i = 0; i < kHttpMaxPerPeer / 2; i++) {
        more.push_back(connectFrom(server, loopback(100)));
    }
    ASSERT_TRUE(waitForConnections(kHttpMaxConnections / 2 + kHttpMaxPerPeer / 2, 5000));
    EXPECT_EQ(fetch(server, get, loopback(100)).rfind("HTTP/1.1 503 ", 0), 0u);
    // ...while another peer is served.
    EXPECT_EQ(fetch(server, get, loopback(99)).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    for (PlatformSocket s : idle) {
        platformSocketClose(s);
    }
    for (PlatformSocket s : more) {
        platformSocketClose(s);
    }
    ASSERT_TRUE(waitForConnections(0, 5000));
    EXPECT_EQ(fetch(server, get, loopback(100)).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    stopServer(&server);
}

// A connection whose client has gone quiet holds its thread until its time-out (30 s); quit ends
// it at once, so no thread is left running in the module.
TEST(HttpListener, ShutdownEndsConnectionsStillBeingServed) {
    RunningServer server;
    startServer(&server, loopback(81));
    PlatformSocket quiet = platformSocketTcp();
    ASSERT_EQ(platformSocketConnect(quiet, server.address, server.port, 2000), 0);
    httpSendText(quiet, "GET /ConnectionManager.xml HTTP/1.1\r\n"); // no blank line: it waits
    ASSERT_TRUE(waitForConnections(1, 3000));
    httpShutdownConnections();
    EXPECT_TRUE(waitForConnections(0, 3000));
    EXPECT_EQ(httpReadAll(quiet), "");
    platformSocketClose(quiet);
    stopServer(&server);
}

} // namespace
