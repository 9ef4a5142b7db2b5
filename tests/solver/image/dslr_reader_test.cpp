// Tests of the camera raw path: DNG files from the test writer, decoded by LibRaw.
#include "solver/image/dslr_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_test_support.hpp"
#include "tests/support/log_capture.hpp"
#include "tools/dng/dng_writer.h"

namespace {

using namespace image_test;

Bytes dng_file(const std::vector<uint16_t>& mosaic, int width, int height) {
    TempDir dir;
    const std::string path = dir.file("frame.dng");
    const char* message = nullptr;
    EXPECT_TRUE(write_cfa_dng(path.c_str(), mosaic.data(), width, height, "RGGB", 14, &message));
    return read_bytes(path);
}

TEST(DslrReader, MosaicAtNativeValuesNeverBayerFlagged) {
    const int width = 30, height = 24;
    std::vector<uint16_t> mosaic(size_t(width) * height);
    for (size_t i = 0; i < mosaic.size(); ++i) mosaic[i] = uint16_t((i * 7129) % 16384);
    mosaic[5] = 16383;  // a 14-bit sensor's largest value stays as it is
    const Bytes file = dng_file(mosaic, width, height);
    for (int32_t downsample : {1, 2, 3}) {
        SCOPED_TRACE(downsample);
        const Loaded r = load(file, downsample);
        ASSERT_TRUE(r.image) << r.text();
        EXPECT_FALSE(r.bayer);
        EXPECT_EQ(downsample, r.factor);  // an odd factor stays odd
        EXPECT_EQ(width, r.width);
        EXPECT_EQ(height, r.height);
        EXPECT_EQ(box_average(mosaic, width, height, size_t(downsample)), r.pixels());
    }
}

TEST(DslrReader, UnrecognisedDataLogsTheOpenFailure) {
    const std::string text = "SIMPLE = T, but one space: neither FITS nor a camera raw file\n";
    const Bytes bytes(text.begin(), text.end());
    struct Case { Bytes bytes; const char* what; };
    const Case cases[] = {{bytes, "text"}, {Bytes{0x49, 0x49}, "two bytes"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test_support::LogCapture log;
        const Loaded r = load(c.bytes, 2);
        const char* message = nullptr;
        EXPECT_EQ(nullptr, dslr_image(c.bytes.data(), int32_t(c.bytes.size()), &message));
        std::vector<std::string> errors;
        for (const test_support::LogLine& entry : log.entries())
            if (entry.level == 1) errors.push_back(entry.line);
        EXPECT_FALSE(r.image);
        EXPECT_EQ("Unsupported image format", r.text());
        EXPECT_STREQ("Unsupported image format", message);
        ASSERT_EQ(2u, errors.size());  // one line per call
        EXPECT_NE(std::string::npos, errors[0].find("libraw_open_buffer failed")) << errors[0];
    }
}

TEST(DslrReader, DamagedFilesEndCleanly) {
    const int width = 24, height = 24;
    const Bytes file = dng_file(std::vector<uint16_t>(size_t(width) * height, 1000), width, height);
    const size_t header = file.size() - size_t(width) * height * 2;
    for (size_t position = 8; position < header; position += 3) {
        Bytes corrupt = file;
        corrupt[position] ^= 0xA5;
        const Loaded r = load(corrupt, 1);
        if (!r.image) {
            ASSERT_TRUE(r.text() == "Unsupported image format" ||
                        r.text() == "Image is too small for downsampling") << r.text();
        }
    }
}

}  // namespace
