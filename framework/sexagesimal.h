// framework/sexagesimal.h - decimal and sexagesimal number text
// Angles and times as text: hours or degrees with ":"-separated minutes and seconds, read
// leniently and written through an ordinary printf format whose conversions choose the fields.
// The locale is never consulted: a decimal comma is read as a point and kestil_dtoa always
// writes a point. kestil_atod, kestil_stod, kestil_dtos_r and kestil_dtoa work on the caller's
// or on stack buffers and may be called from any thread; kestil_dtos uses four process-wide
// buffers in turn and is for one thread at a time.
#ifndef KESTIL_FRAMEWORK_SEXAGESIMAL_H
#define KESTIL_FRAMEWORK_SEXAGESIMAL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Size a buffer for kestil_dtoa needs at least ("-1.234567891e-308" and a NUL).
enum { KESTIL_DTOA_SIZE = 18 };

// Given:  text   blanks, an optional sign, digits, an optional "." or "," and fraction digits,
//                an optional exponent ("e" or "E" and a decimal integer)
// Result: the value; reading stops silently at the first unexpected character ("12abc" is 12,
//         "" is 0, "-0" is negative zero). Never fails.
double kestil_atod(const char* text);

// Given:  text   decimal, or whole:minutes or whole:minutes:seconds; the separators may be
//                ":", "*" or "'" (the first one also the byte 0xDF); at most 127 bytes are read
// Result: the value in the unit of the whole part; minutes and seconds are added away from zero
//         when the whole part is negative (negative zero included): "-0:30" gives -0.5.
double kestil_stod(const char* text);

// Given:  value          hours or degrees
//         format         printf format choosing the fields by its conversions, null for
//                        "%d:%02d:%05.2f": "%d" whole; "%d:%02d" whole and rounded minutes;
//                        "%d:%02d:%02d" rounded seconds; "%d:%0N.Kf" minutes with K decimals;
//                        "%d:%02d:%0N.Kf" seconds with K decimals (K = 0..4); a format with one
//                        real conversion ("%g", "%.3f") writes the magnitude itself
//         buffer, size   destination; nothing is touched when size is 0
// Returned: buffer        the text, cut to size - 1 characters; rounded fields that reach 60
//                         carry into the next larger field, the whole part never wraps;
//                         a negative value is written with a leading "-"; the fields of NaN
//                         are those of 0, magnitudes above 2147483646 are clamped to it
// Result: buffer
char* kestil_dtos_r(double value, const char* format, char* buffer, size_t size);

// As kestil_dtos_r into one of four 128-byte process-wide buffers used in turn: the last four
// results stay valid.
char* kestil_dtos(double value, const char* format);

// Given:  value
// Returned: buffer   (at least KESTIL_DTOA_SIZE bytes) the value with "%.10g" and a point as
//                    the decimal separator
// Result: buffer
char* kestil_dtoa(double value, char* buffer);

#ifdef __cplusplus
}
#endif

#endif
