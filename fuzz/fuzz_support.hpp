// fuzz/fuzz_support.hpp - small helpers shared by the fuzz targets
// Each target defines LLVMFuzzerTestOneInput; it is linked either with libFuzzer (the fuzz
// preset) or with replay_main.cpp, which runs it over corpus files in the normal test suite.
#ifndef KESTIL_FUZZ_FUZZ_SUPPORT_HPP
#define KESTIL_FUZZ_FUZZ_SUPPORT_HPP

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "framework/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

// Log lines of the code under test are dropped: millions of them would only slow the run.
inline void drop_log_line(int, const char*) {}
inline void silence_log() { kestil_log_message_handler = drop_log_line; }

// Diagnostics the code under test prints to the stderr stream go to /dev/null (glibc's stderr
// is an assignable variable); the sanitizers and libFuzzer write to descriptor 2 directly.
inline void silence_stderr_stream() {
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

}  // namespace fuzz

#endif
