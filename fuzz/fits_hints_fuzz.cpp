// fuzz/fits_hints_fuzz.cpp - position and scale hints from FITS headers
// Input: a FITS file; it is read as it stands and, a second time, as header cards following a
// fixed primary header of a 4 x 3 image (padded to whole cards, with END, a block of data after
// them), so that mutations of card values do not have to keep the block structure. Checks: a
// refusal leaves the record zero; an accepted record has a position or a scale, the position
// is finite with RA in [0, 24) hours and Dec in [-90, 90] from an equinox of 1800 to 2200, the
// scale lies in 0.01 to 3600 arcseconds per pixel, each found with a nonempty, terminated card
// text; the same input gives the same record.
#include <string.h>

#include <cmath>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "solver/image/fits_hints.h"

namespace {

bool terminated(const char* text) { return memchr(text, 0, FITS_HINT_TEXT_SIZE) != nullptr; }

void check_hints(const uint8_t* data, size_t size) {
    if (size > 0x7FFFFFFF) return;
    FitsHints hints, again;
    memset(&hints, 0x5A, sizeof hints);
    const bool found = kestil_solver_fits_hints(data, int32_t(size), &hints);
    fuzz::check(terminated(hints.position_cards) && terminated(hints.scale_cards),
                "card texts terminated");
    fuzz::check(found == (hints.has_position || hints.has_scale), "result says what was found");
    if (hints.has_position) {
        fuzz::check(std::isfinite(hints.ra) && hints.ra >= 0 && hints.ra < 24, "RA 0..24 h");
        fuzz::check(std::isfinite(hints.dec) && hints.dec >= -90 && hints.dec <= 90, "Dec");
        fuzz::check(hints.equinox >= 1800 && hints.equinox <= 2200, "equinox");
        fuzz::check(hints.position_cards[0] != 0, "position cards named");
    } else {
        fuzz::check(hints.position_cards[0] == 0 && !hints.position_from_wcs, "no position");
    }
    if (hints.has_scale) {
        const double arcsec = hints.scale * 3600;
        fuzz::check(arcsec >= 0.01 * (1 - 1e-12) && arcsec <= 3600 * (1 + 1e-12), "scale");
        fuzz::check(hints.scale_cards[0] != 0, "scale cards named");
    } else {
        fuzz::check(hints.scale_cards[0] == 0, "no scale");
    }
    memset(&again, 0x33, sizeof again);
    kestil_solver_fits_hints(data, int32_t(size), &again);
    fuzz::check(memcmp(&hints, &again, sizeof hints) == 0, "the same record again");
}

// The fixed primary header's cards, the input as cards, END, padding and a block of data.
std::vector<uint8_t> as_cards(const uint8_t* data, size_t size) {
    std::string header;
    for (const char* card : {"SIMPLE  =                    T", "BITPIX  =                    8",
                             "NAXIS   =                    2", "NAXIS1  =                    4",
                             "NAXIS2  =                    3"}) {
        header += card;
        header.resize((header.size() + 79) / 80 * 80, ' ');
    }
    header.append(reinterpret_cast<const char*>(data), size);
    header.resize((header.size() + 79) / 80 * 80, ' ');
    header += "END";
    header.resize((header.size() + 2879) / 2880 * 2880 + 2880, ' ');
    return std::vector<uint8_t>(header.begin(), header.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), fuzz::silence_stderr_stream(), true);
    (void)ready;
    if (size > (1u << 24)) return 0;
    // An exact copy, so that AddressSanitizer sees any read past the end.
    const std::vector<uint8_t> file(data, data + size);
    check_hints(file.data(), file.size());
    const std::vector<uint8_t> cards = as_cards(data, size);
    check_hints(cards.data(), cards.size());
    return 0;
}
