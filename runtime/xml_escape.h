// The one XML escaper: texts from the host (computer name, tag metadata) as character data.
#pragma once

#include <cstdint>

#include "runtime/text_buffer.h"

enum class XmlEscape {
    Once,  // '&', '<', '>' as "&amp;", "&lt;", "&gt;"
    Twice, // the same references escaped again ("&amp;lt;"), for a document carried as the text
           // of another element (the DIDL-Lite Result of Browse and Search)
};

// Appends UTF-8 `text` (nullptr appends nothing) as XML character data: markup characters as
// the references of `depth`, every character beyond ASCII as one decimal character reference
// ("&#233;", "&#1047;", "&#127925;"; a byte that forms no UTF-8 as its ISO-8859-1 character),
// and control bytes other than tab, LF and CR dropped, as XML cannot carry them.
// At most `limit` characters are appended, cut before a reference that would not fit whole.
// Growth follows textBufferAppend. Returns the buffer.
TextBuffer* textBufferAppendXml(TextBuffer* buffer, const char* text, XmlEscape depth,
                                int32_t limit);
