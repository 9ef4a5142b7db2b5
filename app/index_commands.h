// app/index_commands.h - the --list, --download and --remove commands
// Each runs once on the main thread and returns the process exit code. --download takes its
// location from --index-url, else from the environment variable KESTIL_INDEX_URL when it is set
// and not empty, else the built-in one; it draws a progress bar on the standard error while an
// index arrives when that is a terminal, and after a failed transfer adds a line with its cause.
// --list and --remove add a line on the standard error when the index directory is missing.
#ifndef KESTIL_APP_INDEX_COMMANDS_H
#define KESTIL_APP_INDEX_COMMANDS_H

#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Set to 1 by the SIGINT and SIGTERM handler that download_indexes installs; 0 at start.
// A lock-free byte, written and read with atomic byte stores and loads (signal-safe).
extern volatile uint8_t interrupt_flag;

int list_indexes(const SolverSettings* settings);      // always 0
int download_indexes(const SolverSettings* settings);  // 0, or 1 on any failure or interrupt
int remove_indexes(const SolverSettings* settings);    // 0, or 1 on any failure

// Writes "kestil_solver: the index directory '<dir>' does not exist" (or "... is not a
// directory", or the system's reason it can't be examined) to the standard error when
// settings->index_dir is set and names no directory. Result: whether it wrote a line.
bool report_missing_index_directory(const SolverSettings* settings);

#ifdef __cplusplus
}
#endif

#endif
