// fuzz/fuzz_support.hpp - small helpers shared by the fuzz targets
// Each target defines LLVMFuzzerTestOneInput; it is linked either with libFuzzer (the fuzz
// preset) or with replay_main.cpp, which runs it over corpus files in the normal test suite.
#ifndef KESTIL_FUZZ_FUZZ_SUPPORT_HPP
#define KESTIL_FUZZ_FUZZ_SUPPORT_HPP

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "framework/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

// Log lines of the code under test are dropped: millions of them would only slow the run.
// With KESTIL_FUZZ_LOG set (to a log level) they are kept, for looking into one input.
inline void drop_log_line(int, const char*) {}
inline void silence_log() {
    if (const char* level = getenv("KESTIL_FUZZ_LOG")) {
        kestil_set_log_level(atoi(level));
        return;
    }
    kestil_log_message_handler = drop_log_line;
}

// Diagnostics the code under test prints to the stderr stream go to /dev/null (glibc's stderr
// is an assignable variable); the sanitizers and libFuzzer write to descriptor 2 directly.
inline void silence_stderr_stream() {
    if (getenv("KESTIL_FUZZ_LOG")) return;
    static FILE* null_stream = fopen("/dev/null", "w");
    if (null_stream) stderr = null_stream;
}

// A property the code under test broke: report it and abort, which both libFuzzer and the
// replay driver turn into a failure with the input saved.
// Written to descriptor 2 itself: a target may have pointed the stderr stream elsewhere.
[[noreturn]] inline void fail(const char* what) {
    dprintf(2, "fuzz check failed: %s\n", what);
    abort();
}
inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

// Splits the input at NUL bytes into strings; a last piece without its NUL counts too.
inline std::vector<std::string> split_at_nul(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces;
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != 0) continue;
        pieces.emplace_back(text + start, i - start);
        start = i + 1;
    }
    if (start < size) pieces.emplace_back(text + start, size - start);
    return pieces;
}

// A private folder for the files a target writes on every input, made once per process and
// removed at exit with the files named through it. In memory (/dev/shm) where there is one,
// since the files are rewritten thousands of times a second; else under /tmp.
class TempDir {
public:
    TempDir() {
        snprintf(path_, sizeof path_, "%s", "/dev/shm/kestil_fuzz_XXXXXX");
        if (mkdtemp(path_)) return;
        snprintf(path_, sizeof path_, "%s", "/tmp/fuzz_work_XXXXXX");
        if (!mkdtemp(path_)) fail("can't make a temporary folder");
    }
    ~TempDir() {
        for (const std::string& file : files_) unlink(file.c_str());
        rmdir(path_);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const char* path() const { return path_; }
    std::string file(const std::string& name) {
        std::string full = std::string(path_) + "/" + name;
        files_.push_back(full);
        return full;
    }

private:
    char path_[64];
    std::vector<std::string> files_;
};

}  // namespace fuzz

#endif
