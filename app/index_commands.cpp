// app/index_commands.cpp - the --list, --download and --remove commands
#include "app/index_commands.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "framework/files.h"
#include "solver/index/index_download.h"
#include "solver/index/index_file.h"
#include "solver/index/published_indexes.h"

static_assert(__atomic_always_lock_free(sizeof interrupt_flag, 0),
              "the interrupt flag must be a lock-free byte");

volatile uint8_t interrupt_flag = 0;

namespace {

constexpr char program[] = "kestil_solver";

extern "C" void on_interrupt(int) { __atomic_store_n(&interrupt_flag, 1, __ATOMIC_SEQ_CST); }

bool interrupted() { return __atomic_load_n(&interrupt_flag, __ATOMIC_SEQ_CST) != 0; }

const PublishedIndex& published_row(float scale) {
    for (const PublishedIndex& row : published_scales)
        if (row.scale == scale) return row;
    return published_scales[0];
}

void install_interrupt_handler() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_flags = SA_RESTART;  // output in progress is not cut by the signal
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Deletes a file, reporting a failure. Result: whether it was deleted.
bool delete_file(const char* path) {
    if (unlink(path) == 0) return true;
    fprintf(stderr, "%s: %s can't be removed: %s\n", program, path, strerror(errno));
    return false;
}

// One scale of the download loop. Result: false when it failed.
bool download_scale(const SolverSettings* settings, float scale) {
    char path[SOLVER_PATH_SIZE];
    char label[SOLVER_LABEL_SIZE];
    index_file_name(path, sizeof path, settings, scale);
    index_label(scale, label);
    if (kestil_uni_is_readable(path)) {
        if (kestil_solver_index_valid(path, scale)) {
            printf("%s is already installed\n", label);
            return true;
        }
        printf("%s is invalid, it is replaced\n", label);
        fflush(stdout);
        if (!delete_file(path)) return false;
    }
    printf("Downloading %s, %s...\n", label, published_row(scale).size);
    fflush(stdout);
    const char* error = nullptr;
    if (kestil_solver_download_index(settings, settings->index_url, scale, &interrupt_flag,
                                     &error)) {
        printf("Installed %s\n", path);
        return true;
    }
    if (interrupted()) return false;
    fprintf(stderr, "%s: %s can't be downloaded: %s\n", program, label, error);
    return false;
}

}  // namespace

extern "C" {

int list_indexes(const SolverSettings* settings) {
    printf("Index directory: %s\n", settings->index_dir);
    for (const PublishedIndex& row : published_scales) {
        char path[SOLVER_PATH_SIZE];
        char label[SOLVER_LABEL_SIZE];
        index_file_name(path, sizeof path, settings, row.scale);
        index_label(row.scale, label);
        const char* state = !kestil_uni_is_readable(path)                 ? "-"
                            : kestil_solver_index_valid(path, row.scale) ? "installed"
                                                                         : "invalid";
        printf("  %-5g %-10s %s, %s\n", static_cast<double>(row.scale), state, label, row.size);
    }
    return 0;
}

int download_indexes(const SolverSettings* settings) {
    if (!kestil_uni_mkdir(settings->index_dir)) {
        fprintf(stderr, "%s: can't create the index directory '%s': %s\n", program,
                settings->index_dir, strerror(errno));
        return 1;
    }
    install_interrupt_handler();
    bool failed = false;
    for (int i = 0; i < settings->scale_count && !interrupted(); ++i)
        if (!download_scale(settings, settings->scales[i])) failed = true;
    if (interrupted()) {
        fprintf(stderr, "%s: the download was interrupted\n", program);
        return 1;
    }
    return failed ? 1 : 0;
}

int remove_indexes(const SolverSettings* settings) {
    bool failed = false;
    for (int i = 0; i < settings->scale_count; ++i) {
        char path[SOLVER_PATH_SIZE];
        char label[SOLVER_LABEL_SIZE];
        index_file_name(path, sizeof path, settings, settings->scales[i]);
        index_label(settings->scales[i], label);
        if (!kestil_uni_is_readable(path)) {
            printf("%s is not installed\n", label);
        } else if (delete_file(path)) {
            printf("Removed %s\n", path);
        } else {
            failed = true;
        }
    }
    return failed ? 1 : 0;
}

}  // extern "C"
