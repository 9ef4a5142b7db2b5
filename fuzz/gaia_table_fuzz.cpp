// fuzz/gaia_table_fuzz.cpp - the delimited-table reader (Gaia CSV and ECSV) on any file
// Input: a mode byte, then the file. Mode % 4: 0 the format found from the content, 1 Gaia,
// 2 CSV with the columns "ra,dec,phot_g_mean_mag", 3 Gaia with the columns "a,b,c" (mode 0
// leaves FITS content out: it goes to cfitsio). The target writes the file to a private file
// and reads it without a limit and with the limit 12.
// Checks (fuzz/star_catalog_check.hpp): stars finite, in range (also after their proper
// motion) and sorted by magnitude, at most one per line; documented failure texts with a line
// inside the file; the limited read is the full one without the fainter stars.
#include "fuzz/star_catalog_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), fuzz::silence_stderr_stream(), true);
    (void)ready;
    if (size < 1) return 0;
    static fuzz::TempDir dir;
    static const std::string path = dir.file("gaia.csv");
    if (!fuzz::write_input(path, data + 1, size - 1)) fuzz::fail("can't write the input file");
    static const CatalogReadOptions modes[] = {
        {CATALOG_FORMAT_AUTO, nullptr, INFINITY},
        {CATALOG_FORMAT_GAIA, nullptr, INFINITY},
        {CATALOG_FORMAT_CSV, "ra,dec,phot_g_mean_mag", INFINITY},
        {CATALOG_FORMAT_GAIA, "a,b,c", INFINITY}};
    const std::string text = fuzz::unpacked(path);
    if (data[0] % 4 == 0 && fuzz::fits_content(text)) return 0;
    fuzz::check_star_catalog(path, modes[data[0] % 4], 12.0, text);
    return 0;
}
