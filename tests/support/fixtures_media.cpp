#include "support/fixtures_media.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "media_db/media_db.h"

namespace fixtures {
namespace {

std::string bigEndian(uint32_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; i--) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return out;
}

std::string syncsafe(uint32_t value) {
    std::string out;
    for (int i = 3; i >= 0; i--) {
        out += static_cast<char>((value >> (7 * i)) & 0x7F);
    }
    return out;
}

void appendUnit(std::string* out, uint16_t unit, bool littleEndian) {
    if (littleEndian) {
        *out += static_cast<char>(unit & 0xFF);
        *out += static_cast<char>(unit >> 8);
    } else {
        *out += static_cast<char>(unit >> 8);
        *out += static_cast<char>(unit & 0xFF);
    }
}

constexpr int kBitratesV1[3][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
};
constexpr int kBitratesV2[2][16] = {
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
constexpr int kRates[3][4] = {
    {44100, 48000, 32000, 0}, {22050, 24000, 16000, 0}, {11025, 12000, 8000, 0}};

int bitrateOf(const MpegSpec& shape) {
    if (shape.version == 1) {
        return kBitratesV1[shape.layer - 1][shape.bitrateIndex];
    }
    return kBitratesV2[shape.layer == 1 ? 0 : 1][shape.bitrateIndex];
}

int rateOf(const MpegSpec& shape) {
    return kRates[shape.version == 1 ? 0 : (shape.version == 2 ? 1 : 2)][shape.rateIndex];
}

// Bytes between the frame header and a Xing tag: the Layer III side information.
int sideInfoLength(const MpegSpec& shape) {
    if (shape.version == 1) {
        return shape.mono ? 17 : 32;
    }
    return shape.mono ? 9 : 17;
}

} // namespace

std::string textFrameData(int encoding, const std::string& text, bool bigEndianBom,
                          const std::vector<uint16_t>& wide) {
    std::string out(1, static_cast<char>(encoding));
    if (encoding != 1 && encoding != 2) {
        return out + text;
    }
    bool littleEndian = encoding == 1 && !bigEndianBom;
    if (encoding == 1) {
        appendUnit(&out, 0xFEFF, littleEndian);
    }
    if (!wide.empty()) {
        for (uint16_t unit : wide) {
            appendUnit(&out, unit, littleEndian);
        }
    } else {
        for (unsigned char c : text) {
            appendUnit(&out, c, littleEndian);
        }
    }
    return out;
}

std::vector<uint32_t> codePoints(const std::string& utf8) {
    std::vector<uint32_t> points;
    for (size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<unsigned char>(utf8[i]);
        size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length && i + k < utf8.size(); k++) {
            point = (point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        points.push_back(point);
        i += length;
    }
    return points;
}

std::string textFrameUtf8(int encoding, const std::string& utf8, bool bigEndianBom) {
    if (encoding == 3) {
        return textFrameData(3, utf8);
    }
    std::vector<uint32_t> points = codePoints(utf8);
    if (encoding == 0) {
        std::string latin1;
        for (uint32_t point : points) {
            latin1 += static_cast<char>(point <= 0xFF ? point : '?');
        }
        return textFrameData(0, latin1);
    }
    std::vector<uint16_t> units;
    for (uint32_t point : points) {
        if (point >= 0x10000) {
            units.push_back(static_cast<uint16_t>(0xD800 + ((point - 0x10000) >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<uint16_t>(point));
        }
    }
    if (units.empty()) {
        return textFrameData(encoding, "", bigEndianBom);
    }
    return textFrameData(encoding, "", bigEndianBom, units);
}

std::string unsynchronised(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i++) {
        out += bytes[i];
        auto next = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0x00;
        if (static_cast<unsigned char>(bytes[i]) == 0xFF && (next == 0x00 || next >= 0xE0)) {
            out += '\0';
        }
    }
    return out;
}

std::string apicFrameData(const std::string& mime, const std::string& description,
                          const std::string& picture, int type, int encoding) {
    std::string terminator(encoding == 1 || encoding == 2 ? 2 : 1, '\0');
    return std::string(1, static_cast<char>(encoding)) + mime + std::string(1, '\0') +
           static_cast<char>(type) + description + terminator + picture;
}

std::string picFrameData(const std::string& format, const std::string& description,
                         const std::string& picture) {
    return std::string(1, '\0') + format.substr(0, 3) + "\x03" + description +
           std::string(1, '\0') + picture;
}

std::string id3v2Tag(const std::vector<Id3Frame>& frames, const Id3v2Options& options) {
    std::string body;
    if (options.extendedHeader > 0) {
        // Version 3 counts the payload only; version 4 counts the size bytes as well.
        uint32_t size = options.extendedHeader + (options.version == 4 ? 4 : 0);
        body += options.version == 4 ? syncsafe(size) : bigEndian(size, 4);
        body += std::string(options.extendedHeader, '\0');
    }
    const bool frameUnsync = options.unsynchronise && options.version == 4;
    const bool tagUnsync = options.unsynchronise && options.version != 4;
    for (const Id3Frame& frame : frames) {
        std::string data = frameUnsync ? unsynchronised(frame.data) : frame.data;
        uint32_t size = static_cast<uint32_t>(data.size());
        if (options.version == 2) {
            body += frame.id.substr(0, 3) + bigEndian(size, 3);
        } else {
            body += frame.id.substr(0, 4);
            body +=
                options.version == 4 && !options.plainV4Sizes ? syncsafe(size) : bigEndian(size, 4);
            body += '\0';
            body += static_cast<char>(frameUnsync ? 0x02 : 0x00);
        }
        body += data;
    }
    body += std::string(options.padding, '\0');
    if (tagUnsync) {
        body = unsynchronised(body);
    }
    std::string header = "ID3";
    header += static_cast<char>(options.version);
    header += '\0';
    header += static_cast<char>((options.extendedHeader > 0 ? 0x40 : 0) | (tagUnsync ? 0x80 : 0));
    header += syncsafe(static_cast<uint32_t>(body.size()));
    return header + body;
}

std::string id3v1Tag(const Id3v1Spec& shape) {
    std::string block(128, '\0');
    std::memcpy(&block[0], "TAG", 3);
    block.replace(3, std::min<size_t>(shape.title.size(), 30), shape.title.substr(0, 30));
    block.replace(33, std::min<size_t>(shape.artist.size(), 30), shape.artist.substr(0, 30));
    block.replace(63, std::min<size_t>(shape.album.size(), 30), shape.album.substr(0, 30));
    block.replace(93, std::min<size_t>(shape.year.size(), 4), shape.year.substr(0, 4));
    block.replace(97, std::min<size_t>(shape.comment.size(), 28), shape.comment.substr(0, 28));
    block[126] = static_cast<char>(shape.track);
    block[127] = static_cast<char>(shape.genre);
    return block;
}

std::string mpegHeader(const MpegSpec& shape) {
    int versionBits = shape.version == 1 ? 0x18 : (shape.version == 2 ? 0x10 : 0x00);
    int layerBits = 4 - shape.layer;
    std::string out;
    out += '\xFF';
    out += static_cast<char>(0xE0 | versionBits | (layerBits << 1) | 0x01); // no CRC
    out += static_cast<char>((shape.bitrateIndex << 4) | (shape.rateIndex << 2));
    out += static_cast<char>(shape.mono ? 0xC4 : 0x44); // mono or joint stereo
    return out;
}

int mpegFrameLength(const MpegSpec& shape) {
    int bitrate = bitrateOf(shape) * 1000;
    int rate = rateOf(shape);
    if (bitrate == 0 || rate == 0) {
        return 0;
    }
    if (shape.layer == 1) {
        return 12 * bitrate / rate * 4;
    }
    if (shape.layer == 3 && shape.version != 1) {
        return 72 * bitrate / rate;
    }
    return 144 * bitrate / rate;
}

std::string mpegAudio(const MpegSpec& shape) {
    int length = mpegFrameLength(shape);
    if (length < 4) {
        length = 417; // free format: a plausible fixed length
    }
    std::string frame = mpegHeader(shape) + std::string(length - 4, '\x55');
    std::string out;
    if (shape.xingFrames >= 0) {
        std::string xing = frame;
        std::string tag =
            "Xing" + bigEndian(0x0001, 4) + bigEndian(static_cast<uint32_t>(shape.xingFrames), 4);
        std::string zeroSide(sideInfoLength(shape), '\0');
        xing.replace(4, zeroSide.size() + tag.size(), zeroSide + tag);
        out += xing;
    }
    for (int i = 0; i < shape.frames; i++) {
        out += frame;
    }
    return out;
}

std::string fakeJpeg(int bodyBytes) {
    std::string out("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
    for (int i = 0; i < bodyBytes; i++) {
        out += static_cast<char>((i * 7 + 3) & 0x7F);
    }
    return out + "\xFF\xD9";
}

std::string jpegPicture(int width, int height, int exifBytes) {
    auto segment = [](uint8_t marker, const std::string& payload) {
        return std::string("\xFF", 1) + static_cast<char>(marker) +
               bigEndian(static_cast<uint32_t>(payload.size() + 2), 2) + payload;
    };
    std::string out("\xFF\xD8", 2);
    if (exifBytes > 0) {
        out += segment(0xE1, std::string("Exif\0\0", 6) + std::string(exifBytes, '\xFF'));
    } else {
        out += segment(0xE0, std::string("JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 14));
    }
    out += segment(0xDB, std::string(65, '\x01'));
    out += segment(0xC0, std::string("\x08", 1) + bigEndian(static_cast<uint32_t>(height), 2) +
                             bigEndian(static_cast<uint32_t>(width), 2) +
                             std::string("\x01\x01\x11\0", 4));
    return out + "\xFF\xD9";
}

std::string pngPicture(uint32_t width, uint32_t height) {
    return std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16) + bigEndian(width, 4) +
           bigEndian(height, 4) + std::string("\x08\x02\0\0\0", 5) + "CRC!" +
           std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
}

std::string buildMp3(const Mp3Spec& shape) {
    std::string out;
    if (shape.version != 0) {
        bool v2 = shape.version == 2;
        std::vector<Id3Frame> frames;
        auto add = [&](const char* id2, const char* id34, const std::string& text) {
            if (!text.empty() && !(v2 && id2 == nullptr)) {
                frames.push_back({v2 ? id2 : id34, shape.encoding == 0
                                                       ? textFrameData(0, text)
                                                       : textFrameUtf8(shape.encoding, text)});
            }
        };
        add("TT2", "TIT2", shape.title);
        add("TP1", "TPE1", shape.artist);
        add("TAL", "TALB", shape.album);
        add("TP2", "TPE2", shape.albumArtist);
        add("TCO", "TCON", shape.genre);
        add(nullptr, "TDRC", shape.recorded);
        add("TYE", "TYER", shape.year);
        add("TRK", "TRCK", shape.track);
        add("TPA", "TPOS", shape.disc);
        if (!shape.jpeg.empty()) {
            frames.push_back(v2 ? Id3Frame{"PIC", picFrameData("JPG", "", shape.jpeg)}
                                : Id3Frame{"APIC", apicFrameData("image/jpeg", "", shape.jpeg)});
        }
        Id3v2Options options;
        options.version = shape.version;
        options.padding = 64;
        options.unsynchronise = shape.unsynchronise;
        options.plainV4Sizes = shape.plainV4Sizes;
        out += id3v2Tag(frames, options);
    }
    out += mpegAudio(shape.audio);
    if (shape.id3v1) {
        Id3v1Spec v1;
        v1.title = shape.title;
        v1.artist = shape.artist;
        v1.album = shape.album;
        v1.year = shape.year;
        v1.track = std::atoi(shape.track.c_str());
        out += id3v1Tag(v1);
    }
    return out;
}

std::string m3uText(const std::vector<M3uEntry>& entries, const std::string& lineEnd) {
    std::string out = "#EXTM3U" + lineEnd;
    for (const M3uEntry& entry : entries) {
        out += "#EXTINF:" + std::to_string(entry.seconds) + "," + entry.title + lineEnd;
        out += entry.path + lineEnd;
    }
    return out;
}

std::string libraryFile(const std::vector<std::string>& paths) {
    std::string out("NDEINDEX\x01\x00\x00\x00", 12);
    for (const std::string& path : paths) {
        out += std::string("\x02\x10\x00", 3) + path + std::string(1, '\0');
    }
    return out + std::string(8, '\0');
}

std::string settingsFile(const std::vector<Query>& queries) {
    std::string out = "[gen_ml_config]\nquery_num=" + std::to_string(queries.size()) + "\n";
    for (size_t i = 0; i < queries.size(); i++) {
        std::string n = std::to_string(i + 1);
        out += "query" + n + "_name=" + queries[i].name + "\n";
        out += "query" + n + "_val=" + queries[i].value + "\n";
    }
    return out;
}

std::string makeTempDir(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kb-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        return std::string();
    }
    return std::string(buffer.data());
}

bool writeFile(const std::string& path, const std::string& bytes) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

std::string readFile(const std::string& path) {
    std::string out;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return out;
    }
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0) {
        out.append(block, n);
    }
    std::fclose(file);
    return out;
}

void removeTree(const std::string& path) {
    if (path.size() < 8 || path.find("/kb-") == std::string::npos) {
        return; // only folders made by makeTempDir
    }
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        unlink(path.c_str());
        return;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            removeTree(path + "/" + name);
        }
    }
    closedir(dir);
    rmdir(path.c_str());
}

std::string itemPath(const MediaObject* item) {
    std::string path(media_db_item_path(item, nullptr, 0), '\0');
    media_db_item_path(item, &path[0], path.size() + 1);
    return path;
}

} // namespace fixtures
