// tests/tools/catalog/catalog_test_files.hpp - catalogue files written for the reader tests
#ifndef KESTIL_TESTS_TOOLS_CATALOG_CATALOG_TEST_FILES_HPP
#define KESTIL_TESTS_TOOLS_CATALOG_CATALOG_TEST_FILES_HPP

#include <zlib.h>

#include <string>

#include "tests/support/temp_dir.hpp"

namespace catalog_test {

// Writes text to name in dir, gzip-compressed when asked (each piece one gzip member, as when
// gzip files are concatenated). Result: the path.
inline std::string write(const test_support::TempDir& dir, const std::string& name,
                         const std::string& text, bool gzip, int pieces = 1) {
    if (!gzip) return dir.file(name, text);
    const std::string path = dir.file(name);
    const size_t piece = text.size() / static_cast<size_t>(pieces) + 1;
    for (size_t start = 0; start < text.size() || start == 0; start += piece) {
        gzFile f = gzopen(path.c_str(), start == 0 ? "wb" : "ab");
        const std::string part = text.substr(start, piece);
        gzwrite(f, part.data(), unsigned(part.size()));
        gzclose(f);
        if (text.empty()) break;
    }
    return path;
}

}  // namespace catalog_test

#endif
