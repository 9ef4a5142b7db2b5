// Tests of the DNG writer's refusals and of the TIFF structure it writes (its decoding by
// LibRaw is tested with the camera raw reader in tests/framework/dslr_raw_test.cpp).
#include "tools/dng/dng_writer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

class DngWriter : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dng_writer_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        root = pattern;
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + root + "'";
        ASSERT_EQ(0, system(command.c_str()));
    }
    std::string root;
};

TEST_F(DngWriter, RefusesInvalidRequests) {
    const std::vector<uint16_t> mosaic(16, 100);
    std::vector<uint16_t> bright = mosaic;
    bright[7] = 4096;  // needs 13 bits
    const std::string path = root + "/out.dng";
    struct Case { const uint16_t* samples; int width, height; const char* pattern; int bits;
                  std::string path; const char* message; };
    const Case cases[] = {
        {mosaic.data(), 0, 4, "RGGB", 12, path, "Invalid image size"},
        {mosaic.data(), 4, -1, "RGGB", 12, path, "Invalid image size"},
        {nullptr, 4, 4, "RGGB", 12, path, "Invalid image size"},
        {mosaic.data(), 4, 4, "RGGX", 12, path, "Invalid CFA pattern"},
        {mosaic.data(), 4, 4, "RGG", 12, path, "Invalid CFA pattern"},
        {mosaic.data(), 4, 4, "GGGG", 12, path, "Invalid CFA pattern"},
        {mosaic.data(), 4, 4, nullptr, 12, path, "Invalid CFA pattern"},
        {mosaic.data(), 4, 4, "RGGB", 7, path, "Invalid bit depth"},
        {mosaic.data(), 4, 4, "RGGB", 17, path, "Invalid bit depth"},
        {bright.data(), 4, 4, "RGGB", 12, path, "Sample above the bit depth"},
        {mosaic.data(), 4, 4, "RGGB", 12, root + "/missing/out.dng", "Cannot create the file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const char* message = nullptr;
        EXPECT_FALSE(write_cfa_dng(c.path.c_str(), c.samples, c.width, c.height, c.pattern,
                                   c.bits, &message));
        EXPECT_STREQ(c.message, message);
    }
    const char* message = nullptr;
    EXPECT_TRUE(write_cfa_dng(path.c_str(), bright.data(), 4, 4, "BGGR", 13, &message));
}

uint32_t le(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + size_t(i)];
    return v;
}

TEST_F(DngWriter, WritesOneIfdWithTheCfaTagsAndTheSamples) {
    const int width = 6, height = 4;
    std::vector<uint16_t> mosaic(width * height);
    for (size_t i = 0; i < mosaic.size(); ++i) mosaic[i] = uint16_t(1000 + i);
    const std::string path = root + "/cfa.dng";
    const char* message = nullptr;
    ASSERT_TRUE(write_cfa_dng(path.c_str(), mosaic.data(), width, height, "GBRG", 14, &message));
    std::vector<uint8_t> file;
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    for (int c; (c = std::fgetc(f)) != EOF;) file.push_back(uint8_t(c));
    std::fclose(f);
    ASSERT_GE(file.size(), 8u);
    EXPECT_EQ(0, std::memcmp(file.data(), "II*\0", 4));
    const size_t ifd = le(file, 4, 4);
    const size_t entries = le(file, ifd, 2);
    uint32_t strip = 0, bytes = 0, white = 0, photometric = 0, last_tag = 0;
    std::vector<uint8_t> cfa;
    for (size_t i = 0; i < entries; ++i) {
        const size_t at = ifd + 2 + 12 * i;
        const uint32_t tag = le(file, at, 2), type = le(file, at + 2, 2);
        EXPECT_GT(tag, last_tag) << "tags in ascending order";
        last_tag = tag;
        const uint32_t value = type == 3 ? le(file, at + 8, 2) : le(file, at + 8, 4);
        if (tag == 273) strip = value;
        if (tag == 279) bytes = value;
        if (tag == 50717) white = value;
        if (tag == 262) photometric = value;
        if (tag == 33422) cfa.assign(file.begin() + long(at + 8), file.begin() + long(at + 12));
    }
    EXPECT_EQ(0u, le(file, ifd + 2 + 12 * entries, 4)) << "a single IFD";
    EXPECT_EQ(32803u, photometric);
    EXPECT_EQ(16383u, white);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 0, 1}), cfa);  // G B R G as TIFF/EP colour codes
    ASSERT_EQ(uint32_t(width * height * 2), bytes);
    ASSERT_EQ(file.size(), size_t(strip) + bytes);
    for (size_t i = 0; i < mosaic.size(); ++i) EXPECT_EQ(mosaic[i], le(file, strip + 2 * i, 2));
}

}  // namespace
