// tools/simulator/simulate_main.cpp - kestil_simulate: render a synthetic sky image
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/alloc.h"
#include "tools/catalog/catalog_csv.h"
#include "tools/simulator/simulator.hpp"

using namespace kestil_simulator;

namespace {

const char* const usage =
    "Usage: kestil_simulate [options] --output FILE\n"
    "Renders a synthetic sky image and writes FILE and its truth FILE.truth.json.\n"
    "Stars:\n"
    "  --catalog PATH        star catalogue CSV (ra,dec,mag in degrees; plain or gzip)\n"
    "  --random N            N random stars over the field instead of a catalogue\n"
    "  --mag-range B F       magnitudes of the random stars (default 6 13)\n"
    "  --mag-limit M         render no star fainter than M\n"
    "Field (the solver's orientation convention):\n"
    "  --ra DEG --dec DEG    centre (default 0 0)\n"
    "  --scale ARCSEC        arcseconds per pixel (default 2)\n"
    "  --angle DEG           rotation (default 0)\n"
    "  --parity 1|-1         parity (default 1)\n"
    "  --width N --height N  size in pixels (default 1024 x 768)\n"
    "Optics and sensor:\n"
    "  --psf gaussian|moffat --fwhm PX --beta B\n"
    "  --flux10 ADU          integrated flux of a magnitude-10 star (default 50000)\n"
    "  --sky ADU --gain E_PER_ADU --read-noise ADU --saturation ADU --no-noise\n"
    "  --hot-pixels N --cosmic-rays N --trail --vignetting F --distortion K1 --bayer\n"
    "Output:\n"
    "  --format raw1|raw2|raw3|raw6|fits8|fits16|fits32|jpeg|dng (default fits16)\n"
    "  --quality Q           JPEG quality (default 92)\n"
    "  --seed N              random seed (default 1)\n"
    "  --no-truth            do not write the truth file\n";

bool number(const char* text, double* value) {
    if (!text) return false;
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*value);
}

