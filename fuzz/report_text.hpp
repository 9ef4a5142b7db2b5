// fuzz/report_text.hpp - checks shared by the utf8_sanitize and escape_text targets
#ifndef KESTIL_FUZZ_REPORT_TEXT_HPP
#define KESTIL_FUZZ_REPORT_TEXT_HPP

#include <string.h>

#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"

namespace fuzz {

// Undoes escape_text: JSON \t \n \r \" \\, XML &quot; &amp; &apos; &lt; &gt;. Sets ok to false
// on anything escape_text never writes (a lone back slash or ampersand, a raw quote, ...).
inline std::string unescape(std::string_view text, bool xml, bool* ok) {
    static constexpr struct { const char* escape; char byte; } json[] = {
        {"\\t", '\t'}, {"\\n", '\n'}, {"\\r", '\r'}, {"\\\"", '"'}, {"\\\\", '\\'}};
    static constexpr struct { const char* escape; char byte; } entities[] = {
        {"&quot;", '"'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}};
    std::string plain;
    *ok = true;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        bool escaped = xml ? c == '&' : c == '\\';
        if (!escaped) {
            bool must_be_escaped = xml ? strchr("\"'<>", c) != nullptr : c == '"';
            if (must_be_escaped || (!xml && (c == '\t' || c == '\n' || c == '\r'))) *ok = false;
            plain += c;
            ++i;
            continue;
        }
        bool found = false;
        if (xml) {
            for (const auto& e : entities)
                if (text.substr(i).starts_with(e.escape)) {
                    plain += e.byte;
                    i += strlen(e.escape);
                    found = true;
                    break;
                }
        } else {
            for (const auto& e : json)
                if (text.substr(i).starts_with(e.escape)) {
                    plain += e.byte;
                    i += strlen(e.escape);
                    found = true;
                    break;
                }
        }
        if (!found) {
            *ok = false;
            return plain;
        }
    }
    return plain;
}

// Whether text has the form utf8_sanitize gives its output, apart from tab, line feed and
// carriage return: no other byte below 0x20, no DEL, and only whole UTF-8 sequences (a lead
// byte 0xC2..0xF4 and its continuation bytes 0x80..0xBF).
inline bool sanitizer_output_form(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7F)
                return false;
            ++i;
            continue;
        }
        size_t length = byte >= 0xC2 && byte <= 0xDF   ? 2
                        : byte >= 0xE0 && byte <= 0xEF ? 3
                        : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                       : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if (next < 0x80 || next > 0xBF) return false;
        }
        i += length;
    }
    return true;
}

}  // namespace fuzz

#endif
