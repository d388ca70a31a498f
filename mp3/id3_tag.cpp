// ID3v2 and ID3v1 tags: the fields of one track and the location of its picture.
#include "mp3/mp3_info.h"

#include <cstdlib>
#include <cstring>

#include "mp3/file_bytes.h"
#include "mp3/id3_text.h"
#include "mp3/picture_info.h"

namespace {

// The text frames the reader uses, by index into Id3Tag::texts.
enum TextField {
    kTitle,
    kArtist,
    kAlbum,
    kAlbumArtist,
    kGenre,
    kRecorded,
    kYear,
    kTrack,
    kDisc,
    kTextFieldCount
};

// Frame ids by field: version 2 first, versions 3 and 4 second. Version 2 has no recording
// time frame (the empty id matches nothing).
constexpr char kFrameIds[kTextFieldCount][2][5] = {
    {"TT2", "TIT2"}, {"TP1", "TPE1"}, {"TAL", "TALB"}, {"TP2", "TPE2"}, {"TCO", "TCON"},
    {"", "TDRC"},    {"TYE", "TYER"}, {"TRK", "TRCK"}, {"TPA", "TPOS"},
};

// What one walk of the ID3v2 frame list keeps: the content of the first frame of each used text
// field, and where the first picture frame's data lies. Pictures are not read into memory.
struct Id3Tag {
    int version;    // 2, 3 or 4; 0 without an ID3v2 tag
    uint8_t flags;  // the tag header's flags byte
    int64_t tagEnd; // 10 + tag size, or 0
    uint8_t* texts[kTextFieldCount];
    int32_t textSizes[kTextFieldCount];
    Mp3Picture picture; // offset 0 while no picture frame holds a JPEG or PNG
    bool frontCover;    // the picture is a front cover: later frames need not be looked at
};

// Where the frames are read from: the file as stored, or the whole tag held in memory with its
// unsynchronisation undone (memory[0] is tag position 10). No byte at or past `limit` is read.
struct TagBytes {
    FileBytes* file;
    const uint8_t* memory;
    int64_t limit;
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

bool readAt(TagBytes* bytes, int64_t position, uint8_t* out, int64_t count) {
    if (position < 10 || count < 0 || position + count > bytes->limit) {
        return false;
    }
    if (bytes->memory != nullptr) {
        std::memcpy(out, bytes->memory + (position - 10), static_cast<size_t>(count));
        return true;
    }
    return file_bytes_read(bytes->file, position, out, count);
}

int textFieldOf(const uint8_t* header, int version) {
    int idLength = version == 2 ? 3 : 4;
    for (int field = 0; field < kTextFieldCount; field++) {
        const char* id = kFrameIds[field][version == 2 ? 0 : 1];
        if (id[0] != '\0' && std::memcmp(header, id, idLength) == 0) {
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

bool readByteAt(FileBytes* file, int64_t at, int64_t end, uint8_t* out) {
    return at < end && file_bytes_read(file, at, out, 1);
}

// Offset just past the text at `at` and its terminator: a zero byte, or for a wide (UTF-16)
// text a zero 16-bit unit. -1 when the frame ends first.
int64_t skipTerminated(FileBytes* file, int64_t at, int64_t end, bool wide) {
    const int64_t unit = wide ? 2 : 1;
    uint8_t bytes[2] = {0, 0};
    for (; at + unit <= end; at += unit) {
        if (!file_bytes_read(file, at, bytes, unit)) {
            return -1;
        }
        if (bytes[0] == 0 && bytes[1] == 0) {
            return at + unit;
        }
    }
    return -1;
}

// Reads a picture frame's fields (text encoding, MIME type or 3-character image format,
// picture type, description in that encoding) and keeps the picture after them when it is a
// JPEG or a PNG: a front cover (picture type 3) over the others, else the first one found.
void considerPicture(FileBytes* file, const uint8_t* header, int64_t position, int64_t size,
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
    if (at < 0 || !picture_read_info_bytes(file, at, end - at, &picture)) {
        return;
    }
    if (tag->picture.offset == 0 || type == 3) {
        tag->picture = Mp3Picture{at, end - at, picture_format(&picture)};
        tag->frontCover = type == 3;
    }
}

// Whether a frame list can go on at `position`: the end of the frames, padding, or a frame id
// of four capitals and digits.
bool framesGoOnAt(TagBytes* bytes, int64_t position, int64_t framesEnd) {
    if (position == framesEnd) {
        return true;
    }
    if (position > framesEnd) {
        return false;
    }
    uint8_t id[4] = {};
    int64_t count = framesEnd - position < 4 ? framesEnd - position : 4;
    if (!readAt(bytes, position, id, count)) {
        return false;
    }
    if ((id[0] | id[1] | id[2] | id[3]) == 0) {
        return true;
    }
    for (int64_t i = 0; i < 4; i++) {
        bool idByte = (id[i] >= 'A' && id[i] <= 'Z') || (id[i] >= '0' && id[i] <= '9');
        if (!idByte || i >= count) {
            return false;
        }
    }
    return true;
}

// Version 4 frame sizes are syncsafe, but some taggers write plain numbers. A size byte with its
// top bit set can only be plain; otherwise the plain reading is taken when the syncsafe one does
// not land where the list can go on and the plain one does.
int64_t version4FrameSize(TagBytes* bytes, const uint8_t* header, int64_t dataStart,
                          int64_t framesEnd) {
    int64_t safe = syncsafe(header + 4, 4);
    int64_t plain = bigEndian(header + 4, 4);
    if (((header[4] | header[5] | header[6] | header[7]) & 0x80) != 0) {
        return plain;
    }
    if (safe == plain || framesGoOnAt(bytes, dataStart + safe, framesEnd)) {
        return safe;
    }
    return framesGoOnAt(bytes, dataStart + plain, framesEnd) ? plain : safe;
}

// Turns a text frame's stored data into its content by the frame's flags (versions 3 and 4):
// skips the grouping byte and the data length indicator, undoes version 4 unsynchronisation.
// False for compressed or encrypted frames, whose content cannot be read here.
bool unwrapFrame(const Id3Tag* tag, const uint8_t* header, bool tagUnsync, uint8_t* data,
                 int32_t* size) {
    if (tag->version == 2) {
        return true;
    }
    uint8_t flags = header[9];
    int32_t skip = 0;
    bool unsync = false;
    if (tag->version == 3) {
        if ((flags & 0xC0) != 0) {
            return false;
        }
        skip = (flags & 0x20) != 0 ? 1 : 0;
    } else {
        if ((flags & 0x0C) != 0) {
            return false;
        }
        skip = ((flags & 0x40) != 0 ? 1 : 0) + ((flags & 0x01) != 0 ? 4 : 0);
        unsync = (flags & 0x02) != 0 || tagUnsync;
    }
    if (skip >= *size) {
        return false;
    }
    std::memmove(data, data + skip, static_cast<size_t>(*size - skip));
    *size -= skip;
    if (unsync) {
        *size = static_cast<int32_t>(id3_undo_unsync(data, *size));
    }
    return true;
}

// Reads the frame list from `position` to `framesEnd`. Damage (a zero size, a size past the tag
// end, padding or a footer where an id should be, a short read) ends the walk; what was read so
// far stays.
void readFrames(TagBytes* bytes, int64_t position, int64_t framesEnd, bool tagUnsync, Id3Tag* tag) {
    const int headerLength = tag->version == 2 ? 6 : 10;
    uint8_t header[10];
    while (position < framesEnd) {
        if (!readAt(bytes, position, header, headerLength)) {
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
            size = version4FrameSize(bytes, header, position, framesEnd);
        }
        if (size == 0 || size > framesEnd || position + size > bytes->limit) {
            return;
        }
        int field = textFieldOf(header, tag->version);
        if (field >= 0 && tag->texts[field] == nullptr) {
            auto* data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
            if (data == nullptr || !readAt(bytes, position, data, size)) {
                std::free(data);
                return;
            }
            auto dataSize = static_cast<int32_t>(size);
            if (unwrapFrame(tag, header, tagUnsync, data, &dataSize)) {
                tag->texts[field] = data;
                tag->textSizes[field] = dataSize;
            } else {
                std::free(data);
            }
        } else if (!tag->frontCover && bytes->memory == nullptr &&
                   isPictureFrame(header, tag->version)) {
            // A picture is served straight from the file, so only a tag stored as is offers one.
            considerPicture(bytes->file, header, position, size, tag);
        }
        position += size;
    }
}

// Reads the ID3v2 header at the start of the file. False when the tag has a version other than
// 2 to 4 (the whole file then yields nothing); true otherwise, with tag->version 0 when there is
// no tag at all.
bool readTag(FileBytes* file, Id3Tag* tag) {
    *tag = Id3Tag{};
    uint8_t header[10];
    if (!file_bytes_read(file, 0, header, 10) || std::memcmp(header, "ID3", 3) != 0) {
        return true;
    }
    if (header[3] < 2 || header[3] > 4) {
        return false;
    }
    tag->version = header[3];
    tag->flags = header[5];
    tag->tagEnd = 10 + syncsafe(header + 6, 4);
    const bool unsync = (header[5] & 0x80) != 0;

    const int64_t fileSize = file->size;
    TagBytes bytes{file, nullptr, fileSize};
    int64_t framesEnd = tag->tagEnd;
    uint8_t* whole = nullptr;
    if (unsync && tag->version < 4) {
        // Versions 2 and 3 unsynchronise the whole tag, frame headers included: it is read into
        // memory and restored before any frame is looked at.
        int64_t stored = (tag->tagEnd < fileSize ? tag->tagEnd : fileSize) - 10;
        whole =
            stored > 0 ? static_cast<uint8_t*>(std::malloc(static_cast<size_t>(stored))) : nullptr;
        if (whole == nullptr || !file_bytes_read(file, 10, whole, stored)) {
            std::free(whole);
            return true;
        }
        bytes.memory = whole;
        bytes.limit = 10 + id3_undo_unsync(whole, stored);
        framesEnd = bytes.limit;
    }
    int64_t framesStart = 10;
    uint8_t extended[4];
    if ((header[5] & 0x40) != 0 && readAt(&bytes, 10, extended, 4)) {
        // Version 4 counts the size bytes in the size; version 3 does not.
        framesStart = 10 + syncsafe(extended, 4) + (tag->version == 3 ? 4 : 0);
    }
    readFrames(&bytes, framesStart, framesEnd, unsync, tag);
    std::free(whole);
    return true;
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

struct Id3v1 {
    bool present;
    uint8_t block[128];
};

void readId3v1(FileBytes* file, Id3v1* v1) {
    std::memset(v1->block, 0, sizeof v1->block);
    v1->present = file->size >= 128 && file_bytes_read(file, file->size - 128, v1->block, 128) &&
                  std::memcmp(v1->block, "TAG", 3) == 0;
}

char* frameText(const Id3Tag* tag, TextField field) {
    return id3_text_to_utf8(tag->texts[field], tag->textSizes[field]);
}

// One text output: the ID3v2 frame's text when present (even when empty), else the ID3v1 field.
char* textOutput(const Id3Tag* tag, TextField field, const Id3v1* v1, int offset, int width) {
    if (tag->texts[field] != nullptr) {
        return frameText(tag, field);
    }
    if (v1->present && width > 0) {
        return id3_latin1_to_utf8(v1->block + offset, static_cast<size_t>(width));
    }
    return nullptr;
}

// The leading decimal number of a text as the standard library reads it; 0 for none.
long leadingNumber(const char* text) {
    return text != nullptr ? std::strtol(text, nullptr, 10) : 0;
}

// A recording time ("2001-05-06T10:00") gives its leading four digits as the year.
long recordingYear(const char* text) {
    long year = 0;
    for (int i = 0; text != nullptr && i < 4 && text[i] >= '0' && text[i] <= '9'; i++) {
        year = year * 10 + (text[i] - '0');
    }
    return year;
}

bool yearUsable(long year) {
    return year >= 1 && year <= 9999;
}

// The year from the recording time, else the year frame, else the ID3v1 year; the first source
// that gives a year of 1 to 9999 wins. Returns "YYYY-01-01" or nullptr.
char* dateOutput(const Id3Tag* tag, const Id3v1* v1) {
    char* text = frameText(tag, kRecorded);
    long year = recordingYear(text);
    std::free(text);
    if (!yearUsable(year)) {
        text = frameText(tag, kYear);
        year = leadingNumber(text);
        std::free(text);
    }
    if (!yearUsable(year) && v1->present) {
        char field[5] = {};
        std::memcpy(field, v1->block + 93, 4);
        year = leadingNumber(field);
    }
    if (!yearUsable(year)) {
        return nullptr;
    }
    char date[16];
    std::snprintf(date, sizeof date, "%04ld-01-01", year);
    return strdup(date);
}

int32_t numberOutput(const Id3Tag* tag, TextField field) {
    char* text = frameText(tag, field);
    auto number = static_cast<int32_t>(leadingNumber(text));
    std::free(text);
    return number;
}

void fillOutputs(const Id3Tag* tag, const Id3v1* v1, Mp3Info* info) {
    info->title = orUnknown(trimmed(textOutput(tag, kTitle, v1, 3, 30)));
    info->artist = orUnknown(trimmed(textOutput(tag, kArtist, v1, 33, 30)));
    info->album = orUnknown(trimmed(textOutput(tag, kAlbum, v1, 63, 30)));
    info->album_artist = trimmed(frameText(tag, kAlbumArtist));

    char* genre = genreFromFrame(frameText(tag, kGenre));
    if (genre == nullptr && v1->present) {
        const char* name = id3_genre_name(v1->block[127]);
        genre = name != nullptr ? strdup(name) : nullptr;
    }
    info->genre = orUnknown(trimmed(genre));
    info->date = dateOutput(tag, v1);

    info->track_number = numberOutput(tag, kTrack);
    if (info->track_number == 0 && v1->present) {
        info->track_number = static_cast<int8_t>(v1->block[126]);
    }
    info->disc_number = numberOutput(tag, kDisc);
    info->has_album_art = tag->picture.offset != 0 ? 1 : 0;
    info->picture_format = tag->picture.format;
}

// Reads the track from the file's bytes. The ID3v1 block at the end is read last, so that a
// large file's window stays on the tag and the first frame until they are done.
bool readInfo(FileBytes* file, Mp3Info* info) {
    *info = Mp3Info{};
    Id3Tag tag;
    if (!readTag(file, &tag)) {
        return false;
    }
    MpegHeader first{};
    int64_t frames = 0;
    if (!mpeg_first_frame(file, tag.tagEnd, &first, &frames)) {
        releaseTag(&tag);
        return false;
    }
    Id3v1 v1;
    readId3v1(file, &v1);
    int64_t audioBytes = file->size - tag.tagEnd - (v1.present ? 128 : 0);
    char text[32];
    mp3_format_duration(mpeg_duration_ms(&first, frames, audioBytes), text, sizeof text);
    info->duration = strdup(text);
    info->size = static_cast<int32_t>(file->size);
    info->audio_profile = mpeg_audio_profile(&first);
    fillOutputs(&tag, &v1, info);
    releaseTag(&tag);
    return true;
}

} // namespace

bool mp3_read_info_stream(FILE* file, int64_t fileSize, Mp3Info* info) {
    uint8_t window[kFileWindow];
    FileBytes bytes = file_bytes_over(file, fileSize, window, sizeof window);
    return readInfo(&bytes, info);
}

bool mp3_read_info(const char* path, Mp3Info* info, int64_t sizeHint) {
    *info = Mp3Info{};
    FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return false;
    }
    // The window is the only buffer: reads go straight from the file into it.
    std::setvbuf(file, nullptr, _IONBF, 0);
    uint8_t window[kFileWindow];
    FileBytes bytes = file_bytes_over(file, -1, window, sizeof window);
    bool ok = file_bytes_load_head(&bytes, sizeHint) && readInfo(&bytes, info);
    std::fclose(file);
    return ok;
}

void mp3_info_release(Mp3Info* info) {
    std::free(info->title);
    std::free(info->artist);
    std::free(info->album);
    std::free(info->album_artist);
    std::free(info->genre);
    std::free(info->date);
    std::free(info->duration);
    *info = Mp3Info{};
}

bool mp3_album_art_range(FILE* file, int64_t fileSize, Mp3Picture* picture) {
    uint8_t window[kFileWindow];
    FileBytes bytes = file_bytes_over(file, fileSize, window, sizeof window);
    Id3Tag tag;
    bool found = readTag(&bytes, &tag) && tag.picture.offset != 0;
    releaseTag(&tag);
    if (found) {
        *picture = tag.picture;
    }
    return found;
}
