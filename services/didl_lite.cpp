#include "services/didl_lite.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/xml_escape.h"

#include "mp3/dlna_info.h"
#include "mp3/mp3_info.h"
#include "mp3/picture_info.h"
#include "runtime/hash.h"

bool filter_includes(const char* filter, const char* name) {
    if (filter == nullptr || filter[0] == '*') {
        return true;
    }
    size_t nameLength = std::strlen(name);
    for (const char* match = std::strstr(filter, name); match != nullptr;
         match = std::strstr(match + 1, name)) {
        unsigned char after = static_cast<unsigned char>(match[nameLength]);
        if (after == ',' || after <= 0x20) {
            return true;
        }
    }
    return false;
}

const MediaObject* member_item(const MediaObject* object) {
    if (object == nullptr) {
        return nullptr;
    }
    if (object->kind == 'i') {
        return object;
    }
    return object->kind == 'r' ? object->target : nullptr;
}

void didl_filter_parse(const char* filter, DidlFilter* out) {
    out->creator = filter_includes(filter, "creator");
    out->artist = filter_includes(filter, "artist");
    out->album = filter_includes(filter, "album");
    out->genre = filter_includes(filter, "genre");
    out->date = filter_includes(filter, "date");
    out->trackNumber = filter_includes(filter, "originalTrackNumber");
    out->discNumber = filter_includes(filter, "originalDiscNumber");
    out->albumArtUri = filter_includes(filter, "albumArtURI");
    out->res = filter_includes(filter, "res");
    out->size = filter_includes(filter, "size");
    out->duration = filter_includes(filter, "duration");
}

namespace {

// Escaped texts keep at most this many characters.
constexpr int32_t kEscapedLimit = 1022;

// One element is written by plain appends (no format parsing); a page of 50 elements is the hot
// path of every Browse.
struct Element {
    TextBuffer* out;

