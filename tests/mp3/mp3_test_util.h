// Reading fixture bytes through the real file path of the MP3 reader.
#pragma once

#include <string>

#include "mp3/mp3_info.h"
#include "support/fixtures_media.h"

// Writes the bytes to a temporary file, reads it, removes it. Returns the reader's result.
inline bool readBytes(const std::string& bytes, Mp3Info* info) {
    std::string dir = fixtures::makeTempDir("mp3");
    std::string path = dir + "/t.mp3";
    fixtures::writeFile(path, bytes);
    bool ok = mp3_read_info(path.c_str(), info);
    fixtures::removeTree(dir);
    return ok;
}

inline std::string text(const char* value) {
    return value != nullptr ? value : "(none)";
}

// Ten frames of MPEG-1 Layer III audio at 128 kbit/s.
inline std::string audio() {
    return fixtures::mpegAudio(fixtures::MpegSpec{});
}
