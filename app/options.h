// app/options.h - the command line of kestil_solver: help text and run settings
// parse_arguments turns the argument vector into SolverSettings (the texts it keeps point into
// the vector, or for --batch into the parser's own copy of the list files, kept until the
// process ends). Every failure writes its diagnostic, beginning with "kestil_solver:", to the
// standard error. Main thread only (the home folder lookup and the list storage are not
// guarded).
#ifndef KESTIL_APP_OPTIONS_H
#define KESTIL_APP_OPTIONS_H

#include <stdbool.h>
#include <stddef.h>

#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// The name every diagnostic of the program begins with.
extern const char* const program_name;


// Writes the help text to the standard output.
void print_help(void);

// Returned: buffer   "<KESTIL_CACHE_BASE>/solver" when that variable is set, else
//                    "<home folder>/.kestil/solver", cut to size - 1 bytes
void default_index_directory(char* buffer, size_t size);

// Given:  argc, argv   the process arguments (argv[0] is the program)
// Returned: settings   (zero-filled by the caller) the run settings with their defaults; with
//                      --batch also image_files and image_file_count: every image argument in
//                      order, an argument "@FILE" replaced by the paths FILE lists (one a line,
//                      empty lines, blank lines and lines beginning with "#" skipped), and
//                      image_file the first of them. Without --batch a second image argument
//                      fails as before ("--batch" anywhere on the line counts).
// Result: true, or false after one diagnostic line (two for a bad scale list); with --batch a
//         list that can't be read, no image at all, -f wcs, --new-fits or --annotate fail, and
//         -j (1 or more) without --batch fails
bool parse_arguments(int argc, char** argv, SolverSettings* settings);

// Given:  text   "all", or comma separated published quad scales in degrees
// Returned: settings->scales, scale_count   the scales in the order given, duplicates dropped
// Result: true; false for a list without scales, or after "unknown index scale" for a bad piece
bool parse_scale_list(const char* text, SolverSettings* settings);

// Given:  text   a whole real number (strtod), finite and without range error
// Returned: value
// Result: whether the text is such a number
bool parse_real_value(const char* text, double* value);

// Given:  text   a real number (as parse_real_value) that is integral and in the int range:
//                "2.0" and "1e1" are 2 and 10
// Returned: value
// Result: whether the text is such a number
bool parse_int_value(const char* text, int* value);

// Given:  text   digits and "+-.:" only, at least one digit: decimal or h:m:s / d:m:s
// Returned: value   hours or degrees, by kestil_stod
// Result: whether the text passes the character check and gives a finite value
bool parse_angle_value(const char* text, double* value);

#ifdef __cplusplus
}
#endif

#endif