int fail(const char* message, const char* detail = nullptr) {
    if (detail)
        std::fprintf(stderr, "kestil_simulate: %s: %s\n", message, detail);
    else
        std::fprintf(stderr, "kestil_simulate: %s\n", message);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    kestil_install_new_handler();
    SimulatorSettings s;
    ImageFormat format = ImageFormat::fits16;
    std::string catalog_path, output;
    int random_count = -1, quality = 92;
    double mag_bright = 6.0, mag_faint = 13.0;
    bool truth = true;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        double v = 0.0;
        auto take = [&](double* target) {
            if (!number(next, &v)) return false;
            *target = v;
            ++i;
            return true;
        };
        auto take_int = [&](int* target) {
            if (!number(next, &v) || v != std::floor(v) || std::fabs(v) > 1e9) return false;
            *target = static_cast<int>(v);
            ++i;
            return true;
        };
        bool ok = true;
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (a == "--catalog" && next) {
            catalog_path = next;
            ++i;
        } else if (a == "--output" && next) {
            output = next;
            ++i;
        } else if (a == "--format" && next) {
            ok = parse_image_format(next, &format);
            ++i;
        } else if (a == "--psf" && next) {
            ok = std::strcmp(next, "gaussian") == 0 || std::strcmp(next, "moffat") == 0;
            s.psf = std::strcmp(next, "moffat") == 0 ? Psf::moffat : Psf::gaussian;
            ++i;
        } else if (a == "--random") ok = take_int(&random_count) && random_count >= 0;
        else if (a == "--mag-range") ok = take(&mag_bright) && take(&mag_faint);
        else if (a == "--mag-limit") ok = take(&s.mag_limit);
        else if (a == "--ra") ok = take(&s.wcs.ra_deg);
        else if (a == "--dec") ok = take(&s.wcs.dec_deg) && std::fabs(s.wcs.dec_deg) <= 90.0;
        else if (a == "--scale") ok = take(&s.wcs.scale_arcsec) && s.wcs.scale_arcsec > 0.0;
        else if (a == "--angle") ok = take(&s.wcs.angle_deg);
        else if (a == "--parity") ok = take_int(&s.wcs.parity) && (s.wcs.parity == 1 || s.wcs.parity == -1);
        else if (a == "--width") ok = take_int(&s.wcs.width) && s.wcs.width >= 1 && s.wcs.width <= 65535;
        else if (a == "--height") ok = take_int(&s.wcs.height) && s.wcs.height >= 1 && s.wcs.height <= 65535;
        else if (a == "--fwhm") ok = take(&s.fwhm_px) && s.fwhm_px > 0.0;
        else if (a == "--beta") ok = take(&s.moffat_beta) && s.moffat_beta > 1.0;
        else if (a == "--flux10") ok = take(&s.flux_mag10) && s.flux_mag10 >= 0.0;
        else if (a == "--sky") ok = take(&s.sky_adu) && s.sky_adu >= 0.0;
        else if (a == "--gain") ok = take(&s.gain) && s.gain > 0.0;
        else if (a == "--read-noise") ok = take(&s.read_noise_adu) && s.read_noise_adu >= 0.0;
        else if (a == "--saturation") ok = take(&s.saturation_adu) && s.saturation_adu > 0.0;
        else if (a == "--no-noise") s.noise = false;
        else if (a == "--hot-pixels") ok = take_int(&s.hot_pixels) && s.hot_pixels >= 0;
        else if (a == "--cosmic-rays") ok = take_int(&s.cosmic_rays) && s.cosmic_rays >= 0;
        else if (a == "--trail") s.satellite_trail = true;
        else if (a == "--vignetting") ok = take(&s.vignetting);
        else if (a == "--distortion") ok = take(&s.distortion_k1);
        else if (a == "--bayer") s.bayer = true;
        else if (a == "--quality") ok = take_int(&quality) && quality >= 1 && quality <= 100;
        else if (a == "--no-truth") truth = false;
        else if (a == "--seed") {
            ok = next && *next;
            char* end = nullptr;
            if (ok) s.seed = std::strtoull(next, &end, 10), ok = *end == '\0';
            ++i;
        } else ok = false;
        if (!ok) return fail("invalid option or value", argv[i]);
    }
    if (output.empty()) return fail("no --output file given (see --help)");
    if (catalog_path.empty() == (random_count < 0)) return fail("give either --catalog or --random");
    if (static_cast<double>(s.wcs.width) * s.wcs.height > 536870911.0) return fail("image too large");

    std::vector<CsvStar> stars;
    if (!catalog_path.empty()) {
        CsvCatalog catalog{};
        size_t line = 0;
        const char* message = nullptr;
        if (!read_catalog_csv(catalog_path.c_str(), s.mag_limit, &catalog, &line, &message)) {
            char detail[64];
            std::snprintf(detail, sizeof detail, "line %zu", line);
            return fail(message, line ? detail : catalog_path.c_str());
        }
        // Margin for the profiles of stars just outside the frame.
        const double radius = s.wcs.field_radius_deg() + 50.0 * s.fwhm_px * s.wcs.scale_arcsec / 3600.0;
        stars = select_cone(catalog.stars, catalog.count, s.wcs.ra_deg, s.wcs.dec_deg, radius);
        free_catalog_csv(&catalog);
    } else {
        stars = random_stars(s.wcs, random_count, mag_bright, mag_faint, 0.0, s.seed);
    }
    const SkyImage image = render_sky(s, stars.data(), stars.size());
    const char* message = nullptr;
    if (!write_image(image, s, format, quality, output, &message)) {
        std::fprintf(stderr, "kestil_simulate: %s: %s\n", message, output.c_str());
        return 1;
    }
    if (truth && !write_truth(image, s, output + ".truth.json", &message)) {
        std::fprintf(stderr, "kestil_simulate: %s: %s.truth.json\n", message, output.c_str());
        return 1;
    }
    int inside = 0;
    for (const TruthStar& t : image.stars) inside += t.inside;
    std::fprintf(stderr, "kestil_simulate: %d x %d, %d stars rendered (%d inside)\n", image.width,
                 image.height, static_cast<int>(image.stars.size()), inside);
    return 0;
}
