// app/main.cpp - entry of kestil_solver
// Shows the help when asked, parses the arguments, sets up the log and runs one of the four
// modes: solve an image or, with --batch, many (the default), list, download or remove index
// files.
#include <string.h>

#include "app/batch.h"
#include "app/index_commands.h"
#include "app/options.h"
#include "app/solve_run.h"
#include "framework/alloc.h"

namespace {

constexpr int exit_usage = 2;

// "-h" or "--help" anywhere, even where an option's value would stand.
bool help_asked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    kestil_install_new_handler();
    // The console already takes UTF-8 here (the degree signs); there is no code page to switch.
    if (help_asked(argc, argv)) {
        print_help();
        return 0;
    }
    if (argc <= 1) {
        print_help();
        return exit_usage;
    }
    SolverSettings settings;
    memset(&settings, 0, sizeof settings);
    if (!parse_arguments(argc, argv, &settings)) return exit_usage;
    configure_logging(settings.verbosity);

    switch (settings.run_mode) {
    case RUN_LIST:
        return list_indexes(&settings);
    case RUN_DOWNLOAD:
        return download_indexes(&settings);
    case RUN_REMOVE:
        return remove_indexes(&settings);
    default:
        return settings.batch ? run_batch(&settings) : run_solve(&settings);
    }
}
