#include "services/didl_lite.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

void didl_escape(const char* text, char* area, int capacity) {
    if (capacity <= 0) {
        return;
    }
    std::memset(area, 0, static_cast<size_t>(capacity));
    if (text == nullptr) {
        return;
    }
    int limit = capacity - 1;
    int used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; p++) {
        char reference[16];
        const char* piece = reference;
        if (*p == '<') {
            piece = "&amp;lt;";
        } else if (*p == '>') {
            piece = "&amp;gt;";
        } else if (*p == '&') {
            piece = "&amp;amp;";
        } else if (*p > 0x7F) {
            std::snprintf(reference, sizeof reference, "&#%d;", *p);
        } else if (*p < 0x20 && *p != '\t' && *p != '\n' && *p != '\r') {
            continue;
        } else {
            reference[0] = static_cast<char>(*p);
            reference[1] = '\0';
        }
        int pieceLength = static_cast<int>(std::strlen(piece));
        if (used + pieceLength > limit) {
            return;
        }
        std::memcpy(area + used, piece, static_cast<size_t>(pieceLength));
        used += pieceLength;
    }
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
    out->albumArtUri = filter_includes(filter, "albumArtURI");
    out->res = filter_includes(filter, "res");
    out->size = filter_includes(filter, "size");
    out->duration = filter_includes(filter, "duration");
}

