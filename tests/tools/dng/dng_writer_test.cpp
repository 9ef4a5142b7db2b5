// Tests of the DNG writer's refusals (the files it writes are decoded by LibRaw in
// tests/framework/dslr_raw_test.cpp).
#include "tools/dng/dng_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"

namespace {

class DngWriter : public ::testing::Test {
protected:
    test_support::TempDir dir{"dng_writer_test"};
    const std::string root = dir.path();
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

}  // namespace
