// tests/support/temp_dir.hpp - a fresh temporary folder, removed with everything in it
#ifndef KESTIL_TESTS_SUPPORT_TEMP_DIR_HPP
#define KESTIL_TESTS_SUPPORT_TEMP_DIR_HPP

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/files.hpp"

namespace test_support {

// A fresh directory "<prefix>_XXXXXX" under TMPDIR (or /tmp), removed with everything in it on
// destruction; a folder that can't be removed fails the running test.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kestil_test") {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "_XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        if (error) ADD_FAILURE() << "can't remove " << path_ << ": " << error.message();
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of name inside the folder.
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes content to name inside the folder. Result: its path.
    std::string file(const std::string& name, const std::string& content) const {
        const std::string path = file(name);
        write_file(path, std::string_view(content));
        return path;
    }
    // The names in the folder, sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(path_, error))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

}  // namespace test_support

#endif
