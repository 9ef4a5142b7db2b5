// Tests of the position and scale hints of FITS headers: hand-made card blocks for each card
// family and malformed value, and files written by astropy, whose WCS and coordinate frames
// give the expected positions.
#include "solver/image/fits_hints.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "image_test_support.hpp"

namespace {

using namespace image_test;

using Cards = std::vector<std::pair<const char*, const char*>>;  // keyword, value as written

// A FITS file: a 4 x 3 image of BITPIX 8 in the primary array, with the cards after NAXIS2.
Bytes primary_file(const Cards& cards) {
    std::string header;
    auto add = [&header](const char* keyword, const char* value) {
        char card[81];
        std::snprintf(card, sizeof card, "%-8.8s= %-70.70s", keyword, value);
        header += card;
    };
    for (const auto& [keyword, value] : Cards{{"SIMPLE", "T"}, {"BITPIX", "8"}, {"NAXIS", "2"},
                                              {"NAXIS1", "4"}, {"NAXIS2", "3"}})
        add(keyword, value);
    for (const auto& [keyword, value] : cards) add(keyword, value);
    header += std::string("END").append(77, ' ');
    header.resize(2880, ' ');
    Bytes file(2 * 2880, 0);  // and a block of data
    std::memcpy(file.data(), header.data(), header.size());
    return file;
}

FitsHints hints_of(const Bytes& file, bool* found) {
    FitsHints hints;
    std::memset(&hints, 0x5A, sizeof hints);  // all of it must be written
    *found = kestil_solver_fits_hints(file.data(), int32_t(file.size()), &hints);
    return hints;
}

const Cards capture = {{"OBJCTRA", "'12 30 00'"}, {"OBJCTDEC", "'+45 30 00'"}};

TEST(FitsHints, PositionCards) {
    struct Case { Cards cards; double ra, dec; const char* used; };
    // Expected values by hand: hours + minutes / 60 + seconds / 3600; RA degrees / 15.
    const Case cases[] = {
        {capture, 12.5, 45.5, "OBJCTRA/OBJCTDEC"},
        {{{"OBJCTRA", "'05:35:17.3'"}, {"OBJCTDEC", "'-05:23:28'"}}, 5 + 35 / 60.0 + 17.3 / 3600,
         -(5 + 23 / 60.0 + 28 / 3600.0), "OBJCTRA/OBJCTDEC"},
        {{{"OBJCTRA", "'0 0 0'"}, {"OBJCTDEC", "'-00 30 00'"}}, 0, -0.5, "OBJCTRA/OBJCTDEC"},
        {{{"OBJCTRA", "'23h59m59.5s'"}, {"OBJCTDEC", "'+89d59m59s'"}},
         23 + 59 / 60.0 + 59.5 / 3600, 89 + 59 / 60.0 + 59 / 3600.0, "OBJCTRA/OBJCTDEC"},
        {{{"RA", "187.5 / degrees"}, {"DEC", "-12.25"}}, 12.5, -12.25, "RA/DEC"},
        {{{"RA", "'12:30:00'"}, {"DEC", "'-12 15 00'"}}, 12.5, -12.25, "RA/DEC"},
        {{{"RA", "1.875D2"}, {"DEC", "15E0"}}, 12.5, 15, "RA/DEC"},
        {{{"RA", "360"}, {"DEC", "90"}}, 0, 90, "RA/DEC"},
        // RA/DEC before OBJCTRA; a later card of a keyword replaces an earlier one.
        {{{"OBJCTRA", "'01 00 00'"}, {"OBJCTDEC", "'+01 00 00'"}, {"RA", "'03 00 00'"},
          {"DEC", "'garbage'"}, {"DEC", "'+30 00 00'"}}, 3, 30, "RA/DEC"},
        {{{"RA", "NaN"}, {"DEC", "10"}, {"OBJCTRA", "'01 00 00'"}, {"OBJCTDEC", "'+01 00 00'"}},
         1, 1, "OBJCTRA/OBJCTDEC"},
        {{{"EQUINOX", "'J2000'"}, capture[0], capture[1]}, 12.5, 45.5, "OBJCTRA/OBJCTDEC"},
        {{{"EQUINOX", "1E9"}, {"EPOCH", "'now'"}, capture[0], capture[1]}, 12.5, 45.5,
         "OBJCTRA/OBJCTDEC"},  // nonsense equinoxes ignored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cards[0].first << " = " << c.cards[0].second);
        bool found = false;
        const FitsHints h = hints_of(primary_file(c.cards), &found);
        ASSERT_TRUE(found && h.has_position);
        EXPECT_FALSE(h.has_scale || h.position_from_wcs);
        EXPECT_STREQ(c.used, h.position_cards);
        EXPECT_NEAR(c.ra, h.ra, 1e-12);  // exact arithmetic but for the rounding of a few steps
        EXPECT_NEAR(c.dec, h.dec, 1e-12);
        EXPECT_EQ(2000, h.equinox);
    }
    // Refused pairs: out of range, malformed, not finite, one card alone or unclosed.
    const char* ra = "OBJCTRA", *dec = "OBJCTDEC";
    const Cards refused[] = {
        {{ra, "'24 00 01'"}, {dec, "'+10'"}}, {{ra, "'12 60'"}, {dec, "'+10'"}},
        {{ra, "'12'"}, {dec, "'+10 00 60'"}}, {{ra, "'12'"}, {dec, "'+91'"}},
        {{ra, "'12 30.5 10'"}, {dec, "'+10'"}}, {{ra, "'1 2 3 4'"}, {dec, "'+10'"}},
        {{ra, "'12 -30'"}, {dec, "'+10'"}}, {{ra, "''"}, {dec, "'+10'"}},
        {{ra, "'12 30 00"}, {dec, "'+10'"}}, {{ra, "'12 30 00'"}},
        {{"RA", "400"}, {"DEC", "10"}}, {{"RA", "-1"}, {"DEC", "10"}},
        {{"RA", "1E999"}, {"DEC", "10"}}, {{"RA", "0x10"}, {"DEC", "10"}},
        {{"RA", "12abc"}, {"DEC", "10"}}, {{"RA", "10"}, {"DEC", "-90.5"}},
        {{"RA", "10"}, {"DEC", "inf"}},
    };
    for (const Cards& cards : refused) {
        SCOPED_TRACE(testing::Message() << cards[0].second << " " << cards.back().second);
        bool found = true;
        const FitsHints h = hints_of(primary_file(cards), &found);
        EXPECT_FALSE(found || h.has_position);
        EXPECT_STREQ("", h.position_cards);
    }
}

TEST(FitsHints, ScaleCards) {
    const Cards tan = {{"CTYPE1", "'RA---TAN'"}, {"CTYPE2", "'DEC--TAN'"}};
    auto with_tan = [&tan](Cards cards) {
        cards.insert(cards.begin(), tan.begin(), tan.end());
        return cards;
    };
    struct Case { Cards cards; double arcsec; const char* used; };
    // 206.264806 arcseconds per pixel for one micron per millimetre; 0 = no scale.
    const Case cases[] = {
        {{{"PIXSCALE", "1.5"}}, 1.5, "PIXSCALE"},
        {{{"SECPIX", "2.0"}}, 2, "SECPIX"},
        {{{"SCALE", "0.5"}, {"FOCALLEN", "1000"}, {"XPIXSZ", "3.76"}}, 0.5, "SCALE"},
        {{{"FOCALLEN", "1000"}, {"XPIXSZ", "3.76"}}, 0.775555671, "FOCALLEN/XPIXSZ"},
        {{{"FOCALLEN", "1000"}, {"PIXSIZE1", "3.76"}, {"XBINNING", "2"}}, 1.551111343,
         "FOCALLEN/PIXSIZE1/XBINNING"},
        // XPIXSZ is the binned pixel already: binning does not multiply it.
        {{{"FOCALLEN", "1000"}, {"XPIXSZ", "7.52"}, {"PIXSIZE1", "3.76"}, {"XBINNING", "2"}},
         1.551111343, "FOCALLEN/XPIXSZ"},
        // Plates: see FilesWrittenByAstropy. A missing CDi_j card is 0 (flipped here).
        {with_tan({{"CD1_2", "3E-4"}, {"CD2_1", "3E-4"}}), 1.08, "CDi_j"},
        // A plate in other units or without celestial axes is not read; the next family is.
        {with_tan({{"CUNIT1", "'arcsec'"}, {"CDELT1", "1"}, {"CDELT2", "1"}, {"PIXSCALE", "3"}}),
         3, "PIXSCALE"},
        {{{"CTYPE1", "'GLON-TAN'"}, {"CTYPE2", "'GLAT-TAN'"}, {"CDELT1", "1E-3"},
          {"CDELT2", "1E-3"}}, 0, ""},
        {{{"PIXSCALE", "5000"}, {"SECPIX", "4"}}, 4, "SECPIX"},
        {{{"PIXSCALE", "0.001"}}, 0, ""},
        {with_tan({{"CD1_1", "1.5"}, {"CD2_2", "1.5"}}), 0, ""},  // 5400 "/px
        {with_tan({{"CD1_1", "1E-3"}, {"CD1_2", "1E-3"}, {"CD2_1", "1E-3"}, {"CD2_2", "1E-3"}}),
         0, ""},  // singular
        {{{"FOCALLEN", "0"}, {"XPIXSZ", "3.76"}}, 0, ""},
        {{{"FOCALLEN", "1000"}, {"PIXSIZE1", "3.76"}, {"XBINNING", "1.5"}}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cards.back().first << " = " << c.cards.back().second);
        bool found = false;
        const FitsHints h = hints_of(primary_file(c.cards), &found);
        EXPECT_EQ(c.arcsec > 0, found);
        ASSERT_EQ(c.arcsec > 0, h.has_scale);
        EXPECT_FALSE(h.has_position);
        EXPECT_STREQ(c.used, h.scale_cards);
        if (c.arcsec > 0) {
            EXPECT_NEAR(c.arcsec, h.scale * 3600, 1e-8);  // 9 digits given
        }
    }
}

TEST(FitsHints, FilesWithoutHints) {
    const Bytes plain = primary_file({{"OBJECT", "'M 31'"}});
    Bytes no_end = primary_file(capture);
    std::fill(no_end.begin() + 7 * 80, no_end.begin() + 8 * 80, ' ');  // END blanked
    Bytes not_fits = primary_file(capture);
    not_fits[0] = 'X';
    struct Case { const uint8_t* data; int32_t length; const char* what; };
    const Bytes with_hints = primary_file(capture);
    const Case cases[] = {
        {plain.data(), int32_t(plain.size()), "no hint cards"},
        {no_end.data(), int32_t(no_end.size()), "no END card"},
        {not_fits.data(), int32_t(not_fits.size()), "not FITS"},
        {with_hints.data(), 2879, "header cut short"},
        {with_hints.data(), 0, "empty"},
        {nullptr, 100, "no data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FitsHints h;
        std::memset(&h, 0x5A, sizeof h);
        EXPECT_FALSE(kestil_solver_fits_hints(c.data, c.length, &h));
        EXPECT_FALSE(h.has_position || h.has_scale);
        EXPECT_STREQ("", h.position_cards);
    }
    // The header alone is read when the image data are missing.
    bool found = false;
    const Bytes header_only(with_hints.begin(), with_hints.begin() + 2880);
    EXPECT_EQ(12.5, hints_of(header_only, &found).ra);
    EXPECT_TRUE(found);
}

// Files of each container, and the position of each image's centre and its scale as astropy
// computes them (wcslib for the WCS, its FK5 frames for the precession), one line a file:
// name, ra (hours), dec, scale (degrees per pixel; 0 when none).
const char astropy_writer[] = R"(
import sys
try:
    import numpy as np
    from astropy.io import fits
    from astropy.wcs import WCS
    from astropy.coordinates import SkyCoord, FK5
    import astropy.units as u
except ImportError:
    sys.exit(77)
out = sys.argv[1]
data = np.zeros((200, 300), dtype=np.uint16)
lines = []
def j2000(ra, dec, equinox):
    c = SkyCoord(ra * u.deg, dec * u.deg, frame=FK5(equinox=equinox)).transform_to(
        FK5(equinox='J2000'))
    return c.ra.deg, c.dec.deg
def plate(cards, equinox=None):
    h = fits.Header()
    h['CTYPE1'], h['CTYPE2'] = 'RA---TAN', 'DEC--TAN'
    for k, v in cards.items(): h[k] = v
    if equinox: h['RADESYS'], h['EQUINOX'] = 'FK5', equinox
    w = WCS(h, naxis=2)
    w.pixel_shape = (300, 200)
    ra, dec = w.all_pix2world([[150.5, 100.5]], 1)[0]
    if equinox: ra, dec = j2000(ra, dec, 'J%g' % equinox)
    scale = np.sqrt(abs(np.linalg.det(w.pixel_scale_matrix)))
    return h, (ra, dec, scale)
def record(name, hdus, expected):
    fits.HDUList(hdus).writeto(out + '/' + name)
    lines.append('%s %.15g %.15g %.15g' % (name, expected[0] / 15, expected[1], expected[2]))
rotated = {'CRVAL1': 150.0, 'CRVAL2': 30.0, 'CRPIX1': 1.0, 'CRPIX2': 1.0,
           'CD1_1': -4.8e-4, 'CD1_2': 2.8e-4, 'CD2_1': 2.8e-4, 'CD2_2': 4.8e-4}
h, e = plate(rotated)
record('cd_corner.fits', [fits.PrimaryHDU(data, h)], e)
h, e = plate({'CRVAL1': 359.9, 'CRVAL2': -60.0, 'CRPIX1': 10.0, 'CRPIX2': 190.0,
              'CDELT1': -1e-3, 'CDELT2': 1e-3, 'CROTA2': 20.0})
record('crota.fits', [fits.PrimaryHDU(data, h)], e)
h, e = plate({'CRVAL1': 80.0, 'CRVAL2': 75.0, 'CRPIX1': 300.0, 'CRPIX2': -50.0,
              'CDELT1': 2e-3, 'CDELT2': 2e-3, 'PC1_1': 0.6, 'PC1_2': -0.8, 'PC2_1': 0.8,
              'PC2_2': 0.6})
record('pc_flipped.fits', [fits.PrimaryHDU(data, h)], e)
h, e = plate(rotated, equinox=1950.0)
record('fk5_1950.fits', [fits.PrimaryHDU(data, h)], e)
h, e = plate(dict(rotated, CRVAL2=-30.0, CRPIX1=280.0))
record('table_then_image.fits', [fits.PrimaryHDU(), fits.BinTableHDU.from_columns(
    [fits.Column(name='x', format='E', array=np.arange(1000, dtype=np.float32))]),
    fits.ImageHDU(data, h)], e)
record('rice.fits', [fits.PrimaryHDU(), fits.CompImageHDU(data, h, compression_type='RICE_1')], e)
capture = fits.Header()
capture['OBJCTRA'], capture['OBJCTDEC'] = '10 20 30.5', '-20 10 05'
capture['EQUINOX'], capture['FOCALLEN'], capture['XPIXSZ'] = 1975.0, 800.0, 4.63
ra, dec = j2000((10 + 20 / 60 + 30.5 / 3600) * 15, -(20 + 10 / 60 + 5 / 3600), 'J1975')
record('capture_primary.fits', [fits.PrimaryHDU(header=capture), fits.ImageHDU(data)],
       (ra, dec, 4.63e-3 / 800 * 206264.806247 / 3600))
own = fits.Header()
own['RA'], own['DEC'] = 33.0, 44.0
ra, dec = j2000(33.0, 44.0, 'J1975')  # the primary header's equinox, inherited
record('extension_own.fits', [fits.PrimaryHDU(header=capture), fits.ImageHDU(data, own)],
       (ra, dec, 4.63e-3 / 800 * 206264.806247 / 3600))
open(out + '/expected.txt', 'w').write('\n'.join(lines) + '\n')
)";

TEST(FitsHints, FilesWrittenByAstropy) {
    TempDir dir;
    const int status = run_python(dir, astropy_writer);
    if (status == 77 || status == 127) GTEST_SKIP() << "/usr/bin/python3 with astropy is missing";
    ASSERT_EQ(0, status);
    struct Expected { double ra, dec, scale; };
    std::map<std::string, Expected> expected;
    std::ifstream lines(dir.file("expected.txt"));
    for (std::string name; lines >> name;) lines >> expected[name].ra >> expected[name].dec >>
                                                    expected[name].scale;
    struct Case { const char* file; const char* position; const char* scale; };
    const Case cases[] = {
        {"cd_corner.fits", "CRVAL1/CRVAL2 at CRPIX1/CRPIX2 via CDi_j", "CDi_j"},
        {"crota.fits", "CRVAL1/CRVAL2 at CRPIX1/CRPIX2 via CDELTi/CROTA2", "CDELTi/CROTA2"},
        {"pc_flipped.fits", "CRVAL1/CRVAL2 at CRPIX1/CRPIX2 via CDELTi/PCi_j", "CDELTi/PCi_j"},
        {"fk5_1950.fits", "CRVAL1/CRVAL2 at CRPIX1/CRPIX2 via CDi_j, EQUINOX 1950", "CDi_j"},
        {"table_then_image.fits", "CRVAL1/CRVAL2 at CRPIX1/CRPIX2 via CDi_j", "CDi_j"},
        {"rice.fits", "CRVAL1/CRVAL2 at CRPIX1/CRPIX2 via CDi_j", "CDi_j"},
        {"capture_primary.fits", "OBJCTRA/OBJCTDEC (primary header), EQUINOX 1975",
         "FOCALLEN/XPIXSZ (primary header)"},
        {"extension_own.fits", "RA/DEC, EQUINOX 1975", "FOCALLEN/XPIXSZ (primary header)"},
    };
    ASSERT_EQ(std::size(cases), expected.size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        bool found = false;
        const FitsHints h = hints_of(read_bytes(dir.file(c.file)), &found);
        const Expected& e = expected.at(c.file);
        ASSERT_TRUE(found && h.has_position && h.has_scale);
        EXPECT_STREQ(c.position, h.position_cards);
        EXPECT_STREQ(c.scale, h.scale_cards);
        // The same TAN formulas: agreement to rounding (< 1e-9 degree). Precession: astropy's
        // FK5 frames use the IAU 2006 angles (Capitaine et al. 2003), ours those of IAU 1976;
        // they part by about 0.05" in 50 years. A wrong sign, axis or direction of precession
        // is off by hundredths of a degree or more.
        const double tolerance = h.equinox == 2000 ? 1e-9 : 1e-4;
        EXPECT_NEAR(e.ra, h.ra, tolerance / 15);
        EXPECT_NEAR(e.dec, h.dec, tolerance);
        EXPECT_NEAR(e.scale, h.scale, 1e-15);
        EXPECT_EQ(std::string(c.position).find("CRVAL") == 0, h.position_from_wcs);
    }
}

}  // namespace
