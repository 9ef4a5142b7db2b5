// framework/sexagesimal.cpp - decimal and sexagesimal number text
#include "framework/sexagesimal.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

namespace {

constexpr size_t stod_capacity = 128;       // kestil_stod reads at most 127 bytes
constexpr size_t signature_capacity = 16;   // 15 signature characters and a NUL
constexpr size_t rotating_capacity = 128;
constexpr int rotating_count = 4;
constexpr int max_fraction_digits = 19;     // more digits are below double precision anyway
constexpr int max_exponent = 9999;          // clamps the exponent; far beyond the double range

char rotating_buffers[rotating_count][rotating_capacity];
std::atomic<unsigned> rotating_next{0};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Exponent digits after "e": an optional sign and a decimal integer, atoi-style (0 when none).
int read_exponent(const char* p) {
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int exponent = 0;
    for (; is_digit(*p); ++p)
        if (exponent < max_exponent) exponent = exponent * 10 + (*p - '0');
    if (exponent > max_exponent) exponent = max_exponent;
    return negative ? -exponent : exponent;
}

// Rounds to nearest with halves away from zero, at the given number of decimals (0..4).
double round_to(double value, int decimals) {
    double factor = 1.0;
    for (int i = 0; i < decimals; ++i) factor *= 10.0;
    return round(value * factor) / factor;
}

// The conversions of a format reduced to their precision digits and letters: "%d:%02d:%05.2f"
// gives "dd2f". Flags "0", "+" and "-" and the width are skipped.
void format_signature(const char* format, char* signature) {
    size_t length = 0;
    for (const char* p = format; *p && length < signature_capacity - 1; ++p) {
        if (*p != '%') continue;
        ++p;
        while (*p == '0' || *p == '+' || *p == '-') ++p;
        while (is_digit(*p)) ++p;
        if (*p == '.') {
            ++p;
            while (is_digit(*p) && length < signature_capacity - 1) signature[length++] = *p++;
        }
        if (!*p) break;
        if (length < signature_capacity - 1) signature[length++] = *p;
    }
    signature[length] = '\0';
}

// Decimals of a signature "d<K>f" or "dd<K>f" with K = 0..4 after the given prefix, else -1.
int decimals_after(const char* signature, const char* prefix) {
    size_t n = strlen(prefix);
    if (strncmp(signature, prefix, n) != 0) return -1;
    const char* rest = signature + n;
    if (rest[0] >= '0' && rest[0] <= '4' && rest[1] == 'f' && rest[2] == '\0') return rest[0] - '0';
    return -1;
}

// A signature of one real conversion (precision digits and one of e, f, g, a in either case),
// or of none at all: the formats that may be given the magnitude itself.
bool takes_one_real(const char* signature) {
    size_t i = 0;
    while (is_digit(signature[i])) ++i;
    if (signature[i] == '\0') return i == 0;
    return strchr("eEfFgGaA", signature[i]) && signature[i + 1] == '\0';
}

// The magnitude the sexagesimal fields are made of: NaN becomes 0 and larger values than the
// int whole part can hold are clamped, since no angle or time comes near them.
double field_magnitude(double magnitude) {
    constexpr double largest_whole = 2147483646.0;  // leaves room for a carry
    if (!(magnitude >= 0.0)) return 0.0;
    return magnitude > largest_whole ? largest_whole : magnitude;
}

// Writes the unsigned text of the magnitude by the signature of the format.
void write_magnitude(double magnitude, const char* format, char* buffer, size_t size) {
    char signature[signature_capacity];
    format_signature(format, signature);
    const double a = field_magnitude(magnitude);
    int whole = static_cast<int>(a);
    double minutes = (a - floor(a)) * 60.0;
    double seconds = (minutes - floor(minutes)) * 60.0;
    int decimals;

    if (strcmp(signature, "d") == 0) {
        snprintf(buffer, size, format, whole);
    } else if (strcmp(signature, "dd") == 0) {
        int m = static_cast<int>(round(minutes));
        if (m >= 60) m = 0, ++whole;
        snprintf(buffer, size, format, whole, m);
    } else if (strcmp(signature, "ddd") == 0) {
        int s = static_cast<int>(round(seconds));
        int m = static_cast<int>(minutes);
        if (s >= 60) s = 0, ++m;
        if (m >= 60) m = 0, ++whole;
        snprintf(buffer, size, format, whole, m, s);
    } else if ((decimals = decimals_after(signature, "dd")) >= 0) {
        double s = round_to(seconds, decimals);
        int m = static_cast<int>(minutes);
        if (s >= 60.0) s = 0.0, ++m;
        if (m >= 60) m = 0, ++whole;
        snprintf(buffer, size, format, whole, m, s);
    } else if ((decimals = decimals_after(signature, "d")) >= 0) {
        double m = round_to(minutes, decimals);
        if (m >= 60.0) m = 0.0, ++whole;
        snprintf(buffer, size, format, whole, m);
    } else if (takes_one_real(signature)) {
        snprintf(buffer, size, format, magnitude);
    } else {
        buffer[0] = '\0';  // conversions this writer can't feed safely
    }
}

}  // namespace

