// app/solve_run.cpp - one solve run: read the image whole, solve, report, exit code
#include "app/solve_run.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "app/index_commands.h"
#include "app/annotate.h"
#include "app/new_fits.h"
#include "app/options.h"
#include "app/reports.h"
#include "app/wcs_header.h"
#include "framework/alloc.h"
#include "framework/handles.hpp"
#include "framework/log.h"

FILE* progress_stream = stdout;

namespace {

constexpr int exit_usage = 2;
constexpr long max_image_size = 2147483647;  // the solver takes a signed 32-bit count
constexpr int log_level_errors = 1;
constexpr int log_level_debug = 3;
const char* const unreadable_message = "Can't read the image file";
// The solve's message when none of the selected indexes is installed.
const char* const no_index_message =
    "No index files found, download them with --download or the Solvane Agent, or select another "
    "index directory";

void drop_log_line(int, const char*) {}

// Progress lines of a solve to the stream in the context.
void write_progress(void* context, const char* line) { fputs(line, static_cast<FILE*>(context)); }

bool cant_read(FILE* errors, const char* path) {
    fprintf(errors, "%s: can't read '%s'\n", program_name, path);
    return false;
}

// read_image_file with its diagnostics to the given stream.
bool read_image_file_to(FILE* errors, const char* path, unsigned char** data, uint32_t* size) {
    FileHandle file(fopen(path, "rb"));
    if (!file) {
        fprintf(errors, "%s: can't open '%s': %s\n", program_name, path, strerror(errno));
        return false;
    }
    if (fseek(file.get(), 0, SEEK_END) != 0) return cant_read(errors, path);
    long length = ftell(file.get());
    if (length <= 0 || length > max_image_size) return cant_read(errors, path);
    if (fseek(file.get(), 0, SEEK_SET) != 0) return cant_read(errors, path);
    auto* bytes = static_cast<unsigned char*>(kestil_checked_calloc(static_cast<size_t>(length), 1));
    if (fread(bytes, 1, static_cast<size_t>(length), file.get()) != static_cast<size_t>(length)) {
        free(bytes);
        return cant_read(errors, path);
    }
    *data = bytes;
    *size = static_cast<uint32_t>(length);
    return true;
}

// After the "No index files found" line: a missing index directory named as such, then the
// ways to get indexes.
void explain_missing_indexes(const SolverSettings* settings, FILE* errors) {
    report_missing_index_directory(settings);
    fprintf(errors,
            "%s: to get index files, build them with 'kestil_build_index --catalog FILE --dir DIR "
            "--scale all' or download them from a mirror with '%s -i DIR --download all "
            "--index-url URL' (or KESTIL_INDEX_URL)\n",
            program_name, program_name);
}

void write_report(FILE* out, const SolverSettings* settings, const SolverSolution* solution,
                  const SolveDetails* details) {
    switch (settings->output_format) {
    case FORMAT_JSON:
        write_json_report_details_to(out, settings, solution, details);
        break;
    case FORMAT_XML:
        write_xml_report_to(out, settings, solution);
        break;
    case FORMAT_WCS:
        if (solution->solved) {
            if (settings->sip && details && details->solved)
                write_wcs_header_with(out, settings, solution, &details->wcs);
            else
                write_wcs_header_to(out, settings, solution);
        }
        break;
    default:
        if (solution->solved) write_text_report_to(out, settings, solution);
        break;
    }
}

// Whether the run needs the solve's details, and up to which order of distortion terms.
bool wants_details(const SolverSettings* settings) {
    return settings->sip || settings->list_matches || settings->new_fits || settings->annotate;
}
int32_t distortion_order(const SolverSettings* settings) {
    return settings->sip || settings->new_fits ? SOLVER_SIP_MAX_ORDER : 0;
}

// The solved FITS copy of --new-fits; false after its diagnostic.
bool write_solved_copy(const SolverSettings* settings, const unsigned char* image,
                       uint32_t size, const SolverSolution* solution,
                       const SolveDetails* details) {
    WcsHeader header;
    format_wcs_header_with(settings, solution, details->solved ? &details->wcs : nullptr,
                           &header);
    return write_new_fits(settings->new_fits, image, size, &header);
}

// Reads and solves the image at path into solution; the "Not solved" lines go to errors.
// Without image, the file's bytes are released; with it they are handed over (free them).
void solve_file(const SolverSettings* settings, const char* path, const SolveRequest* request,
                FILE* errors, SolverSolution* solution, unsigned char** image = nullptr,
                uint32_t* image_size = nullptr) {
    memset(solution, 0, sizeof *solution);
    unsigned char* bytes = nullptr;
    uint32_t size = 0;
    if (!read_image_file_to(errors, path, &bytes, &size)) {
        solution->solved = false;
        solution->message = unreadable_message;
        return;
    }
    kestil_solver_solve(request, bytes, size, solution);
    if (image) {
        *image = bytes;
        *image_size = size;
    } else {
        free(bytes);
    }
    if (!solution->solved) {
        const char* message = solution->message ? solution->message : "Unknown error";
        fprintf(errors, "Not solved: %s\n", message);
        if (strcmp(message, no_index_message) == 0) explain_missing_indexes(settings, errors);
    }
}

}  // namespace

