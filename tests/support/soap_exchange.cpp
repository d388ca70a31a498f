#include "support/soap_exchange.h"

#include <cstdlib>
#include <vector>

#include "soap/soap_dispatch.h"
#include "support/http_socket_pair.h"

namespace {

struct Reader {
    PlatformSocket socket;
    std::string text;
};

void readerBody(void* arg) {
    auto* reader = static_cast<Reader*>(arg);
    reader->text = httpReadAll(reader->socket, 10000);
}

bool dechunk(const std::string& raw, std::string* body) {
    size_t at = 0;
    for (;;) {
        size_t lineEnd = raw.find("\r\n", at);
        if (lineEnd == std::string::npos || lineEnd == at) {
            return false;
        }
        char* end = nullptr;
        unsigned long size = std::strtoul(raw.c_str() + at, &end, 16);
        if (end != raw.c_str() + lineEnd) {
            return false;
        }
        at = lineEnd + 2;
        if (size == 0) {
            return raw.compare(at, std::string::npos, "\r\n\r\n") == 0;
        }
        if (raw.size() < at + size + 2 || raw.compare(at + size, 2, "\r\n") != 0) {
            return false;
        }
        body->append(raw, at, size);
        at += size + 2;
    }
}

} // namespace

std::string soapServe(const std::function<void(PlatformSocket)>& serve) {
    HttpSocketPair pair;
    if (!httpSocketPairOpen(&pair)) {
        return "<no socket pair>";
    }
    Reader reader{pair.client, {}};
    PlatformThread thread;
    if (platformThreadStart(&thread, readerBody, &reader) != 0) {
        httpSocketPairClose(&pair);
        return "<no reader thread>";
    }
    serve(pair.server);
    platformSocketClose(pair.server);
    pair.server = kPlatformInvalidSocket;
    platformThreadJoin(thread);
    httpSocketPairClose(&pair);
    return reader.text;
}

std::string soapDispatch(const std::string& soapAction, const std::string& body,
                         const std::string& version, bool hasBody) {
    return soapServe([&](PlatformSocket socket) {
        std::vector<char> copy(body.begin(), body.end());
        copy.push_back('\0');
        soap_dispatch(socket, version.c_str(), "http://192.0.2.1:8080/", soapAction.c_str(),
                      hasBody ? copy.data() : nullptr);
    });
}

SoapAnswer soapSplit(const std::string& raw) {
    SoapAnswer answer;
    size_t split = raw.find("\r\n\r\n");
    if (split == std::string::npos) {
        return answer;
    }
    answer.head = raw.substr(0, split);
    std::string rest = raw.substr(split + 4);
    answer.chunked = answer.head.find("Transfer-Encoding: chunked") != std::string::npos;
    if (answer.chunked) {
        answer.wellFramed = dechunk(rest, &answer.body);
        return answer;
    }
    answer.body = rest;
    size_t length = answer.head.find("Content-Length: ");
    answer.wellFramed = length != std::string::npos &&
                        std::strtoul(answer.head.c_str() + length + 16, nullptr, 10) == rest.size();
    return answer;
}

std::string soapElement(const std::string& xml, const std::string& name) {
    size_t open = xml.find("<" + name + ">");
    if (open == std::string::npos) {
        return "";
    }
    open += name.size() + 2;
    size_t close = xml.find("</" + name + ">", open);
    return close == std::string::npos ? "" : xml.substr(open, close - open);
}

int soapCount(const std::string& text, const std::string& needle) {
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        count++;
    }
    return count;
}

std::string soapUnescape(const std::string& text) {
    static const struct {
        const char* entity;
        char value;
    } kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        for (const auto& e : kEntities) {
            std::string entity = e.entity;
            if (text.compare(i, entity.size(), entity) == 0) {
                out += e.value;
                i += entity.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += text[i++];
        }
    }
    return out;
}

static std::string envelope(const std::string& action, const std::string& args) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
           "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
           "<u:" +
           action + " xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">" + args +
           "</u:" + action + "></s:Body></s:Envelope>\r\n";
}

std::string soapBrowseBody(const std::string& objectId, const std::string& flag,
                           const std::string& filter, int start, int count,
                           const std::string& sort) {
    return envelope("Browse", "<ObjectID>" + objectId + "</ObjectID><BrowseFlag>" + flag +
                                  "</BrowseFlag><Filter>" + filter + "</Filter><StartingIndex>" +
                                  std::to_string(start) + "</StartingIndex><RequestedCount>" +
                                  std::to_string(count) + "</RequestedCount><SortCriteria>" + sort +
                                  "</SortCriteria>");
}

std::string soapSearchBody(const std::string& containerId, const std::string& criteria,
                           const std::string& filter, int start, int count,
                           const std::string& sort) {
    return envelope("Search", "<ContainerID>" + containerId + "</ContainerID><SearchCriteria>" +
                                  criteria + "</SearchCriteria><Filter>" + filter +
                                  "</Filter><StartingIndex>" + std::to_string(start) +
                                  "</StartingIndex><RequestedCount>" + std::to_string(count) +
                                  "</RequestedCount><SortCriteria>" + sort + "</SortCriteria>");
}
