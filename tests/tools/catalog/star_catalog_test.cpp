// Tests of the star catalogue readers: Tycho-2 records written to the published byte layout,
// Gaia CSV and ECSV with proper motion, FITS tables, column names, detection and failures.
// The ECSV and FITS files come from astropy (an independent writer), which also gives the
// expected J2000 positions; those tests are skipped where python3 with astropy is missing.
#include "tools/catalog/star_catalog.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/files.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tools/catalog/catalog_test_files.hpp"

namespace {

// The fields of a tyc2.dat record, 1-based inclusive bytes (ReadMe of CDS catalogue I/259,
// "Byte-by-byte Description of file: tyc2.dat"). The identifier "TYC1 TYC2 TYC3" and the pair
// HIP+CCDM are one field each; a '|' follows every field but the last.
struct Span { int first, last; };
const Span tycho2_spans[] = {
    {1, 12},    {14, 14},   {16, 27},   {29, 40},   {42, 48},   {50, 56},   {58, 60},
    {62, 64},   {66, 69},   {71, 74},   {76, 82},   {84, 90},   {92, 93},   {95, 97},
    {99, 101},  {103, 105}, {107, 109}, {111, 116}, {118, 122}, {124, 129}, {131, 135},
    {137, 139}, {141, 141}, {143, 151}, {153, 164}, {166, 177}, {179, 182}, {184, 187},
    {189, 193}, {195, 199}, {201, 201}, {203, 206}};
constexpr size_t tycho2_field_count = std::size(tycho2_spans);
using Tycho2Fields = std::vector<std::string>;

// A record with each value right-aligned in its field (the F and I formats), blanks elsewhere.
std::string tycho2_record(const Tycho2Fields& values) {
    std::string record(206, ' ');
    for (size_t i = 0; i < tycho2_field_count; ++i) {
        const Span s = tycho2_spans[i];
        const std::string& v = values.at(i);
        const size_t width = size_t(s.last - s.first + 1);
        EXPECT_LE(v.size(), width) << v;
        record.replace(size_t(s.last) - v.size(), v.size(), v);
        if (i + 1 < tycho2_field_count) record[size_t(s.last)] = '|';
    }
    return record;
}

// Three records of the catalogue: TYC 1-8-1 (VT = BT), TYC 1-13-1 (VT 8.670) and TYC 1-33-1
// (flag X: no mean position, BT only).
const Tycho2Fields tyc_1_8_1 = {
    "0001 00008 1", " ", "2.31750494", "2.23184345", "-16.3", "-9.0", "68", "73", "1.7", "1.8",
    "1958.89", "1951.94", "4", "1.0", "1.0", "0.9", "1.0", "12.146", "0.158", "12.146", "0.223",
    "999", " ", "", "2.31754222", "2.23186444", "1.67", "1.54", "88.0", "100.8", " ", "-0.2"};
const Tycho2Fields tyc_1_13_1 = {
    "0001 00013 1", " ", "1.12558209", "2.26739400", "27.7", "-0.5", "9", "12", "1.2", "1.2",
    "1990.76", "1989.25", "8", "1.0", "0.8", "1.0", "0.7", "10.488", "0.038", "8.670", "0.015",
    "999", "T", "", "1.12551889", "2.26739556", "1.81", "1.52", "9.3", "12.7", " ", "-0.2"};
const Tycho2Fields tyc_1_33_1 = {
    "0001 00033 1", "X", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "12.512",
    "0.228", "", "", "5", "T", "", "1.58432611", "0.94286667", "1.69", "1.58", "115.5", "125.1",
    " ", "0.0"};

// A copy of fields with some replaced: {index, value}.
Tycho2Fields with(Tycho2Fields fields, std::initializer_list<std::pair<size_t, const char*>> changes) {
    for (const auto& [i, v] : changes) fields.at(i) = v;
    return fields;
}
constexpr size_t pflag = 1, mean_ra = 2, mean_dec = 3, bt = 17, vt = 19;

struct Star { double ra, dec, mag; };

class StarCatalog : public ::testing::Test {
protected:
    // Reads path; on success the stars, else the message and line.
    bool read(const std::string& path, CatalogFormat format, const char* columns = nullptr,
              double limit = INFINITY) {
        const CatalogReadOptions options{format, columns, limit};
        CsvCatalog catalog{};
        message = nullptr;
        line = 99;
        stars.clear();
        if (!read_star_catalog_with_line(path.c_str(), &options, &catalog, &line, &message)) return false;
        for (size_t i = 0; i < catalog.count; ++i)
            stars.push_back({catalog.stars[i].ra, catalog.stars[i].dec, catalog.stars[i].mag});
        free_catalog_csv(&catalog);
        return true;
    }
    // Positions within tolerance_deg (default exact: both are the text's nearest double),
    // magnitudes exact.
    void expect_stars(const std::vector<Star>& expected, double tolerance_deg = 0) {
        ASSERT_EQ(expected.size(), stars.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_NEAR(expected[i].ra, stars[i].ra, tolerance_deg);
            EXPECT_NEAR(expected[i].dec, stars[i].dec, tolerance_deg);
            EXPECT_EQ(expected[i].mag, stars[i].mag);
        }
    }
    test_support::TempDir dir{"star_catalog"};
    std::vector<Star> stars;
    const char* message = nullptr;
    size_t line = 0;
};

TEST(StarCatalogTycho2, TestWriterReproducesPublishedRecords) {
    // The records as the catalogue prints them; the writer above must give them byte for byte.
    EXPECT_EQ("0001 00008 1| |  2.31750494|  2.23184345|  -16.3|   -9.0| 68| 73| 1.7| 1.8|"
              "1958.89|1951.94| 4|1.0|1.0|0.9|1.0|12.146|0.158|12.146|0.223|999| |         |"
              "  2.31754222|  2.23186444|1.67|1.54| 88.0|100.8| |-0.2",
              tycho2_record(tyc_1_8_1));
    EXPECT_EQ("0001 00013 1| |  1.12558209|  2.26739400|   27.7|   -0.5|  9| 12| 1.2| 1.2|"
              "1990.76|1989.25| 8|1.0|0.8|1.0|0.7|10.488|0.038| 8.670|0.015|999|T|         |"
              "  1.12551889|  2.26739556|1.81|1.52|  9.3| 12.7| |-0.2",
              tycho2_record(tyc_1_13_1));
    EXPECT_EQ("0001 00033 1|X|            |            |       |       |   |   |    |    |"
              "       |       |  |   |   |   |   |12.512|0.228|      |     |  5|T|         |"
              "  1.58432611|  0.94286667|1.69|1.58|115.5|125.1| | 0.0",
              tycho2_record(tyc_1_33_1));
}

TEST_F(StarCatalog, Tycho2PlainGzipPartsAndLineEnds) {
    const std::vector<Tycho2Fields> records = {
        tyc_1_8_1,
        with(tyc_1_8_1, {{bt, ""}, {vt, ""}}),  // no magnitude at all: left out
        with(tyc_1_8_1, {{pflag, "P"}, {mean_ra, "359.99999999"}, {mean_dec, "-89.99999999"},
                         {vt, ""}, {bt, "16.581"}}),
        tyc_1_33_1, tyc_1_13_1};
    const std::vector<Star> sorted = {{1.12558209, 2.26739400, 8.670},
                                      {2.31750494, 2.23184345, 12.146},
                                      {1.58432611, 0.94286667, 12.512},  // observed position, BT
                                      {359.99999999, -89.99999999, 16.581}};
    struct Case { const char* what; const char* end; bool gzip; int pieces; };
    const Case cases[] = {{"plain", "\n", false, 1},
                          {"CR LF", "\r\n", false, 1},
                          {"gzip", "\n", true, 1},
                          {"two gzip parts concatenated", "\n", true, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text;
        for (const auto& r : records) text += tycho2_record(r) + c.end;
        const std::string path = catalog_test::write(dir, std::string(c.what) + ".dat", text, c.gzip, c.pieces);
        for (CatalogFormat format : {CATALOG_FORMAT_AUTO, CATALOG_FORMAT_TYCHO2}) {
            ASSERT_TRUE(read(path, format)) << message;
            expect_stars(sorted);
        }
        ASSERT_TRUE(read(path, CATALOG_FORMAT_AUTO, nullptr, 12.146));  // the limit is inclusive
        expect_stars({sorted[0], sorted[1]});
    }
}

TEST_F(StarCatalog, GaiaProperMotionBringsPositionsToJ2000) {
    // Worked values: 16 years back from 2016 at 1000 mas/yr is 16" along a great circle;
    // the pole star moves 10" north in 10 years from 3.6" below the pole: 6.4" past it, at
    // ra + 180. Tolerance 1e-9 deg (4 microarcseconds): the arc and its tangent differ by
    // 1e-13 rad at 16"; a wrong sign, scale or cos dec is off by arcseconds.
    const std::string text =
        "source_id,ra,dec,phot_g_mean_mag,pmra,pmdec,ref_epoch\n"
        "1,10.0,0.0,5.0,1000.0,0.0,2016.0\n"
        "2,200.0,-30.0,6.0,0.0,2000.0,2016.0\n"
        "3,0.0,89.999,7.0,0.0,1000.0,1990.0\n"
        "4,50.0,60.0,8.0,,,2016.0\n"          // no proper motion: as it is
        "5,51.0,61.0,,1.0,1.0,2016.0\n"       // no magnitude: left out
        "6,52.0,62.0,9.0,5.0,5.0,2000.0\n";   // already at J2000
    ASSERT_TRUE(read(dir.file("gaia.csv", text), CATALOG_FORMAT_AUTO)) << message;
    expect_stars({{10.0 - 16.0 / 3600, 0.0, 5.0},
                  {200.0, -30.0 - 32.0 / 3600, 6.0},
                  {180.0, 90.0 - 6.4 / 3600, 7.0},
                  {50.0, 60.0, 8.0},
                  {52.0, 62.0, 9.0}},
                 1e-9);
}

TEST_F(StarCatalog, ColumnsByNameAndStableMagnitudeOrder) {
    // Quoted text may hold the delimiter; ra is taken modulo 360 (-30 -> 330); stars of equal
    // magnitude keep the file's order (enough of them that an unstable sort would mix them).
    std::string text = "# exported by hand\nname,alpha,delta,Gmag\n\"B, b\",-30,-20,2\n";
    std::vector<Star> expected = {{330, -20, 2}};
    auto mag_of = [](int i) { return i % 3 ? 9.5 : 3.0; };
    for (int i = 0; i < 60; ++i)
        text += "x," + std::to_string(i) + "," + std::to_string(i % 7) + (i % 3 ? ",9.5\n" : ",3\n");
    for (double mag : {3.0, 9.5})
        for (int i = 0; i < 60; ++i)
            if (mag_of(i) == mag) expected.push_back({double(i), double(i % 7), mag});
    const std::string path = dir.file("custom.csv", text);
    for (CatalogFormat format : {CATALOG_FORMAT_AUTO, CATALOG_FORMAT_CSV, CATALOG_FORMAT_GAIA}) {
        ASSERT_TRUE(read(path, format, " alpha,DELTA, gmag")) << message;
        expect_stars(expected);
    }
    // The project's own CSV, read as before, comes out sorted too.
    ASSERT_TRUE(read(dir.file("plain.csv", "ra,dec,mag\n1,2,9\n363,4,8\n"), CATALOG_FORMAT_AUTO));
    expect_stars({{3, 4, 8}, {1, 2, 9}});
}

TEST_F(StarCatalog, FormatNames) {
    struct Case { const char* text; bool ok; CatalogFormat format; };
    const Case cases[] = {{"csv", true, CATALOG_FORMAT_CSV},    {"tycho2", true, CATALOG_FORMAT_TYCHO2},
                          {"gaia", true, CATALOG_FORMAT_GAIA},  {"fits", true, CATALOG_FORMAT_FITS},
                          {"FITS", false, CATALOG_FORMAT_AUTO}, {"auto", false, CATALOG_FORMAT_AUTO},
                          {"", false, CATALOG_FORMAT_AUTO}};
    for (const Case& c : cases) {
        CatalogFormat format = CATALOG_FORMAT_AUTO;
        EXPECT_EQ(c.ok, parse_catalog_format(c.text, &format)) << c.text;
        EXPECT_EQ(c.format, format) << c.text;
    }
}

// A FITS file with only a primary header (no table): one 2880-byte block.
std::string fits_without_table() {
    std::string block;
    for (const char* card : {"SIMPLE  =                    T", "BITPIX  =                    8",
                             "NAXIS   =                    0", "END"})
        block += std::string(card) + std::string(80 - std::string(card).size(), ' ');
    return block + std::string(2880 - block.size(), ' ');
}

TEST_F(StarCatalog, FailuresAreReported) {
    const std::string good = tycho2_record(tyc_1_8_1) + "\n";
    struct Case {
        const char* what;
        std::string text;
        CatalogFormat format;
        const char* columns;
        const char* message;
        size_t line;
    };
    constexpr CatalogFormat automatic = CATALOG_FORMAT_AUTO, csv = CATALOG_FORMAT_CSV,
                            tycho2 = CATALOG_FORMAT_TYCHO2, gaia = CATALOG_FORMAT_GAIA;
    const char* const bad_record = "Malformed Tycho-2 record";
    const char* const bad_row = "Malformed catalog row";
    const std::string gaia_header = "ra,dec,phot_g_mean_mag\n";
    const Case cases[] = {
        {"empty", "", automatic, nullptr, "Empty catalog file", 0},
        {"binary", "\x01\x02\x03", automatic, nullptr, "Unknown catalog format", 0},
        {"column list", "ra,dec,mag\n", csv, "ra,dec", "Bad column list (want RA,DEC,MAG)", 0},
        {"columns for Tycho-2", good, automatic, "a,b,c",
         "Column names do not apply to Tycho-2 records", 0},
        {"record cut short", good + good.substr(0, 205) + "\n", tycho2, nullptr, bad_record, 2},
        {"separator moved", good + " " + good.substr(0, 205), tycho2, nullptr, bad_record, 2},
        {"unknown flag", tycho2_record(with(tyc_1_8_1, {{pflag, "Q"}})), tycho2, nullptr, bad_record, 1},
        {"bad magnitude", tycho2_record(with(tyc_1_8_1, {{vt, "12.1x6"}})), tycho2, nullptr, bad_record, 1},
        {"no mean position", tycho2_record(with(tyc_1_8_1, {{mean_ra, ""}})), tycho2, nullptr, bad_record, 1},
        {"dec past the pole", tycho2_record(with(tyc_1_8_1, {{mean_dec, "90.00000001"}})), tycho2,
         nullptr, bad_record, 1},
        {"Gaia header", "ra,dec,g\n1,2,3\n", gaia, nullptr,
         "Catalog header lacks ra, dec or phot_g_mean_mag", 0},
        {"Gaia number", gaia_header + "1,2,3\n1,x,3\n", automatic, nullptr, bad_row, 3},
        {"Gaia short row", gaia_header + "1,2\n", automatic, nullptr, bad_row, 2},
        {"Gaia dec", gaia_header + "1,-91,3\n", automatic, nullptr, bad_row, 2},
        {"CSV dec", "ra,dec,mag\n1,2,3\n1,90.5,3\n", automatic, nullptr, bad_row, 3},
        {"open quote", gaia_header + "\"1,2,3\n", automatic, nullptr, bad_row, 2},
        {"ECSV delimiter", "# %ECSV 1.0\n# ---\n# delimiter: '|'\nra|dec|phot_g_mean_mag\n", automatic,
         nullptr, "Unsupported ECSV delimiter", 3},
        {"named columns", "a,b,c\n1,2,3\n", csv, "a,b,m", "Catalog header lacks the named columns", 0},
        {"CSV as before", "ra,dec,mag\n1,2,\n", automatic, nullptr, bad_row, 2},
        {"FITS without table", fits_without_table(), automatic, nullptr, "No binary table in FITS file", 0},
        {"not FITS", "ra,dec,mag\n", CATALOG_FORMAT_FITS, nullptr, "Not a FITS file", 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.file("bad" + std::to_string(n++), c.text);
        EXPECT_FALSE(read(path, c.format, c.columns));
        EXPECT_STREQ(c.message, message);
        EXPECT_EQ(c.line, line);
    }
    EXPECT_FALSE(read(dir.file("missing"), CATALOG_FORMAT_AUTO));
    EXPECT_STREQ("Cannot open catalog file", message);
}

// A python interpreter with astropy ("python3" first, then Debian's own), or "" when none.
std::string python_with_astropy() {
    for (const char* python : {"python3", "/usr/bin/python3"}) {
        const std::string probe = std::string(python) + " -c 'import astropy' >/dev/null 2>&1";
        if (std::system(probe.c_str()) == 0) return python;
    }
    return "";
}

// Writes Gaia-like rows as ECSV (space and comma delimited) and FITS (plain and gzip), a FITS
// table of other names and numeric types, and the J2000 positions ERFA's space motion gives
// (astropy's own apply_space_motion strays by up to 4 microarcseconds for slow stars given
// without a distance).
const char astropy_script[] = R"(
import gzip, shutil, sys, warnings
from astropy.table import Table, MaskedColumn
import erfa
import numpy as np
out = sys.argv[1]
ra = [269.44850252543836, 35.0, 150.0, 151.0, 10.0]
dec = [4.739420051112412, 89.99, -20.0, -21.0, -10.0]
pmra = [-801.551, 3000.0, 5.0, 1.0, 1.0]
pmdec = [10362.394, -2500.0, 5.0, 1.0, 1.0]
t = Table()
t['designation'] = ['Gaia DR3 1', 'Gaia DR3 2', 'Gaia DR3 3', 'Gaia DR3 4', 'Gaia DR3 5']
t['ra'], t['dec'] = ra, dec
t['phot_g_mean_mag'] = MaskedColumn([8.25, 11.0, 9.5, 7.0, 12.0], mask=[0, 0, 0, 0, 1])
t['pmra'] = MaskedColumn(pmra, mask=[0, 0, 0, 1, 0])
t['pmdec'] = pmdec
t['ref_epoch'] = [2016.0] * 5
t.write(out + '/gaia.ecsv')
t.write(out + '/gaia_comma.ecsv', delimiter=',')
t.write(out + '/gaia.fits')
with open(out + '/gaia.fits', 'rb') as f, gzip.open(out + '/gaia.fits.gz', 'wb') as g:
    shutil.copyfileobj(f, g)
o = Table()
o['id'] = np.array([1, 2, 3], dtype=np.int32)
o['alpha'] = np.array([10.25, 200.5, 300.0], dtype=np.float64)
o['delta'] = np.array([-5.5, 45.25, 0.125], dtype=np.float32)
o['m'] = np.array([9, 7, 11], dtype=np.int16)
o.write(out + '/other.fits')
# ERFA's space motion (IAU SOFA's pmsafe), parallax and radial velocity 0, 2016.0 to 2000.0
r = np.radians
with warnings.catch_warnings():
    warnings.simplefilter('ignore')  # no parallax: ERFA assumes a very far star and says so
    a, d = erfa.pmsafe(r(ra), r(dec), r(np.array(pmra) / 3.6e6) / np.cos(r(dec)),
                       r(np.array(pmdec) / 3.6e6), 0.0, 0.0,
                       2451545.0 + 16 * 365.25, 0.0, 2451545.0, 0.0)[:2]
with open(out + '/expected.txt', 'w') as f:
    for x, y in zip(np.degrees(a), np.degrees(d)):
        f.write('%r %r\n' % (x % 360.0, y))
)";

TEST_F(StarCatalog, FilesWrittenByAstropy) {
    const std::string python = python_with_astropy();
    if (python.empty()) GTEST_SKIP() << "python3 with astropy is not installed";
    const std::string script = dir.file("write.py", astropy_script);
    ASSERT_EQ(0, std::system((python + " '" + script + "' '" + dir.path() + "'").c_str()));
    std::vector<Star> moved;  // ERFA's J2000 positions of the five rows
    {
        const std::string text = test_support::read_file(dir.file("expected.txt"));
        const char* p = text.c_str();
        for (double mag : {8.25, 11.0, 9.5, 7.0, 12.0}) {
            char* end = nullptr;
            const double ra = std::strtod(p, &end);
            const double dec = std::strtod(end, &end);
            moved.push_back({ra, dec, mag});
            p = end;
        }
    }
    // Row 4 has no pmra: its position stays; row 5 has no magnitude: left out. Sorted.
    const std::vector<Star> expected = {{151.0, -21.0, 7.0}, moved[0], moved[2], moved[1]};
    for (const char* name : {"gaia.ecsv", "gaia_comma.ecsv", "gaia.fits", "gaia.fits.gz"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(read(dir.file(name), CATALOG_FORMAT_AUTO)) << message;
        // 1e-10 deg (0.4 microarcseconds): the same motion computed two ways agrees to
        // 1e-14 deg; Barnard's star moves 166" in these 16 years
        expect_stars(expected, 1e-10);
    }
    const std::string other = dir.file("other.fits");
    EXPECT_FALSE(read(other, CATALOG_FORMAT_AUTO));
    EXPECT_STREQ("FITS table lacks ra, dec or mag columns", message);
    ASSERT_TRUE(read(other, CATALOG_FORMAT_FITS, "ALPHA,Delta,m")) << message;
    expect_stars({{200.5, 45.25, 7}, {10.25, -5.5, 9}, {300.0, 0.125, 11}});
    ASSERT_FALSE(read(other, CATALOG_FORMAT_FITS, "alpha,delta,id2"));
    EXPECT_STREQ("FITS table lacks ra, dec or mag columns", message);
}

}  // namespace
