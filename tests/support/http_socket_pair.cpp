#include "support/http_socket_pair.h"

bool httpSocketPairOpen(HttpSocketPair* pair, uint32_t address) {
    PlatformSocket listener = platformSocketTcp();
    Ipv4Endpoint bound = {0, 0};
    bool ok = listener != kPlatformInvalidSocket && platformSocketBind(listener, address, 0) == 0 &&
              platformSocketListen(listener, 4) == 0 &&
              platformSocketLocalName(listener, &bound) == 0;
    if (ok) {
        pair->client = platformSocketTcp();
        ok = pair->client != kPlatformInvalidSocket &&
             platformSocketConnect(pair->client, address, bound.port, 2000) == 0;
    }
    if (ok) {
        pair->server = platformSocketAccept(listener, nullptr);
        ok = pair->server != kPlatformInvalidSocket;
    }
    platformSocketClose(listener);
    if (!ok) {
        httpSocketPairClose(pair);
    }
    return ok;
}

void httpSocketPairClose(HttpSocketPair* pair) {
    platformSocketClose(pair->client);
    platformSocketClose(pair->server);
    pair->client = kPlatformInvalidSocket;
    pair->server = kPlatformInvalidSocket;
}

bool httpSendText(PlatformSocket socket, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        int n =
            platformSocketSend(socket, text.data() + done, static_cast<int>(text.size() - done));
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string httpReadAll(PlatformSocket socket, uint32_t timeoutMs) {
    platformSocketSetTimeouts(socket, timeoutMs, 0);
    std::string all;
    char block[4096];
    for (;;) {
        int n = platformSocketRecv(socket, block, sizeof block);
        if (n <= 0) {
            return all;
        }
        all.append(block, static_cast<size_t>(n));
    }
}

std::string httpExchange(const std::string& request, void (*serve)(PlatformSocket)) {
    HttpSocketPair pair;
    if (!httpSocketPairOpen(&pair)) {
        return "<no socket pair>";
    }
    httpSendText(pair.client, request);
    serve(pair.server);
    pair.server = kPlatformInvalidSocket;
    std::string answer = httpReadAll(pair.client);
    httpSocketPairClose(&pair);
    return answer;
}
