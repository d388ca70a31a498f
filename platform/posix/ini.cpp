// Private-profile INI files as the Windows calls treat them: section and key names compare
// without regard to case and surrounding blanks, a missing file, section or key yields the
// default, and a write changes one line and keeps every other line of the file as it was.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

// Serialises writers against readers of the same file within this process.
static std::mutex iniLock;

static std::string trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return std::string();
    }
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

static bool readLines(const char* path, std::vector<std::string>* lines, bool* crlf) {
    FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return false;
    }
    std::string content;
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0) {
        content.append(block, n);
    }
    std::fclose(file);
    *crlf = content.find("\r\n") != std::string::npos;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines->push_back(line);
        start = end + 1;
    }
    return true;
}

// The section name of a "[name]" line, or false when the line is no section header.
static bool sectionName(const std::string& line, std::string* name) {
    std::string text = trimmed(line);
    if (text.size() < 2 || text[0] != '[') {
        return false;
    }
    size_t close = text.find(']');
    if (close == std::string::npos) {
        return false;
    }
    *name = trimmed(text.substr(1, close - 1));
    return true;
}

// The key of a "key=value" line and its value; false for comments and lines without '='.
static bool keyLine(const std::string& line, std::string* key, std::string* value) {
    std::string text = trimmed(line);
    if (text.empty() || text[0] == ';') {
        return false;
    }
    size_t equals = text.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    *key = trimmed(text.substr(0, equals));
    *value = trimmed(text.substr(equals + 1));
    return true;
}

static bool sameName(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), trimmed(b).c_str()) == 0;
}

// Index of the header line of `section`, or -1.
static long findSection(const std::vector<std::string>& lines, const char* section) {
    std::string name;
    for (size_t i = 0; i < lines.size(); i++) {
        if (sectionName(lines[i], &name) && sameName(name, section)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// Index of the `key` line within the section starting at `header`, or -1. *end receives the
// index just after the section's last non-blank line.
static long findKey(const std::vector<std::string>& lines, long header, const char* key,
                    size_t* end) {
    std::string name, k, v;
    long found = -1;
    *end = static_cast<size_t>(header) + 1;
    for (size_t i = static_cast<size_t>(header) + 1; i < lines.size(); i++) {
        if (sectionName(lines[i], &name)) {
            break;
        }
        if (!trimmed(lines[i]).empty()) {
            *end = i + 1;
        }
        if (found < 0 && keyLine(lines[i], &k, &v) && sameName(k, key)) {
            found = static_cast<long>(i);
        }
    }
    return found;
}

// The value of section/key, with one pair of enclosing quotes removed as Windows does.
static bool lookUp(const char* section, const char* key, const char* path, std::string* value) {
    if (section == nullptr || key == nullptr) {
        return false;
    }
    std::vector<std::string> lines;
    bool crlf = false;
    std::lock_guard<std::mutex> guard(iniLock);
    if (!readLines(path, &lines, &crlf)) {
        return false;
    }
    long header = findSection(lines, section);
    if (header < 0) {
        return false;
    }
    size_t end = 0;
    long line = findKey(lines, header, key, &end);
    std::string k;
    if (line < 0 || !keyLine(lines[static_cast<size_t>(line)], &k, value)) {
        return false;
    }
    if (value->size() >= 2 && (value->front() == '"' || value->front() == '\'') &&
        value->back() == value->front()) {
        *value = value->substr(1, value->size() - 2);
    }
    return true;
}

int platformIniReadInt(const char* section, const char* key, int defaultValue, const char* path) {
    std::string value;
    if (!lookUp(section, key, path, &value)) {
        return defaultValue;
    }
    return static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
}

int platformIniReadString(const char* section, const char* key, const char* defaultValue, char* out,
                          int size, const char* path) {
    if (out == nullptr || size <= 0) {
        return 0;
    }
    std::string value;
    if (!lookUp(section, key, path, &value)) {
        value = trimmed(defaultValue != nullptr ? defaultValue : "");
    }
    size_t n =
        value.size() < static_cast<size_t>(size - 1) ? value.size() : static_cast<size_t>(size - 1);
    std::memcpy(out, value.data(), n);
    out[n] = '\0';
    return static_cast<int>(n);
}

// Writes the lines to a temporary file beside `path` and renames it over the original, so a
// failure part-way never leaves a truncated settings file.
static bool writeLines(const char* path, const std::vector<std::string>& lines, bool crlf) {
    std::string temporary = std::string(path) + ".tmp" + std::to_string(getpid());
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const char* ending = crlf ? "\r\n" : "\n";
    bool ok = true;
    for (const std::string& line : lines) {
        ok = ok && std::fputs(line.c_str(), file) >= 0 && std::fputs(ending, file) >= 0;
    }
    ok = (std::fclose(file) == 0) && ok;
    if (!ok || std::rename(temporary.c_str(), path) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

// Applies one write to the lines: a null value deletes the key, a null key the whole section.
static void applyWrite(std::vector<std::string>* lines, const char* section, const char* key,
                       const char* value) {
    long header = findSection(*lines, section);
    if (header < 0) {
        if (key == nullptr || value == nullptr) {
            return;
        }
        lines->push_back("[" + std::string(section) + "]");
        lines->push_back(std::string(key) + "=" + value);
        return;
    }
    size_t end = 0;
    long line = findKey(*lines, header, key != nullptr ? key : "", &end);
    if (key == nullptr) {
        lines->erase(lines->begin() + header, lines->begin() + static_cast<long>(end));
    } else if (line >= 0 && value == nullptr) {
        lines->erase(lines->begin() + line);
    } else if (line >= 0) {
        (*lines)[static_cast<size_t>(line)] = std::string(key) + "=" + value;
    } else if (value != nullptr) {
        lines->insert(lines->begin() + static_cast<long>(end), std::string(key) + "=" + value);
    }
}

int platformIniWriteString(const char* section, const char* key, const char* value,
                           const char* path) {
    if (section == nullptr || path == nullptr) {
        return -1;
    }
    std::vector<std::string> lines;
    bool crlf = false;
    std::lock_guard<std::mutex> guard(iniLock);
    readLines(path, &lines, &crlf);
    applyWrite(&lines, section, key, value);
    return writeLines(path, lines, crlf) ? 0 : -1;
}
