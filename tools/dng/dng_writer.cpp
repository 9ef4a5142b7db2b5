// tools/dng/dng_writer.cpp - a small writer of colour-filter-array DNG files
// Layout: little-endian TIFF header, one IFD describing the raw CFA image (uncompressed,
// 16 bits per sample, one strip), its out-of-line values, then the samples.
// Reference: TIFF 6.0; TIFF/EP (CFARepeatPatternDim, CFAPattern); DNG 1.4 tags.
#include "tools/dng/dng_writer.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/handles.hpp"

namespace {

static_assert(std::endian::native == std::endian::little, "samples are written as held");

enum FieldType : uint16_t { BYTE = 1, ASCII = 2, SHORT = 3, LONG = 4, RATIONAL = 5, SRATIONAL = 10 };

struct Entry {
    uint16_t tag;
    FieldType type;
    uint32_t count;
    std::vector<uint8_t> value;  // count values of the type, little-endian
};

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

Entry shorts(uint16_t tag, std::initializer_list<uint32_t> values) {
    Entry e{tag, SHORT, uint32_t(values.size()), {}};
    for (uint32_t v : values) put16(e.value, v);
    return e;
}
Entry longs(uint16_t tag, std::initializer_list<uint32_t> values) {
    Entry e{tag, LONG, uint32_t(values.size()), {}};
    for (uint32_t v : values) put32(e.value, v);
    return e;
}
Entry bytes(uint16_t tag, std::vector<uint8_t> values) {
    return Entry{tag, BYTE, uint32_t(values.size()), std::move(values)};
}
Entry text(uint16_t tag, const char* s) {
    std::vector<uint8_t> v(s, s + std::strlen(s) + 1);
    return Entry{tag, ASCII, uint32_t(v.size()), std::move(v)};
}
// Rationals given as numerator/denominator pairs.
Entry rationals(uint16_t tag, FieldType type, std::initializer_list<int32_t> pairs) {
    Entry e{tag, type, uint32_t(pairs.size() / 2), {}};
    for (int32_t v : pairs) put32(e.value, uint32_t(v));
    return e;
}

// TIFF/EP colour codes: 0 red, 1 green, 2 blue.
bool pattern_codes(const char* pattern, std::vector<uint8_t>* codes) {
    if (!pattern || std::strlen(pattern) != 4) return false;
    bool seen[3] = {false, false, false};
    for (int i = 0; i < 4; ++i) {
        const char c = pattern[i];
        const int code = c == 'R' ? 0 : c == 'G' ? 1 : c == 'B' ? 2 : -1;
        if (code < 0) return false;
        seen[code] = true;
        codes->push_back(uint8_t(code));
    }
    return seen[0] && seen[1] && seen[2];
}

// Header, IFD and out-of-line values; the samples follow at the returned offset.
std::vector<uint8_t> build_header(uint32_t width, uint32_t height, std::vector<uint8_t> cfa,
                                  int bits, uint32_t* data_offset) {
    const uint32_t data_bytes = width * height * 2;
    std::vector<Entry> entries = {
        longs(254, {0}),           // NewSubFileType: main image
        longs(256, {width}),       // ImageWidth
        longs(257, {height}),      // ImageLength
        shorts(258, {16}),         // BitsPerSample
        shorts(259, {1}),          // Compression: none
        shorts(262, {32803}),      // PhotometricInterpretation: CFA
        text(271, "KESTIL"),       // Make
        text(272, "CFA test writer"),  // Model
        longs(273, {0}),           // StripOffsets, set below
        shorts(274, {1}),          // Orientation
        shorts(277, {1}),          // SamplesPerPixel
        longs(278, {height}),      // RowsPerStrip
        longs(279, {data_bytes}),  // StripByteCounts
        shorts(284, {1}),          // PlanarConfiguration: chunky
        shorts(33421, {2, 2}),     // CFARepeatPatternDim
        bytes(33422, std::move(cfa)),           // CFAPattern
        bytes(50706, {1, 4, 0, 0}),             // DNGVersion
        bytes(50707, {1, 1, 0, 0}),             // DNGBackwardVersion
        text(50708, "KESTIL CFA test writer"),  // UniqueCameraModel
        bytes(50710, {0, 1, 2}),                // CFAPlaneColor
        shorts(50711, {1}),                     // CFALayout: rectangular
        longs(50714, {0}),                      // BlackLevel
        longs(50717, {(1u << bits) - 1}),       // WhiteLevel
        rationals(50721, SRATIONAL, {1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1}),
        rationals(50728, RATIONAL, {1, 1, 1, 1, 1, 1}),  // AsShotNeutral
        shorts(50778, {21}),                             // CalibrationIlluminant1: D65
    };
    const uint32_t ifd_offset = 8;
    const uint32_t ifd_size = 2 + 12 * uint32_t(entries.size()) + 4;
    uint32_t extra = ifd_offset + ifd_size;
    for (const Entry& e : entries)
        if (e.value.size() > 4) extra += uint32_t((e.value.size() + 1) & ~size_t(1));
    *data_offset = (extra + 15) & ~15u;
    for (Entry& e : entries)
        if (e.tag == 273) e.value.clear(), put32(e.value, *data_offset);

    std::vector<uint8_t> out = {'I', 'I', 42, 0};
    put32(out, ifd_offset);
    put16(out, uint32_t(entries.size()));
    std::vector<uint8_t> values;
    uint32_t values_offset = ifd_offset + ifd_size;
    for (const Entry& e : entries) {
        put16(out, e.tag);
        put16(out, e.type);
        put32(out, e.count);
        if (e.value.size() <= 4) {
            std::vector<uint8_t> inline_value = e.value;
            inline_value.resize(4, 0);
            out.insert(out.end(), inline_value.begin(), inline_value.end());
        } else {
            put32(out, values_offset + uint32_t(values.size()));
            values.insert(values.end(), e.value.begin(), e.value.end());
            if (values.size() % 2) values.push_back(0);  // values start on a word boundary
        }
    }
    put32(out, 0);  // no further IFD
    out.insert(out.end(), values.begin(), values.end());
    out.resize(*data_offset, 0);
    return out;
}

}  // namespace

