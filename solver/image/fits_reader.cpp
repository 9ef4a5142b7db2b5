// solver/image/fits_reader.cpp - the image of a FITS file held in memory
#include "solver/image/fits_reader.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "framework/alloc.h"
#include "framework/log.h"
#include "solver/image/binning.h"
#include "solver/image/fits_cards.hpp"
#include "solver/image/fits_tiles.hpp"
#include "solver/image/pixel_convert.hpp"

namespace {

using namespace kestil::image;

constexpr size_t block_size = fits_block_size;

// A compressed image may claim at most this many bytes of samples per byte of its table and
// heap (see fits_reader.h).
constexpr double max_expansion = 1024;

FitsSampleType sample_type_of(int bitpix, double bzero, double bscale) {
    switch (bitpix) {
        case 8: return FITS_U8;
        case 16: return bzero != 0 || bscale != 1 ? FITS_S16_SCALED : FITS_U16;
        case 32: return FITS_S32;
        case -32: return FITS_F32;
        default: return FITS_F64;
    }
}

// Raw numbers of each encoding, big-endian.
inline uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
inline uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t be64(const uint8_t* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

template <FitsSampleType type>
inline double raw_number(const uint8_t* p) {
    if constexpr (type == FITS_U8) return p[0];
    if constexpr (type == FITS_S16_SCALED) return int16_t(uint16_t(be16(p)));
    if constexpr (type == FITS_U16) return be16(p);
    if constexpr (type == FITS_S32) return int32_t(be32(p));
    if constexpr (type == FITS_F32) return std::bit_cast<float>(be32(p));
    if constexpr (type == FITS_F64) return std::bit_cast<double>(be64(p));
}

template <FitsSampleType type>
inline double physical(const uint8_t* p, double bscale, double bzero) {
    const double value = raw_number<type>(p) * bscale + bzero;
    return std::isfinite(value) ? value : 0.0;
}

template <FitsSampleType type>
constexpr bool floating_point = type == FITS_F32 || type == FITS_F64;

// The value a sample is converted from, in single precision: the physical value, 0 when it is
// not finite (as a double).
template <FitsSampleType type>
inline float sample_value(const uint8_t* p, double bscale, double bzero) {
    return float(physical<type>(p, bscale, bzero));
}

// A floating-point sample as the stretch of a narrow range reads it: NaN when its physical
// value is not finite in single precision, so that it stays out of the range and converts to 0.
template <FitsSampleType type>
inline float finite_or_nan(const uint8_t* p, double bscale, double bzero) {
    const auto value = float(raw_number<type>(p) * bscale + bzero);
    return std::isfinite(value) ? value : std::numeric_limits<float>::quiet_NaN();
}

// Calls body.template operator()<type>() with the info's sample type as a constant.
template <typename Body>
auto dispatch(FitsSampleType type, Body&& body) {
    switch (type) {
        case FITS_U8: return body.template operator()<FITS_U8>();
        case FITS_S16_SCALED: return body.template operator()<FITS_S16_SCALED>();
        case FITS_U16: return body.template operator()<FITS_U16>();
        case FITS_S32: return body.template operator()<FITS_S32>();
        case FITS_F32: return body.template operator()<FITS_F32>();
        default: return body.template operator()<FITS_F64>();
    }
}

// Minimum and maximum of the values added that are not NaN (both 0 while none has counted).
struct Range {
    float minimum = 0.0f, maximum = 0.0f;
    bool empty = true;
    void add(float v) {
        if (empty) {
            if (v != v) return;
            minimum = maximum = v;
            empty = false;
        }
        minimum = v < minimum ? v : minimum;
        maximum = v > maximum ? v : maximum;
    }
};

struct Stretch {
    float shift = 0.0f;
    float scale = 1.0f;
    // Floating-point data of a narrow range: stretched from their finite values, the others
    // (NaN, infinite) becoming 0.
    bool finite_range = false;
    bool identity() const { return shift == 0.0f && scale == 1.0f; }
};

Stretch stretch_from(float minimum, float maximum) {
    Stretch s;
    s.shift = minimum;
    s.scale = maximum > minimum ? 65535.0f / (maximum - minimum) : 1.0f;
    return s;
}

// Values are kept when their range fits 0..65535, else stretched from it.
Stretch stretch_of_range(float minimum, float maximum) {
    if (minimum < 0.0f || maximum > 65535.0f) return stretch_from(minimum, maximum);
    return Stretch{};
}

// Floating-point data inside 0..65535 keep their values only when these span at least 255,
// the levels 8-bit data keep: a narrower range (0..1, as most processing programs write, above
// all) rounded to whole numbers would leave a handful of levels. It is stretched instead from
// its finite values; a constant image gives 0.
constexpr float narrowest_kept_span = 255.0f;

Stretch float_stretch(float minimum, float maximum, const Range& finite) {
    Stretch s = stretch_of_range(minimum, maximum);
    if (s.identity() && finite.maximum - finite.minimum < narrowest_kept_span) {
        s = stretch_from(finite.minimum, finite.maximum);
        s.finite_range = true;
    }
    return s;
}

// Natural range of the integer encodings; false for floating point.
bool natural_range(FitsSampleType type, double* low, double* high) {
    switch (type) {
        case FITS_U8: *low = 0, *high = 255; return true;
        case FITS_S16_SCALED: *low = -32768, *high = 32767; return true;
        case FITS_U16: *low = 0, *high = 65535; return true;
        case FITS_S32: *low = -2147483648.0, *high = 2147483647.0; return true;
        default: return false;
    }
}

// Shift and scale of a single plane: from the encoding's range when it fits, else from a scan.
Stretch single_plane_stretch(const FitsInfo& info) {
    double low, high;
    if (natural_range(info.sample_type, &low, &high)) {
        const double a = low * info.bscale + info.bzero, b = high * info.bscale + info.bzero;
        if (a >= 0 && a <= 65535 && b >= 0 && b <= 65535) return Stretch{};
    }
    const size_t count = size_t(info.width) * size_t(info.height);
    const size_t step = size_t(info.bytes_per_sample);
    return dispatch(info.sample_type, [&]<FitsSampleType type>() {
        Range range, finite;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = info.data + i * step;
            range.add(sample_value<type>(p, info.bscale, info.bzero));
            if constexpr (floating_point<type>)
                finite.add(finite_or_nan<type>(p, info.bscale, info.bzero));
        }
        if constexpr (floating_point<type>)
            return float_stretch(range.minimum, range.maximum, finite);
        return stretch_of_range(range.minimum, range.maximum);
    });
}

// Converts rows of one plane and averages factor x factor cells into the output image, one
// output row at a time: each input row is converted straight into the row of 32-bit sums, so
// nothing of full size is held.
template <typename Convert>
void convert_and_bin(const FitsInfo& info, uint32_t factor, Convert convert, SolverImage* out) {
    const size_t width = size_t(info.width), step = size_t(info.bytes_per_sample);
    const size_t out_width = out->width, used = out_width * factor;
    auto* sums = static_cast<uint32_t*>(kestil_checked_malloc(out_width * sizeof(uint32_t)));
    const uint32_t cell = factor * factor;
    for (size_t r = 0; r < out->height; ++r) {
        std::memset(sums, 0, out_width * sizeof(uint32_t));
        for (size_t y = r * factor; y < (r + 1) * factor; ++y) {
            const uint8_t* source = info.data + y * width * step;
            if (factor == 2) {
                for (size_t k = 0; k < out_width; ++k)
                    sums[k] += uint32_t(convert(source + 2 * k * step)) +
                               uint32_t(convert(source + (2 * k + 1) * step));
            } else {
                for (size_t c = 0; c < used; ++c) sums[c / factor] += convert(source + c * step);
            }
        }
        uint16_t* o = out->pixels + r * out_width;
        for (size_t k = 0; k < out_width; ++k) o[k] = uint16_t(sums[k] / cell);
    }
    std::free(sums);
}

SolverImage* single_plane_image(const FitsInfo& info, uint32_t factor, const Stretch& s) {
    SolverImage* image = new_solver_image(uint32_t(info.width) / factor,
                                          uint32_t(info.height) / factor);
    // An infinite BZERO (from a card such as 1E999) makes every physical value 0: the general
    // formula, not an integer offset, gives that.
    const bool whole_bzero = std::isfinite(info.bzero) && info.bzero == std::floor(info.bzero);
    if (s.identity() && info.bscale == 1 && whole_bzero && info.sample_type == FITS_U16) {
        convert_and_bin(info, factor, [](const uint8_t* p) { return uint16_t(be16(p)); }, image);
    } else if (s.identity() && info.bscale == 1 && whole_bzero &&
               (info.sample_type == FITS_U8 || info.sample_type == FITS_S16_SCALED)) {
        // Integer arithmetic gives exactly the general formula's values here: the physical
        // values are whole numbers inside 0..65535.
        const int32_t offset = int32_t(info.bzero);
        if (info.sample_type == FITS_U8)
            convert_and_bin(info, factor,
                            [offset](const uint8_t* p) { return uint16_t(p[0] + offset); }, image);
        else
            convert_and_bin(info, factor, [offset](const uint8_t* p) {
                return uint16_t(int32_t(int16_t(uint16_t(be16(p)))) + offset);
            }, image);
    } else {
        dispatch(info.sample_type, [&]<FitsSampleType type>() {
            convert_and_bin(info, factor, [&](const uint8_t* p) {
                // NaN (from a narrow floating-point range only) converts to 0.
                const float v = floating_point<type> && s.finite_range
                                    ? finite_or_nan<type>(p, info.bscale, info.bzero)
                                    : sample_value<type>(p, info.bscale, info.bzero);
                return truncate_sample((v - s.shift) * s.scale + 0.5f);
            }, image);
        });
    }
    return image;
}

SolverImage* combined_planes_image(const FitsInfo& info, int32_t factor, Stretch* stretch) {
    float minimum, maximum;
    float* plane = combine_fits_planes(&info, &minimum, &maximum);
    // Samples that were not finite count as 0 in the combined plane, narrow range or not.
    const bool floating = info.sample_type == FITS_F32 || info.sample_type == FITS_F64;
    *stretch = floating ? float_stretch(minimum, maximum, Range{minimum, maximum, false})
                        : stretch_of_range(minimum, maximum);
    SolverImage* image = new_solver_image(uint32_t(info.width), uint32_t(info.height));
    const size_t count = size_t(info.width) * size_t(info.height);
    for (size_t i = 0; i < count; ++i)
        image->pixels[i] = truncate_sample((plane[i] - stretch->shift) * stretch->scale + 0.5f);
    std::free(plane);
    kestil_solver_bin_image(image, factor);
    return image;
}

// The image described by bitpix, the axis lengths and the scaling, its data at data.
FitsInfo describe_image(double bitpix, const double* axes, const FitsCards& cards,
                        const uint8_t* data) {
    FitsInfo info;
    std::memset(&info, 0, sizeof info);
    info.bitpix = int32_t(bitpix);
    info.bytes_per_sample = std::abs(info.bitpix) / 8;
    info.width = int32_t(axes[1]);
    info.height = int32_t(axes[2]);
    info.planes = int32_t(axes[3]);
    info.bzero = cards.bzero;
    info.bscale = cards.bscale;
    info.sample_type = sample_type_of(info.bitpix, info.bzero, info.bscale);
    info.data = data;
    return info;
}

// At most 65535 x 65535 x 16 x 8 bytes: no overflow in 64 bits.
uint64_t sample_bytes(const FitsInfo& info) {
    return uint64_t(info.width) * uint64_t(info.height) * uint64_t(info.planes) *
           uint64_t(info.bytes_per_sample);
}

// An image array (the primary one or an IMAGE extension) whose header has been read; its data
// start at data, with remaining bytes of the buffer from there.
bool plain_image(const FitsCards& cards, const uint8_t* data, size_t remaining, FitsInfo* info,
                 const char** message) {
    if (!supported_fits_image(cards.bitpix, cards.naxis, cards.axes)) {
        *message = "Unsupported FITS image";
        return false;
    }
    const FitsInfo result = describe_image(cards.bitpix, cards.axes, cards, data);
    if (uint64_t(remaining) < sample_bytes(result)) {
        *message = "Truncated FITS image";
        return false;
    }
    *info = result;
    return true;
}

// Bytes of an HDU's data (FITS Standard 4.0, eq. 2): |BITPIX| / 8 x GCOUNT x (PCOUNT + NAXIS1 x
// ... x NAXISn), none when NAXIS is 0; in double precision, exact below 2^53 and only compared
// with the buffer's length. False when the cards are not whole numbers of the allowed ranges.
bool hdu_data_bytes(const FitsCards& c, double* bytes) {
    const double b = c.bitpix;
    if (!(b == 8 || b == 16 || b == 32 || b == 64 || b == -32 || b == -64) ||
        !whole_in_range(c.naxis, 0, fits_max_axes) || !whole_in_range(c.pcount, 0, HUGE_VAL) ||
        !whole_in_range(c.gcount, 0, HUGE_VAL))
        return false;
    if (c.naxis == 0) {
        *bytes = 0;
        return true;
    }
    double elements = 1;
    for (int n = 1; n <= int(c.naxis); ++n) {
        if (!whole_in_range(c.axes[n], 0, HUGE_VAL)) return false;
        elements *= c.axes[n];
    }
    *bytes = std::fabs(b) / 8 * c.gcount * (c.pcount + elements);
    return true;
}

// The padded bytes of an HDU's data, when they lie inside the remaining bytes.
bool hdu_data_fits(const FitsCards& cards, size_t remaining, const char** message,
                   size_t* padded_bytes) {
    double bytes = 0;
    if (!hdu_data_bytes(cards, &bytes)) {
        *message = "Unsupported FITS image";
        return false;
    }
    const double padded = std::ceil(bytes / double(block_size)) * double(block_size);
    if (bytes > double(remaining)) {
        *message = "Truncated FITS image";
        return false;
    }
    *padded_bytes = size_t(std::min(padded, double(remaining)));
    return true;
}

// A tile-compressed image: a binary table with ZIMAGE = T (header at header) whose Z cards
// describe the image and whose rows and heap start at data.
bool compressed_image_info(const FitsCards& cards, const uint8_t* header, const uint8_t* data,
                           size_t remaining, FitsInfo* info, const char** message) {
    size_t padded = 0;
    if (!hdu_data_fits(cards, remaining, message, &padded)) return false;
    TileLayout layout;
    if (!tile_layout(cards, data, remaining, &layout)) {
        *message = "Unsupported FITS image";
        return false;
    }
    FitsInfo result = describe_image(cards.zbitpix, cards.zaxes, cards, data);
    if (double(sample_bytes(result)) > max_expansion * double(tile_table_bytes(layout))) {
        *message = "Truncated FITS image";  // more samples than such a table can hold
        return false;
    }
    result.compressed_header = header;
    result.compressed_length = int32_t(size_t(data - header) + remaining);
    *info = result;
    return true;
}

// The image of a file whose primary header declares no data: the first extension that is an
// image with data or a tile-compressed image, passing over the others (tables, empty images).
// The headers read may set bayer.
bool extension_image(const uint8_t* bytes, size_t available, size_t offset, FitsInfo* info,
                     bool* bayer, const char** message) {
    for (;;) {
        if (available - offset < 9 || std::memcmp(bytes + offset, "XTENSION=", 9) != 0) {
            *message = "Unsupported FITS image";  // no (further) extension
            return false;
        }
        FitsCards cards;
        size_t header_length = 0;
        if (!read_fits_header(bytes, available, offset, &cards, bayer, &header_length)) {
            *message = "Truncated FITS header";
            return false;
        }
        const uint8_t* header = bytes + offset;
        offset += header_length;
        const uint8_t* data = bytes + offset;
        if (cards.extension == FitsExtension::image && cards.naxis != 0)
            return plain_image(cards, data, available - offset, info, message);
        if (cards.extension == FitsExtension::binary_table && cards.zimage)
            return compressed_image_info(cards, header, data, available - offset, info, message);
        size_t padded = 0;
        if (!hdu_data_fits(cards, available - offset, message, &padded)) return false;
        offset += padded;
    }
}

// The image of the plain file that cfitsio made of a compressed one; it must be the image the
// compressed header described.
SolverImage* compressed_image(const FitsInfo& info, int32_t factor) {
    FitsCards cards;
    bool bayer = false;
    size_t header_length = 0;
    TileLayout layout;
    FitsBuffer plain;
    FitsInfo expanded;
    const char* ignored = nullptr;
    const size_t length = size_t(info.compressed_length);
    // The header and tiles were checked by parse_fits_header: reading them again gives the
    // same layout.
    if (!read_fits_header(info.compressed_header, length, 0, &cards, &bayer, &header_length) ||
        !tile_layout(cards, info.compressed_header + header_length, length - header_length,
                     &layout) ||
        !decompress_fits_tiles(layout, &plain) || plain.length > size_t(INT32_MAX) ||
        !parse_fits_header(plain.bytes.get(), int32_t(plain.length), &expanded, &bayer,
                           &ignored) ||
        expanded.compressed_header || expanded.width != info.width ||
        expanded.height != info.height || expanded.planes != info.planes) {
        *info.message = "Unreadable compressed FITS image";
        return nullptr;
    }
    return fits_image(&expanded, factor);
}

}  // namespace

