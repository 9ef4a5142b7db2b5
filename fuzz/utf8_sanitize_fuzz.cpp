// fuzz/utf8_sanitize_fuzz.cpp - the file name of the report documents on arbitrary bytes
// Input: the bytes of a path (up to the first NUL).
// Checks: utf8_sanitize keeps at most 771 bytes, leaves no control byte and only whole UTF-8
// sequences, copies printable ASCII unchanged; the JSON document's "file" value built from it
// as write_json_report does is valid JSON, and the XML value holds no markup character.
#include <string.h>

#include <string>

#include "app/reports.h"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/json_check.hpp"
#include "fuzz/report_text.hpp"

namespace {

bool printable_ascii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), true);
    (void)ready;
    std::string input(reinterpret_cast<const char*>(data), size);
    input.resize(strlen(input.c_str()));  // the path ends at its first NUL

    const std::string sanitized = utf8_sanitize(input.c_str());
    fuzz::check(sanitized.size() <= 771, "at most 771 bytes");
    for (char c : sanitized) {
        auto byte = static_cast<unsigned char>(c);
        fuzz::check(byte >= 0x20 && byte != 0x7F, "no control byte left");
    }
    fuzz::check(fuzz::sanitizer_output_form(sanitized), "whole UTF-8 sequences only");
    if (printable_ascii(input) && input.size() <= 771)
        fuzz::check(sanitized == input, "printable ASCII copied unchanged");
    if (input.size() <= 771) fuzz::check(sanitized.size() == input.size(), "one byte per byte");

    std::string json = "{\n  \"file\": \"";
    json += escape_text(sanitized.c_str(), false);
    json += "\",\n  \"solved\": false\n}\n";
    fuzz::check(fuzz::json_valid(json), "JSON document valid");

    bool ok = false;
    std::string xml_value = escape_text(sanitized.c_str(), true);
    fuzz::check(fuzz::unescape(xml_value, true, &ok) == sanitized && ok, "XML value round trip");
    return 0;
}
