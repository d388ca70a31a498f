#include "runtime/device_identity.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "runtime/runtime_internal.h"

const char serverString[] = "Windows NT/5.0, UPnP/1.0, KestrelBloom SDK/1.0";

static const char kFallbackUdn[] = "uuid:12345678-4321";

UdnText udnFromAdapter(const PlatformAdapter* adapter) {
    UdnText udn{};
    std::memcpy(udn.text, kFallbackUdn, sizeof kFallbackUdn);
    if (adapter == nullptr) {
        return udn;
    }
    // The adapter piece: the 11 characters after the opening brace of the GUID-like name.
    char piece[12] = {0};
    size_t nameLength = strnlen(adapter->name, sizeof adapter->name);
    if (nameLength > 1) {
        size_t take = nameLength - 1 < 11 ? nameLength - 1 : 11;
        std::memcpy(piece, adapter->name + 1, take);
    }
    const uint8_t* mac = adapter->hardwareAddress;
    std::snprintf(udn.text, sizeof udn.text,
                  "uuid:%s-%02x%02x%02x%02x%02x%02x-kestrelbloom-mediaserver", piece, mac[0],
                  mac[1], mac[2], mac[3], mac[4], mac[5]);
    return udn;
}

static UdnText queryUdn() {
    PlatformAdapter adapter;
    std::memset(&adapter, 0, sizeof adapter);
    if (platformFirstAdapter(&adapter) != 0) {
        return udnFromAdapter(nullptr);
    }
    return udnFromAdapter(&adapter);
}

static HostNameText queryHostName() {
    HostNameText name{};
    if (platformHostName(name.text, sizeof name.text) != 0) {
        name.text[0] = '\0';
    }
    name.text[sizeof name.text - 1] = '\0';
    return name;
}

// The last query of a value and when it was made; every caller copies the value under the
// lock, so none sees it half rewritten.
namespace {
template <typename Value> struct Kept {
    std::mutex lock;
    bool filled = false;
    uint32_t madeAt = 0;
    Value value{};
};

template <typename Value> Value keptFor(Kept<Value>* kept, Value (*query)()) {
    std::lock_guard<std::mutex> hold(kept->lock);
    uint32_t now = platformTickMs();
    if (!kept->filled || now - kept->madeAt >= kUdnRefreshMs) {
        kept->value = query();
        kept->madeAt = now;
        kept->filled = true;
    }
    return kept->value;
}
} // namespace

HostNameText deviceHostName() {
    static auto* kept = new Kept<HostNameText>; // never destroyed: callers may run at exit
    return keptFor(kept, queryHostName);
}

FriendlyNameText deviceFriendlyName() {
    FriendlyNameText name{};
    std::snprintf(name.text, sizeof name.text, "KestrelBloom Media Server [%s]",
                  deviceHostName().text);
    return name;
}

UdnText deviceUdn() {
    static auto* kept = new Kept<UdnText>; // never destroyed: callers may run at exit
    return keptFor(kept, queryUdn);
}