extern "C" {

double kestil_atod(const char* text) {
    const char* p = text;
    while (*p == ' ') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    double value = 0.0;
    for (; is_digit(*p); ++p) value = value * 10.0 + (*p - '0');
    if (*p == '.' || *p == ',') {
        ++p;
        uint64_t fraction = 0;
        double scale = 1.0;
        for (int digits = 0; is_digit(*p); ++p, ++digits) {
            if (digits >= max_fraction_digits) continue;
            fraction = fraction * 10 + static_cast<uint64_t>(*p - '0');
            scale *= 10.0;
        }
        value += static_cast<double>(fraction) / scale;
    }
    if (value != 0.0 && (*p == 'e' || *p == 'E')) value *= pow(10.0, read_exponent(p + 1));
    return negative ? -value : value;
}

double kestil_stod(const char* text) {
    char copy[stod_capacity];
    snprintf(copy, sizeof copy, "%s", text);
    char* first = strpbrk(copy, ":*'\xDF");
    if (!first) return kestil_atod(copy);
    *first = '\0';
    double whole = kestil_atod(copy);
    char* rest = first + 1;
    bool negative = signbit(whole);
    char* second = strpbrk(rest, ":*'");
    if (second) {
        *second = '\0';
        double minutes = kestil_atod(rest);
        double seconds = kestil_atod(second + 1);
        return negative ? whole - (seconds / 3600.0 + minutes / 60.0)
                        : whole + minutes / 60.0 + seconds / 3600.0;
    }
    double minutes = kestil_atod(rest);
    return negative ? whole - minutes / 60.0 : whole + minutes / 60.0;
}

char* kestil_dtos_r(double value, const char* format, char* buffer, size_t size) {
    if (size == 0) return buffer;
    if (!format) format = "%d:%02d:%05.2f";
    write_magnitude(fabs(value), format, buffer, size);
    if (value < 0.0) {
        if (buffer[0] == '+') {
            buffer[0] = '-';
        } else if (size >= 2) {
            size_t keep = strlen(buffer);
            if (keep > size - 2) keep = size - 2;
            memmove(buffer + 1, buffer, keep);
            buffer[keep + 1] = '\0';
            buffer[0] = '-';
        }
    }
    return buffer;
}

char* kestil_dtos(double value, const char* format) {
    char* buffer = rotating_buffers[rotating_next.fetch_add(1) % rotating_count];
    return kestil_dtos_r(value, format, buffer, rotating_capacity);
}

char* kestil_dtoa(double value, char* buffer) {
    snprintf(buffer, KESTIL_DTOA_SIZE, "%.10g", value);
    char* comma = strchr(buffer, ',');
    if (comma) *comma = '.';
    return buffer;
}

}  // extern "C"
