// Fixture writer for media tests: builds MP3 files (ID3v2.2/2.3/2.4 and ID3v1 tags, MPEG audio
// frames with an optional Xing header, embedded pictures), M3U playlists and the host library
// files (main.dat, gen_ml.ini) byte by byte, so tests control every detail.
//
// Byte strings are std::string. Typical use:
//
//   fixtures::Mp3Spec shape;
//   shape.title = "Song"; shape.artist = "Band"; shape.album = "Record";
//   std::string dir = fixtures::makeTempDir("catalogue");
//   fixtures::writeFile(dir + "/a.mp3", fixtures::buildMp3(shape));
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct MediaObject;

namespace fixtures {

// ---- ID3v2 ----------------------------------------------------------------------------------

// Text frame content: the encoding byte, then `text` encoded. Encodings: 0 ISO-8859-1 (bytes as
// given), 1 UTF-16 with byte-order mark (little-endian unless bigEndianBom), 2 UTF-16
// big-endian, 3 UTF-8 (bytes as given). For 1 and 2 each byte of `text` is one ISO-8859-1
// character; `wide` (when not empty) gives the UTF-16 units directly instead.
std::string textFrameData(int encoding, const std::string& text, bool bigEndianBom = false,
                          const std::vector<uint16_t>& wide = {});
// Text frame content from UTF-8 text: encoding 0 takes characters up to U+00FF as single
// bytes, 1 and 2 write UTF-16 (surrogate pairs beyond the BMP), 3 the UTF-8 bytes themselves.
std::string textFrameUtf8(int encoding, const std::string& utf8, bool bigEndianBom = false);
// The code points of UTF-8 text (well-formed input assumed).
std::vector<uint32_t> codePoints(const std::string& utf8);

// APIC (versions 3, 4) content: encoding, MIME type, picture type (3 is the front cover),
// description bytes as given with the encoding's terminator (00 00 for encodings 1 and 2, else
// 00), picture.
std::string apicFrameData(const std::string& mime, const std::string& description,
                          const std::string& picture, int type = 3, int encoding = 0);
// PIC (version 2) content: encoding 0, 3-character image format, picture type 3, description.
std::string picFrameData(const std::string& format, const std::string& description,
                         const std::string& picture);

struct Id3Frame {
    std::string id; // 3 characters for version 2, 4 otherwise
    std::string data;
};

struct Id3v2Options {
    int version = 3;           // 2, 3 or 4 (any byte, to test bad versions)
    int padding = 0;           // zero bytes after the frames, inside the tag
    int extendedHeader = 0;    // bytes of extended-header payload (0: none); sets flag 0x40
    bool plainV4Sizes = false; // write version 4 frame sizes as plain numbers (a broken writer)
    // Unsynchronisation (FF before 00 or E0 and above gets a 00 inserted): versions 2 and 3
    // apply it to the whole tag after the header and set header flag 0x80; version 4 applies
    // it to each frame's data and sets that frame's flag 0x02.
    bool unsynchronise = false;
};

// Unsynchronised form of the bytes.
std::string unsynchronised(const std::string& bytes);

// A whole tag: header, optional extended header, frames, padding. Frame sizes are syncsafe in
// version 4 (unless plainV4Sizes), plain in versions 2 and 3. Frame flags are zero unless
// unsynchronised.
std::string id3v2Tag(const std::vector<Id3Frame>& frames, const Id3v2Options& options = {});

// ---- ID3v1 ----------------------------------------------------------------------------------

struct Id3v1Spec {
    std::string title, artist, album, year, comment;
    int track = 0;   // byte 126 (0: none)
    int genre = 255; // byte 127
};
std::string id3v1Tag(const Id3v1Spec& shape);

// ---- MPEG audio -----------------------------------------------------------------------------

struct MpegSpec {
    int version = 1;      // 1, 2 or 25 (MPEG-2.5)
    int layer = 3;        // 1, 2 or 3
    int bitrateIndex = 9; // 9 = 128 kbit/s for MPEG-1 Layer III
    int rateIndex = 0;    // 0 = 44100 Hz for MPEG-1
    bool mono = false;
    int frames = 10;         // audio frames written (not counting a Xing frame)
    int64_t xingFrames = -1; // >= 0: first frame is a Xing frame carrying this count
};

// The 4 header bytes for the shape (no CRC, no padding).
std::string mpegHeader(const MpegSpec& shape);
// Length in bytes of one frame for the shape (0 for free format).
int mpegFrameLength(const MpegSpec& shape);
// `shape.frames` frames of silence-like payload, preceded by the Xing frame when requested.
std::string mpegAudio(const MpegSpec& shape);

// ---- Whole files ----------------------------------------------------------------------------

// A tagged MP3: ID3v2 text frames for the fields that are not empty, then MPEG audio.
struct Mp3Spec {
    std::string title, artist, album, genre, year, track;
    std::string albumArtist; // TPE2 / TP2
    std::string disc;        // TPOS / TPA
    std::string recorded;    // TDRC (versions 3 and 4)
    // Text encoding of the frames. 0 writes the texts' bytes as they are (ISO-8859-1); with
    // 1 to 3 the texts are UTF-8 and are encoded (textFrameUtf8).
    int encoding = 0;
    bool unsynchronise = false; // Id3v2Options::unsynchronise
    bool plainV4Sizes = false;  // Id3v2Options::plainV4Sizes
    int version = 3;            // ID3v2 version; 0 writes no ID3v2 tag
    std::string jpeg;           // when not empty, an APIC/PIC frame with this picture
    bool id3v1 = false;         // append an ID3v1 tag with the same texts
    MpegSpec audio;
};
std::string buildMp3(const Mp3Spec& shape);

// A minimal JFIF-looking picture: FF D8 FF E0, a JFIF APP0 segment, `bodyBytes` filler, FF D9.
std::string fakeJpeg(int bodyBytes);
// A JPEG head with a frame header of the given size: FF D8, then an Exif APP1 segment of
// `exifBytes` (or a JFIF APP0 segment when 0), a quantisation table, SOF0, and FF D9.
std::string jpegPicture(int width, int height, int exifBytes = 0);
// A PNG head: the signature and an IHDR chunk of the given size, then IEND.
std::string pngPicture(uint32_t width, uint32_t height);

// Extended M3U: "#EXTM3U", then per entry "#EXTINF:<seconds>,<title>" and the path line.
struct M3uEntry {
    int seconds;
    std::string title;
    std::string path;
};
std::string m3uText(const std::vector<M3uEntry>& entries, const std::string& lineEnd = "\n");

// main.dat: the paths, each ended by a zero byte, between some unrelated record bytes.
std::string libraryFile(const std::vector<std::string>& paths);

// gen_ml.ini with section gen_ml_config: query_num and query<i>_name / query<i>_val.
struct Query {
    std::string name;
    std::string value;
};
std::string settingsFile(const std::vector<Query>& queries);

// ---- File system ----------------------------------------------------------------------------

// A new empty folder under the system's temporary folder, named after `tag`.
std::string makeTempDir(const std::string& tag);
// Writes the bytes (creating folders on the way). Returns false on failure.
bool writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// An item's whole path ("" for nullptr), read as the server reads it.
std::string itemPath(const MediaObject* item);
// Removes a folder tree made by makeTempDir.
void removeTree(const std::string& path);

} // namespace fixtures
