// fuzz/fits_header_fuzz.cpp - the FITS header parser on arbitrary bytes
// Input: the file. Checks: an accepted header describes a supported image (BITPIX 8, 16, 32,
// -32 or -64 with the matching sample size and type, 1 to 65535 by 1 to 65535 pixels, 1 to 16
// planes) whose samples lie entirely inside the buffer, and a sample at each end of the data
// reads (for a tile-compressed image: whose table does); a refusal gives one of the three
// documented messages.
#include <string.h>

#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "solver/image/fits_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), fuzz::silence_stderr_stream(), true);
    (void)ready;
    if (size > 0x7FFFFFFF) return 0;
    std::vector<uint8_t> file(data, data + size);
    FitsInfo info;
    memset(&info, 0, sizeof info);
    bool bayer = false;
    const char* message = nullptr;
    if (!parse_fits_header(file.data(), int32_t(file.size()), &info, &bayer, &message)) {
        fuzz::check(message && (strcmp(message, "Truncated FITS header") == 0 ||
                                strcmp(message, "Unsupported FITS image") == 0 ||
                                strcmp(message, "Truncated FITS image") == 0),
                    "a documented message");
        return 0;
    }
    struct Encoding { int32_t bitpix, bytes; };
    static constexpr Encoding encodings[] = {{8, 1}, {16, 2}, {32, 4}, {-32, 4}, {-64, 8}};
    bool known = false;
    for (const Encoding& e : encodings) known = known || (info.bitpix == e.bitpix && info.bytes_per_sample == e.bytes);
    fuzz::check(known, "supported BITPIX and its sample size");
    fuzz::check(info.width >= 1 && info.width <= 65535 && info.height >= 1 && info.height <= 65535,
                "image size");
    fuzz::check(info.planes >= 1 && info.planes <= 16, "planes");
    fuzz::check(info.sample_type >= FITS_U8 && info.sample_type <= FITS_F64, "sample type");
    const uint8_t* begin = file.data();
    const uint8_t* end = begin + file.size();
    const uint64_t data_bytes =
        uint64_t(info.width) * uint64_t(info.height) * uint64_t(info.planes) * uint64_t(info.bytes_per_sample);
    if (info.compressed_header) {  // a tile-compressed image: its table, not samples, follows
        fuzz::check(info.compressed_header > begin && info.compressed_header < info.data &&
                        info.compressed_header + info.compressed_length == end,
                    "compressed table inside the buffer");
        return 0;
    }
    fuzz::check(info.data >= begin && info.data <= end && data_bytes <= uint64_t(end - info.data),
                "samples inside the buffer");
    read_fits_sample(info.data, &info);
    read_fits_sample(info.data + data_bytes - uint64_t(info.bytes_per_sample), &info);
    return 0;
}
