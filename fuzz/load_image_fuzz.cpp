// fuzz/load_image_fuzz.cpp - image input on arbitrary bytes, all four paths
// Input: one byte choosing the downsample factor (the byte modulo 20, minus 1: -1 to 18), then
// the file. Raw, FITS and JPEG are recognised by their first bytes, anything else goes to the
// camera raw reader (LibRaw), so the seeds of each format lead the fuzzer into every reader.
// Checks: a loaded image is "RAW2" with the binned size of the size reported, the factor is at
// least 1 (even for a Bayer mosaic), unbinned RAW1 and RAW2 samples come through exactly; a
// failure names its reason and leaves no image.
// JPEG streams claiming more than a megapixel are skipped: the reader decodes any size up to
// 65535 x 65535 from a few bytes by design (a stream cut short is filled in by libjpeg), so
// such inputs would only measure the machine's memory and time.
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "solver/image/solver_image.h"

namespace {

constexpr uint64_t max_jpeg_pixels = 1 << 20;

struct HeaderError {
    jpeg_error_mgr manager;
    jmp_buf jump;
};

void leave_header(j_common_ptr info) { longjmp(reinterpret_cast<HeaderError*>(info->err)->jump, 1); }
void no_message(j_common_ptr) {}

// Whether a JPEG stream's header claims more pixels than max_jpeg_pixels; false for a broken
// header (the reader then reports it itself).
bool jpeg_too_large(const uint8_t* data, size_t size) {
    if (size < 3 || memcmp(data, "\xFF\xD8\xFF", 3) != 0) return false;
    jpeg_decompress_struct info;
    HeaderError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = leave_header;
    error.manager.output_message = no_message;
    jpeg_create_decompress(&info);
    volatile bool too_large = false;  // kept across the jump back from a library error
    if (setjmp(error.jump) == 0) {
        jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK)
            too_large = uint64_t(info.image_width) * info.image_height > max_jpeg_pixels;
    }
    jpeg_destroy_decompress(&info);
    return too_large;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), fuzz::silence_stderr_stream(), true);
    (void)ready;
    if (size < 1 || size > 0x7FFFFFFF) return 0;
    const int32_t downsample = data[0] % 20 - 1;
    // A heap block of exactly the file's size (also for an empty file), so that any read past
    // the end is caught.
    std::vector<uint8_t> file(data + 1, data + size);
    if (jpeg_too_large(file.data(), file.size())) return 0;
    int32_t factor = -7, width = -7, height = -7;
    bool bayer = false;
    const char* message = nullptr;
    SolverImage* image = kestil_solver_load_image(file.data(), int32_t(file.size()), downsample,
                                                  &factor, &width, &height, &bayer, &message);
    if (!image) {
        fuzz::check(message != nullptr && message[0] != '\0', "a failure names its reason");
        return 0;
    }
    fuzz::check(image->signature == PIXEL_FORMAT_RAW2, "working image is RAW2");
    fuzz::check(factor >= 1 && factor >= downsample, "factor at least the one asked for");
    fuzz::check(!bayer || factor % 2 == 0, "even factor for a Bayer mosaic");
    fuzz::check(width > 0 && height > 0, "size reported");
    fuzz::check(image->width == uint32_t(width / factor) && image->height == uint32_t(height / factor),
                "binned size");
    fuzz::check(image->width > 0 && image->height > 0, "not empty");
    // Every sample is read once, so that a short allocation shows up here at the latest; an
    // unbinned 16-bit raw image is the file's samples, an 8-bit one each byte times 257.
    const size_t count = size_t(image->width) * image->height;
    const bool raw2 = file.size() >= 12 && memcmp(file.data(), "RAW2", 4) == 0;
    const bool raw1 = file.size() >= 12 && memcmp(file.data(), "RAW1", 4) == 0;
    uint64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += image->pixels[i];
        if (factor != 1) continue;
        if (raw2) {
            const uint16_t sample = uint16_t(file[12 + 2 * i] | (file[13 + 2 * i] << 8));
            if (image->pixels[i] != sample) fuzz::fail("RAW2 samples kept");
        } else if (raw1 && image->pixels[i] != file[12 + i] * 257) {
            fuzz::fail("RAW1 samples times 257");
        }
    }
    (void)sum;
    free(image);
    return 0;
}
