// Replays fuzz inputs through a target without libFuzzer: each argument is a file or a folder
// of files. Lets ordinary test runs keep every corpus entry (and every past crasher) passing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int replayFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return 0;
    }
    std::vector<uint8_t> bytes;
    uint8_t block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) {
        bytes.insert(bytes.end(), block, block + n);
    }
    std::fclose(f);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st {};
        if (stat(argv[i], &st) != 0) {
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            count += replayFile(argv[i]);
            continue;
        }
        DIR* dir = opendir(argv[i]);
        while (dir != nullptr) {
            dirent* entry = readdir(dir);
            if (entry == nullptr) {
                break;
            }
            if (entry->d_name[0] != '.') {
                count += replayFile(std::string(argv[i]) + "/" + entry->d_name);
            }
        }
        if (dir != nullptr) {
            closedir(dir);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