    template <size_t N> Element& lit(const char (&text)[N]) {
        textBufferAppendLength(out, text, static_cast<int32_t>(N - 1));
        return *this;
    }
    Element& raw(const char* text) {
        textBufferAppend(out, text);
        return *this;
    }
    // Signed decimal, as "%I64d" writes it.
    Element& number(int64_t value) {
        char digits[24];
        char* p = digits + sizeof digits;
        uint64_t magnitude =
            value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do {
            *--p = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) {
            *--p = '-';
        }
        textBufferAppendLength(out, p, static_cast<int32_t>(digits + sizeof digits - p));
        return *this;
    }
    // A metadata text, escaped twice and cut at kEscapedLimit characters.
    Element& escaped(const char* text) {
        textBufferAppendXml(out, text, XmlEscape::Twice, kEscapedLimit);
        return *this;
    }
};

int64_t parentIdOf(const MediaObject* object) {
    return object->parent != nullptr ? media_db_object_id(object->parent) : -1;
}

// Lines already written by appendDistinctMembers: where each escaped text starts in the
// element and its hash. Offsets, not pointers, since the element's storage moves as it grows.
struct WrittenLine {
    uint32_t hash;
    int32_t start;
    int32_t length;
};

bool alreadyWritten(const TextBuffer* out, const WrittenLine* lines, int32_t count,
                    const WrittenLine& line) {
    for (int32_t i = 0; i < count; i++) {
        if (lines[i].hash == line.hash && lines[i].length == line.length &&
            std::memcmp(out->text + lines[i].start, out->text + line.start,
                        static_cast<size_t>(line.length)) == 0) {
            return true;
        }
    }
    return false;
}

// One line per distinct escaped artist (or genre) of the members, in order of first
// appearance. Each text is escaped in place and taken back when an earlier line holds it;
// hashes keep that check cheap on long playlists. Without memory for the list of written
// lines, every member's line is written.
void appendDistinctMembers(Element& e, const MediaObject* container, bool genre) {
    int32_t room = container->child_count > 0 ? container->child_count : 1;
    auto* lines = static_cast<WrittenLine*>(std::malloc(sizeof(WrittenLine) * room));
    int32_t count = 0;
    for (const MediaObject* child = container->first_child; child != nullptr;
         child = child->next_sibling) {
        const MediaObject* item = member_item(child);
        const char* value = item == nullptr ? nullptr : (genre ? item->genre : item->artist);
        if (value == nullptr) {
            continue;
        }
        int32_t lineStart = e.out->length;
        if (genre) {
            e.lit("&lt;upnp:genre&gt;");
        } else {
            e.lit("&lt;upnp:artist&gt;");
        }
        WrittenLine line = {0, e.out->length, 0};
        e.escaped(value);
        line.length = e.out->length - line.start;
        line.hash = static_cast<uint32_t>(
            hashFold(hashBytes(e.out->text + line.start, static_cast<size_t>(line.length))));
        if (lines != nullptr && alreadyWritten(e.out, lines, count, line)) {
            textBufferTruncate(e.out, lineStart);
            continue;
        }
        if (lines != nullptr && count < room) {
            lines[count++] = line;
        }
        if (genre) {
            e.lit("&lt;/upnp:genre&gt;\r\n");
        } else {
            e.lit("&lt;/upnp:artist&gt;\r\n");
        }
    }
    std::free(lines);
}

// The album-art element for a picture of the given PictureFormat, served at virtual/<id> with
// the picture's own ending; its DLNA profile, when it has one, as dlna:profileID.
void renderAlbumArt(Element& e, int64_t id, uint8_t format, const char* urlBase) {
    const char* profile = picture_format_profile(format);
    e.lit("&lt;upnp:albumArtURI");
    if (profile != nullptr) {
        e.lit(" dlna:profileID=&quot;").raw(profile).lit("&quot;");
    }
    e.lit("&gt;").raw(urlBase).lit("virtual/").number(id).lit(".");
    e.raw(picture_format_extension(format)).lit("&lt;/upnp:albumArtURI&gt;");
}

void renderContainer(Element& e, const MediaObject* object, const DidlFilter* filter,
                     const char* urlBase) {
    e.lit("&lt;container id=&quot;").number(media_db_object_id(object));
    e.lit("&quot; parentID=&quot;").number(parentIdOf(object));
    e.lit("&quot; childCount=&quot;").number(object->child_count);
    e.lit("&quot; restricted=&quot;true&quot;&gt;\r\n");
    e.lit("&lt;dc:title&gt;").escaped(object->title).lit("&lt;/dc:title&gt;\r\n");
    const char* upnpClass = object->upnp_class != nullptr ? object->upnp_class : "";
    bool album = std::strcmp(upnpClass, kClassMusicAlbum) == 0;
    bool grouping = album || std::strcmp(upnpClass, kClassPlaylistContainer) == 0;
    // An album names its album artist; a playlist (or an album made without one) its
    // members' artists.
    if (album && filter->artist && object->artist != nullptr) {
        e.lit("&lt;upnp:artist&gt;").escaped(object->artist).lit("&lt;/upnp:artist&gt;\r\n");
    } else if (grouping && filter->artist) {
        appendDistinctMembers(e, object, false);
    }
    if (grouping && filter->genre) {
        appendDistinctMembers(e, object, true);
    }
    if (album && filter->albumArtUri) {
        for (const MediaObject* child = object->first_child; child != nullptr;
             child = child->next_sibling) {
            const MediaObject* item = member_item(child);
            if (item != nullptr && item->picture_format != kPictureNone) {
                // The item's own id (under All Tracks); no line end follows this element.
                renderAlbumArt(e, media_db_object_id(item), item->picture_format, urlBase);
                break;
            }
        }
    }
    e.lit("&lt;upnp:class&gt;").raw(upnpClass);
    e.lit("&lt;/upnp:class&gt;\r\n&lt;/container&gt;\r\n");
}

void renderResource(Element& e, int64_t id, const MediaObject* item, const DidlFilter* filter,
                    const char* urlBase) {
    if (!filter->res && !filter->size && !filter->duration) {
        return;
    }
    e.lit("&lt;res ");
    if (filter->size) {
        e.lit("size=&quot;").number(item->size).lit("&quot; ");
    }
    if (filter->duration) {
        e.lit("duration=&quot;").raw(item->duration).lit("&quot; ");
    }
    char features[160];
    dlna_features(features, sizeof features, mp3_audio_profile_name(item->audio_profile),
                  kDlnaAudio);
    e.lit("protocolInfo=&quot;http-get:*:audio/mpeg:").raw(features).lit("&quot;&gt;");
    e.raw(urlBase).lit("disk/");
    e.number(id).lit(".mp3&lt;/res&gt;\r\n");
}

void renderItem(Element& e, const MediaObject* object, const MediaObject* item,
                const DidlFilter* filter, const char* urlBase) {
    int64_t id = media_db_object_id(object);
    e.lit("&lt;item id=&quot;").number(id);
    if (object->kind == 'r') {
        e.lit("&quot; refID=&quot;").number(media_db_object_id(item));
    }
    e.lit("&quot; parentID=&quot;").number(parentIdOf(object));
    e.lit("&quot; restricted=&quot;true&quot;&gt;\r\n");
    e.lit("&lt;dc:title&gt;").escaped(item->title).lit("&lt;/dc:title&gt;\r\n");
    if (filter->creator) {
        e.lit("&lt;dc:creator&gt;").escaped(item->artist).lit("&lt;/dc:creator&gt;\r\n");
    }
    if (filter->artist) {
        e.lit("&lt;upnp:artist&gt;").escaped(item->artist).lit("&lt;/upnp:artist&gt;\r\n");
    }
    if (filter->album) {
        e.lit("&lt;upnp:album&gt;").escaped(item->album).lit("&lt;/upnp:album&gt;\r\n");
    }
    if (filter->genre) {
        e.lit("&lt;upnp:genre&gt;").escaped(item->genre).lit("&lt;/upnp:genre&gt;\r\n");
    }
    if (filter->date) {
        e.lit("&lt;dc:date&gt;").raw(item->date).lit("&lt;/dc:date&gt;\r\n");
    }
    if (filter->trackNumber) {
        e.lit("&lt;upnp:originalTrackNumber&gt;").number(item->track_number);
        e.lit("&lt;/upnp:originalTrackNumber&gt;\r\n");
    }
    if (filter->discNumber && item->disc_number > 0) {
        e.lit("&lt;upnp:originalDiscNumber&gt;").number(item->disc_number);
        e.lit("&lt;/upnp:originalDiscNumber&gt;\r\n");
    }
    // Only a picture that will be served is advertised.
    if (filter->albumArtUri && item->picture_format != kPictureNone) {
        renderAlbumArt(e, id, item->picture_format, urlBase);
        e.lit("\r\n");
    }
    renderResource(e, id, item, filter, urlBase);
    e.lit("&lt;upnp:class&gt;").raw(item->upnp_class);
    e.lit("&lt;/upnp:class&gt;\r\n&lt;/item&gt;\r\n");
}

} // namespace

void didl_render(TextBuffer* out, const MediaObject* object, const DidlFilter* filter,
                 const char* urlBase) {
    if (object == nullptr) {
        return;
    }
    if (urlBase == nullptr) {
        urlBase = "";
    }
    Element e{out};
    if (object->kind == 'c') {
        renderContainer(e, object, filter, urlBase);
        return;
    }
    const MediaObject* item = member_item(object);
    if (item != nullptr) {
        renderItem(e, object, item, filter, urlBase);
    }
}

TextBuffer* didl_write_filtered(TextBuffer* buffer, const MediaObject* object,
                                const DidlFilter* filter, const char* urlBase) {
    didl_render(buffer, object, filter, urlBase);
    return buffer;
}

TextBuffer* didl_write_object(TextBuffer* buffer, const MediaObject* object, const char* filter,
                              const char* urlBase) {
    DidlFilter parsed;
    didl_filter_parse(filter, &parsed);
    return didl_write_filtered(buffer, object, &parsed, urlBase);
}
