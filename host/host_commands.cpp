#include "host/host_common.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// One number: 0x-hex or decimal (possibly negative). False when the word is not a number.
static bool parseNumber(const char* word, long long* value) {
    if (word == nullptr) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    bool hex = word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    if (hex) {
        *value = static_cast<long long>(std::strtoull(word + 2, &end, 16));
        if (end == word + 2) {
            return false;
        }
    } else {
        *value = std::strtoll(word, &end, 10);
        if (end == word) {
            return false;
        }
    }
    return errno == 0 && *end == '\0';
}

HostCommand hostParseCommand(const char* line) {
    HostCommand command = {HostCommandKind::Invalid, 0, 0, 0};
    char copy[256];
    if (std::strlen(line) >= sizeof copy) {
        return command;
    }
    std::strcpy(copy, line);
    char* words[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    int count = 0;
    for (char* p = copy; *p != '\0' && count < 5;) {
        while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) {
            *p++ = '\0';
        }
        if (*p == '\0') {
            break;
        }
        words[count++] = p;
        while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) {
            p++;
        }
    }
    if (count == 0) {
        command.kind = HostCommandKind::None;
    } else if (count == 1 && std::strcmp(words[0], "click") == 0) {
        command = {HostCommandKind::Click, kTrayMessage, kTrayIconId, kTrayLeftButtonDown};
    } else if (count == 1 && std::strcmp(words[0], "config") == 0) {
        command.kind = HostCommandKind::Config;
    } else if (count == 1 && std::strcmp(words[0], "quit") == 0) {
        command.kind = HostCommandKind::Quit;
    } else if (count == 4 && std::strcmp(words[0], "message") == 0) {
        long long msg = 0, wParam = 0, lParam = 0;
        if (parseNumber(words[1], &msg) && parseNumber(words[2], &wParam) &&
            parseNumber(words[3], &lParam)) {
            command = {HostCommandKind::Message, static_cast<uint32_t>(msg),
                       static_cast<uintptr_t>(wParam), static_cast<intptr_t>(lParam)};
        }
    }
    return command;
}

bool hostParseOptions(int argc, char** argv, HostOptions* options) {
    options->music = nullptr;
    options->stayMs = 0;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--music") == 0 && i + 1 < argc) {
            options->music = argv[++i];
        } else if (std::strcmp(argv[i], "--stay") == 0 && i + 1 < argc) {
            options->stayMs = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: kbhost [--music DIR] [--stay MS]\n"
                                 "  reads commands from standard input: click, message MSG WPARAM "
                                 "LPARAM, config, quit\n"
                                 "  --stay MS keeps the process MS milliseconds after the plug-ins "
                                 "are unloaded\n");
            return false;
        }
    }
    return true;
}
