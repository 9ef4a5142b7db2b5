// app/batch.h - --batch: many images solved at once with the indexes mapped once
// Worker threads take the images of settings->image_files in their order and solve each into
// memory streams (solve_image_file); the main thread writes every result as soon as those of all
// the images before it are written, so the output follows the input order whatever the workers'
// pace. One index cache serves every worker. Per image:
//   json  the JSON document on one line (JSON Lines)
//   xml   the XML document
//   text  "File:     <path>", the text report or "Not solved: <message>", an empty line
// and on the standard error its diagnostics and "Not solved" line, as a single solve writes them.
// SIGINT and SIGTERM stop the start of further images; the images in progress finish and their
// results are written whole. A second signal ends the process at once (the default action).
// Main thread only; installs its own SIGINT and SIGTERM handlers for the run.
#ifndef KESTIL_APP_BATCH_H
#define KESTIL_APP_BATCH_H

#include <stddef.h>

#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Given:  settings   a --batch solve (image_files, image_file_count, jobs: 0 = one worker per
//                    processor; never more workers than images)
// Result: the exit code: 0 when every image was solved, 1 when one was not (an unreadable
//         image too) or when the standard output could not be written (after "kestil_solver:
//         can't write the results: <reason>"), 128 + the signal (130 for SIGINT, 143 for SIGTERM) when an interrupt left
//         images unstarted, after the line "kestil_solver: interrupted, <n> of <m> images not
//         started" on the standard error
int run_batch(const SolverSettings* settings);

// Given:  text, size   a JSON document of size bytes
// Returned: text       the document without the blanks, tabs and line ends between its tokens
//                      (strings, escapes included, untouched), moved to the front
// Result: its new size (no line end)
size_t compact_json(char* text, size_t size);

#ifdef __cplusplus
}
#endif

#endif
