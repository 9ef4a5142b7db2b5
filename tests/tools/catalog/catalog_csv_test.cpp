// Tests of the catalogue CSV reader: plain and gzip input, column order, limits, failures.
#include "tools/catalog/catalog_csv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "tests/support/temp_dir.hpp"
#include "tests/tools/catalog/catalog_test_files.hpp"

namespace {

class CatalogCsv : public ::testing::Test {
protected:
    std::string write(const char* name, const std::string& text, bool gzip) {
        return catalog_test::write(dir, name, text, gzip);
    }
    test_support::TempDir dir{"catalog_csv"};
};

TEST_F(CatalogCsv, ReadsPlainAndGzipAlike) {
    const std::string text =
        "ra,dec,mag\n279.2347500,38.7836944,0.030\n\n0.0000001,-89.9999999,15.190\r\n10,+20,-1.44";
    for (bool gzip : {false, true}) {
        SCOPED_TRACE(gzip);
        CsvCatalog c{};
        const char* message = nullptr;
        ASSERT_TRUE(read_catalog_csv(write(gzip ? "a.csv.gz" : "a.csv", text, gzip).c_str(), NAN, &c,
                                     nullptr, &message));
        ASSERT_EQ(3u, c.count);
        EXPECT_EQ(279.2347500, c.stars[0].ra);
        EXPECT_EQ(38.7836944, c.stars[0].dec);
        EXPECT_EQ(0.030, c.stars[0].mag);
        EXPECT_EQ(-89.9999999, c.stars[1].dec);
        EXPECT_EQ(15.19, c.stars[1].mag);  // the CR of a CRLF line is not part of the number
        EXPECT_EQ(20.0, c.stars[2].dec);   // a last line without a line end
        EXPECT_EQ(-1.44, c.stars[2].mag);
        free_catalog_csv(&c);
        EXPECT_EQ(nullptr, c.stars);
    }
}

TEST_F(CatalogCsv, ColumnsByNameAndMagnitudeLimit) {
    const std::string text = "id,MAG,Dec,ra,note\n1,9.5,10,20,x\n2,11.0,11,21,y\n3,10.0,12,22,\n";
    CsvCatalog c{};
    ASSERT_TRUE(read_catalog_csv(write("b.csv", text, false).c_str(), 10.0, &c, nullptr, nullptr));
    ASSERT_EQ(2u, c.count);  // 10.0 is kept (limit inclusive), 11.0 is not
    EXPECT_EQ(20.0, c.stars[0].ra);
    EXPECT_EQ(10.0, c.stars[0].dec);
    EXPECT_EQ(9.5, c.stars[0].mag);
    EXPECT_EQ(22.0, c.stars[1].ra);
    free_catalog_csv(&c);
}

TEST_F(CatalogCsv, LargeFileAcrossReadChunks) {
    // Lines cross the reader's 1 MiB chunk boundaries: every row must survive intact.
    std::string text = "ra,dec,mag\n";
    const int rows = 120000;
    for (int i = 0; i < rows; ++i) {
        char line[64];
        snprintf(line, sizeof line, "%d.1234567,%d.7654321,%d.125\n", i % 360, i % 90, i % 16);
        text += line;
    }
    CsvCatalog c{};
    ASSERT_TRUE(read_catalog_csv(write("c.csv.gz", text, true).c_str(), INFINITY, &c, nullptr, nullptr));
    ASSERT_EQ(size_t(rows), c.count);
    for (int i = 0; i < rows; i += 997) {
        char ra[32], dec[32];
        snprintf(ra, sizeof ra, "%d.1234567", i % 360);
        snprintf(dec, sizeof dec, "%d.7654321", i % 90);
        EXPECT_EQ(strtod(ra, nullptr), c.stars[i].ra);  // the C library's reading of the text
        EXPECT_EQ(strtod(dec, nullptr), c.stars[i].dec);
        EXPECT_EQ(i % 16 + 0.125, c.stars[i].mag);      // exact in binary
    }
    free_catalog_csv(&c);
}

TEST_F(CatalogCsv, FailuresAreReported) {
    struct Case { const char* text; const char* message; size_t line; };
    const Case cases[] = {
        {"", "Catalog header lacks ra, dec or mag", 0},
        {"ra,dec\n1,2\n", "Catalog header lacks ra, dec or mag", 0},
        {"ra,dec,mag\n1,2,3\n1,2\n", "Malformed catalog row", 3},
        {"ra,dec,mag\n1,2,3\n1,x,3\n", "Malformed catalog row", 3},
        {"ra,dec,mag\n1,2,nan\n", "Malformed catalog row", 2},
        {"ra,dec,mag\n1,2,3 4\n", "Malformed catalog row", 2},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CsvCatalog catalog{nullptr, 77};
        const char* message = nullptr;
        size_t line = 99;
        const std::string name = "bad" + std::to_string(n++) + ".csv";
        EXPECT_FALSE(read_catalog_csv(write(name.c_str(), c.text, false).c_str(), NAN, &catalog, &line, &message));
        EXPECT_STREQ(c.message, message);
        EXPECT_EQ(c.line, line);
        EXPECT_EQ(77u, catalog.count);  // untouched
    }
    const char* message = nullptr;
    CsvCatalog catalog{};
    EXPECT_FALSE(read_catalog_csv(dir.file("missing.csv").c_str(), NAN, &catalog, nullptr, &message));
    EXPECT_STREQ("Cannot open catalog file", message);
}

}  // namespace
