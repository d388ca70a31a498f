// The three SSDP message texts, the five notification types and how a target selects them.
#include "ssdp/ssdp_internal.h"

#include <cstdio>
#include <cstring>

#include "runtime/device_identity.h"
#include "runtime/diagnostics.h"
#include "runtime/http_date.h"

// Rows 1..4; row 0 is the UDN itself.
static const char* const kNotificationTypes[kSsdpTypeCount] = {
    nullptr,
    "upnp:rootdevice",
    "urn:schemas-upnp-org:device:MediaServer:1",
    "urn:schemas-upnp-org:service:ContentDirectory:1",
    "urn:schemas-upnp-org:service:ConnectionManager:1",
};

static const char kAliveFormat[] = "NOTIFY * HTTP/1.1\r\n"
                                   "HOST: %s:%d\r\n"
                                   "CACHE-CONTROL: max-age=%u\r\n"
                                   "LOCATION: http://%s:%d%s\r\n"
                                   "NT: %s\r\n"
                                   "NTS: ssdp:alive\r\n"
                                   "SERVER: %s\r\n"
                                   "USN: %s\r\n"
                                   "\r\n";

static const char kByebyeFormat[] = "NOTIFY * HTTP/1.1\r\n"
                                    "HOST: %s:%d\r\n"
                                    "NT: %s\r\n"
                                    "NTS: ssdp:byebye\r\n"
                                    "USN: %s\r\n"
                                    "\r\n";

static const char kSearchResponseFormat[] = "HTTP/1.1 200 OK\r\n"
                                            "CACHE-CONTROL: max-age=%u\r\n"
                                            "DATE: %s\r\n"
                                            "EXT:\r\n"
                                            "LOCATION: http://%s:%d%s\r\n"
                                            "SERVER: %s\r\n"
                                            "ST: %s\r\n"
                                            "USN: %s\r\n"
                                            "\r\n";

// Alive announcements are multicast to everyone and repeated against loss.
constexpr int kAliveCopies = 3;

uint32_t ssdpGroupAddress() {
    // 239.255.255.250 in network byte order, whatever the host's byte order.
    static const uint8_t bytes[4] = {239, 255, 255, 250};
    uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

const char* ssdpNotificationType(int row) {
    if (row < 0 || row >= kSsdpTypeCount) {
        return nullptr;
    }
    return kNotificationTypes[row];
}

bool ssdpTargetSelects(const char* target, int row, const char* udn) {
    if (target == nullptr || row < 0 || row >= kSsdpTypeCount) {
        return false;
    }
    if (std::strcmp(target, "ssdp:all") == 0) {
        return true;
    }
    const char* value = row == 0 ? udn : kNotificationTypes[row];
    return value != nullptr && std::strcmp(target, value) == 0;
}

// The NT value and USN of a row: the UDN for both, or the type and "UDN::type".
// Returns false when the USN would not fit.
static bool rowValues(const char* udn, const char* type, const char** nt, char* usn) {
    if (type == nullptr) {
        *nt = udn;
        int n = std::snprintf(usn, kSsdpMessageSize, "%s", udn);
        return n >= 0 && n < kSsdpMessageSize;
    }
    *nt = type;
    int n = std::snprintf(usn, kSsdpMessageSize, "%s::%s", udn, type);
    return n >= 0 && n < kSsdpMessageSize;
}

static int fitted(int n) {
    return n >= 0 && n < kSsdpMessageSize ? n : -1;
}

int ssdpFormatAlive(char* out, const char* udn, const char* type, const Ipv4Endpoint* http) {
    const char* nt;
    char usn[kSsdpMessageSize];
    if (!rowValues(udn, type, &nt, usn)) {
        return -1;
    }
    char address[16];
    platformAddressText(http->address, address);
    return fitted(std::snprintf(out, kSsdpMessageSize, kAliveFormat, kSsdpGroupText, kSsdpPort,
                                kSsdpMaxAge, address, http->port, kSsdpDescriptionPath, nt,
                                serverString, usn));
}

int ssdpFormatByebye(char* out, const char* udn, const char* type) {
    const char* nt;
    char usn[kSsdpMessageSize];
    if (!rowValues(udn, type, &nt, usn)) {
        return -1;
    }
    return fitted(
        std::snprintf(out, kSsdpMessageSize, kByebyeFormat, kSsdpGroupText, kSsdpPort, nt, usn));
}

int ssdpFormatSearchResponse(char* out, const char* udn, const char* type, const Ipv4Endpoint* http,
                             const char* date) {
    const char* nt;
    char usn[kSsdpMessageSize];
    if (!rowValues(udn, type, &nt, usn)) {
        return -1;
    }
    char address[16];
    platformAddressText(http->address, address);
    return fitted(std::snprintf(out, kSsdpMessageSize, kSearchResponseFormat, kSsdpMaxAge, date,
                                address, http->port, kSsdpDescriptionPath, serverString, nt, usn));
}

static int sendCopies(const Ipv4Endpoint* destination, PlatformSocket socket, const char* text,
                      int length, int copies) {
    if (length < 0) {
        return -1;
    }
    verbosePrint("### SSDP sending:\n%s\n", text);
    int result = -1;
    for (int i = 0; i < copies; i++) {
        result = platformSocketSendTo(socket, text, length, destination);
    }
    return result;
}

int sendAlive(const Ipv4Endpoint* destination, PlatformSocket socket, const Ipv4Endpoint* http,
              const char* udn, const char* type) {
    char text[kSsdpMessageSize];
    int length = ssdpFormatAlive(text, udn, type, http);
    return sendCopies(destination, socket, text, length, kAliveCopies);
}

int sendByebye(const Ipv4Endpoint* destination, PlatformSocket socket, const char* udn,
               const char* type) {
    char text[kSsdpMessageSize];
    int length = ssdpFormatByebye(text, udn, type);
    return sendCopies(destination, socket, text, length, 1);
}

int sendSearchResponse(const Ipv4Endpoint* destination, PlatformSocket socket,
                       const Ipv4Endpoint* http, const char* udn, const char* type) {
    char text[kSsdpMessageSize];
    HttpDateText date = httpDate();
    int length = ssdpFormatSearchResponse(text, udn, type, http, date.text);
    return sendCopies(destination, socket, text, length, kSsdpAnswerCopies);
}

void sendByebyeAll(PlatformSocket socket, const Ipv4Endpoint* destination) {
    UdnText udn = deviceUdn();
    for (int row = 0; row < kSsdpTypeCount; row++) {
        sendByebye(destination, socket, udn.text, kNotificationTypes[row]);
    }
}

int announceOrAnswer(PlatformSocket socket, const Ipv4Endpoint* http,
                     const Ipv4Endpoint* destination, const char* target, SsdpMode mode) {
    UdnText udn = deviceUdn();
    int selected = 0;
    for (int row = 0; row < kSsdpTypeCount; row++) {
        if (!ssdpTargetSelects(target, row, udn.text)) {
            continue;
        }
        selected++;
        if (mode == SsdpMode::Alive) {
            sendAlive(destination, socket, http, udn.text, kNotificationTypes[row]);
        } else {
            sendSearchResponse(destination, socket, http, udn.text, kNotificationTypes[row]);
        }
    }
    return selected;
}
