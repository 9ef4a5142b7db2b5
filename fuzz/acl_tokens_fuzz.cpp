// fuzz/acl_tokens_fuzz.cpp - the access-control-list loader on arbitrary files
// Input: the file's bytes. The target writes them to a private temporary file, loads it, saves
// the table and loads the saved file again.
// Checks: no table holds more than 256 entries; each name read back has at most 127 bytes and
// maps to the token the loader stored; a saved table loads again completely.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "framework/io/tokens.h"
#include "fuzz/fuzz_support.hpp"

namespace {

bool write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    bool ok = size == 0 || fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && ok;
}

// Reads the saved file back line by line: the comment, then "%8llx %s" lines, at most 256,
// each name at most 127 bytes and holding the token written for it in the table.
void check_saved(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (!file) fuzz::fail("can't read the saved file");
    char line[512];
    int entries = 0;
    bool first = true;
    while (fgets(line, sizeof line, file)) {
        if (first) {
            fuzz::check(strcmp(line, "# Device ACL saved by KESTIL\n") == 0, "saved file comment");
            first = false;
            continue;
        }
        ++entries;
        unsigned long long token = 0;
        int name_start = 0;
        fuzz::check(sscanf(line, "%llx %n", &token, &name_start) == 1 && name_start > 0,
                    "saved line form");
        std::string name(line + name_start);
        fuzz::check(!name.empty() && name.back() == '\n', "saved line complete");
        name.pop_back();
        fuzz::check(!name.empty() && name.size() <= 127, "saved name length");
        fuzz::check(kestil_get_device_token(name.c_str()) == token, "saved token is the table's");
    }
    fclose(file);
    fuzz::check(!first && entries <= KESTIL_MAX_DEVICE_TOKENS, "at most 256 entries");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), true);
    (void)ready;
    static fuzz::TempDir folder;
    static const std::string input = folder.file("input.acl");
    static const std::string saved = folder.file("saved.acl");
    if (!write_file(input, data, size)) fuzz::fail("can't write the input file");

    kestil_clear_device_tokens();
    kestil_set_master_token(0);
    kestil_load_device_tokens_from_file(input.c_str());
    const uint64_t master = kestil_get_master_token();
    fuzz::check(kestil_save_device_tokens_to_file(saved.c_str()), "table saved");
    check_saved(saved);

    kestil_clear_device_tokens();
    fuzz::check(kestil_load_device_tokens_from_file(saved.c_str()), "saved table loads");
    fuzz::check(kestil_get_master_token() == master, "master token kept");
    kestil_clear_device_tokens();
    return 0;
}
