// DIDL-Lite elements for the Result argument of Browse and Search. The document travels as the
// text of a SOAP element, so it is written already escaped: markup as "&lt;", "&gt;" and
// "&quot;", and metadata texts escaped twice.
#pragma once

#include "media_db/media_db.h"
#include "runtime/text_buffer.h"

// Whether a Filter text asks for the property `name` (given without its prefix: "artist",
// "res", "size"...). A missing filter or one beginning with '*' asks for everything; otherwise
// `name` must occur followed by ',', a byte <= 0x20 or the end. An empty filter asks for none.
bool filter_includes(const char* filter, const char* name);

// The item whose fields an object publishes: itself for an item, the target of a reference,
// nullptr for a container or nullptr.
const MediaObject* member_item(const MediaObject* object);

// The Filter read once: which optional properties to write.
struct DidlFilter {
    bool creator, artist, album, genre, date, trackNumber, discNumber, albumArtUri, res, size,
        duration;
};
void didl_filter_parse(const char* filter, DidlFilter* out);

// Appends one object's element (container, item or reference) and returns the buffer to go
// on with. `urlBase` ("http://host:port/") starts every URL. Caller holds a catalogue lock.
TextBuffer* didl_write_object(TextBuffer* buffer, const MediaObject* object, const char* filter,
                              const char* urlBase);
// Appends the element to `out`; texts are escaped by textBufferAppendXml (XmlEscape::Twice, at
// most 1,022 characters each).
void didl_render(TextBuffer* out, const MediaObject* object, const DidlFilter* filter,
                 const char* urlBase);
TextBuffer* didl_write_filtered(TextBuffer* buffer, const MediaObject* object,
                                const DidlFilter* filter, const char* urlBase);
