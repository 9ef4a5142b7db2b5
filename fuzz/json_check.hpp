// fuzz/json_check.hpp - a small JSON validity check for the report fuzz targets
// Accepts exactly one JSON value (RFC 8259 grammar) surrounded by optional white space.
// Strings must hold no raw control byte (below 0x20), only the escapes \" \\ \/ \b \f \n \r \t
// and \uXXXX, and well-formed UTF-8 sequences: a lead byte 0xC2..0xF4 followed by the right
// number of continuation bytes. Overlong 3- and 4-byte forms, encoded surrogates and code points
// above U+10FFFF are let through: the report writer copies them on purpose (see utf8_sanitize).
#ifndef KESTIL_FUZZ_JSON_CHECK_HPP
#define KESTIL_FUZZ_JSON_CHECK_HPP

#include <stddef.h>

#include <string_view>

namespace fuzz {

class JsonCheck {
public:
    explicit JsonCheck(std::string_view text) : text_(text) {}

    bool valid() {
        skip_blanks();
        if (!value(0)) return false;
        skip_blanks();
        return at_ == text_.size();
    }

private:
    static constexpr int max_depth = 64;

    std::string_view text_;
    size_t at_ = 0;

    int peek() const { return at_ < text_.size() ? static_cast<unsigned char>(text_[at_]) : -1; }
    bool take(char c) {
        if (peek() != static_cast<unsigned char>(c)) return false;
        ++at_;
        return true;
    }
    void skip_blanks() {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') ++at_;
    }
    bool word(std::string_view w) {
        if (text_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }
    bool digits() {
        size_t start = at_;
        while (peek() >= '0' && peek() <= '9') ++at_;
        return at_ > start;
    }

    bool value(int depth) {
        if (depth > max_depth) return false;
        switch (peek()) {
        case '{': return object(depth);
        case '[': return array(depth);
        case '"': return string();
        case 't': return word("true");
        case 'f': return word("false");
        case 'n': return word("null");
        default: return number();
        }
    }

    bool object(int depth) {
        take('{');
        skip_blanks();
        if (take('}')) return true;
        for (;;) {
            skip_blanks();
            if (!string()) return false;
            skip_blanks();
            if (!take(':')) return false;
            skip_blanks();
            if (!value(depth + 1)) return false;
            skip_blanks();
            if (take('}')) return true;
            if (!take(',')) return false;
        }
    }

    bool array(int depth) {
        take('[');
        skip_blanks();
        if (take(']')) return true;
        for (;;) {
            skip_blanks();
            if (!value(depth + 1)) return false;
            skip_blanks();
            if (take(']')) return true;
            if (!take(',')) return false;
        }
    }

    bool number() {
        take('-');
        if (!take('0') && !(peek() >= '1' && peek() <= '9' && digits())) return false;
        if (take('.') && !digits()) return false;
        if (take('e') || take('E')) {
            if (!take('+')) take('-');
            if (!digits()) return false;
        }
        return true;
    }

    bool hex4() {
        for (int i = 0; i < 4; ++i) {
            int c = peek();
            bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            if (!hex) return false;
            ++at_;
        }
        return true;
    }

    bool utf8_sequence() {
        int lead = peek();
        size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                       : 0;
        if (length == 0) return false;
        ++at_;
        for (size_t i = 1; i < length; ++i) {
            int c = peek();
            if (c < 0x80 || c > 0xBF) return false;
            ++at_;
        }
        return true;
    }

    bool string() {
        if (!take('"')) return false;
        for (;;) {
            int c = peek();
            if (c < 0x20) return false;  // raw control byte, or the text ended inside
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c == '\\') {
                ++at_;
                int e = peek();
                ++at_;
                if (e == 'u') {
                    if (!hex4()) return false;
                } else if (e < 0 || std::string_view("\"\\/bfnrt").find(static_cast<char>(e)) ==
                                        std::string_view::npos) {
                    return false;
                }
                continue;
            }
            if (c < 0x80) {
                ++at_;
                continue;
            }
            if (!utf8_sequence()) return false;
        }
    }
};

inline bool json_valid(std::string_view text) { return JsonCheck(text).valid(); }

}  // namespace fuzz

#endif