extern "C" bool parse_fits_header(const void* data, int32_t length, FitsInfo* info, bool* bayer,
                                  const char** message) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const size_t available = length < 0 ? 0 : size_t(length);
    FitsCards cards;
    size_t header_length = 0;
    if (!read_fits_header(bytes, available, 0, &cards, bayer, &header_length)) {
        *message = "Truncated FITS header";
        return false;
    }
    const bool found =
        cards.naxis == 0
            ? extension_image(bytes, available, header_length, info, bayer, message)
            : plain_image(cards, bytes + header_length, available - header_length, info, message);
    if (!found) return false;
    info->message = message;
    return true;
}

extern "C" double read_fits_sample(const uint8_t* position, const FitsInfo* info) {
    return dispatch(info->sample_type, [&]<FitsSampleType type>() {
        return physical<type>(position, info->bscale, info->bzero);
    });
}

extern "C" float* combine_fits_planes(const FitsInfo* info, float* minimum, float* maximum) {
    const size_t count = size_t(info->width) * size_t(info->height);
    const size_t step = size_t(info->bytes_per_sample);
    auto* plane = static_cast<float*>(kestil_checked_calloc(count ? count : 1, sizeof(float)));
    const float rgb[3] = {0.299f, 0.587f, 0.114f};
    const float equal = 1.0f / float(info->planes);
    for (int32_t p = 0; p < info->planes; ++p) {
        const float weight = info->planes == 3 ? rgb[p] : equal;
        const uint8_t* source = info->data + size_t(p) * count * step;
        dispatch(info->sample_type, [&]<FitsSampleType type>() {
            for (size_t i = 0; i < count; ++i)
                plane[i] += sample_value<type>(source + i * step, info->bscale, info->bzero) *
                            weight;
        });
    }
    float low = plane[0], high = plane[0];
    for (size_t i = 1; i < count; ++i) {
        low = plane[i] < low ? plane[i] : low;
        high = plane[i] > high ? plane[i] : high;
    }
    *minimum = low;
    *maximum = high;
    return plane;
}

extern "C" SolverImage* fits_image(const FitsInfo* info, int32_t factor) {
    if (info->compressed_header) return compressed_image(*info, factor);
    Stretch stretch;
    SolverImage* image;
    if (info->planes >= 2) {
        image = combined_planes_image(*info, factor, &stretch);
    } else {
        stretch = single_plane_stretch(*info);
        image = single_plane_image(*info, uint32_t(factor), stretch);
    }
    kestil_debug("%s: %d x %d, BITPIX %d, %d plane(s), shift %g, scale %g", "fits_image",
                 int(info->width), int(info->height), int(info->bitpix), int(info->planes),
                 double(stretch.shift), double(stretch.scale));
    return image;
}
