// app/index_commands_pending.cpp - stand-in for the index commands until they are built
#include <stdio.h>

#include "app/index_commands.h"

namespace {
int not_built() {
    fputs("kestil_solver: index management is not built yet\n", stderr);
    return 1;
}
}  // namespace

extern "C" {
int list_indexes(const SolverSettings*) { return not_built(); }
int download_indexes(const SolverSettings*) { return not_built(); }
int remove_indexes(const SolverSettings*) { return not_built(); }
}
