// fuzz/parse_arguments_fuzz.cpp - the command-line parser on arbitrary argument vectors
// Input: the arguments after the program name, separated by NUL bytes (at most 64 are used).
// Checks: whatever parse_arguments accepts lies within the documented ranges, and every text
// it keeps points into the argument vector.
#include <math.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/options.h"
#include "fuzz/fuzz_support.hpp"

namespace {

constexpr size_t max_arguments = 64;

bool points_into(const char* text, const std::vector<std::string>& arguments) {
    if (!text) return true;
    for (const std::string& argument : arguments)
        if (text == argument.c_str()) return true;
    return false;
}

void check_accepted(const SolverSettings& s, const std::vector<std::string>& arguments) {
    fuzz::check(memchr(s.index_dir, 0, sizeof s.index_dir) != nullptr, "index_dir terminated");
    fuzz::check(s.scale_count >= 1 && s.scale_count <= SOLVER_SCALE_COUNT, "scale count");
    for (int i = 0; i < s.scale_count; ++i)
        for (int j = 0; j < i; ++j) fuzz::check(s.scales[i] != s.scales[j], "duplicate scale");
    fuzz::check(s.run_mode >= RUN_SOLVE && s.run_mode <= RUN_REMOVE, "run mode");
    fuzz::check(s.output_format >= FORMAT_TEXT && s.output_format <= FORMAT_WCS, "format");
    fuzz::check(s.scale_hint >= 0.0 && s.scale_hint <= 5.0, "scale hint");
    fuzz::check(s.radius >= 0.0 && s.radius <= 360.0, "radius");
    fuzz::check(s.epoch == 0.0 || s.epoch == 2000.0, "epoch");
    fuzz::check(s.parity >= -1 && s.parity <= 1, "parity");
    fuzz::check(s.downsample >= 1 && s.downsample <= 16, "downsample");
    fuzz::check(s.depth >= 0 && s.depth <= 1000, "depth");
    fuzz::check(s.cpu_limit >= 0.0 && isfinite(s.cpu_limit), "cpu limit");
    fuzz::check(!s.ra_set || (s.ra >= 0.0 && s.ra < 24.0), "ra");
    fuzz::check(!s.dec_set || (s.dec >= -90.0 && s.dec <= 90.0), "dec");
    fuzz::check(s.run_mode != RUN_SOLVE || s.image_file, "solve without an image");
    fuzz::check(s.run_mode == RUN_SOLVE || (!s.image_file && !s.solve_option), "mode and image");
    fuzz::check(!s.index_url || s.run_mode == RUN_DOWNLOAD, "index url without download");
    fuzz::check(s.radius == 0.0 || (s.ra_set && s.dec_set), "radius without both hints");
    fuzz::check(points_into(s.image_file, arguments), "image file borrowed");
    fuzz::check(points_into(s.index_url, arguments), "index url borrowed");
    fuzz::check(points_into(s.solve_option, arguments), "solve option borrowed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), fuzz::silence_stderr_stream(), true);
    (void)ready;
    std::vector<std::string> arguments = fuzz::split_at_nul(data, size);
    if (arguments.size() > max_arguments) arguments.resize(max_arguments);
    arguments.insert(arguments.begin(), "kestil_solver");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    SolverSettings settings;
    memset(&settings, 0, sizeof settings);
    if (parse_arguments(static_cast<int>(arguments.size()), argv.data(), &settings))
        check_accepted(settings, arguments);
    return 0;
}
