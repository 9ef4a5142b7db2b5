// fuzz/sexagesimal_fuzz.cpp - decimal and sexagesimal number text
// Input: a text (up to its first NUL) for kestil_atod and kestil_stod; its first 8 bytes are
// also taken as a double for kestil_dtos_r and kestil_dtoa.
// Checks: plain decimal texts read as strtod reads them; kestil_dtoa fits its 18 bytes; the
// text kestil_dtos_r writes fits any buffer size given and reads back through kestil_stod to
// the value within the rounding of the format's last field.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "framework/sexagesimal.h"
#include "fuzz/fuzz_support.hpp"

namespace {

// Digits with at most one point (no sign, blank or exponent) and at most 15 significant digits
// in all: exactly the texts on which kestil_atod and strtod must agree to a few ulps.
bool plain_decimal(const std::string& text) {
    size_t digits = 0, points = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') ++digits;
        else if (c == '.') ++points;
        else return false;
    }
    return digits >= 1 && digits <= 15 && points <= 1;
}

void check_reading(const std::string& text) {
    double decimal = kestil_atod(text.c_str());
    double sexagesimal = kestil_stod(text.c_str());
    (void)sexagesimal;
    if (plain_decimal(text)) {
        double reference = strtod(text.c_str(), nullptr);
        // Both are within an ulp or two of the exact value (15 digits fit a double); 1e-14
        // relative leaves room for the digit-by-digit sum of the fraction.
        fuzz::check(fabs(decimal - reference) <= 1e-14 * fabs(reference), "atod agrees with strtod");
        fuzz::check(kestil_stod(text.c_str()) == decimal, "stod of a decimal text is atod");
    }
}

void check_writing(double value, size_t size_choice) {
    // Every size from 0 to 40, each in a heap block of exactly that size.
    size_t size = size_choice % 41;
    std::vector<char> small(size + 1, 'x');
    char* end = kestil_dtos_r(value, nullptr, small.data(), size);
    fuzz::check(end == small.data(), "dtos_r returns the buffer");
    if (size > 0) fuzz::check(memchr(small.data(), 0, size) != nullptr, "dtos_r text terminated");
    fuzz::check(small[size] == 'x', "dtos_r stays within size");

    std::vector<char> dtoa(KESTIL_DTOA_SIZE);
    kestil_dtoa(value, dtoa.data());
    fuzz::check(memchr(dtoa.data(), 0, dtoa.size()) != nullptr, "dtoa terminated");

    if (!(fabs(value) < 1e6)) return;
    struct Form { const char* format; double step; };
    static constexpr Form forms[] = {{"%d:%02d:%05.2f", 0.01 / 3600.0}, {"%d:%02d:%02d", 1.0 / 3600.0},
                                     {"%d:%04.1f", 0.1 / 60.0},         {"%d:%02d", 1.0 / 60.0}};
    for (const Form& form : forms) {
        char text[128];
        kestil_dtos_r(value, form.format, text, sizeof text);
        double back = kestil_stod(text);
        // Half the last field's step from rounding, plus the double rounding of a value below
        // 1e6 (about 1e-10 after the sexagesimal split and sum).
        fuzz::check(fabs(back - value) <= form.step / 2.0 + 1e-9, "dtos_r reads back by stod");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(strlen(text.c_str()));
    check_reading(text);
    if (size >= 9) {
        double value = 0.0;
        memcpy(&value, data, sizeof value);
        check_writing(value, data[8]);
    }
    return 0;
}
