// kbhost --music DIR: writes the two files the host's media library would keep for DIR, so the
// plug-in's library watcher finds the tracks and playlists as it would in the real host.
#include "host/host_common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifdef _WIN32
#include <direct.h>
static const char kSeparator = '\\';
static const char kLineEnd[] = "\r\n";
#else
#include <unistd.h>
static const char kSeparator = '/';
static const char kLineEnd[] = "\n";
#endif

namespace {
struct ScanState {
    std::vector<std::string> tracks;
    std::vector<std::string> playlists;
    std::set<std::pair<uint64_t, uint64_t>> visited; // device and inode of each folder
    size_t folders = 0;
    time_t lastReport = 0;
};
} // namespace

static std::string canonicalPath(const char* path) {
#ifdef _WIN32
    char* full = _fullpath(nullptr, path, 0);
#else
    char* full = realpath(path, nullptr);
#endif
    std::string result = full != nullptr ? full : "";
    std::free(full);
    return result;
}

static bool makeFolder(const std::string& path) {
#ifdef _WIN32
    return _mkdir(path.c_str()) == 0 || errno == EEXIST;
#else
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
#endif
}

static bool endsWithNoCase(const std::string& name, const char* suffix) {
    size_t n = std::strlen(suffix);
    if (name.size() <= n) {
        return false;
    }
    for (size_t i = 0; i < n; i++) {
        if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != suffix[i]) {
            return false;
        }
    }
    return true;
}

// True the first time a folder is seen, so links that loop back are walked once.
static bool firstVisit(ScanState* state, const struct stat& info) {
    std::pair<uint64_t, uint64_t> id(static_cast<uint64_t>(info.st_dev),
                                     static_cast<uint64_t>(info.st_ino));
#ifdef _WIN32
    if (id.second == 0) {
        return true; // no inode numbers on this file system; no links to loop either
    }
#endif
    return state->visited.insert(id).second;
}

static void reportProgress(ScanState* state, const std::string& folder) {
    time_t now = std::time(nullptr);
    if (now - state->lastReport < 1) {
        return;
    }
    state->lastReport = now;
    std::fprintf(stderr, "kbhost: scanning %s ... %zu folders, %zu tracks so far\n", folder.c_str(),
                 state->folders, state->tracks.size());
}

static void scanFolder(const std::string& folder, ScanState* state, int depth) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        std::fprintf(stderr, "kbhost: skipping unreadable folder %s: %s\n", folder.c_str(),
                     std::strerror(errno));
        return;
    }
    std::vector<std::string> names;
    for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.push_back(entry->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    state->folders++;
    reportProgress(state, folder);
    for (const std::string& name : names) {
        std::string path = folder + kSeparator + name;
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            if (depth < 64 && firstVisit(state, info)) {
                scanFolder(path, state, depth + 1);
            }
        } else if (S_ISREG(info.st_mode) && endsWithNoCase(name, ".mp3")) {
            state->tracks.push_back(path);
        } else if (S_ISREG(info.st_mode) && endsWithNoCase(name, ".m3u")) {
            state->playlists.push_back(path);
        }
    }
}

static std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

static bool samePart(const std::string& a, const std::string& b) {
#ifdef _WIN32
    return _stricmp(a.c_str(), b.c_str()) == 0;
#else
    return a == b;
#endif
}

// `target` relative to the folder `base`, both canonical. False when no relative path exists
// (another drive).
static bool relativePath(const std::string& base, const std::string& target, std::string* out) {
    std::vector<std::string> from = splitPath(base), to = splitPath(target);
    size_t common = 0;
    while (common < from.size() && common < to.size() && samePart(from[common], to[common])) {
        common++;
    }
#ifdef _WIN32
    if (common == 0) {
        return false;
    }
#endif
    out->clear();
    for (size_t i = common; i < from.size(); i++) {
        *out += "..";
        *out += kSeparator;
    }
    for (size_t i = common; i < to.size(); i++) {
        *out += to[i];
        if (i + 1 < to.size()) {
            *out += kSeparator;
        }
    }
    return true;
}

// Writes a whole file through a temporary beside it, so a reader never sees half of it.
static bool writeFileAtomically(const std::string& path, const std::string& content) {
    std::string temporary = path + ".new";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = (std::fclose(file) == 0) && ok;
#ifdef _WIN32
    if (ok) {
        std::remove(path.c_str());
    }
#endif
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

static std::string playlistTitle(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.substr(0, name.size() - 4); // without ".m3u"
}

static std::string savedQueries(const ScanState& state, const std::string& mlFolder) {
    std::string lines, relative;
    int count = 0;
    for (const std::string& playlist : state.playlists) {
        if (playlist.find_first_of("\r\n") != std::string::npos ||
            !relativePath(mlFolder, playlist, &relative)) {
            std::fprintf(stderr, "kbhost: skipping playlist %s: no usable relative path\n",
                         playlist.c_str());
            continue;
        }
        count++;
        lines += "query" + std::to_string(count) + "_val=" + relative + kLineEnd;
        lines += "query" + std::to_string(count) + "_name=" + playlistTitle(playlist) + kLineEnd;
    }
    return std::string("[gen_ml_config]") + kLineEnd + "query_num=" + std::to_string(count) +
           kLineEnd + lines;
}

int hostWriteMusicLibrary(const char* musicDir, const char* hostDir) {
    struct stat info {};
    if (stat(musicDir, &info) != 0) {
        std::fprintf(stderr, "kbhost: cannot read the music folder %s: %s\n", musicDir,
                     std::strerror(errno));
        return -1;
    }
    std::string root = canonicalPath(musicDir);
    DIR* probe = S_ISDIR(info.st_mode) ? opendir(root.c_str()) : nullptr;
    if (probe == nullptr) {
        std::fprintf(stderr, "kbhost: cannot read the music folder %s: %s\n", musicDir,
                     S_ISDIR(info.st_mode) ? std::strerror(errno) : "not a folder");
        return -1;
    }
    closedir(probe);
    ScanState state;
    state.lastReport = std::time(nullptr);
    firstVisit(&state, info);
    scanFolder(root, &state, 0);

    std::string plugins = std::string(hostDir) + kSeparator + "Plugins";
    std::string ml = plugins + kSeparator + "ml";
    std::string library;
    for (const std::string& track : state.tracks) {
        library.append(track.c_str(), track.size() + 1);
    }
    if (!makeFolder(plugins) || !makeFolder(ml) ||
        !writeFileAtomically(ml + kSeparator + "main.dat", library) ||
        !writeFileAtomically(plugins + kSeparator + "gen_ml.ini",
                             savedQueries(state, canonicalPath(ml.c_str())))) {
        std::fprintf(stderr, "kbhost: cannot write the media library under %s: %s\n",
                     plugins.c_str(), std::strerror(errno));
        return -1;
    }
    std::printf("kbhost: music library: %zu tracks, %zu playlists from %s\n", state.tracks.size(),
                state.playlists.size(), root.c_str());
    std::fflush(stdout);
    return 0;
}