namespace {

constexpr int kEscapeCapacity = 1023;

int64_t parentIdOf(const MediaObject* object) {
    return object->parent != nullptr ? media_db_object_id(object->parent) : -1;
}

// Appends open tag, escaped text, close tag and a line end.
TextBuffer* appendElement(TextBuffer* buffer, const char* open, const char* text,
                          const char* close) {
    char area[kEscapeCapacity + 1];
    didl_escape(text, area, kEscapeCapacity);
    return textBufferAppendFormat(buffer, "%s%s%s\r\n", open, area, close);
}

// One line per distinct escaped artist (or genre) of the members, in order of first
// appearance. Hashes keep the check for an earlier equal line cheap on long playlists.
TextBuffer* appendDistinctMembers(TextBuffer* buffer, const MediaObject* container, bool genre) {
    std::vector<std::pair<uint32_t, std::string>> written;
    char area[kEscapeCapacity + 1];
    for (const MediaObject* child = container->first_child; child != nullptr;
         child = child->next_sibling) {
        const MediaObject* item = member_item(child);
        const char* text = item == nullptr ? nullptr : (genre ? item->genre : item->artist);
        if (text == nullptr) {
            continue;
        }
        didl_escape(text, area, kEscapeCapacity);
        uint32_t hash = 2166136261u;
        for (const char* p = area; *p != '\0'; p++) {
            hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
        }
        bool seen = false;
        for (const auto& entry : written) {
            if (entry.first == hash && entry.second == area) {
                seen = true;
                break;
            }
        }
        if (seen) {
            continue;
        }
        written.emplace_back(hash, area);
        buffer = genre ? textBufferAppendFormat(buffer,
                                                "&lt;upnp:genre&gt;%s&lt;/upnp:genre&gt;\r\n", area)
                       : textBufferAppendFormat(
                             buffer, "&lt;upnp:artist&gt;%s&lt;/upnp:artist&gt;\r\n", area);
    }
    return buffer;
}

TextBuffer* writeContainer(TextBuffer* buffer, const MediaObject* object, const DidlFilter* filter,
                           const char* urlBase) {
    buffer = textBufferAppendFormat(
        buffer,
        "&lt;container id=&quot;%" PRId64 "&quot; parentID=&quot;%" PRId64
        "&quot; childCount=&quot;%d&quot; restricted=&quot;true&quot;&gt;\r\n",
        media_db_object_id(object), parentIdOf(object), static_cast<int>(object->child_count));
    buffer = appendElement(buffer, "&lt;dc:title&gt;", object->title, "&lt;/dc:title&gt;");
    const char* upnpClass = object->upnp_class != nullptr ? object->upnp_class : "";
    bool album = std::strcmp(upnpClass, kClassMusicAlbum) == 0;
    bool grouping = album || std::strcmp(upnpClass, kClassPlaylistContainer) == 0;
    if (grouping && filter->artist) {
        buffer = appendDistinctMembers(buffer, object, false);
    }
    if (grouping && filter->genre) {
        buffer = appendDistinctMembers(buffer, object, true);
    }
    if (album && filter->albumArtUri) {
        for (const MediaObject* child = object->first_child; child != nullptr;
             child = child->next_sibling) {
            const MediaObject* item = member_item(child);
            if (item != nullptr && item->has_album_art) {
                buffer = textBufferAppendFormat(buffer,
                                                "&lt;upnp:albumArtURI&gt;%svirtual/%" PRId64
                                                ".jpg&lt;/upnp:albumArtURI&gt;",
                                                urlBase, media_db_object_id(item));
                break;
            }
        }
    }
    return textBufferAppendFormat(
        buffer, "&lt;upnp:class&gt;%s&lt;/upnp:class&gt;\r\n&lt;/container&gt;\r\n", upnpClass);
}

TextBuffer* writeResource(TextBuffer* buffer, const MediaObject* object, const MediaObject* item,
                          const DidlFilter* filter, const char* urlBase) {
    if (!filter->res && !filter->size && !filter->duration) {
        return buffer;
    }
    buffer = textBufferAppend(buffer, "&lt;res ");
    if (filter->size) {
        buffer =
            textBufferAppendFormat(buffer, "size=&quot;%d&quot; ", static_cast<int>(item->size));
    }
    if (filter->duration) {
        buffer = textBufferAppendFormat(buffer, "duration=&quot;%s&quot; ",
                                        item->duration != nullptr ? item->duration : "");
    }
    return textBufferAppendFormat(
        buffer,
        "protocolInfo=&quot;http-get:*:audio/mpeg:*&quot;&gt;%sdisk/%" PRId64
        ".mp3&lt;/res&gt;\r\n",
        urlBase, media_db_object_id(object));
}

TextBuffer* writeItem(TextBuffer* buffer, const MediaObject* object, const MediaObject* item,
                      const DidlFilter* filter, const char* urlBase) {
    int64_t id = media_db_object_id(object);
    if (object->kind == 'r') {
        buffer = textBufferAppendFormat(buffer,
                                        "&lt;item id=&quot;%" PRId64 "&quot; refID=&quot;%" PRId64
                                        "&quot; parentID=&quot;%" PRId64
                                        "&quot; restricted=&quot;true&quot;&gt;\r\n",
                                        id, media_db_object_id(item), parentIdOf(object));
    } else {
        buffer =
            textBufferAppendFormat(buffer,
                                   "&lt;item id=&quot;%" PRId64 "&quot; parentID=&quot;%" PRId64
                                   "&quot; restricted=&quot;true&quot;&gt;\r\n",
                                   id, parentIdOf(object));
    }
    buffer = appendElement(buffer, "&lt;dc:title&gt;", item->title, "&lt;/dc:title&gt;");
    if (filter->creator) {
        buffer = appendElement(buffer, "&lt;dc:creator&gt;", item->artist, "&lt;/dc:creator&gt;");
    }
    if (filter->artist) {
        buffer = appendElement(buffer, "&lt;upnp:artist&gt;", item->artist, "&lt;/upnp:artist&gt;");
    }
    if (filter->album) {
        buffer = appendElement(buffer, "&lt;upnp:album&gt;", item->album, "&lt;/upnp:album&gt;");
    }
    if (filter->genre) {
        buffer = appendElement(buffer, "&lt;upnp:genre&gt;", item->genre, "&lt;/upnp:genre&gt;");
    }
    if (filter->date) {
        buffer = appendElement(buffer, "&lt;dc:date&gt;", item->date, "&lt;/dc:date&gt;");
    }
    if (filter->trackNumber) {
        buffer = textBufferAppendFormat(
            buffer, "&lt;upnp:originalTrackNumber&gt;%d&lt;/upnp:originalTrackNumber&gt;\r\n",
            static_cast<int>(item->track_number));
    }
    if (filter->albumArtUri) {
        buffer = textBufferAppend(buffer, "&lt;upnp:albumArtURI&gt;");
        if (item->has_album_art) {
            buffer = textBufferAppendFormat(buffer, "%svirtual/%" PRId64 ".jpg", urlBase, id);
        }
        buffer = textBufferAppend(buffer, "&lt;/upnp:albumArtURI&gt;\r\n");
    }
    buffer = writeResource(buffer, object, item, filter, urlBase);
    return textBufferAppendFormat(buffer,
                                  "&lt;upnp:class&gt;%s&lt;/upnp:class&gt;\r\n&lt;/item&gt;\r\n",
                                  item->upnp_class != nullptr ? item->upnp_class : "");
}

} // namespace

TextBuffer* didl_write_filtered(TextBuffer* buffer, const MediaObject* object,
                                const DidlFilter* filter, const char* urlBase) {
    if (object == nullptr) {
        return buffer;
    }
    if (urlBase == nullptr) {
        urlBase = "";
    }
    if (object->kind == 'c') {
        return writeContainer(buffer, object, filter, urlBase);
    }
    const MediaObject* item = member_item(object);
    if (item == nullptr) {
        return buffer;
    }
    return writeItem(buffer, object, item, filter, urlBase);
}

TextBuffer* didl_write_object(TextBuffer* buffer, const MediaObject* object, const char* filter,
                              const char* urlBase) {
    DidlFilter parsed;
    didl_filter_parse(filter, &parsed);
    return didl_write_filtered(buffer, object, &parsed, urlBase);
}
