#include "server/http_route.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Holds the request text the route points into.
struct Routed {
    std::vector<char> text;
    HttpRoute route;
};

Routed route(const std::string& request) {
    Routed r;
    r.text.assign(request.begin(), request.end());
    r.text.push_back('\0');
    r.route = httpRouteRequest(r.text.data());
    return r;
}

HttpRouteKind kindOf(const std::string& request) {
    return route(request).route.kind;
}

TEST(HttpRoute, GetTargetsAreMatchedExactly) {
    EXPECT_EQ(kindOf("GET /DeviceDescription.xml HTTP/1.1\r\nHOST: a\r\n\r\n"),
              HttpRouteKind::DeviceDescription);
    EXPECT_EQ(kindOf("GET /ConnectionManager.xml HTTP/1.1\r\n\r\n"),
              HttpRouteKind::ConnectionManagerDescription);
    EXPECT_EQ(kindOf("GET /ContentDirectory.xml HTTP/1.1\r\n\r\n"),
              HttpRouteKind::ContentDirectoryDescription);
    EXPECT_EQ(kindOf("GET /devicedescription.xml HTTP/1.1\r\n\r\n"), HttpRouteKind::None);
    EXPECT_EQ(kindOf("GET /DeviceDescription.xml?x=1 HTTP/1.1\r\n\r\n"), HttpRouteKind::None);
    EXPECT_EQ(kindOf("GET /favicon.ico HTTP/1.1\r\n\r\n"), HttpRouteKind::None);
    EXPECT_EQ(kindOf("get /DeviceDescription.xml HTTP/1.1\r\n\r\n"), HttpRouteKind::None);
    // HEAD is routed as GET, for the head alone; bare line feeds split the head like CR LF.
    Routed head = route("HEAD /disk/5.mp3 HTTP/1.1\nRange: bytes=1-\n\nrest");
    EXPECT_EQ(head.route.kind, HttpRouteKind::Track);
    EXPECT_TRUE(head.route.headOnly);
    EXPECT_STREQ(head.route.body, "rest");
    EXPECT_STREQ(head.route.media.range, "bytes=1-");
    EXPECT_EQ(head.route.media.transferMode, nullptr);
    EXPECT_FALSE(route("GET /disk/5.mp3 HTTP/1.1\r\n\r\n").route.headOnly);
    Routed post = route("POST /c HTTP/1.1\nSOAPACTION: \"u#Browse\"\n\n<body/>");
    EXPECT_EQ(post.route.kind, HttpRouteKind::Soap);
    EXPECT_STREQ(post.route.soapAction, "\"u#Browse\"");
    EXPECT_STREQ(post.route.body, "<body/>");
    EXPECT_EQ(kindOf(""), HttpRouteKind::None);
}

TEST(HttpRoute, IconsPageAndRegistrarAnswerGetAndHead) {
    Routed icon = route("HEAD /icons/kestrelbloom-48.png HTTP/1.1\r\n\r\n");
    EXPECT_EQ(icon.route.kind, HttpRouteKind::Icon);
    EXPECT_TRUE(icon.route.headOnly);
    Routed got = route("GET /icons/kestrelbloom-120.jpg HTTP/1.1\r\n\r\n");
    EXPECT_EQ(got.route.kind, HttpRouteKind::Icon);
    EXPECT_FALSE(got.route.headOnly);
    EXPECT_EQ(kindOf("GET /icons/kestrelbloom-49.png HTTP/1.1\r\n\r\n"), HttpRouteKind::None);
    EXPECT_EQ(kindOf("GET / HTTP/1.1\r\n\r\n"), HttpRouteKind::PresentationPage);
    EXPECT_EQ(kindOf("HEAD / HTTP/1.0\r\n\r\n"), HttpRouteKind::PresentationPage);
    EXPECT_EQ(kindOf("GET /X_MS_MediaReceiverRegistrar.xml HTTP/1.1\r\n\r\n"),
              HttpRouteKind::RegistrarDescription);
    // HEAD reaches every target GET does.
    EXPECT_EQ(kindOf("HEAD /X_MS_MediaReceiverRegistrar.xml HTTP/1.1\r\n\r\n"),
              HttpRouteKind::RegistrarDescription);
    EXPECT_EQ(kindOf("HEAD /disk/1.mp3 HTTP/1.1\r\n\r\n"), HttpRouteKind::Track);
}

