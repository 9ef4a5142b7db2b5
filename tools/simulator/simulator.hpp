// tools/simulator/simulator.hpp - synthetic sky images with their truth, for tests and benches
// Renders the stars of a catalogue through a gnomonic (TAN) projection into a 16-bit image with
// a Gaussian or Moffat point-spread function, sky background, shot and read noise, saturation
// and optional defects (hot pixels, cosmic rays, a satellite trail), vignetting, radial lens
// distortion and an RGGB Bayer mosaic; writes it as raw image, FITS, JPEG or CFA DNG, and the
// truth (WCS and every rendered star) as JSON. The same settings and seed give the same bytes.
//
// Orientation. The WCS is the one the solver reports, written as in its WCS header output:
// with s = scale (degrees per pixel), p = parity (1 or -1) and th = angle + 180 degrees when
// p = -1, else angle,
//     CD1_1 = -s cos th   CD1_2 = s sin th p   CD2_1 = s sin th   CD2_2 = s cos th p,
// and (xi, eta) = CD (u, v) are the standard coordinates (degrees, xi towards increasing RA)
// of the pixel offset (u, v) from the image centre. Pixel positions here are 0-based with the
// centre of pixel column c at c + 0.5 (row r at r + 0.5), so u = x - width / 2 and
// v = y - height / 2 (real division). In FITS terms (1-based, pixel centres at integers) the
// pixel is x_fits = x + 0.5, y_fits = y + 0.5 and the reference pixel is
// CRPIX1 = (width + 1) / 2, CRPIX2 = (height + 1) / 2 with CRVAL = the centre (ra, dec). Row 0
// is the first row stored in every output format.
// Single-threaded per call; no state between calls.
#ifndef KESTIL_TOOLS_SIMULATOR_SIMULATOR_HPP
#define KESTIL_TOOLS_SIMULATOR_SIMULATOR_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "tools/catalog/catalog_csv.h"

namespace kestil_simulator {

// The field's linear WCS around the image centre.
struct SkyWcs {
    double ra_deg = 0.0;          // tangent point = sky position of the image centre, J2000
    double dec_deg = 0.0;
    double scale_arcsec = 2.0;    // arcseconds per pixel
    double angle_deg = 0.0;       // rotation as the solver reports it
    int parity = 1;               // 1 or -1 as the solver reports it
    int width = 1024;             // image size, pixels
    int height = 768;

    // cd[i][j]: CD(i+1)_(j+1), degrees per pixel.
    void cd_matrix(double cd[2][2]) const;
    // Linear pixel position (c + 0.5 convention) of a sky direction (degrees); false when the
    // direction is 90 degrees or more from the tangent point.
    bool sky_to_pixel(double ra_deg, double dec_deg, double* x, double* y) const;
    // Sky direction (degrees, 0 <= ra < 360) of a linear pixel position.
    void pixel_to_sky(double x, double y, double* ra_deg, double* dec_deg) const;
    // Radius (degrees) of a cone around the centre that holds the whole image.
    double field_radius_deg() const;
};

enum class Psf { gaussian, moffat };

struct SimulatorSettings {
    SkyWcs wcs;
    Psf psf = Psf::gaussian;
    double fwhm_px = 3.0;          // full width at half maximum, pixels
    double moffat_beta = 3.0;      // Moffat exponent (> 1)
    double flux_mag10 = 50000.0;   // integrated flux of a magnitude-10 star, ADU
    double mag_limit = 99.0;       // fainter stars are not rendered
    double sky_adu = 1000.0;       // sky background, ADU per pixel
    double gain = 1.0;             // electrons per ADU (shot noise: Poisson in electrons)
    double read_noise_adu = 5.0;   // Gaussian read noise, ADU
    bool noise = true;             // false: expected values only (no shot or read noise)
    double saturation_adu = 65535; // samples are clipped to 0..saturation
    int hot_pixels = 0;            // isolated bright pixels added after the noise
    int cosmic_rays = 0;           // short sharp tracks added after the noise
    bool satellite_trail = false;  // one straight trail across the image
    double trail_adu = 400.0;      // trail peak above the sky, ADU
    double vignetting = 0.0;       // fractional loss at the corners: 1 - v (r / r_corner)^2
    double distortion_k1 = 0.0;    // radial: r' = r (1 + k1 (r / r_corner)^2), about the centre
    bool bayer = false;            // RGGB mosaic (channel responses R 0.6, G 1, B 0.5)
    uint64_t seed = 1;
};

// One rendered star (every catalogue star whose profile touches the image).
struct TruthStar {
    double ra_deg, dec_deg, mag;
    double x, y;               // rendered position (after distortion), c + 0.5 convention
    double x_linear, y_linear; // position by the linear WCS alone
    double flux;               // integrated flux before vignetting, ADU
    double peak;               // brightest pixel of the star's own profile (with vignetting), ADU
    double peak_snr;           // peak over the background noise at the star
    bool saturated;            // expected peak + sky reaches the saturation level
    bool inside;               // the position lies within the image
};

struct SkyImage {
    int width = 0, height = 0;
    std::vector<uint16_t> pixels;  // row-major, row 0 first
    std::vector<TruthStar> stars;  // in catalogue order
};

// Stars of the catalogue within radius_deg of (ra_deg, dec_deg), in catalogue order.
std::vector<CsvStar> select_cone(const CsvStar* stars, size_t count, double ra_deg,
                                 double dec_deg, double radius_deg);

// `count` stars spread uniformly over the image (plus a margin of `margin_px`) with
// magnitudes from mag_bright to mag_faint, more faint than bright (N(<m) ~ 10^(0.35 m)).
std::vector<CsvStar> random_stars(const SkyWcs& wcs, int count, double mag_bright,
                                  double mag_faint, double margin_px, uint64_t seed);

// Renders the image and its truth from the given stars (selection by cone not needed).
SkyImage render_sky(const SimulatorSettings& settings, const CsvStar* stars, size_t count);

enum class ImageFormat { raw1, raw2, raw3, raw6, fits8, fits16, fits32, jpeg, dng };

// Parses "raw1", "raw2", "raw3", "raw6", "fits8", "fits16", "fits32", "jpeg", "dng".
bool parse_image_format(const char* name, ImageFormat* format);

// Encodes the image in memory (every format but dng). 8-bit outputs carry value / 257;
// colour raw layouts repeat the value in the three channels; a Bayer image gets the
// "BAYERPAT" trailer (RAW1, RAW2) or card (FITS). FITS carries the WCS cards too.
// Result: false with a static message for dng or an encoder failure.
bool encode_image(const SkyImage& image, const SimulatorSettings& settings, ImageFormat format,
                  int jpeg_quality, std::vector<uint8_t>* bytes, const char** message);

// Writes the image file (any format) and the truth JSON (`truth_path` may be empty: no truth).
bool write_image(const SkyImage& image, const SimulatorSettings& settings, ImageFormat format,
                 int jpeg_quality, const std::string& path, const char** message);
bool write_truth(const SkyImage& image, const SimulatorSettings& settings,
                 const std::string& path, const char** message);
// The truth document as text.
std::string truth_json(const SkyImage& image, const SimulatorSettings& settings);

}  // namespace kestil_simulator

#endif
