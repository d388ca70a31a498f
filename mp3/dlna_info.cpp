// protocolInfo texts for tracks and pictures.
#include "mp3/dlna_info.h"

#include <cstdio>
#include <initializer_list>

#include "mp3/mp3_info.h"

namespace {

// Streaming (audio) or interactive (pictures) transfer, background transfer, DLNA 1.5; audio
// also allows a stalled connection, as a paused renderer stops reading.
constexpr char kAudioFlags[] = "01700000000000000000000000000000";
constexpr char kPictureFlags[] = "00D00000000000000000000000000000";

// Appends "http-get:*:<mime>:<features>" with a separating comma when out is not empty.
int appendEntry(char* out, int size, int used, const char* mime, const char* profile) {
    char features[160];
    dlna_features(features, sizeof features, profile, kDlnaAudio);
    int n = std::snprintf(out + used, static_cast<size_t>(size - used), "%shttp-get:*:%s:%s",
                          used > 0 ? "," : "", mime, features);
    return n < 0 || used + n >= size ? size - 1 : used + n;
}

} // namespace

char* dlna_features(char* out, int size, const char* profile, DlnaMedia media) {
    std::snprintf(out, static_cast<size_t>(size),
                  "%s%s%sDLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=%s",
                  profile != nullptr ? "DLNA.ORG_PN=" : "", profile != nullptr ? profile : "",
                  profile != nullptr ? ";" : "", media == kDlnaAudio ? kAudioFlags : kPictureFlags);
    return out;
}

char* dlna_source_protocols(char* out, int size) {
    int used = 0;
    out[0] = '\0';
    for (uint8_t profile : {kAudioMp3, kAudioMp3x}) {
        used = appendEntry(out, size, used, "audio/mpeg", mp3_audio_profile_name(profile));
    }
    std::snprintf(out + used, static_cast<size_t>(size - used), "%s",
                  ",http-get:*:audio/mpeg:*,http-get:*:audio/mpegurl:*");
    return out;
}