extern "C" {

void configure_logging(int verbosity) {
    kestil_set_log_level(verbosity >= 2 ? log_level_debug : log_level_errors);
    if (verbosity == 0) kestil_log_message_handler = drop_log_line;
}

bool read_image_file(const char* path, unsigned char** data, uint32_t* size) {
    return read_image_file_to(stderr, path, data, size);
}

void solve_request_from_settings(const SolverSettings* settings, SolveRequest* request) {
    memset(request, 0, sizeof *request);
    memcpy(request->index_dir, settings->index_dir, sizeof request->index_dir);
    request->index_dir[sizeof request->index_dir - 1] = '\0';
    memcpy(request->scales, settings->scales, sizeof request->scales);
    request->scale_count = settings->scale_count;
    request->radius = settings->radius;
    request->ra = settings->ra;
    request->dec = settings->dec;
    request->epoch = settings->epoch;
    request->scale_hint = settings->scale_hint;
    request->parity = settings->parity;
    request->downsample = settings->downsample;
    request->downsample_set = settings->downsample_set;
    request->depth = settings->depth;
    request->cpu_limit = settings->cpu_limit;
    request->no_extended_search = settings->no_extended_search;
    request->header_hints = !settings->no_header_hints;
    if (settings->verbosity > 0) {
        request->progress = write_progress;
        request->progress_context = progress_stream;
    }
}

int solve_image_file(const SolverSettings* settings, const char* path, SolverIndexCache* cache,
                     FILE* out, FILE* errors, FILE* progress) {
    SolverSettings image_settings = *settings;  // the reports name this image
    image_settings.image_file = path;
    settings = &image_settings;
    SolveRequest request;
    solve_request_from_settings(settings, &request);
    request.cache = cache;
    if (request.progress) request.progress_context = progress;
    SolveDetails details{};
    if (wants_details(settings)) {
        request.details = &details;
        request.sip_order = distortion_order(settings);
    }
    SolverSolution solution;
    solve_file(settings, path, &request, errors, &solution);
    write_report(out, settings, &solution, request.details);
    kestil_solver_release_details(&details);
    return solution.solved ? 0 : 1;
}

int run_solve(const SolverSettings* settings) {
    progress_stream = settings->output_format == FORMAT_TEXT ? stdout : stderr;
    if (settings->new_fits && !new_fits_target_allowed(settings->new_fits, settings->image_file))
        return exit_usage;
    SolveRequest request;
    solve_request_from_settings(settings, &request);
    SolveDetails details{};
    if (wants_details(settings)) {
        request.details = &details;
        request.sip_order = distortion_order(settings);
    }
    SolverSolution solution;
    unsigned char* image = nullptr;
    uint32_t size = 0;
    solve_file(settings, settings->image_file, &request, stderr, &solution, &image, &size);
    // The files asked for come before the report, so that a report of success is not followed
    // by a failure to write them; either failure makes the exit code 1.
    bool written = true;
    if (image && solution.solved && settings->new_fits)
        written = write_solved_copy(settings, image, size, &solution, &details) && written;
    if (image && settings->annotate) {
        written = write_annotation(settings->annotate, image, size, &solution,
                                   request.details) && written;
        annotate_release_fonts();
    }
    free(image);
    write_report(stdout, settings, &solution, request.details);
    kestil_solver_release_details(&details);
    return solution.solved && written ? 0 : 1;
}

}  // extern "C"
