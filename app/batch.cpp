// app/batch.cpp - --batch: many images solved at once with the indexes mapped once
#include "app/batch.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "app/options.h"
#include "app/solve_run.h"
#include "framework/alloc.h"
#include "solver/solve.h"

namespace {

constexpr int exit_solved = 0;
constexpr int exit_unsolved = 1;
constexpr int exit_signal_base = 128;  // the shell's code of a process ended by a signal
const char* const not_solved_prefix = "Not solved: ";
const char* const unreadable_message = "Can't read the image file";

// The first SIGINT or SIGTERM of the run; 0 = none. Written by the handler, read by the workers.
std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler stores into it");

extern "C" void on_stop_signal(int signal_number) {
    int none = 0;
    stop_signal.compare_exchange_strong(none, signal_number);
}

// The handler runs once per signal: SA_RESETHAND puts back the default action, so a second
// Ctrl-C ends the process at once. SA_RESTART: output in progress is not cut by the signal.
void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void restore_default_handlers() {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

// A memory stream and the buffer it fills; the buffer is final once the stream is closed.
struct MemoryText {
    char* text = nullptr;
    size_t size = 0;
};

FILE* open_memory_stream(MemoryText* memory) {
    FILE* stream = open_memstream(&memory->text, &memory->size);
    if (!stream) kestil_out_of_memory();
    return stream;
}

// What the solve of one image wrote for the standard output and the standard error.
struct ImageResult {
    MemoryText out, errors;
    bool solved = false;
    bool done = false;
};

// The "Not solved" reason among the diagnostics of an image, as "Not solved: <message>"
// writes it; an unreadable image has none and gets the message of a single solve's document.
void write_not_solved_line(FILE* out, const MemoryText& errors) {
    const char* line = errors.text ? strstr(errors.text, not_solved_prefix) : nullptr;
    if (!line) {
        fprintf(out, "%s%s\n", not_solved_prefix, unreadable_message);
        return;
    }
    fprintf(out, "%.*s\n", static_cast<int>(strcspn(line, "\n")), line);
}

// Solves one image into memory in the batch form of its output format.
void solve_into_memory(const SolverSettings* settings, const char* path,
                       SolverIndexCache* cache, ImageResult* result) {
    const bool text = settings->output_format == FORMAT_TEXT;
    FILE* out = open_memory_stream(&result->out);
    FILE* errors = open_memory_stream(&result->errors);
    if (text) fprintf(out, "File:     %s\n", path);
    // The reports name settings->image_file: a copy that names this image. Progress lines go
    // where a single solve writes them: with the text report, else with the diagnostics.
    SolverSettings image_settings = *settings;
    image_settings.image_file = path;
    result->solved =
        solve_image_file(&image_settings, path, cache, out, errors, text ? out : errors) == 0;
    fclose(errors);
    if (text) {
        if (!result->solved) write_not_solved_line(out, result->errors);
        fputc('\n', out);
    }
    fclose(out);
    if (settings->output_format == FORMAT_JSON && result->out.size > 0) {
        result->out.size = compact_json(result->out.text, result->out.size);
        result->out.text[result->out.size++] = '\n';  // the closing brace's line end was dropped
    }
}

struct Batch {
    const SolverSettings* settings = nullptr;
    SolverIndexCache* cache = nullptr;
    std::vector<ImageResult> results;
    std::mutex lock;
    std::condition_variable changed;
    size_t claimed = 0;  // images handed to workers: always the first `claimed` of the list
    int running = 0;     // workers that have not ended
};

// A worker: takes the next image until none is left or a signal came, solves it and hands the
// result over.
void work(Batch* batch) {
    const size_t count = batch->results.size();
    for (;;) {
        size_t index = 0;
        {
            std::lock_guard<std::mutex> guard(batch->lock);
            if (batch->claimed == count || stop_signal.load() != 0) break;
            index = batch->claimed++;
        }
        ImageResult result;
        solve_into_memory(batch->settings, batch->settings->image_files[index], batch->cache,
                          &result);
        {
            std::lock_guard<std::mutex> guard(batch->lock);
            result.done = true;
            batch->results[index] = result;
        }
        batch->changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> guard(batch->lock);
        --batch->running;
    }
    batch->changed.notify_all();
}

// What the main thread wrote.
struct WriteOutcome {
    size_t written = 0;      // results handed to the streams, the first of the list
    bool all_solved = true;
    int write_error = 0;     // errno of the first failed write of the standard output; 0 = none
};

// Writes the results in input order as each becomes the next one due, until every claimed
// image is written and no worker runs.
WriteOutcome write_results_in_order(Batch* batch) {
    WriteOutcome outcome;
    size_t& written = outcome.written;
    while (written < batch->results.size()) {
        ImageResult result;
        {
            std::unique_lock<std::mutex> guard(batch->lock);
            batch->changed.wait(guard, [&] {
                return batch->results[written].done ||
                       (batch->running == 0 && written >= batch->claimed);
            });
            if (!batch->results[written].done) break;  // interrupted: nothing more will come
            result = batch->results[written];
        }
        fwrite(result.errors.text, 1, result.errors.size, stderr);
        fflush(stderr);
        fwrite(result.out.text, 1, result.out.size, stdout);
        if (fflush(stdout) != 0 && outcome.write_error == 0) outcome.write_error = errno;
        free(result.errors.text);
        free(result.out.text);
        outcome.all_solved = outcome.all_solved && result.solved;
        ++written;
    }
    return outcome;
}

// Starts up to `wanted` workers; none when threads can't be made (the caller then works alone).
std::vector<std::thread> start_workers(Batch* batch, size_t wanted) {
    std::vector<std::thread> workers;
    for (size_t i = 0; i < wanted; ++i) {
        {
            std::lock_guard<std::mutex> guard(batch->lock);
            ++batch->running;
        }
        try {
            workers.emplace_back(work, batch);
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> guard(batch->lock);
            --batch->running;
            break;
        }
    }
    return workers;
}

size_t worker_count(const SolverSettings* settings, size_t images) {
    size_t jobs = settings->jobs > 0 ? static_cast<size_t>(settings->jobs)
                                     : std::max(1u, std::thread::hardware_concurrency());
    return std::min(jobs, images);
}

}  // namespace

extern "C" {

size_t compact_json(char* text, size_t size) {
    size_t kept = 0;
    bool in_string = false, escaped = false;
    for (size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
            continue;
        }
        text[kept++] = c;
    }
    return kept;
}

int run_batch(const SolverSettings* settings) {
    progress_stream = settings->output_format == FORMAT_TEXT ? stdout : stderr;
    const size_t count = static_cast<size_t>(std::max(settings->image_file_count, 0));
    Batch batch;
    batch.settings = settings;
    batch.results.resize(count);
    batch.cache = kestil_solver_index_cache_create();  // null: each solve maps its own
    stop_signal.store(0);
    install_stop_handlers();

    std::vector<std::thread> workers = start_workers(&batch, worker_count(settings, count));
    if (workers.empty()) {
        {
            std::lock_guard<std::mutex> guard(batch.lock);
            ++batch.running;
        }
        work(&batch);
    }
    const WriteOutcome outcome = write_results_in_order(&batch);
    for (std::thread& worker : workers) worker.join();
    kestil_solver_index_cache_release(batch.cache);
    const int signal_number = stop_signal.load();
    restore_default_handlers();

    if (outcome.write_error != 0)  // results lost: never a success
        fprintf(stderr, "%s: can't write the results: %s\n", program_name,
                strerror(outcome.write_error));
    if (outcome.written < count) {  // only a signal stops the workers early
        fprintf(stderr, "%s: interrupted, %zu of %zu images not started\n", program_name,
                count - outcome.written, count);
        return signal_number != 0 ? exit_signal_base + signal_number : exit_unsolved;
    }
    return outcome.all_solved && outcome.write_error == 0 ? exit_solved : exit_unsolved;
}

}  // extern "C"
