// solver/image/fits_reader.cpp - the primary image of a FITS file held in memory
#include "solver/image/fits_reader.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "framework/alloc.h"
#include "framework/log.h"
#include "solver/image/binning.h"
#include "solver/image/pixel_convert.hpp"

namespace {

using kestil::image::truncate_sample;

constexpr size_t block_size = 2880;
constexpr size_t card_size = 80;
constexpr size_t cards_per_block = block_size / card_size;
constexpr double max_side = 65535;
constexpr double max_planes = 16;

// The header values this reader uses, before validation.
struct HeaderCards {
    double bitpix = 0, naxis = 0, naxis1 = 0, naxis2 = 0, naxis3 = 1, bzero = 0, bscale = 1;
};

// The value of a card: columns 11-80 cut at "/", read as a decimal number after leading blanks.
bool card_value(const char* card, double* value) {
    char text[71];
    size_t n = 0;
    size_t column = 10;
    while (column < card_size && card[column] == ' ') ++column;
    for (; column < card_size && card[column] != '/'; ++column) {
        const char c = card[column];
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
            break;
        text[n++] = c;
    }
    text[n] = '\0';
    char* end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text) return false;
    *value = number;
    return true;
}

// Keyword of n letters followed by a space in column n + 1 and "=" in column 9.
bool is_keyword(const char* card, const char* keyword) {
    const size_t n = std::strlen(keyword);
    return std::memcmp(card, keyword, n) == 0 && card[n] == ' ' && card[8] == '=';
}

void read_card(const char* card, HeaderCards* cards, bool* bayer) {
    if (std::memcmp(card, "BAYERPAT", 8) == 0) {
        *bayer = true;
        return;
    }
    double* target = is_keyword(card, "BITPIX")   ? &cards->bitpix
                     : is_keyword(card, "NAXIS")  ? &cards->naxis
                     : is_keyword(card, "NAXIS1") ? &cards->naxis1
                     : is_keyword(card, "NAXIS2") ? &cards->naxis2
                     : is_keyword(card, "NAXIS3") ? &cards->naxis3
                     : is_keyword(card, "BZERO")  ? &cards->bzero
                     : is_keyword(card, "BSCALE") ? &cards->bscale
                                                  : nullptr;
    if (target) card_value(card, target);
}

bool whole_in_range(double value, double maximum) {
    return std::isfinite(value) && value == std::floor(value) && value >= 1 && value <= maximum;
}

bool valid_image(const HeaderCards& c) {
    const double b = c.bitpix;
    return (b == 8 || b == 16 || b == 32 || b == -32 || b == -64) && (c.naxis == 2 || c.naxis == 3) &&
           whole_in_range(c.naxis1, max_side) && whole_in_range(c.naxis2, max_side) &&
           whole_in_range(c.naxis3, max_planes);
}

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

struct Stretch {
    float shift = 0.0f;
    float scale = 1.0f;
    bool identity() const { return shift == 0.0f && scale == 1.0f; }
};

Stretch stretch_of_range(float minimum, float maximum) {
    Stretch s;
    if (minimum < 0.0f || maximum > 65535.0f) {
        s.shift = minimum;
        s.scale = maximum > minimum ? 65535.0f / (maximum - minimum) : 1.0f;
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
        float minimum = float(physical<type>(info.data, info.bscale, info.bzero));
        float maximum = minimum;
        for (size_t i = 1; i < count; ++i) {
            const float v = float(physical<type>(info.data + i * step, info.bscale, info.bzero));
            minimum = v < minimum ? v : minimum;
            maximum = v > maximum ? v : maximum;
        }
        return stretch_of_range(minimum, maximum);
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
    const bool whole_bzero = info.bzero == std::floor(info.bzero);
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
                const float v = float(physical<type>(p, info.bscale, info.bzero));
                return truncate_sample((v - s.shift) * s.scale + 0.5f);
            }, image);
        });
    }
    return image;
}

SolverImage* combined_planes_image(const FitsInfo& info, int32_t factor, Stretch* stretch) {
    float minimum, maximum;
    float* plane = combine_fits_planes(&info, &minimum, &maximum);
    *stretch = stretch_of_range(minimum, maximum);
    SolverImage* image = new_solver_image(uint32_t(info.width), uint32_t(info.height));
    const size_t count = size_t(info.width) * size_t(info.height);
    for (size_t i = 0; i < count; ++i)
        image->pixels[i] = truncate_sample((plane[i] - stretch->shift) * stretch->scale + 0.5f);
    std::free(plane);
    kestil_solver_bin_image(image, factor);
    return image;
}

}  // namespace

extern "C" bool parse_fits_header(const void* data, int32_t length, FitsInfo* info, bool* bayer,
                                  const char** message) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const size_t available = length < 0 ? 0 : size_t(length);
    HeaderCards cards;
    size_t header_length = 0;
    bool end_seen = false;
    while (!end_seen) {
        if (available < header_length + block_size) {
            *message = "Truncated FITS header";
            return false;
        }
        const char* block = reinterpret_cast<const char*>(bytes + header_length);
        for (size_t i = 0; i < cards_per_block && !end_seen; ++i) {
            const char* card = block + i * card_size;
            if (std::memcmp(card, "END     ", 8) == 0)
                end_seen = true;
            else
                read_card(card, &cards, bayer);
        }
        header_length += block_size;
    }
    if (!valid_image(cards)) {
        *message = "Unsupported FITS image";
        return false;
    }
    FitsInfo result;
    result.bitpix = int32_t(cards.bitpix);
    result.bytes_per_sample = std::abs(result.bitpix) / 8;
    result.width = int32_t(cards.naxis1);
    result.height = int32_t(cards.naxis2);
    result.planes = int32_t(cards.naxis3);
    result.bzero = cards.bzero;
    result.bscale = cards.bscale;
    result.sample_type = sample_type_of(result.bitpix, result.bzero, result.bscale);
    result.data = bytes + header_length;
    // At most 65535 x 65535 x 16 x 8 bytes: no overflow in 64 bits.
    const uint64_t data_bytes = uint64_t(result.width) * uint64_t(result.height) *
                                uint64_t(result.planes) * uint64_t(result.bytes_per_sample);
    if (uint64_t(available) < header_length + data_bytes) {
        *message = "Truncated FITS image";
        return false;
    }
    *info = result;
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
                plane[i] += float(physical<type>(source + i * step, info->bscale, info->bzero)) *
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