TEST(HttpRoute, MediaPathsAndTheirTargets) {
    Routed track = route("GET /disk/4390912.mp3 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(track.route.kind, HttpRouteKind::Track);
    EXPECT_STREQ(track.route.path, "/disk/4390912.mp3");
    EXPECT_EQ(kindOf("GET /anything/disk/4390912.mp3 HTTP/1.1\r\n\r\n"), HttpRouteKind::Track);
    Routed art = route("GET /virtual/77.jpg HTTP/1.0\r\n\r\n");
    EXPECT_EQ(art.route.kind, HttpRouteKind::AlbumArt);
    EXPECT_STREQ(art.route.version, "HTTP/1.0");
}

TEST(HttpRoute, VersionIsEchoedOrDefaults) {
    EXPECT_STREQ(route("GET /DeviceDescription.xml HTTP/1.1\r\n\r\n").route.version, "HTTP/1.1");
    EXPECT_STREQ(route("GET   /DeviceDescription.xml   HTTP/1.0\r\n\r\n").route.version,
                 "HTTP/1.0");
    Routed bare = route("GET /DeviceDescription.xml\r\nHost: x\r\n\r\n");
    EXPECT_EQ(bare.route.kind, HttpRouteKind::DeviceDescription);
    EXPECT_STREQ(bare.route.version, "HTTP/1.0");
    EXPECT_STREQ(route("GET /DeviceDescription.xml").route.version, "HTTP/1.0");
    EXPECT_STREQ(route("GET /DeviceDescription.xml ").route.version, "HTTP/1.0");
    // Bare line feeds end the request line as well.
    Routed lf = route("GET /DeviceDescription.xml HTTP/1.1\nHost: x\n\n");
    EXPECT_EQ(lf.route.kind, HttpRouteKind::DeviceDescription);
    EXPECT_STREQ(lf.route.version, "HTTP/1.1");
}

// The method is the request line's first word, not a word found anywhere in the head.
TEST(HttpRoute, MethodComesFromTheRequestLineOnly) {
    EXPECT_EQ(kindOf("POST /ContentDirectory/Control HTTP/1.1\r\nUser-Agent: GETTER\r\n"
                     "SOAPACTION: \"urn:x#Browse\"\r\n\r\n"),
              HttpRouteKind::Soap);
    EXPECT_EQ(kindOf("NOTIFY /x HTTP/1.1\r\nX-Note: GET /DeviceDescription.xml\r\n\r\n"),
              HttpRouteKind::None);
    EXPECT_EQ(kindOf("GETX /DeviceDescription.xml HTTP/1.1\r\n\r\n"), HttpRouteKind::None);
    EXPECT_EQ(kindOf("\r\nGET /DeviceDescription.xml HTTP/1.1\r\n\r\n"),
              HttpRouteKind::DeviceDescription);
}

TEST(HttpRoute, SoapActionHeaderAndBody) {
    Routed post = route("POST /ContentDirectory/Control HTTP/1.1\r\nSOAPACTION: "
                        "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"\r\n"
                        "Content-Length: 6\r\n\r\n<body>");
    ASSERT_EQ(post.route.kind, HttpRouteKind::Soap);
    EXPECT_STREQ(post.route.soapAction,
                 "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"");
    EXPECT_STREQ(post.route.body, "<body>");
    EXPECT_STREQ(post.route.version, "HTTP/1.1");
    // Header names compare without regard to case; values stay as sent.
    EXPECT_STREQ(route("POST /c HTTP/1.1\r\nSOAPAction: \"urn:a#B\"\r\n\r\n").route.soapAction,
                 "\"urn:a#B\"");
    EXPECT_STREQ(route("POST /c HTTP/1.1\r\nsoapaction:\"urn:a#B\" \r\n\r\n").route.soapAction,
                 "\"urn:a#B\"");
    // Near misses and absence: no answer.
    EXPECT_EQ(kindOf("POST /c HTTP/1.1\r\nSOAPACTIONX: \"urn:a#B\"\r\n\r\n"), HttpRouteKind::None);
    EXPECT_EQ(kindOf("POST /c HTTP/1.1\r\nX-SOAPACTION: \"urn:a#B\"\r\n\r\n"), HttpRouteKind::None);
    EXPECT_EQ(kindOf("POST /c HTTP/1.1\r\nHost: x\r\n\r\n"), HttpRouteKind::None);
    // A request line is not a header line.
    EXPECT_EQ(kindOf("POST SOAPACTION: x\r\n\r\n"), HttpRouteKind::None);
    EXPECT_EQ(route("POST /c HTTP/1.1\r\nSOAPACTION: \"a#b\"").route.body, nullptr);
}

TEST(HttpRoute, SubscribeFieldsAndTimeoutForms) {
    Routed sub = route("SUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\nHOST: 192.0.2.1:8080\r\n"
                       "CALLBACK: <http://192.0.2.2:4004/ev>\r\nNT: upnp:event\r\n"
                       "TIMEOUT: Second-1800\r\n\r\n");
    ASSERT_EQ(sub.route.kind, HttpRouteKind::Subscribe);
    EXPECT_STREQ(sub.route.path, "/ContentDirectory/Event");
    EXPECT_EQ(sub.route.timeout, 1800);
    EXPECT_EQ(std::string(sub.route.callback).rfind("<http://192.0.2.2:4004/ev>\r\nNT:", 0), 0u);

    EXPECT_EQ(route("SUBSCRIBE /e HTTP/1.1\r\nCALLBACK: <http://h/>\r\n\r\n").route.timeout, 100);
    EXPECT_EQ(route("SUBSCRIBE /e HTTP/1.1\r\nTIMEOUT: Second-infinite\r\nCALLBACK: <http://h/>"
                    "\r\n\r\n")
                  .route.timeout,
              0);
    // The '-' is looked for on the TIMEOUT line only, never in a later header.
    EXPECT_EQ(route("SUBSCRIBE /e HTTP/1.1\r\nTimeout: infinite\r\nCALLBACK: <http://a-5/>\r\n\r\n")
                  .route.timeout,
              0);
    EXPECT_EQ(route("SUBSCRIBE /e HTTP/1.1\r\ntimeout: Second-  42\r\n\r\n").route.timeout, 42);
    EXPECT_EQ(route("SUBSCRIBE /e HTTP/1.1\r\nTIMEOUT: Second-99999999999\r\n\r\n").route.timeout,
              INT32_MAX);
    // The last header line runs to the end of the head.
    Routed last = route("SUBSCRIBE /e HTTP/1.1\r\nTIMEOUT: Second-5\r\nCallback: <http://h/>");
    EXPECT_STREQ(last.route.callback, "<http://h/>");
    EXPECT_EQ(last.route.timeout, 5);
}

TEST(HttpRoute, RenewalAndUnsubscribeSid) {
    Routed renew = route("SUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\nSID: uuid:-1234\r\n"
                         "CALLBACK: <http://h/>\r\nTIMEOUT: Second-300\r\n\r\n");
    ASSERT_EQ(renew.route.kind, HttpRouteKind::Renew);
    EXPECT_EQ(std::string(renew.route.sid).rfind("-1234\r\n", 0), 0u);
    EXPECT_EQ(renew.route.timeout, 300);
    EXPECT_EQ(kindOf("SUBSCRIBE /e HTTP/1.1\r\nsid: uuid:5\r\n\r\n"), HttpRouteKind::Renew);
    // A SID that is not a uuid makes no renewal; "SIDE" is not "SID".
    EXPECT_EQ(kindOf("SUBSCRIBE /e HTTP/1.1\r\nSID: 5\r\nCALLBACK: <http://h/>\r\n\r\n"),
              HttpRouteKind::Subscribe);
    EXPECT_EQ(kindOf("SUBSCRIBE /e HTTP/1.1\r\nSIDE: uuid:5\r\n\r\n"), HttpRouteKind::Subscribe);

    Routed un = route("UNSUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\nSID: uuid:12345\r\n\r\n");
    ASSERT_EQ(un.route.kind, HttpRouteKind::Unsubscribe);
    EXPECT_EQ(std::string(un.route.sid), "uuid:12345");
    Routed none = route("UNSUBSCRIBE /e HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(none.route.kind, HttpRouteKind::Unsubscribe);
    EXPECT_EQ(none.route.sid, nullptr);
}

TEST(HttpRoute, HostIsFoundBeforeOtherFieldsAreCut) {
    Routed soap =
        route("POST /c HTTP/1.1\r\nSOAPACTION: \"a#Browse\"\r\nHost: 10.0.0.1:8080\r\n\r\n");
    ASSERT_NE(soap.route.host, nullptr);
    EXPECT_EQ(std::string(soap.route.host).substr(0, 13), "10.0.0.1:8080");
    EXPECT_EQ(route("GET /DeviceDescription.xml HTTP/1.0\r\n\r\n").route.host, nullptr);
}

} // namespace
