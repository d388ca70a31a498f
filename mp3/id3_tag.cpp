// ID3v2 and ID3v1 tags: the fields of one track and the location of its picture.
#include "mp3/mp3_info.h"

#include <cstdlib>
#include <cstring>

#include "mp3/picture_info.h"

namespace {

// The text frames the reader uses, by index into Id3Tag::texts.
enum TextField { kTitle, kArtist, kAlbum, kGenre, kYear, kTrack, kTextFieldCount };

// Frame ids by field: version 2 first, versions 3 and 4 second.
constexpr char kFrameIds[kTextFieldCount][2][5] = {
    {"TT2", "TIT2"}, {"TP1", "TPE1"}, {"TAL", "TALB"},
    {"TCO", "TCON"}, {"TYE", "TYER"}, {"TRK", "TRCK"},
};

// What one walk of the ID3v2 frame list keeps: the data of the first frame of each used text
// field, and where the picture to serve lies. Pictures are not read into memory.
struct Id3Tag {
    int version;    // 2, 3 or 4; 0 without an ID3v2 tag
    uint8_t flags;  // the tag header's flags byte
    int64_t tagEnd; // 10 + tag size, or 0
    uint8_t* texts[kTextFieldCount];
    int32_t textSizes[kTextFieldCount];
    Mp3Picture picture; // offset 0 while no picture frame holds a JPEG or PNG
    bool frontCover;    // the picture is a front cover: later frames need not be looked at
};

void releaseTag(Id3Tag* tag) {
    for (uint8_t* text : tag->texts) {
        std::free(text);
    }
}

int64_t syncsafe(const uint8_t* p, int count) {
    int64_t value = 0;
    for (int i = 0; i < count; i++) {
        value = (value << 7) + p[i];
    }
    return value;
}

int64_t bigEndian(const uint8_t* p, int count) {
    int64_t value = 0;
    for (int i = 0; i < count; i++) {
        value = (value << 8) | p[i];
    }
    return value;
}

int textFieldOf(const uint8_t* header, int version) {
    int idLength = version == 2 ? 3 : 4;
    for (int field = 0; field < kTextFieldCount; field++) {
        if (std::memcmp(header, kFrameIds[field][version == 2 ? 0 : 1], idLength) == 0) {
            return field;
        }
    }
    return -1;
}

bool isPictureFrame(const uint8_t* header, int version) {
    return version == 2 ? std::memcmp(header, "PIC", 3) == 0 : std::memcmp(header, "APIC", 4) == 0;
}

// Bytes that the flags put in front of a picture frame's content (a group id, a data length
// indicator); -1 when the content is not stored as is (the tag or the frame is unsynchronised,
// compressed or encrypted), since such a picture cannot be sent straight from the file.
int64_t pictureContentSkip(const uint8_t* header, const Id3Tag* tag) {
    if ((tag->flags & 0x80) != 0 || (tag->version == 2 && (tag->flags & 0x40) != 0)) {
        return -1;
    }
    uint8_t format = header[9];
    if (tag->version == 3) {
        return (format & 0xC0) != 0 ? -1 : (format & 0x20) != 0 ? 1 : 0;
    }
    if (tag->version == 4) {
        return (format & 0x0E) != 0 ? -1 : ((format & 0x40) != 0 ? 1 : 0) + (format & 0x01) * 4;
    }
    return 0;
}

bool readByteAt(FILE* file, int64_t at, int64_t end, uint8_t* out) {
    return at < end && std::fseek(file, static_cast<long>(at), SEEK_SET) == 0 &&
           std::fread(out, 1, 1, file) == 1;
}

// Offset just past the text at `at` and its terminator: a zero byte, or for a wide (UTF-16)
// text a zero 16-bit unit. -1 when the frame ends first.
int64_t skipTerminated(FILE* file, int64_t at, int64_t end, bool wide) {
    const size_t unit = wide ? 2 : 1;
    uint8_t bytes[2] = {0, 0};
    if (std::fseek(file, static_cast<long>(at), SEEK_SET) != 0) {
        return -1;
    }
    for (; at + static_cast<int64_t>(unit) <= end; at += static_cast<int64_t>(unit)) {
        if (std::fread(bytes, 1, unit, file) != unit) {
            return -1;
        }
        if (bytes[0] == 0 && bytes[1] == 0) {
            return at + static_cast<int64_t>(unit);
        }
    }
    return -1;
}

// Reads a picture frame's fields (text encoding, MIME type or 3-character image format,
// picture type, description in that encoding) and keeps the picture after them when it is a
// JPEG or a PNG: a front cover (picture type 3) over the others, else the first one found.
void considerPicture(FILE* file, const uint8_t* header, int64_t position, int64_t size,
                     Id3Tag* tag) {
    const int64_t end = position + size;
    int64_t skip = pictureContentSkip(header, tag);
    uint8_t encoding = 0;
    if (skip < 0 || !readByteAt(file, position + skip, end, &encoding) || encoding > 3) {
        return;
    }
    int64_t at = position + skip + 1;
    at = tag->version == 2 ? at + 3 : skipTerminated(file, at, end, false);
    uint8_t type = 0;
    if (at < 0 || !readByteAt(file, at, end, &type)) {
        return;
    }
    at = skipTerminated(file, at + 1, end, encoding == 1 || encoding == 2);
    PictureInfo picture;
    if (at < 0 || !picture_read_info(file, at, end - at, &picture)) {
        return;
    }
    if (tag->picture.offset == 0 || type == 3) {
        tag->picture = Mp3Picture{at, end - at, picture_format(&picture)};
        tag->frontCover = type == 3;
    }
}

// Reads the frame header list from `position` to the tag end. Damage (a zero size, a size past
// the tag end, padding or a footer where an id should be, a short read) ends the walk; what was
// read so far stays.
void readFrames(FILE* file, int64_t position, int64_t fileSize, Id3Tag* tag) {
    const int headerLength = tag->version == 2 ? 6 : 10;
    uint8_t header[10];
    while (position < tag->tagEnd) {
        if (std::fseek(file, static_cast<long>(position), SEEK_SET) != 0 ||
            std::fread(header, 1, headerLength, file) != static_cast<size_t>(headerLength)) {
            return;
        }
        position += headerLength;
        if (std::memcmp(header, "3DI", 3) == 0 || (header[0] | header[1] | header[2]) == 0) {
            return;
        }
        int64_t size;
        if (tag->version == 2) {
            size = bigEndian(header + 3, 3);
        } else if (tag->version == 3) {
            size = bigEndian(header + 4, 4);
        } else {
            size = syncsafe(header + 4, 4); // version 4 frame sizes are syncsafe
        }
        if (size == 0 || size > tag->tagEnd || position + size > fileSize) {
            return;
        }
        int field = textFieldOf(header, tag->version);
        if (field >= 0 && tag->texts[field] == nullptr) {
            auto* data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
            if (data == nullptr ||
                std::fread(data, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
                std::free(data);
                return;
            }
            tag->texts[field] = data;
            tag->textSizes[field] = static_cast<int32_t>(size);
        } else if (!tag->frontCover && isPictureFrame(header, tag->version)) {
            considerPicture(file, header, position, size, tag);
        }
        position += size;
    }
}

// Reads the ID3v2 header at the start of the file. False when the tag has a version other than
// 2 to 4 (the whole file then yields nothing); true otherwise, with tag->version 0 when there is
// no tag at all.
bool readTag(FILE* file, int64_t fileSize, Id3Tag* tag) {
    *tag = Id3Tag{};
    uint8_t header[10];
    if (std::fseek(file, 0, SEEK_SET) != 0 || std::fread(header, 1, 10, file) != 10 ||
        std::memcmp(header, "ID3", 3) != 0) {
        return true;
    }
    if (header[3] < 2 || header[3] > 4) {
        return false;
    }
    tag->version = header[3];
    tag->flags = header[5];
    tag->tagEnd = 10 + syncsafe(header + 6, 4);
    int64_t framesStart = 10;
    uint8_t extended[4];
    if ((header[5] & 0x40) != 0 && std::fread(extended, 1, 4, file) == 4) {
        // Version 4 counts the size bytes in the size; version 3 does not.
        framesStart = 10 + syncsafe(extended, 4) + (tag->version == 3 ? 4 : 0);
    }
    readFrames(file, framesStart, fileSize, tag);
    return true;
}

// Length of the well-formed UTF-8 sequence at data[i] (2 to 4 bytes within the size), its code
// point in *point; 0 when there is none there.
int32_t utf8Sequence(const uint8_t* data, int32_t i, int32_t size, unsigned* point) {
    uint8_t lead = data[i];
    int32_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                     : lead >= 0xE0 && lead <= 0xEF ? 3
                     : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                    : 0;
    if (length == 0 || i + length > size) {
        return 0;
    }
    unsigned value = lead & (0x7F >> length);
    for (int32_t k = 1; k < length; k++) {
        if ((data[i + k] & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (data[i + k] & 0x3F);
    }
    *point = value;
    return length;
}

// Turns a frame's text into a new single-byte ISO-8859-1 string by its encoding byte:
// 0 (ISO-8859-1) is copied as stored; 3 (UTF-8) gives one byte per character up to U+00FF and
// "?" above, with bytes that form no UTF-8 sequence copied as they are (text mislabelled as
// UTF-8 keeps its bytes); 1 (UTF-16 with byte-order mark) and 2 (UTF-16 big-endian) give one
// byte per unit up to the first zero unit, "?" for units above 0xFF. nullptr for any other
// encoding or short memory.
char* decodeText(const uint8_t* data, int32_t size) {
    if (data == nullptr || size < 1 || data[0] > 3) {
        return nullptr;
    }
    auto* out = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (out == nullptr) {
        return nullptr;
    }
    int32_t length = 0;
    if (data[0] == 0) {
        length = size - 1;
        std::memcpy(out, data + 1, static_cast<size_t>(length));
    } else if (data[0] == 3) {
        for (int32_t i = 1; i < size && data[i] != 0;) {
            unsigned point = 0;
            int32_t sequence = data[i] >= 0x80 ? utf8Sequence(data, i, size, &point) : 0;
            if (sequence == 0) {
                out[length++] = static_cast<char>(data[i++]);
            } else {
                out[length++] = point <= 0xFF ? static_cast<char>(point) : '?';
                i += sequence;
            }
        }
    } else {
        bool littleEndian = data[0] == 1 && size >= 3 && data[2] == 0xFE;
        for (int32_t i = data[0] == 1 ? 3 : 1; i + 1 < size; i += 2) {
            unsigned unit =
                littleEndian ? data[i] | (data[i + 1] << 8) : (data[i] << 8) | data[i + 1];
            if (unit == 0) {
                break;
            }
            out[length++] = unit <= 0xFF ? static_cast<char>(unit) : '?';
        }
    }
    out[length] = '\0';
    return out;
}

// Removes trailing spaces; an empty result becomes nullptr.
char* trimmed(char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t length = std::strlen(text);
    while (length > 0 && text[length - 1] == ' ') {
        text[--length] = '\0';
    }
    if (length == 0) {
        std::free(text);
        return nullptr;
    }
    return text;
}

char* copyField(const uint8_t* field, size_t width) {
    size_t length = strnlen(reinterpret_cast<const char*>(field), width);
    auto* out = static_cast<char*>(std::malloc(length + 1));
    if (out != nullptr) {
        std::memcpy(out, field, length);
        out[length] = '\0';
    }
    return out;
}

char* orUnknown(char* text) {
    return text != nullptr ? text : strdup("Unknown");
}

// Genre text of a frame: "(n..." names table entry n mod 256 when below the table's size;
// anything else stands as written.
char* genreFromFrame(char* text) {
    if (text == nullptr || text[0] != '(') {
        return text;
    }
    char* end = nullptr;
    long number = std::strtol(text + 1, &end, 10);
    if (end == text + 1) {
        return text; // "(" without digits, such as "(RX)", is not a table reference
    }
    int index = static_cast<int>(number & 0xFF);
    if (index >= kId3GenreCount) {
        return text;
    }
    std::free(text);
    return strdup(id3_genre_name(index));
}

char* dateFromYear(const char* text) {
    long year = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    if (year == 0) {
        return nullptr;
    }
    char date[32];
    std::snprintf(date, sizeof date, "%04ld-01-01", year);
    date[10] = '\0';
    return strdup(date);
}

struct Id3v1 {
    bool present;
    uint8_t block[128];
};

void readId3v1(FILE* file, int64_t fileSize, Id3v1* v1) {
    std::memset(v1->block, 0, sizeof v1->block);
    v1->present = false;
    if (fileSize < 128 || std::fseek(file, static_cast<long>(fileSize - 128), SEEK_SET) != 0) {
        return;
    }
    v1->present =
        std::fread(v1->block, 1, 128, file) == 128 && std::memcmp(v1->block, "TAG", 3) == 0;
}

// One text output: the ID3v2 frame's text when present (even when empty), else the ID3v1 field.
char* textOutput(const Id3Tag* tag, TextField field, const Id3v1* v1, int offset, int width) {
    if (tag->texts[field] != nullptr) {
        return decodeText(tag->texts[field], tag->textSizes[field]);
    }
    if (v1->present && width > 0) {
        return copyField(v1->block + offset, static_cast<size_t>(width));
    }
    return nullptr;
}

void fillOutputs(const Id3Tag* tag, const Id3v1* v1, Mp3Info* info) {
    info->title = orUnknown(trimmed(textOutput(tag, kTitle, v1, 3, 30)));
    info->artist = orUnknown(trimmed(textOutput(tag, kArtist, v1, 33, 30)));
    info->album = orUnknown(trimmed(textOutput(tag, kAlbum, v1, 63, 30)));

    char* genre = genreFromFrame(decodeText(tag->texts[kGenre], tag->textSizes[kGenre]));
    if (genre == nullptr && v1->present) {
        const char* name = id3_genre_name(v1->block[127]);
        genre = name != nullptr ? strdup(name) : nullptr;
    }
    info->genre = orUnknown(trimmed(genre));

    char* year = textOutput(tag, kYear, v1, 93, 4);
    info->date = dateFromYear(year);
    std::free(year);

    char* track = decodeText(tag->texts[kTrack], tag->textSizes[kTrack]);
    info->track_number =
        track != nullptr ? static_cast<int32_t>(std::strtol(track, nullptr, 10)) : 0;
    std::free(track);
    if (info->track_number == 0 && v1->present) {
        info->track_number = static_cast<int8_t>(v1->block[126]);
    }
    info->has_album_art = tag->picture.offset != 0 ? 1 : 0;
    info->picture_format = tag->picture.format;
}

} // namespace

bool mp3_read_info_stream(FILE* file, int64_t fileSize, Mp3Info* info) {
    *info = Mp3Info{};
    Id3v1 v1;
    readId3v1(file, fileSize, &v1);
    Id3Tag tag;
    if (!readTag(file, fileSize, &tag)) {
        return false;
    }
    bool found = false;
    MpegHeader first{};
    char* duration = mpeg_duration_text(file, tag.tagEnd, v1.present, fileSize, &found, &first);
    if (!found) {
        releaseTag(&tag);
        return false;
    }
    info->duration = duration;
    info->size = static_cast<int32_t>(fileSize);
    info->audio_profile = mpeg_audio_profile(&first);
    fillOutputs(&tag, &v1, info);
    releaseTag(&tag);
    return true;
}

bool mp3_read_info(const char* path, Mp3Info* info) {
    *info = Mp3Info{};
    FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fseek(file, 0, SEEK_END) == 0;
    long fileSize = ok ? std::ftell(file) : -1;
    ok = fileSize >= 0 && mp3_read_info_stream(file, fileSize, info);
    std::fclose(file);
    return ok;
}

void mp3_info_release(Mp3Info* info) {
    std::free(info->title);
    std::free(info->artist);
    std::free(info->album);
    std::free(info->genre);
    std::free(info->date);
    std::free(info->duration);
    *info = Mp3Info{};
}

bool mp3_album_art_range(FILE* file, int64_t fileSize, Mp3Picture* picture) {
    Id3Tag tag;
    bool found = readTag(file, fileSize, &tag) && tag.picture.offset != 0;
    releaseTag(&tag);
    if (found) {
        *picture = tag.picture;
    }
    return found;
}
