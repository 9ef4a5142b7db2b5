// Tests of the file and path services: directory creation, mapping, gzip round trip.
#include "framework/files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/files.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

class FilesTest : public ::testing::Test {
protected:
    void write_file(const std::string& path, const std::string& content) {
        ASSERT_TRUE(test_support::write_file(path, content));
    }
    test_support::TempDir dir{"files_test"};
    const std::string root = dir.path();
    test_support::LogCapture errors;
};

bool is_directory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST_F(FilesTest, MkdirCreatesEveryComponent) {
    write_file(root + "/plain", "x");
    struct Case { std::string path; bool ok; std::string check; };
    const Case cases[] = {
        {root + "/a/b/c", true, root + "/a/b/c"},
        {root + "/a/b/c", true, root + "/a/b/c"},          // everything exists already
        {root + "\\mixed/sep\\deep", true, root + "/mixed/sep/deep"},
        {root + "/a/b/c/", true, root + "/a/b/c"},          // trailing separator
        {root + "/plain/below", false, ""},                 // below a regular file
        {root + "/plain", false, ""},                       // a file is not a directory
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.ok, kestil_uni_mkdir(c.path.c_str()));
        if (c.ok) {
            EXPECT_TRUE(is_directory(c.check));
        }
    }
}

TEST_F(FilesTest, MapFileAndItsFailures) {
    write_file(root + "/data", "hello index");
    write_file(root + "/empty", "");
    uint64_t size = 99;
    void* base = kestil_uni_map_file((root + "/data").c_str(), &size);
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(11u, size);
    EXPECT_EQ(0, memcmp(base, "hello index", 11));
    kestil_uni_unmap_file(base);
    kestil_uni_unmap_file(nullptr);

    struct Case { std::string path; std::string message; };
    const Case cases[] = {
        {root + "/empty", "Failed to get the size of " + root + "/empty"},
        {root + "/missing", "Failed to open " + root + "/missing (No such file or directory)"},
        {root, "Failed to get the size of " + root},  // a directory has no file size
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        errors.clear();
        size = 99;
        EXPECT_EQ(nullptr, kestil_uni_map_file(c.path.c_str(), &size));
        EXPECT_EQ(0u, size);
        ASSERT_EQ(1u, errors.lines().size());
        EXPECT_EQ(c.message, errors.lines()[0]);
    }
}

TEST_F(FilesTest, GzipRoundTripCarriesTheName) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "star " + std::to_string(i) + "\n";
    std::vector<unsigned char> packed(text.size() + 1024);
    size_t packed_size = packed.size();
    ASSERT_GT(kestil_uni_compress("stars.txt", text.data(), text.size(), packed.data(),
                                  &packed_size), 0u);
    EXPECT_LT(packed_size, text.size());
    EXPECT_EQ(0x1f, packed[0]);  // gzip magic
    EXPECT_EQ(0x8b, packed[1]);
    EXPECT_EQ(0x08, packed[3] & 0x08);  // FNAME flag
    std::vector<char> unpacked(text.size());
    size_t unpacked_size = unpacked.size();
    ASSERT_EQ(text.size(), kestil_uni_decompress(packed.data(), packed_size, unpacked.data(),
                                                 &unpacked_size));
    EXPECT_EQ(text, std::string(unpacked.data(), unpacked_size));

    size_t tiny = 4;  // no room: failure reported as size 0
    EXPECT_EQ(0u, kestil_uni_compress("x", text.data(), text.size(), packed.data(), &tiny));
    EXPECT_EQ(0u, tiny);
}

TEST_F(FilesTest, PathHelpers) {
    EXPECT_STREQ("file.fits", kestil_uni_basename("a\\b/c/file.fits"));
    EXPECT_STREQ("", kestil_uni_basename("dir/"));
    write_file(root + "/one", "1");
    write_file(root + "/two", "2");
    char** names = nullptr;
    int count = kestil_uni_scandir(root.c_str(), &names, nullptr);
    EXPECT_EQ(4, count);  // ".", "..", one, two
    for (int i = 0; i < count; ++i) free(names[i]);
    free(names);
    EXPECT_LT(kestil_uni_scandir((root + "/none").c_str(), &names, nullptr), 0);
    EXPECT_EQ(nullptr, names);
    EXPECT_TRUE(kestil_uni_replace_file((root + "/one").c_str(), (root + "/two").c_str()));
    EXPECT_FALSE(kestil_uni_is_readable((root + "/one").c_str()));
    EXPECT_TRUE(kestil_uni_is_readable((root + "/two").c_str()));
    EXPECT_TRUE(kestil_uni_remove((root + "/two").c_str()));
    EXPECT_FALSE(kestil_uni_remove((root + "/two").c_str()));
}

}  // namespace
