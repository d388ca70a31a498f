// Metadata of one MP3 file: ID3v2 (2.2, 2.3, 2.4) and ID3v1 tags, the first MPEG audio frame's
// duration, and where the embedded JPEG picture lies. All functions are reentrant: each call
// keeps its working state to itself, so any thread may call them.
#pragma once

#include <cstdint>
#include <cstdio>

struct FileBytes;

// Outputs of one read. Texts are new owned UTF-8 strings, whatever encoding the tag used;
// nullptr when absent.
struct Mp3Info {
    char* title;
    char* artist;
    char* album;
    char* album_artist; // the tag's album artist, or nullptr (no default)
    char* genre;
    char* date;     // "YYYY-01-01" for a year of 1 to 9999, or nullptr
    char* duration; // "H:MM:SS.mmm", or nullptr
    int32_t size;
    int32_t track_number;
    int32_t disc_number;    // 0 when the tag names none
    int32_t has_album_art;  // 1 when the tag holds a picture that will be served
    uint8_t picture_format; // PictureFormat (mp3/picture_info.h) of that picture
    uint8_t audio_profile;  // Mp3AudioProfile of the first audio frame
};

// Reads the file at `path`. Returns false, leaving *info zeroed, when the file cannot be opened,
// its ID3v2 version is not 2 to 4, or no MPEG frame header is found; true with every output set
// otherwise. Release the texts with mp3_info_release. `sizeHint`, when not -1, is the file's
// size as its status gave it just before; it spares asking the open file for it.
bool mp3_read_info(const char* path, Mp3Info* info, int64_t sizeHint = -1);

// The same over an open stream positioned anywhere; `fileSize` is the stream's length.
bool mp3_read_info_stream(FILE* file, int64_t fileSize, Mp3Info* info);

// Frees the texts and zeroes the record.
void mp3_info_release(Mp3Info* info);

// Where a picture lies in the file, and what it is.
struct Mp3Picture {
    int64_t offset;
    int64_t length;
    uint8_t format; // PictureFormat (mp3/picture_info.h)
};

// The picture of the ID3v2 tag: the content of a picture frame (APIC, or PIC in version 2)
// after its encoding, MIME type, picture type and description, when it is a JPEG or PNG stored
// as is. The front cover (picture type 3) wins, else the first such frame. Returns false when
// the tag offers no such picture.
bool mp3_album_art_range(FILE* file, int64_t fileSize, Mp3Picture* picture);

// Genre table (148 names, index 0 to 147, the table's own spellings).
constexpr int kId3GenreCount = 148;
const char* id3_genre_name(int index);

// Decoded first frame header of an MPEG audio stream.
struct MpegHeader {
    int version;         // 1 MPEG-1, 2 MPEG-2, 25 MPEG-2.5
    int layer;           // 1, 2 or 3
    int bitrateKbps;     // 0 for free format or a bad index
    int sampleRate;      // Hz; 0 for the reserved index
    int samplesPerFrame; // 384, 576 or 1152
};

// Decodes 4 header bytes. False for a reserved version or layer.
bool mpeg_decode_header(const uint8_t header[4], MpegHeader* out);

// Milliseconds from a Xing frame count (or 0 when there is none) and the audio size in bytes,
// as the duration step computes them.
int64_t mpeg_duration_ms(const MpegHeader* header, int64_t xingFrames, int64_t audioBytes);

// Writes "H:MM:SS.mmm" for a non-negative number of milliseconds into out (16 bytes suffice up
// to 277,777 hours). Returns out.
char* mp3_format_duration(int64_t ms, char* out, int size);

// Finds the first frame header at or after `start`, decodes it and returns the duration text
// (new owned string). nullptr when no usable header is found; *found is set to whether a
// usable header existed (the duration may still be absent when memory is short), and *first,
// when given, to the decoded header.
char* mpeg_duration_text(FILE* file, int64_t start, bool hasId3v1, int64_t fileSize, bool* found,
                         MpegHeader* first = nullptr);

// The first frame at or after `start` read through `bytes`: its decoded header and the frame
// count of its Xing header (0 for none). False when no usable header is found.
bool mpeg_first_frame(FileBytes* bytes, int64_t start, MpegHeader* header, int64_t* xingFrames);

// DLNA audio profile of a track, from its first frame header.
enum Mp3AudioProfile : uint8_t {
    kAudioNoProfile,
    kAudioMp3,  // MPEG-1 Layer III at 32, 44.1 or 48 kHz
    kAudioMp3x, // MPEG-2 Layer III at 16, 22.05 or 24 kHz
};
Mp3AudioProfile mpeg_audio_profile(const MpegHeader* header);
// "MP3" or "MP3X"; nullptr for kAudioNoProfile.
const char* mp3_audio_profile_name(uint8_t profile);
