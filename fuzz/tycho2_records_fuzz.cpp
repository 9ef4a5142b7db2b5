// fuzz/tycho2_records_fuzz.cpp - the Tycho-2 record reader and format detection on any file
// Input: the file (plain, or gzip when it starts with gzip's magic bytes). The target writes it
// to a private file and reads it as Tycho-2 and with the format found from the content (but for
// FITS content, which goes to cfitsio), each without a limit and with the limit 10.
// Checks (fuzz/star_catalog_check.hpp): stars finite, in range and sorted by magnitude, at most
// one per line; documented failure texts with a line inside the file; the limited read is the
// full one without the fainter stars.
#include "fuzz/star_catalog_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), fuzz::silence_stderr_stream(), true);
    (void)ready;
    static fuzz::TempDir dir;
    static const std::string path = dir.file("tyc2.dat");
    if (!fuzz::write_input(path, data, size)) fuzz::fail("can't write the input file");
    const std::string text = fuzz::unpacked(path);
    fuzz::check_star_catalog(path, {CATALOG_FORMAT_TYCHO2, nullptr, INFINITY}, 10.0, text);
    if (!fuzz::fits_content(text))
        fuzz::check_star_catalog(path, {CATALOG_FORMAT_AUTO, nullptr, INFINITY}, 10.0, text);
    return 0;
}
