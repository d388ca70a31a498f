// DLNA parameters of what the server publishes: the fourth field of a protocolInfo, which is
// also the value of the contentFeatures.dlna.org header, and the list GetProtocolInfo offers.
#pragma once

#include <cstdint>

// Tracks are sent for streaming, pictures for interactive display; both allow byte seek only.
enum DlnaMedia { kDlnaAudio, kDlnaPicture };

// Writes "DLNA.ORG_PN=<profile>;DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=<flags>" into out,
// without the DLNA.ORG_PN part when `profile` is nullptr. Returns out (cut to size - 1).
char* dlna_features(char* out, int size, const char* profile, DlnaMedia media);

// The Source list of GetProtocolInfo and of the SourceProtocolInfo event: the MP3 and MP3X
// entries, then the plain "audio/mpeg" and "audio/mpegurl" ones. Pictures are not listed: they
// are album art, not resources of their own. Returns out (cut to size - 1; 512 bytes suffice).
char* dlna_source_protocols(char* out, int size);
