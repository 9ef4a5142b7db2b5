// framework/dslr_raw.cpp - the sensor mosaic of a camera raw file, through LibRaw's C interface
#include "framework/dslr_raw.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include <libraw/libraw.h>

#include "framework/log.h"

namespace {

constexpr int refused = -1;
constexpr int xtrans_filters = 9;
// A user_qual above 20 asks for the sensor mosaic rather than a demosaiced picture.
constexpr int mosaic_quality = 21;

struct RawCloser {
    void operator()(libraw_data_t* raw) const noexcept {
        libraw_free_image(raw);
        libraw_recycle(raw);
        libraw_close(raw);
    }
};
using RawHandle = std::unique_ptr<libraw_data_t, RawCloser>;

// LibRaw's own handler prints damaged-data notices on the standard error; they go to the
// debug log instead (the unpack status tells the caller what happened).
void log_data_error(void*, const char* file, const int offset) {
    kestil_debug("libraw: data error in %s at offset %d", file ? file : "buffer",
                 offset);
}

void reset(DslrRawImage* image) {
    std::memset(image, 0, sizeof(*image));
    image->bits = 16;
}

// The filter pattern as letters of idata.cdesc: 6 x 6 for X-Trans, else the 2 x 2 cell.
void pattern_letters(libraw_data_t* raw, char* pattern) {
    const char* names = raw->idata.cdesc;
    const auto letter = [names](int index) {
        return index >= 0 && index < 4 && names[index] ? names[index] : '?';
    };
    if (raw->idata.filters == xtrans_filters) {
        int n = 0;
        for (int row = 0; row < 6; ++row)
            for (int column = 0; column < 6; ++column)
                pattern[n++] = letter(raw->idata.xtrans_abs[row][column]);
        pattern[n] = '\0';
        return;
    }
    pattern[0] = letter(libraw_COLOR(raw, 0, 0));
    pattern[1] = letter(libraw_COLOR(raw, 0, 1));
    pattern[2] = letter(libraw_COLOR(raw, 1, 0));
    pattern[3] = letter(libraw_COLOR(raw, 1, 1));
    pattern[4] = '\0';
}

void log_sizes(const libraw_data_t* raw, const char* pattern) {
    const auto& id = raw->idata;
    const auto& s = raw->sizes;
    kestil_debug("Maker       : %s, Model      : %s", id.make, id.model);
    kestil_debug("Norm Maker  : %s, Norm Model : %s", id.normalized_make, id.normalized_model);
    kestil_debug("width       = %d, height     = %d", s.width, s.height);
    kestil_debug("iwidth      = %d, iheight    = %d", s.iwidth, s.iheight);
    kestil_debug("raw_width   = %d, raw_height = %d", s.raw_width, s.raw_height);
    kestil_debug("left_margin = %d, top_margin = %d", s.left_margin, s.top_margin);
    kestil_debug("bayerpat    : %s", pattern);
}

// The visible area must be a one-sample-per-pixel mosaic lying inside the unpacked raw area.
int check_mosaic(const libraw_data_t* raw) {
    const auto& s = raw->sizes;
    if (s.iheight > s.raw_height) {
        kestil_error("Images with raw_height < image_height are not supported");
        return refused;
    }
    if (!raw->rawdata.raw_image) {
        kestil_error("Only one-sample-per-pixel sensor mosaics are supported");
        return refused;
    }
    const auto& r = raw->rawdata.sizes;
    if (uint32_t(r.top_margin) + s.iheight > s.raw_height ||
        uint32_t(r.left_margin) + s.iwidth > s.raw_width) {
        kestil_error("The visible area does not lie inside the raw area");
        return refused;
    }
    return 0;
}

}  // namespace

extern "C" int kestil_dslr_raw_process_image(const void* data, uint64_t size,
                                             DslrRawImage* image) {
    reset(image);
    const std::clock_t start = std::clock();
    RawHandle raw(libraw_init(0));
    if (!raw) {
        kestil_error("libraw_init failed: insufficient memory");
        return LIBRAW_UNSUFFICIENT_MEMORY;
    }
    libraw_set_dataerror_handler(raw.get(), log_data_error, nullptr);
    raw->params.gamm[0] = 1.0;
    raw->params.gamm[1] = 1.0;
    raw->params.output_bps = 16;
    raw->params.no_auto_bright = 1;
    raw->params.user_qual = mosaic_quality;
    // LibRaw takes a non-const pointer; it only reads the buffer.
    int status = libraw_open_buffer(raw.get(), const_cast<void*>(data), size_t(size));
    if (status != LIBRAW_SUCCESS) {
        kestil_error("[rc:%d] libraw_open_buffer failed: '%s'", status, libraw_strerror(status));
        return status;
    }
    status = libraw_unpack(raw.get());
    if (status != LIBRAW_SUCCESS) {
        kestil_error("[rc:%d] libraw_unpack failed: '%s'", status, libraw_strerror(status));
        return status;
    }
    pattern_letters(raw.get(), image->bayer_pattern);
    log_sizes(raw.get(), image->bayer_pattern);
    status = check_mosaic(raw.get());
    if (status != 0) return status;
    const auto& s = raw->sizes;
    const size_t width = s.iwidth, height = s.iheight;
    auto* samples = static_cast<uint16_t*>(std::calloc(width * height + 1, 2));
    if (!samples) {
        const int error = errno ? errno : ENOMEM;
        kestil_error("%s", std::strerror(error));
        return -error;
    }
    const ushort* mosaic = raw->rawdata.raw_image;
    const size_t top = raw->rawdata.sizes.top_margin, left = raw->rawdata.sizes.left_margin;
    for (size_t row = 0; row < height; ++row)
        std::memcpy(samples + row * width, mosaic + (top + row) * s.raw_width + left, width * 2);
    image->width = uint16_t(width);
    image->height = uint16_t(height);
    image->size = width * height * 2;
    image->data = samples;
    image->colors = 1;
    kestil_debug("libraw conversion in %g sec, input size: %d bytes, unpacked + (de)bayered "
                 "output size: %d bytes, bayer pattern '%s', dimension: %d x %d, bits: %d, "
                 "colors: %d",
                 double(std::clock() - start) / CLOCKS_PER_SEC, int(size), int(image->size),
                 image->bayer_pattern, int(image->width), int(image->height), int(image->bits),
                 int(image->colors));
    return 0;
}
