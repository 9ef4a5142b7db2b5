// app/index_commands.h - the --list, --download and --remove commands
// Each runs once on the main thread and returns the process exit code.
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

#ifdef __cplusplus
}
#endif

#endif
