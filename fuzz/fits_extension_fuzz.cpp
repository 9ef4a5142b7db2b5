// fuzz/fits_extension_fuzz.cpp - FITS images in extensions, plain and tile-compressed
// Input: what follows a primary header without data (NAXIS = 0), which the target puts first:
// extension headers, tables, image data, compressed tiles. Checks: an accepted file describes
// a supported image (as fits_header checks) whose samples, or for a compressed image whose
// table, lie inside the buffer; a refusal gives one of the three documented messages. An
// accepted image of at most a megasample is converted: the result has the described size, and
// only a compressed image may fail instead, with "Unreadable compressed FITS image" (its tiles
// are expanded by cfitsio, behind the reader's checks of the table).
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "solver/image/fits_reader.h"

namespace {

constexpr uint64_t max_converted_samples = 1 << 20;

// SIMPLE, BITPIX 8, NAXIS 0, EXTEND and END, padded to one block.
std::vector<uint8_t> empty_primary_header() {
    std::string header;
    for (const char* card : {"SIMPLE  =                    T", "BITPIX  =                    8",
                             "NAXIS   =                    0", "EXTEND  =                    T",
                             "END"}) {
        std::string text = card;
        text.resize(80, ' ');
        header += text;
    }
    header.resize(2880, ' ');
    return std::vector<uint8_t>(header.begin(), header.end());
}

bool documented_refusal(const char* message) {
    return message && (strcmp(message, "Truncated FITS header") == 0 ||
                       strcmp(message, "Unsupported FITS image") == 0 ||
                       strcmp(message, "Truncated FITS image") == 0);
}

void check_description(const FitsInfo& info, const uint8_t* begin, const uint8_t* end) {
    fuzz::check(info.bitpix == 8 || info.bitpix == 16 || info.bitpix == 32 || info.bitpix == -32 ||
                    info.bitpix == -64,
                "supported BITPIX");
    fuzz::check(info.bytes_per_sample == abs(info.bitpix) / 8, "sample size");
    fuzz::check(info.width >= 1 && info.width <= 65535 && info.height >= 1 && info.height <= 65535,
                "image size");
    fuzz::check(info.planes >= 1 && info.planes <= 16, "planes");
    fuzz::check(info.data > begin && info.data <= end, "data inside the buffer");
    const uint64_t sample_bytes = uint64_t(info.width) * uint64_t(info.height) *
                                  uint64_t(info.planes) * uint64_t(info.bytes_per_sample);
    if (!info.compressed_header) {
        fuzz::check(sample_bytes <= uint64_t(end - info.data), "samples inside the buffer");
        return;
    }
    fuzz::check(info.compressed_header > begin && info.compressed_header < info.data,
                "compressed header before its table");
    fuzz::check(info.compressed_header + info.compressed_length == end,
                "compressed image runs to the end of the buffer");
    fuzz::check(sample_bytes <= 1024 * uint64_t(end - info.data), "expansion within 1024");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), fuzz::silence_stderr_stream(), true);
    (void)ready;
    if (size > 0x7FFFFFFF - 2880) return 0;
    std::vector<uint8_t> file = empty_primary_header();
    file.insert(file.end(), data, data + size);
    FitsInfo info;
    memset(&info, 0, sizeof info);
    bool bayer = false;
    const char* message = nullptr;
    if (!parse_fits_header(file.data(), int32_t(file.size()), &info, &bayer, &message)) {
        fuzz::check(documented_refusal(message), "a documented message");
        return 0;
    }
    check_description(info, file.data(), file.data() + file.size());
    if (uint64_t(info.width) * uint64_t(info.height) * uint64_t(info.planes) > max_converted_samples)
        return 0;
    message = nullptr;
    SolverImage* image = fits_image(&info, 1);
    if (!image) {
        fuzz::check(info.compressed_header && message &&
                        strcmp(message, "Unreadable compressed FITS image") == 0,
                    "only a compressed image fails, with its message");
        return 0;
    }
    fuzz::check(image->width == uint32_t(info.width) && image->height == uint32_t(info.height),
                "converted image of the described size");
    free(image);
    return 0;
}
