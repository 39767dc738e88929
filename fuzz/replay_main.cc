// Replays fuzz inputs without libFuzzer: every file named on the command
// line, or found directly inside a directory named there, is fed once to
// LLVMFuzzerTestOneInput.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool replay_file(const std::string &path) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat status;
        if (stat(argv[i], &status) != 0) {
            std::fprintf(stderr, "no such input: %s\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(status.st_mode)) {
            if (!replay_file(argv[i])) return 1;
            ++replayed;
            continue;
        }
        DIR *directory = opendir(argv[i]);
        if (!directory) return 1;
        std::vector<std::string> names;
        while (struct dirent *entry = readdir(directory))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(directory);
        for (const auto &name : names) {
            if (!replay_file(std::string(argv[i]) + "/" + name)) return 1;
            ++replayed;
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    return 0;
}