extern "C" bool write_cfa_dng(const char* path, const uint16_t* mosaic, int width, int height,
                              const char* pattern, int bits, const char** message) {
    // One strip of 16-bit samples addressed by 32-bit offsets: at most 1 GiB of samples.
    constexpr uint64_t max_data_bytes = uint64_t(1) << 30;
    if (!mosaic || width < 1 || height < 1 ||
        uint64_t(width) * uint64_t(height) * 2 > max_data_bytes) {
        *message = "Invalid image size";
        return false;
    }
    std::vector<uint8_t> cfa;
    if (!pattern_codes(pattern, &cfa)) {
        *message = "Invalid CFA pattern";
        return false;
    }
    if (bits < 8 || bits > 16) {
        *message = "Invalid bit depth";
        return false;
    }
    const size_t count = size_t(width) * size_t(height);
    for (size_t i = 0; i < count; ++i)
        if (mosaic[i] >> bits) {
            *message = "Sample above the bit depth";
            return false;
        }
    uint32_t data_offset = 0;
    const std::vector<uint8_t> header =
        build_header(uint32_t(width), uint32_t(height), std::move(cfa), bits, &data_offset);
    FileHandle file(std::fopen(path, "wb"));
    if (!file) {
        *message = "Cannot create the file";
        return false;
    }
    bool written = std::fwrite(header.data(), 1, header.size(), file.get()) == header.size() &&
                   std::fwrite(mosaic, 2, count, file.get()) == count;
    written = std::fclose(file.release()) == 0 && written;
    if (!written) {
        *message = "Cannot write the file";
        return false;
    }
    return true;
}
