// fuzz/escape_text_fuzz.cpp - JSON and XML escaping on arbitrary text
// Input: the first byte chooses the rules (odd: XML, even: JSON), the rest is the text (up to
// its first NUL). Checks: the result needs at most 6 bytes per input byte, undoing the escapes
// gives the text back, and the JSON result quoted is a valid JSON string whenever the text is
// one utf8_sanitize could produce (no control bytes but tab, line feed and carriage return,
// whole UTF-8 sequences).
#include <string.h>

#include <string>

#include "app/reports.h"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/json_check.hpp"
#include "fuzz/report_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), true);
    (void)ready;
    if (size == 0) return 0;
    const bool xml = (data[0] & 1) != 0;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    text.resize(strlen(text.c_str()));

    const std::string escaped = escape_text(text.c_str(), xml);
    fuzz::check(escaped.size() <= 6 * text.size(), "at most 6 bytes per byte");
    bool ok = false;
    fuzz::check(fuzz::unescape(escaped, xml, &ok) == text && ok, "escapes undo to the text");

    if (!xml && fuzz::sanitizer_output_form(text))
        fuzz::check(fuzz::json_valid("\"" + escaped + "\""), "JSON string valid");
    return 0;
}
