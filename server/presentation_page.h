// The presentation page: one small HTML5 status document that control points open from the
// device description's presentationURL. Built afresh on each request from a snapshot of the
// server's state; it has no scripts, no forms and changes nothing.
#pragma once

#include <cstdint>

#include "runtime/text_buffer.h"

constexpr int kPresentationMaxAddresses = 5;
constexpr int kPresentationMaxSubscriptions = 20;

// What the page shows. Texts are single-byte (ISO-8859-1) and may hold any byte; the builder
// escapes them all.
struct PresentationStatus {
    const char* name;    // the friendly name
    const char* version; // the product version, e.g. "1.0"
    bool serving;
    int32_t addressCount;
    char addresses[kPresentationMaxAddresses][32]; // "http://192.168.1.20:8080/"
    int32_t tracks, albums, artists, genres, playlists;
    int64_t libraryReadAt; // seconds since 1970 (UTC); 0 when the library was never read
    uint32_t systemUpdateId;
    int32_t subscriptionCount;
    struct {
        char host[64];       // the subscriber's callback host
        int32_t secondsLeft; // -1: never expires
        const char* service; // "ContentDirectory", "ConnectionManager" ...
    } subscriptions[kPresentationMaxSubscriptions];
};

// The whole document, or nullptr when memory is short. The caller frees it.
TextBuffer* presentationPageBuild(const PresentationStatus* status);
