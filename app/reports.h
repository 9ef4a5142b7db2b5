// app/reports.h - the result of a solve as a text report, a JSON or an XML document
// The text report is written for a solved image only; the JSON and XML documents always, so
// that a calling program receives exactly one document. Everything goes to the standard output
// (the *_to variants write to a given stream instead; they exist for the tests and write the
// same bytes). Numbers use a point whatever the locale: the program never changes it.
// RA is shown in hours and h:m:s, Dec in degrees and d:m:s, the scale in degrees per pixel.
// The two text buffers are per thread: each result of utf8_sanitize and escape_text is valid
// until the next call on the same thread.
#ifndef KESTIL_APP_REPORTS_H
#define KESTIL_APP_REPORTS_H

#include <stdbool.h>
#include <stdio.h>

#include "solver/solve.h"
#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

void write_text_report(const SolverSettings* settings, const SolverSolution* solution);
void write_json_report(const SolverSettings* settings, const SolverSolution* solution);
void write_xml_report(const SolverSettings* settings, const SolverSolution* solution);

void write_text_report_to(FILE* out, const SolverSettings* settings,
                          const SolverSolution* solution);
void write_json_report_to(FILE* out, const SolverSettings* settings,
                          const SolverSolution* solution);
void write_xml_report_to(FILE* out, const SolverSettings* settings,
                         const SolverSolution* solution);

// The JSON document of write_json_report_to, followed, for a solved image whose details are
// given (may be null) and solved, by: with settings->sip, "sip_order", "rms_linear_px" and
// "rms_fitted_px" (the matches' rms residual in pixels without and with the distortion terms);
// with settings->list_matches, "matched": an array of {"x", "y", "ra", "dec", "residual"} (FITS
// pixels, degrees J2000, pixels). Without those settings or details the bytes are the same.
void write_json_report_details_to(FILE* out, const SolverSettings* settings,
                                  const SolverSolution* solution, const SolveDetails* details);

// Given:  text   any bytes (a path)
// Result: the text with every byte that is not part of a valid UTF-8 sequence, every control
//         byte and DEL replaced by "?", cut at a sequence boundary to at most 771 bytes
//         (772-byte buffer of the thread)
const char* utf8_sanitize(const char* text);

// Given:  text, xml   xml false: JSON string rules (\t \n \r \" \\); true: XML entities for
//                     " & ' < >
// Result: the escaped text, in a buffer of the thread grown as needed (an allocation failure
//         ends the process with "Failed to allocate memory" and status 1)
const char* escape_text(const char* text, bool xml);

#ifdef __cplusplus
}
#endif

#endif
