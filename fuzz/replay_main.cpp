// fuzz/replay_main.cpp - runs a fuzz target's entry function on files, without libFuzzer
// Usage: fuzz_replay_<target> <file or directory>...  Each file (directories: each regular
// file in them, in name order) is read whole and passed once to LLVMFuzzerTestOneInput.
// A broken check aborts; the sanitizers of the debug build report any memory fault.
// Exit status: 0 when every input ran, 1 when a file can't be read or nothing was given.
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"

namespace {

bool run_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "replay: can't read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A separate heap block of exactly the input's size, so that an overread is caught.
    std::vector<uint8_t> copy(bytes);
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <file or directory>...\n", argv[0]);
        return 1;
    }
    int count = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path(argv[i]);
        std::vector<std::filesystem::path> files;
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(path, error))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(path);
        }
        for (const auto& file : files) {
            ok = run_file(file) && ok;
            ++count;
        }
    }
    printf("replay: %d inputs run\n", count);
    return ok && count > 0 ? 0 : 1;
}
