// tools/simulator/simulator_io.cpp - image encoders and the truth document of the simulator
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "framework/handles.hpp"
#include "tools/dng/dng_writer.h"
#include "tools/jpeg/jpeg_writer.hpp"
#include "tools/simulator/simulator.hpp"

namespace kestil_simulator {

namespace {

constexpr size_t fits_block = 2880;

void put_u32_le(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_u16_le(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
uint8_t to_8bit(uint16_t v) { return static_cast<uint8_t>((v + 128u) / 257u); }

void encode_raw(const SkyImage& image, const SimulatorSettings& s, ImageFormat format,
                std::vector<uint8_t>& out) {
    const char* signature = format == ImageFormat::raw1   ? "RAW1"
                            : format == ImageFormat::raw2 ? "RAW2"
                            : format == ImageFormat::raw3 ? "RAW3"
                                                          : "RAW6";
    out.insert(out.end(), signature, signature + 4);
    put_u32_le(out, static_cast<uint32_t>(image.width));
    put_u32_le(out, static_cast<uint32_t>(image.height));
    for (uint16_t v : image.pixels) {
        switch (format) {
            case ImageFormat::raw1: out.push_back(to_8bit(v)); break;
            case ImageFormat::raw2: put_u16_le(out, v); break;
            case ImageFormat::raw3: out.insert(out.end(), 3, to_8bit(v)); break;
            default: for (int k = 0; k < 3; ++k) put_u16_le(out, v); break;
        }
    }
    if (s.bayer && (format == ImageFormat::raw1 || format == ImageFormat::raw2)) {
        const char trailer[] = "BAYERPAT='RGGB'\n";
        out.insert(out.end(), trailer, trailer + sizeof trailer - 1);
    }
}

// One 80-character card: a string value begins with an apostrophe (left-justified).
void fits_card(std::string& header, const char* name, const char* value, const char* comment) {
    char card[128];
    if (!value)
        std::snprintf(card, sizeof card, "%-8.8s", name);
    else if (value[0] == '\'')
        std::snprintf(card, sizeof card, "%-8.8s= %-20s / %s", name, value, comment ? comment : "");
    else
        std::snprintf(card, sizeof card, "%-8.8s= %20s / %s", name, value, comment ? comment : "");
    char padded[81];
    std::snprintf(padded, sizeof padded, "%-80.80s", card);
    header += padded;
}

void fits_number(std::string& header, const char* name, double value, const char* comment) {
    char text[32];
    std::snprintf(text, sizeof text, "%.12G", value);
    fits_card(header, name, text, comment);
}

void put_be(std::vector<uint8_t>& out, const void* value, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(value);
    for (size_t i = 0; i < size; ++i) out.push_back(bytes[size - 1 - i]);
}

void encode_fits(const SkyImage& image, const SimulatorSettings& s, ImageFormat format,
                 std::vector<uint8_t>& out) {
    const int bitpix = format == ImageFormat::fits8 ? 8 : format == ImageFormat::fits16 ? 16 : -32;
    std::string header;
    fits_card(header, "SIMPLE", "T", "file does conform to FITS standard");
    fits_number(header, "BITPIX", bitpix, "bits per data value");
    fits_number(header, "NAXIS", 2, "number of data axes");
    fits_number(header, "NAXIS1", image.width, "image width, pixels");
    fits_number(header, "NAXIS2", image.height, "image height, pixels");
    if (bitpix == 16) {
        fits_number(header, "BZERO", 32768, "unsigned 16-bit samples");
        fits_number(header, "BSCALE", 1, "default scaling");
    }
    if (s.bayer) fits_card(header, "BAYERPAT", "'RGGB'", "colour filter mosaic");
    double cd[2][2];
    s.wcs.cd_matrix(cd);
    fits_card(header, "CTYPE1", "'RA---TAN'", "TAN (gnomonic) projection");
    fits_card(header, "CTYPE2", "'DEC--TAN'", "TAN (gnomonic) projection");
    fits_number(header, "EQUINOX", 2000.0, "equinox of the coordinates");
    fits_number(header, "CRVAL1", s.wcs.ra_deg, "RA of the reference pixel, degrees");
    fits_number(header, "CRVAL2", s.wcs.dec_deg, "Dec of the reference pixel, degrees");
    fits_number(header, "CRPIX1", (image.width + 1) * 0.5, "X of the reference pixel");
    fits_number(header, "CRPIX2", (image.height + 1) * 0.5, "Y of the reference pixel");
    fits_number(header, "CD1_1", cd[0][0], "degrees per pixel");
    fits_number(header, "CD1_2", cd[0][1], "degrees per pixel");
    fits_number(header, "CD2_1", cd[1][0], "degrees per pixel");
    fits_number(header, "CD2_2", cd[1][1], "degrees per pixel");
    fits_card(header, "CREATOR", "'kestil_simulate'", "synthetic sky image");
    fits_card(header, "END", nullptr, nullptr);
    header.append((fits_block - header.size() % fits_block) % fits_block, ' ');
    out.insert(out.end(), header.begin(), header.end());
    for (uint16_t v : image.pixels) {
        if (bitpix == 8) {
            out.push_back(to_8bit(v));
        } else if (bitpix == 16) {
            const int16_t stored = static_cast<int16_t>(static_cast<int32_t>(v) - 32768);
            put_be(out, &stored, 2);
        } else {
            const float f = v;
            put_be(out, &f, 4);
        }
    }
    out.resize(out.size() + (fits_block - (out.size() % fits_block)) % fits_block, 0);
}

bool encode_jpeg(const SkyImage& image, int quality, std::vector<uint8_t>& out,
                 const char** message) {
    kestil_jpeg::JpegLayout layout;
    layout.width = image.width;
    layout.height = image.height;
    layout.quality = quality;
    auto rows = [&image](int y, uint8_t* row) {
        const uint16_t* source = image.pixels.data() + static_cast<size_t>(y) * image.width;
        for (int c = 0; c < image.width; ++c) row[c] = to_8bit(source[c]);
    };
    if (kestil_jpeg::encode_jpeg(layout, rows, &out)) return true;
    *message = "The JPEG image could not be written";
    return false;
}

bool write_file(const std::string& path, const void* data, size_t size, const char** message) {
    FileHandle file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        *message = "Cannot create the output file";
        return false;
    }
    if (size && std::fwrite(data, 1, size, file.get()) != size) {
        *message = "Cannot write the output file";
        return false;
    }
    if (std::fclose(file.release()) != 0) {
        *message = "Cannot write the output file";
        return false;
    }
    return true;
}

void append(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append(std::string& text, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    text += buffer;
}

}  // namespace

bool parse_image_format(const char* name, ImageFormat* format) {
    struct Entry { const char* name; ImageFormat format; };
    static const Entry entries[] = {{"raw1", ImageFormat::raw1},     {"raw2", ImageFormat::raw2},
                                    {"raw3", ImageFormat::raw3},     {"raw6", ImageFormat::raw6},
                                    {"fits8", ImageFormat::fits8},   {"fits16", ImageFormat::fits16},
                                    {"fits32", ImageFormat::fits32}, {"jpeg", ImageFormat::jpeg},
                                    {"dng", ImageFormat::dng}};
    for (const Entry& e : entries)
        if (name && std::strcmp(name, e.name) == 0) {
            *format = e.format;
            return true;
        }
    return false;
}

bool encode_image(const SkyImage& image, const SimulatorSettings& s, ImageFormat format,
                  int jpeg_quality, std::vector<uint8_t>* bytes, const char** message) {
    bytes->clear();
    switch (format) {
        case ImageFormat::raw1:
        case ImageFormat::raw2:
        case ImageFormat::raw3:
        case ImageFormat::raw6: encode_raw(image, s, format, *bytes); return true;
        case ImageFormat::fits8:
        case ImageFormat::fits16:
        case ImageFormat::fits32: encode_fits(image, s, format, *bytes); return true;
        case ImageFormat::jpeg: return encode_jpeg(image, jpeg_quality, *bytes, message);
        default: *message = "DNG is written to a file only"; return false;
    }
}

bool write_image(const SkyImage& image, const SimulatorSettings& s, ImageFormat format,
                 int jpeg_quality, const std::string& path, const char** message) {
    if (format == ImageFormat::dng)  // the mosaic (or mono samples) as a 16-bit RGGB CFA
        return write_cfa_dng(path.c_str(), image.pixels.data(), image.width, image.height, "RGGB",
                             16, message);
    std::vector<uint8_t> bytes;
    if (!encode_image(image, s, format, jpeg_quality, &bytes, message)) return false;
    return write_file(path, bytes.data(), bytes.size(), message);
}

std::string truth_json(const SkyImage& image, const SimulatorSettings& s) {
    double cd[2][2];
    s.wcs.cd_matrix(cd);
    std::string t;
    append(t, "{\n  \"generator\": \"kestil_simulate\",\n  \"seed\": %llu,\n",
           static_cast<unsigned long long>(s.seed));
    append(t, "  \"width\": %d,\n  \"height\": %d,\n", image.width, image.height);
    append(t, "  \"wcs\": {\n    \"ra_deg\": %.10f,\n    \"dec_deg\": %.10f,\n", s.wcs.ra_deg, s.wcs.dec_deg);
    append(t, "    \"scale_arcsec_per_px\": %.10g,\n    \"angle_deg\": %.10g,\n    \"parity\": %d,\n",
           s.wcs.scale_arcsec, s.wcs.angle_deg, s.wcs.parity == -1 ? -1 : 1);
    append(t, "    \"crpix1\": %.1f,\n    \"crpix2\": %.1f,\n", (image.width + 1) * 0.5, (image.height + 1) * 0.5);
    append(t, "    \"cd\": [[%.15g, %.15g], [%.15g, %.15g]],\n", cd[0][0], cd[0][1], cd[1][0], cd[1][1]);
    append(t, "    \"convention\": \"x, y: 0-based, centre of pixel column c at c + 0.5; "
              "FITS pixel = (x + 0.5, y + 0.5); (xi, eta) = CD (x - width / 2, y - height / 2)\"\n  },\n");
    append(t, "  \"psf\": {\"kind\": \"%s\", \"fwhm_px\": %.6g, \"beta\": %.6g},\n",
           s.psf == Psf::gaussian ? "gaussian" : "moffat", s.fwhm_px, s.moffat_beta);
    append(t, "  \"flux_mag10_adu\": %.6g,\n  \"mag_limit\": %.6g,\n", s.flux_mag10, s.mag_limit);
    append(t, "  \"sky_adu\": %.6g,\n  \"gain\": %.6g,\n  \"read_noise_adu\": %.6g,\n  \"noise\": %s,\n",
           s.sky_adu, s.gain, s.read_noise_adu, s.noise ? "true" : "false");
    append(t, "  \"saturation_adu\": %.6g,\n  \"hot_pixels\": %d,\n  \"cosmic_rays\": %d,\n",
           s.saturation_adu, s.hot_pixels, s.cosmic_rays);
    append(t, "  \"satellite_trail\": %s,\n  \"vignetting\": %.6g,\n  \"distortion_k1\": %.6g,\n",
           s.satellite_trail ? "true" : "false", s.vignetting, s.distortion_k1);
    append(t, "  \"bayer\": %s,\n  \"stars\": [", s.bayer ? "\"RGGB\"" : "null");
    for (size_t i = 0; i < image.stars.size(); ++i) {
        const TruthStar& st = image.stars[i];
        append(t, "%s\n    {\"ra\": %.7f, \"dec\": %.7f, \"mag\": %.3f, \"x\": %.4f, \"y\": %.4f, "
                  "\"x_linear\": %.4f, \"y_linear\": %.4f, \"flux\": %.3f, \"peak\": %.3f, "
                  "\"peak_snr\": %.3f, \"saturated\": %s, \"inside\": %s}",
               i ? "," : "", st.ra_deg, st.dec_deg, st.mag, st.x, st.y, st.x_linear, st.y_linear,
               st.flux, st.peak, std::isfinite(st.peak_snr) ? st.peak_snr : 1e300,
               st.saturated ? "true" : "false", st.inside ? "true" : "false");
    }
    t += image.stars.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return t;
}

bool write_truth(const SkyImage& image, const SimulatorSettings& s, const std::string& path,
                 const char** message) {
    const std::string text = truth_json(image, s);
    return write_file(path, text.data(), text.size(), message);
}

}  // namespace kestil_simulator
