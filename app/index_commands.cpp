// app/index_commands.cpp - the --list, --download and --remove commands
#include "app/index_commands.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

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

// The download location: --index-url, else KESTIL_INDEX_URL when set and not empty, else null
// (the built-in one).
const char* download_location(const SolverSettings* settings) {
    if (settings->index_url) return settings->index_url;
    const char* environment = getenv("KESTIL_INDEX_URL");
    return environment && *environment ? environment : nullptr;
}

using Clock = std::chrono::steady_clock;
constexpr double bytes_per_mb = 1e6;
constexpr std::chrono::milliseconds redraw_interval{100};
constexpr int bar_width = 20;
constexpr size_t reason_size = 4096 + 256;  // a request URL (up to 4095) and its cause
constexpr double min_rate_time_s = 0.1;  // the rate of a shorter time says nothing

// A progress bar redrawn in place on the standard error while one index arrives; only on a
// terminal, so that scripts and logs see the plain lines alone.
struct ProgressBar {
    bool drawn = false;
    Clock::time_point start, drawn_at;
    uint64_t received = 0;
    int64_t total = -1;
};

// "  45.2 MB of 178.0 MB [=====               ]  25%  11.3 MB/s", or without a known length
// "  45.2 MB  11.3 MB/s"; the mean rate once it means something, and always at the end.
void draw(ProgressBar& bar, bool last) {
    const double elapsed_s = std::chrono::duration<double>(Clock::now() - bar.start).count();
    const double received_mb = static_cast<double>(bar.received) / bytes_per_mb;
    char line[160];
    int length = 0;
    if (bar.total > 0) {
        const double fraction =
            std::min(1.0, static_cast<double>(bar.received) / static_cast<double>(bar.total));
        char filled[bar_width + 1];
        const int full = static_cast<int>(fraction * bar_width);
        for (int i = 0; i < bar_width; ++i) filled[i] = i < full ? '=' : ' ';
        filled[bar_width] = '\0';
        length = snprintf(line, sizeof line, "  %.1f MB of %.1f MB [%s] %3d%%", received_mb,
                          static_cast<double>(bar.total) / bytes_per_mb, filled,
                          static_cast<int>(fraction * 100.0));
    } else {
        length = snprintf(line, sizeof line, "  %.1f MB", received_mb);
    }
    const bool rate_known = elapsed_s >= min_rate_time_s || (last && elapsed_s > 0.0);
    if (rate_known && length > 0 && static_cast<size_t>(length) < sizeof line)
        snprintf(line + length, sizeof line - static_cast<size_t>(length), "  %.1f MB/s",
                 received_mb / elapsed_s);
    fprintf(stderr, "\r%s\033[K", line);  // back to the line start, clear what was longer
    fflush(stderr);
    bar.drawn = true;
    bar.drawn_at = Clock::now();
}

extern "C" void on_progress(void* context, uint64_t received_bytes, int64_t total_bytes) {
    ProgressBar& bar = *static_cast<ProgressBar*>(context);
    bar.received = received_bytes;
    bar.total = total_bytes;
    if (!bar.drawn || Clock::now() - bar.drawn_at >= redraw_interval) draw(bar, false);
}

// The last state of a bar that was drawn, and the end of its line.
void finish(ProgressBar& bar) {
    if (!bar.drawn) return;
    draw(bar, true);
    fputc('\n', stderr);
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
    ProgressBar bar;
    bar.start = Clock::now();
    char reason[reason_size];
    const IndexDownloadProgress progress = isatty(STDERR_FILENO) ? on_progress : nullptr;
    IndexDownloadHooks hooks{progress, &bar, reason, sizeof reason};
    const char* error = nullptr;
    const bool installed = kestil_solver_download_index_with_hooks(
        settings, download_location(settings), scale, &interrupt_flag, &hooks, &error);
    finish(bar);
    if (installed) {
        printf("Installed %s\n", path);
        return true;
    }
    if (interrupted()) return false;
    fprintf(stderr, "%s: %s can't be downloaded: %s\n", program, label, error);
    if (reason[0]) fprintf(stderr, "%s: %s\n", program, reason);
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
    fflush(stdout);  // the table first on a shared terminal
    report_missing_index_directory(settings);
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
    fflush(stdout);
    report_missing_index_directory(settings);
    return failed ? 1 : 0;
}

bool report_missing_index_directory(const SolverSettings* settings) {
    const char* dir = settings->index_dir;
    if (dir[0] == '\0') return false;  // the working directory
    struct stat status {};
    if (stat(dir, &status) == 0) {
        if (S_ISDIR(status.st_mode)) return false;
        fprintf(stderr, "%s: the index directory '%s' is not a directory\n", program, dir);
    } else if (errno == ENOENT || errno == ENOTDIR) {
        fprintf(stderr, "%s: the index directory '%s' does not exist\n", program, dir);
    } else {
        fprintf(stderr, "%s: the index directory '%s' can't be examined: %s\n", program, dir,
                strerror(errno));
    }
    return true;
}

}  // extern "C"
