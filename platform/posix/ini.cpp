// Private-profile INI files as the Windows calls treat them: section and key names compare
// without regard to case and surrounding blanks, a missing file, section or key yields the
// default, and a write changes one line and keeps every other line of the file as it was.
// The file is read whole into one block and handled as line spans inside it.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <unistd.h>

namespace {

// Serialises writers against readers of the same file within this process.
std::mutex iniLock;

// A piece of text that is not NUL-terminated.
struct Span {
    const char* text;
    size_t length;
};

// The whole file, NUL-terminated; owned, released with std::free.
struct FileText {
    char* text;
    size_t size;
    bool crlf; // a "\r\n" occurs: every line is written back with it
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

Span trimmed(Span s) {
    while (s.length > 0 && isBlank(s.text[0])) {
        s.text++;
        s.length--;
    }
    while (s.length > 0 && isBlank(s.text[s.length - 1])) {
        s.length--;
    }
    return s;
}

Span spanOf(const char* text) {
    return Span{text, std::strlen(text)};
}

// Reads the whole file. False when it cannot be opened or memory is short (*noMemory set).
bool readFile(const char* path, FileText* file, bool* noMemory = nullptr) {
    FILE* in = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (in == nullptr) {
        return false;
    }
    size_t capacity = 4096;
    file->text = static_cast<char*>(std::malloc(capacity));
    file->size = 0;
    size_t n = 0;
    while (file->text != nullptr &&
           (n = std::fread(file->text + file->size, 1, capacity - 1 - file->size, in)) > 0) {
        file->size += n;
        if (capacity - 1 - file->size == 0) {
            char* grown = static_cast<char*>(std::realloc(file->text, 2 * capacity));
            if (grown == nullptr) {
                std::free(file->text);
            }
            file->text = grown;
            capacity *= 2;
        }
    }
    std::fclose(in);
    if (file->text == nullptr) {
        if (noMemory != nullptr) {
            *noMemory = true;
        }
        return false;
    }
    file->text[file->size] = '\0';
    file->crlf = std::strstr(file->text, "\r\n") != nullptr;
    return true;
}

// The line starting at *pos (without its "\n" or "\r\n"); advances *pos past it. False at the
// end of the text.
bool nextLine(const FileText& file, size_t* pos, Span* line) {
    if (*pos >= file.size) {
        return false;
    }
    const char* start = file.text + *pos;
    const char* end = static_cast<const char*>(std::memchr(start, '\n', file.size - *pos));
    size_t length = end != nullptr ? static_cast<size_t>(end - start) : file.size - *pos;
    *pos += length + 1;
    if (length > 0 && start[length - 1] == '\r') {
        length--;
    }
    *line = Span{start, length};
    return true;
}

// The section name of a "[name]" line, or false when the line is no section header.
bool sectionName(Span line, Span* name) {
    Span text = trimmed(line);
    if (text.length < 2 || text.text[0] != '[') {
        return false;
    }
    const char* close = static_cast<const char*>(std::memchr(text.text, ']', text.length));
    if (close == nullptr) {
        return false;
    }
    *name = trimmed(Span{text.text + 1, static_cast<size_t>(close - text.text - 1)});
    return true;
}

// The key of a "key=value" line and its value; false for comments and lines without '='.
bool keyLine(Span line, Span* key, Span* value) {
    Span text = trimmed(line);
    if (text.length == 0 || text.text[0] == ';') {
        return false;
    }
    const char* equals = static_cast<const char*>(std::memchr(text.text, '=', text.length));
    if (equals == nullptr) {
        return false;
    }
    *key = trimmed(Span{text.text, static_cast<size_t>(equals - text.text)});
    *value = trimmed(Span{equals + 1, static_cast<size_t>(text.text + text.length - equals - 1)});
    return true;
}

// Names compare as the Windows calls compare them, without regard to case. The stand-in never
// sets a locale, so the C library folds ASCII letters only.
bool sameName(Span a, const char* b) {
    Span other = trimmed(spanOf(b));
    return a.length == other.length && strncasecmp(a.text, other.text, a.length) == 0;
}

// Where `section` and its `key` are, counted in lines.
struct Place {
    long header; // the section's header line, or -1
    long key;    // the key's line within the section, or -1
    long end;    // just after the section's last non-blank line
};

Place findPlace(const FileText& file, const char* section, const char* key) {
    Place place = {-1, -1, -1};
    size_t pos = 0;
    Span line;
    Span name;
    Span value;
    for (long i = 0; nextLine(file, &pos, &line); i++) {
        if (sectionName(line, &name)) {
            if (place.header >= 0) {
                break;
            }
            if (sameName(name, section)) {
                place.header = i;
                place.end = i + 1;
            }
            continue;
        }
        if (place.header < 0) {
            continue;
        }
        if (trimmed(line).length > 0) {
            place.end = i + 1;
        }
        if (place.key < 0 && key != nullptr && keyLine(line, &name, &value) &&
            sameName(name, key)) {
            place.key = i;
        }
    }
    return place;
}

// The value of section/key, with one pair of enclosing quotes removed as Windows does.
// *file keeps the text the span points into; the caller releases it.
bool lookUp(const char* section, const char* key, const char* path, FileText* file, Span* value) {
    file->text = nullptr;
    if (section == nullptr || key == nullptr || !readFile(path, file)) {
        return false;
    }
    Place place = findPlace(*file, section, key);
    if (place.key < 0) {
        return false;
    }
    size_t pos = 0;
    Span line = {nullptr, 0};
    for (long i = 0; i <= place.key; i++) {
        nextLine(*file, &pos, &line);
    }
    Span name;
    if (!keyLine(line, &name, value)) {
        return false;
    }
    if (value->length >= 2 && (value->text[0] == '"' || value->text[0] == '\'') &&
        value->text[value->length - 1] == value->text[0]) {
        *value = Span{value->text + 1, value->length - 2};
    }
    return true;
}

bool writeSpan(FILE* out, Span s) {
    return std::fwrite(s.text, 1, s.length, out) == s.length;
}

bool writeLine(FILE* out, Span s, const FileText& file) {
    return writeSpan(out, s) && std::fputs(file.crlf ? "\r\n" : "\n", out) >= 0;
}

bool writeKey(FILE* out, const char* key, const char* value, const FileText& file) {
    return std::fprintf(out, "%s=%s", key, value) >= 0 &&
           std::fputs(file.crlf ? "\r\n" : "\n", out) >= 0;
}

// Writes the file's lines with one write applied: a null value deletes the key, a null key
// the whole section; a missing section is added at the end.
bool writeApplied(FILE* out, const FileText& file, const char* section, const char* key,
                  const char* value) {
    Place place = findPlace(file, section, key != nullptr ? key : "");
    bool ok = true;
    size_t pos = 0;
    Span line;
    long i = 0;
    for (; nextLine(file, &pos, &line); i++) {
        if (place.header >= 0 && key != nullptr && value != nullptr && place.key < 0 &&
            i == place.end) {
            ok = ok && writeKey(out, key, value, file);
        }
        if (place.header >= 0 && key == nullptr && i >= place.header && i < place.end) {
            continue;
        }
        if (i == place.key && key != nullptr) {
            if (value != nullptr) {
                ok = ok && writeKey(out, key, value, file);
            }
            continue;
        }
        ok = ok && writeLine(out, line, file);
    }
    if (place.header >= 0 && key != nullptr && value != nullptr && place.key < 0 &&
        i == place.end) {
        ok = ok && writeKey(out, key, value, file);
    }
    if (place.header < 0 && key != nullptr && value != nullptr) {
        ok = ok && std::fprintf(out, "[%s]", section) >= 0 &&
             std::fputs(file.crlf ? "\r\n" : "\n", out) >= 0 && writeKey(out, key, value, file);
    }
    return ok;
}

} // namespace

int platformIniReadInt(const char* section, const char* key, int defaultValue, const char* path) {
    std::lock_guard<std::mutex> guard(iniLock);
    FileText file;
    Span value;
    int result = defaultValue;
    if (lookUp(section, key, path, &file, &value)) {
        // The value ends at its line's end or a blank; strtol stops at either.
        result = static_cast<int>(std::strtol(value.text, nullptr, 10));
    }
    std::free(file.text);
    return result;
}

int platformIniReadString(const char* section, const char* key, const char* defaultValue, char* out,
                          int size, const char* path) {
    if (out == nullptr || size <= 0) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(iniLock);
    FileText file;
    Span value;
    if (!lookUp(section, key, path, &file, &value)) {
        value = trimmed(spanOf(defaultValue != nullptr ? defaultValue : ""));
    }
    size_t n =
        value.length < static_cast<size_t>(size - 1) ? value.length : static_cast<size_t>(size - 1);
    std::memcpy(out, value.text, n);
    out[n] = '\0';
    std::free(file.text);
    return static_cast<int>(n);
}

// Writes to a temporary file beside `path` and renames it over the original, so a failure
// part-way never leaves a truncated settings file.
int platformIniWriteString(const char* section, const char* key, const char* value,
                           const char* path) {
    if (section == nullptr || path == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> guard(iniLock);
    FileText file = {nullptr, 0, false};
    bool noMemory = false;
    if (!readFile(path, &file, &noMemory)) {
        if (noMemory) {
            return -1; // never replace a file that could not be read
        }
        file.text = static_cast<char*>(std::calloc(1, 1));
        if (file.text == nullptr) {
            return -1;
        }
    }
    char temporary[4096];
    int written =
        std::snprintf(temporary, sizeof temporary, "%s.tmp%ld", path, static_cast<long>(getpid()));
    FILE* out = written > 0 && static_cast<size_t>(written) < sizeof temporary
                    ? std::fopen(temporary, "wb")
                    : nullptr;
    if (out == nullptr) {
        std::free(file.text);
        return -1;
    }
    bool ok = writeApplied(out, file, section, key, value);
    ok = (std::fclose(out) == 0) && ok;
    std::free(file.text);
    if (!ok || std::rename(temporary, path) != 0) {
        std::remove(temporary);
        return -1;
    }
    return 0;
}
