// Tests of the kestil_solver process: help, exit codes, the separation of the standard output
// and the standard error, the default index directory, unreadable images and batches.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/solve_run.h"
#include "tests/support/files.hpp"
#include "tests/support/process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

using test_support::ChildRun;
using test_support::TempDir;

ChildRun solver(const std::vector<std::string>& args,
                std::map<std::string, std::string> env = {{"KESTIL_CACHE_BASE", "/cache/base"}}) {
    return test_support::run_program(test_support::solver_path(), args, env);
}

// The help text as the program's documentation states it, line by line, for the index
// directory /cache/base/solver. The first line carries the build date and time.
std::string expected_help_after_first_line() {
    return std::string() +
           "Finds where in the sky an image points, from the stars it shows.\n\n"
           "Plate solves an image file with the indexes of the Solvane Agent.\n\n"
           "Usage: kestil_solver [options] image_file\n"
           "       kestil_solver [options] --batch [-j <n>] image_file|@list_file ...\n"
           "       kestil_solver [-i <dir>] -l | --download <scales> | --remove <scales>\n\n"
           "The image can be KESTIL RAW, FITS, JPEG or a camera raw file.\n\n"
           "Options:\n"
           "  -i, --index-dir <dir>     directory with the index files (default: /cache/base/solver)\n"
           "  -x, --index <scales>      comma separated quad scales of the indexes to use, in degrees (default: all installed of 0.2,0.5,1,2,5,10,20)\n"
           "  -s, --scale <deg>         pixel scale hint in degrees per pixel, 0 = unknown (default: 0)\n"
           "  -r, --ra <hours>          RA hint in hours, decimal or h:m:s (default: none)\n"
           "  -d, --dec <deg>           Dec hint in degrees, decimal or d:m:s (default: none)\n"
           "  -R, --radius <deg>        search radius around the RA/Dec hint in degrees, 0 = whole sky (default: 0)\n"
           "  -e, --epoch <epoch>       epoch of the hint and the solution, 2000 = J2000, 0 = JNow (default: 2000)\n"
           "  -p, --parity <parity>     accept only solutions of this parity, -1, 1 or 0 = any (default: 0)\n"
           "  -D, --downsample <n>      bin the image n x n before the star detection, 1 = none (default: 2)\n"
           "  -t, --depth <n>           try the n brightest stars first and then all, 0 = 40, 100 and all (default: 0)\n"
           "  -c, --cpu-limit <sec>     give up after this many seconds, 0 = no limit (default: 180)\n"
           "  -f, --format <format>     output format of the result, text, json, xml or wcs (default: text)\n"
           "      --no-extended-search  stop when the stages have found nothing; by default an extended search\n"
           "                            follows, in which every quad proposes a solution that the stars of the whole\n"
           "                            field must confirm (with the unbinned image's stars when -D is not given)\n"
           "      --no-header-hints     ignore the position and scale cards of a FITS header\n"
           "      --sip                 fit lens distortion terms: wcs writes RA---TAN-SIP cards, json adds the rms with\n"
           "                            and without them\n"
           "      --list-matches        json: list the verified star matches as \"matched\"\n"
           "      --new-fits <file>     write a FITS copy of the image with the solution's WCS cards to this file\n"
           "      --annotate <file>     draw the solve over the image into this PNG file\n"
           "      --batch               solve every image file given and those of each @list_file (one path a line,\n"
           "                            # comments), with the indexes loaded once\n"
           "  -j, --jobs <n>            with --batch, solve n images at once (default: one per processor)\n"
           "  -v, --verbose             report the progress and errors, -vv adds the debug log\n"
           "  -h, --help                show this help\n\n"
           "Index management:\n"
           "  -l, --list                list the published indexes and the ones installed in the index directory\n"
           "      --download <scales>   download the indexes of the comma separated quad scales or all, valid\n"
           "                            installed indexes are kept, invalid ones replaced\n"
           "      --remove <scales>     remove the installed indexes of the comma separated quad scales or all\n"
           "      --index-url <url>     download the indexes from this URL (default:\n"
           "                            https://kestil-solver.example.org/releases/download/index_release_v2)\n\n"
           "With json or xml the result, solved or not, is a single document on the standard output and the progress\n"
           "of -v goes to the standard error.\n\n"
           "With wcs the solution is a WCS FITS header on the standard output, like the .wcs files of other plate\n"
           "solvers, always in J2000; nothing is written to the standard output when the image is not solved.\n\n"
           "With --batch the results follow the order of the images: json writes one line per image, text a block\n"
           "per image that begins with its \"File:\" line, xml one document per image; wcs, --new-fits and --annotate\n"
           "can't be used. The exit code is 0 when every image is solved, 1 when one is not; an interrupt (Ctrl-C,\n"
           "SIGTERM) lets the images in progress finish, writes their results and ends with 130 or 143.\n\n"
           "The exit code is 0 when the image is solved, 1 when it is not and 2 on wrong arguments. With --list,\n"
           "--download and --remove it is 0 on success, 1 when an index can't be downloaded or removed or the\n"
           "download is interrupted and 2 on wrong arguments.\n";
}

void expect_help(const std::string& out) {
    size_t end = out.find('\n');
    ASSERT_NE(std::string::npos, end);
    // Compiler date and time forms: "Nov 10 2026" (day padded with a blank) and "17:35:58".
    static const std::regex first_line(
        R"(KESTIL Solver v\.3\.0-11 built on [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\.)");
    EXPECT_TRUE(std::regex_match(out.substr(0, end), first_line)) << out.substr(0, end);
    EXPECT_EQ(expected_help_after_first_line(), out.substr(end + 1));
}

TEST(CommandLine, HelpAnywhereAndWithoutArguments) {
    struct Case { std::vector<std::string> args; int exit_code; };
    const Case cases[] = {
        {{}, 2},                            // no arguments: help, but the call was wrong
        {{"-h"}, 0},
        {{"--help"}, 0},
        {{"-i", "-h"}, 0},                  // where the value of -i would stand
        {{"image.fits", "-x", "3", "--help"}, 0},  // before any other check
        {{"-l", "--download", "1", "-h"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        ChildRun r = solver(c.args);
        EXPECT_EQ(c.exit_code, r.exit_code);
        EXPECT_EQ("", r.err);
        expect_help(r.out);
    }
}

TEST(CommandLine, DefaultIndexDirectoryFromTheHomeFolder) {
    struct Case { std::map<std::string, std::string> env; std::string dir; };
    const Case cases[] = {
        {{{"KESTIL_CACHE_BASE", ""}, {"USERPROFILE", ""}, {"HOME", "/home/someone"}},
         "/home/someone/.kestil/solver"},
        {{{"KESTIL_CACHE_BASE", ""}, {"USERPROFILE", "C:\\Users\\me"}, {"HOME", "/h"}},
         "C:\\Users\\me/.kestil/solver"},
        {{{"KESTIL_CACHE_BASE", "/var/cache"}, {"HOME", "/h"}}, "/var/cache/solver"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        ChildRun r = solver({"-h"}, c.env);
        EXPECT_NE(std::string::npos,
                  r.out.find("directory with the index files (default: " + c.dir + ")\n"));
    }
}

TEST(CommandLine, ArgumentErrorsExitWithTwoAndWriteOnlyToStandardError) {
    struct Case { std::vector<std::string> args; std::string err; };
    const Case cases[] = {
        {{"-x", "3", "img"},
         "kestil_solver: unknown index scale '3'\n"
         "kestil_solver: invalid value '3' for '-x', see 'kestil_solver -h'\n"},
        {{"-x", ",", "img"}, "kestil_solver: invalid value ',' for '-x', see 'kestil_solver -h'\n"},
        {{"-l", "--download", "1"},
         "kestil_solver: only one of --list, --download and --remove can be given\n"},
        {{"--download", "1", "-x", "2"}, "kestil_solver: '-x' can't be used with --download\n"},
        {{"-v"}, "kestil_solver: no image file given, see 'kestil_solver -h'\n"},
        {{"img", "-f"}, "kestil_solver: unknown option or missing value for '-f'\n"},
        {{"--batch", "a", "b", "-f", "wcs"},
         "kestil_solver: the wcs format can't be used with --batch\n"},
        {{"--batch", "@/nonexistent/list"},
         "kestil_solver: can't read the image list '/nonexistent/list': No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        ChildRun r = solver(c.args);
        EXPECT_EQ(2, r.exit_code);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.err, r.err);
    }
}

TEST(CommandLine, UnreadableImages) {
    TempDir dir;
    std::string missing = dir.path() + "/missing.fits";
    std::string empty = dir.file("empty.fits", "");
    std::string folder = dir.path() + "/folder";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    struct Case { std::string path; std::string err; };
    const Case cases[] = {
        {missing, "kestil_solver: can't open '" + missing + "': No such file or directory\n"},
        {empty, "kestil_solver: can't read '" + empty + "'\n"},
        {folder, "kestil_solver: can't read '" + folder + "'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        // Text and wcs: nothing on the standard output, no "Not solved" line, exit code 1.
        for (const char* format : {"text", "wcs"}) {
            ChildRun r = solver({"-f", format, c.path});
            EXPECT_EQ(1, r.exit_code);
            EXPECT_EQ("", r.out);
            EXPECT_EQ(c.err, r.err);
        }
        // JSON: the document still comes, with the message of an unreadable image.
        ChildRun r = solver({c.path, "--format", "json"});
        EXPECT_EQ(1, r.exit_code);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ("{\n  \"file\": \"" + c.path + "\",\n  \"solved\": false,\n  \"time\": 0.000,\n"
                  "  \"message\": \"Can't read the image file\"\n}\n", r.out);
        ChildRun parsed = test_support::run_program("jq", {"-e", ".solved == false",
                                                        dir.file("out.json", r.out)});
        EXPECT_EQ(0, parsed.exit_code) << parsed.err;
        r = solver({"-f", "xml", c.path});
        EXPECT_EQ(1, r.exit_code);
        EXPECT_EQ(c.err, r.err);
        EXPECT_NE(std::string::npos, r.out.find("<message>Can&apos;t read the image file</message>"));
        parsed = test_support::run_program("xmllint", {"--noout", dir.file("out.xml", r.out)});
        EXPECT_EQ(0, parsed.exit_code) << parsed.err;
    }
}

TEST(CommandLine, UnsolvedImageGoesToStandardError) {
    // Bytes that are no image: read whole, handed to the solver, not solved.
    TempDir dir;
    std::string path = dir.file("noise.bin", std::string(4096, '\x5a'));
    struct Case { const char* format; bool document; };
    const Case cases[] = {{"text", false}, {"wcs", false}, {"json", true}, {"xml", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        ChildRun r = solver({"-f", c.format, path});
        EXPECT_EQ(1, r.exit_code);
        EXPECT_NE(std::string::npos, r.err.find("Not solved: ")) << r.err;
        EXPECT_EQ(c.document, !r.out.empty()) << r.out;
    }
}

TEST(CommandLine, OutOfMemoryIsAFailure) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer reserves more address space than the limit allows";
#else
    // A 200 MB image (sparse) under a 120 MB address space limit: the image buffer can't be
    // allocated. The run must not look like a success, and no document may be half written.
    TempDir dir;
    std::string image = dir.path() + "/big.img";
    ASSERT_EQ(0, truncate(dir.file("big.img", "x").c_str(), 200 << 20));
    ChildRun r = test_support::run_program(
        "sh", {"-c", "ulimit -v 120000 && exec \"$0\" -f json \"$1\"", test_support::solver_path(), image});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ("Failed to allocate memory", r.err);
    EXPECT_EQ("", r.out);
#endif
}

// A 200 x 200 RAW2 image ("RAW2", width, height, 16-bit samples) with twelve Gaussian stars on
// a flat background: enough stars for a solve to go on to its indexes.
std::string star_field_raw2() {
    constexpr uint32_t side = 200;
    std::vector<double> sky(side * side, 1000.0);
    for (int i = 0; i < 12; ++i) {
        const double x0 = 20 + (i * 13) % 160, y0 = 15 + (i * 37) % 170, flux = 20000.0 / (1 + i);
        for (uint32_t y = 0; y < side; ++y)
            for (uint32_t x = 0; x < side; ++x)
                sky[y * side + x] += flux * std::exp(-((x - x0) * (x - x0) + (y - y0) * (y - y0)) / 4.5);
    }
    std::string bytes = "RAW2";
    for (uint32_t value : {side, side}) bytes.append(reinterpret_cast<const char*>(&value), 4);
    for (double v : sky) {
        const uint16_t sample = static_cast<uint16_t>(std::min(65535.0, v));
        bytes.append(reinterpret_cast<const char*>(&sample), 2);
    }
    return bytes;
}

// A solve, --list and --remove name an index directory that is missing or is no directory on
// the standard error; the standard output, the exit codes and the document's message stay as
// they are. A solve that finds no index also says how to get indexes.
TEST(CommandLine, MissingIndexDirectoryIsNamed) {
    TempDir dir;
    const std::string image = dir.file("stars.raw", star_field_raw2());
    const std::string missing = dir.file("missing"), plain = dir.file("plain", "x");
    const std::string empty = dir.file("empty");
    ASSERT_EQ(0, mkdir(empty.c_str(), 0700));
    const std::string no_index_message =
        "No index files found, download them with --download or the Solvane Agent, or select "
        "another index directory";
    const std::string no_index = "Not solved: " + no_index_message + "\n";
    const std::string way_out =
        "kestil_solver: to get index files, build them with 'kestil_build_index --catalog FILE "
        "--dir DIR --scale all' or download them from a mirror with 'kestil_solver -i DIR "
        "--download all --index-url URL' (or KESTIL_INDEX_URL)\n";
    const std::string is_missing = "kestil_solver: the index directory '" + missing + "' does not exist\n";
    const std::string not_a_dir = "kestil_solver: the index directory '" + plain + "' is not a directory\n";
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        std::string err, out_start;
    };
    const Case cases[] = {
        {{"-i", missing, "-D", "1", image}, 1, no_index + is_missing + way_out, ""},
        {{"-i", plain, "-D", "1", image}, 1, no_index + not_a_dir + way_out, ""},
        {{"-i", empty, "-D", "1", image}, 1, no_index + way_out, ""},
        {{"-i", missing, "-D", "1", "-f", "json", image}, 1, no_index + is_missing + way_out,
         "{\n  \"file\": \"" + image + "\",\n  \"solved\": false,\n"},
        {{"-i", missing, "-l"}, 0, is_missing, "Index directory: " + missing + "\n"},
        {{"-i", plain, "-l"}, 0, not_a_dir, "Index directory: " + plain + "\n"},
        {{"-i", empty, "-l"}, 0, "", "Index directory: " + empty + "\n"},
        {{"-i", missing, "--remove", "5"}, 0, is_missing,
         "5° Tycho-2 (FOV 4.5° - 10°) is not installed\n"},
        {{"-i", empty, "--remove", "5"}, 0, "", "5° Tycho-2 (FOV 4.5° - 10°) is not installed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2]);
        ChildRun r = solver(c.args);
        EXPECT_EQ(c.exit_code, r.exit_code);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(0u, r.out.rfind(c.out_start, 0)) << r.out;
        if (c.args.size() > 5 && c.args[5] == "json") {  // the document keeps its message
            EXPECT_NE(std::string::npos, r.out.find("\"message\": \"" + no_index_message + "\"\n"));
        }
    }
    EXPECT_FALSE(test_support::exists(missing));
}

TEST(CommandLine, ProgressStreamFollowsTheFormat) {
    // Text shares the standard output with its progress; the documents keep it for themselves.
    TempDir dir;
    std::string missing = dir.path() + "/missing.fits";
    struct Case { int format; FILE* stream; bool document; };
    const Case cases[] = {{FORMAT_TEXT, stdout, false}, {FORMAT_JSON, stderr, true},
                          {FORMAT_XML, stderr, true},   {FORMAT_WCS, stderr, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        SolverSettings settings{};
        settings.image_file = missing.c_str();
        settings.output_format = c.format;
        settings.epoch = 2000.0;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, run_solve(&settings));
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.stream, progress_stream);
        EXPECT_EQ(c.document, !out.empty());
        EXPECT_EQ(0u, err.rfind("kestil_solver: can't open '", 0)) << err;
    }
}

// A patch of sky, its index of scale 1 and three simulated images of it, made once with the
// programs of this build.
class Batch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir("kestil_batch");
        const std::string solver = test_support::solver_path();
        const std::string tools = solver.substr(0, solver.rfind("/app/")) + "/tools/";
        const std::string catalog = dir->file("sky.csv");
        ChildRun r = test_support::run_program(
            tools + "deep_catalog/kestil_deep_catalog",
            {"--ra", "60", "--dec", "-35", "--radius", "2", "--faint", "14", "--seed", "3",
             "--output", catalog});
        ASSERT_EQ(0, r.exit_code) << r.err;
        r = test_support::run_program(
            tools + "index_builder/kestil_build_index",
            {"--quiet", "--catalog", catalog, "--scale", "1", "--ra", "60", "--dec", "-35",
             "--radius", "1.6", "--dir", dir->file("indexes")});
        ASSERT_EQ(0, r.exit_code) << r.err;
        // 800 x 600 at 6"/px: 1.3 x 1 degrees around three centres of the patch.
        const char* const centres[][2] = {{"60.2", "-35.1"}, {"59.7", "-34.8"}, {"60.1", "-35.4"}};
        for (const auto& centre : centres) {
            images->push_back(dir->file(std::string("field_") + centre[0] + ".raw"));
            r = test_support::run_program(
                tools + "simulator/kestil_simulate",
                {"--catalog", catalog, "--ra", centre[0], "--dec", centre[1], "--scale", "6",
                 "--angle", "30", "--width", "800", "--height", "600", "--flux10", "200000",
                 "--no-truth", "--format", "raw2", "--output", images->back()});
            ASSERT_EQ(0, r.exit_code) << r.err;
        }
    }
    static void TearDownTestSuite() {
        delete dir;
        images->clear();
    }
    // The solver over these indexes with a scale hint (the images' 6"/px), then args.
    static ChildRun solve(std::vector<std::string> args,
                          const std::function<void(pid_t)>& before_wait = nullptr,
                          const std::string& out_file = "") {
        std::vector<std::string> all = {"-i", dir->file("indexes"), "-s", "0.0016667"};
        all.insert(all.end(), args.begin(), args.end());
        if (out_file.empty())
            return test_support::run_program(test_support::solver_path(), all, {}, before_wait);
        // The standard output into a file the test can watch while the batch runs.
        all.insert(all.begin(), test_support::solver_path());
        all.insert(all.begin(), "exec \"$0\" \"$@\" > \"$BATCH_OUT\"");
        all.insert(all.begin(), "-c");
        return test_support::run_program("sh", all, {{"BATCH_OUT", out_file}}, before_wait);
    }
    static TempDir* dir;
    static std::vector<std::string>* images;
};

TempDir* Batch::dir = nullptr;
std::vector<std::string>* Batch::images = new std::vector<std::string>;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The "file" and "solved" of each JSON line, by jq, one "<file> <solved>" line each.
std::string files_and_outcomes(const TempDir& dir, const std::string& json_lines) {
    ChildRun r = test_support::run_program(
        "jq", {"-r", ".file + \" \" + (.solved | tostring)", dir.file("lines.json", json_lines)});
    EXPECT_EQ(0, r.exit_code) << r.err;
    return r.out;
}

TEST_F(Batch, JsonLinesInInputOrder) {
    const std::vector<std::string>& i = *images;
    // Blanks, a quote and a back slash in a string survive the compaction to one line.
    const std::string missing = dir->file("no such \"file\" \\ .raw");
    const std::string missing_json = dir->file("no such \\\"file\\\" \\\\ .raw");
    // Two workers finish in any order; the lines keep the order of the arguments.
    ChildRun r = solve({"--batch", "-f", "json", "-j", "2", i[0], i[1], missing, i[2]});
    EXPECT_EQ(1, r.exit_code);  // one image not solved
    EXPECT_EQ("kestil_solver: can't open '" + missing + "': No such file or directory\n", r.err);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(4u, lines.size()) << r.out;
    EXPECT_EQ("{\"file\":\"" + missing_json + "\",\"solved\":false,\"time\":0.000,"
              "\"message\":\"Can't read the image file\"}", lines[2]);
    EXPECT_EQ(i[0] + " true\n" + i[1] + " true\n" + missing + " false\n" + i[2] + " true\n",
              files_and_outcomes(*dir, r.out));
    // Every image solved: exit code 0; one worker gives the same lines.
    r = solve({"--batch", "-f", "json", "-j", "1", i[2], i[0]});
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ(i[2] + " true\n" + i[0] + " true\n", files_and_outcomes(*dir, r.out));
}

TEST_F(Batch, ListFilesAndTextBlocks) {
    const std::vector<std::string>& i = *images;
    const std::string missing = dir->file("missing.raw");
    const std::string list =
        dir->file("night.txt", "# two fields\n" + i[1] + "\r\n\n" + missing + "\n" + i[0] + "\n");
    ChildRun r = solve({"--batch", "@" + list, i[2]});
    EXPECT_EQ(1, r.exit_code);
    // One block per image: its File line, its report or why it was not solved, an empty line.
    std::vector<std::string> heads;
    const std::vector<std::string> lines = lines_of(r.out);
    for (size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].rfind("File:     ", 0) != 0) continue;
        ASSERT_LT(k + 1, lines.size());
        heads.push_back(lines[k].substr(10) + " | " + lines[k + 1].substr(0, 10));
    }
    EXPECT_EQ((std::vector<std::string>{i[1] + " | Solved in ", missing + " | Not solved",
                                        i[0] + " | Solved in ", i[2] + " | Solved in "}),
              heads) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Not solved: Can't read the image file\n\n")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("\n\n\n")) << r.out;
    // Results that can't be written make a failure, not a success.
    r = solve({"--batch", i[0]}, nullptr, "/dev/full");
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ("kestil_solver: can't write the results: No space left on device\n", r.err);
}

TEST_F(Batch, InterruptFinishesTheImagesInProgress) {
    // 200 images (three, repeated), one worker: SIGINT once the first line is out. The image in
    // progress still gets its line, no later one is started, and no line is cut.
    constexpr size_t count = 200;  // 20 ms each: seconds of work left when the signal comes
    std::vector<std::string> args = {"--batch", "-f", "json", "-j", "1", "-D", "1"};
    for (size_t k = 0; k < count; ++k) args.push_back((*images)[k % 3]);
    const std::string out_file = dir->file("interrupted.json");
    bool signalled = false;
    ChildRun r = solve(args, [&](pid_t pid) {
        signalled = test_support::wait_until(
            [&] { return test_support::read_file(out_file).find('\n') != std::string::npos; });
        kill(pid, SIGINT);
    }, out_file);
    ASSERT_TRUE(signalled);
    EXPECT_EQ(130, r.exit_code) << r.err;
    const std::string out = test_support::read_file(out_file);
    const std::vector<std::string> lines = lines_of(out);
    ASSERT_FALSE(lines.empty());
    ASSERT_LT(lines.size(), count);
    EXPECT_EQ('\n', out.back());
    std::string expected;
    for (size_t k = 0; k < lines.size(); ++k) expected += (*images)[k % 3] + " true\n";
    EXPECT_EQ(expected, files_and_outcomes(*dir, out));  // each line a whole document
    EXPECT_EQ("kestil_solver: interrupted, " + std::to_string(count - lines.size()) + " of " +
                  std::to_string(count) + " images not started\n",
              r.err);
}

}  // namespace

// The outputs of one solve beyond the report: the solved FITS copy, the picture, and the JSON
// report's distortion rms and matches; the copy may not replace the image it is made from.
TEST_F(Batch, SolvedCopyPictureAndMatches) {
    const std::string image = (*images)[0];
    const std::string copy = dir->file("solved.fits"), picture = dir->file("solved.png");
    ChildRun r = solve({"-f", "json", "--sip", "--list-matches", "--new-fits", copy,
                        "--annotate", picture, image});
    ASSERT_EQ(0, r.exit_code) << r.err;
    ChildRun jq = test_support::run_program(
        "jq", {"-r", "[.solved, (.matched | length > 8), .rms_fitted_px <= .rms_linear_px, "
                     "(.matched | map(.residual < 3) | all)] | map(tostring) | join(\" \")",
               dir->file("solved.json", r.out)});
    EXPECT_EQ("true true true true\n", jq.out) << r.out;
    const std::string fits = test_support::read_file(copy);
    ASSERT_GE(fits.size(), 2880u + 800u * 600u * 2u);
    EXPECT_EQ(0u, fits.find("SIMPLE  =                    T"));
    EXPECT_NE(std::string::npos, fits.find("CTYPE1  = 'RA---TAN"));
    EXPECT_NE(std::string::npos, fits.find("PLTSOLVD=                    T"));
    EXPECT_EQ(0u, test_support::read_file(picture).find("\x89PNG\r\n\x1a\n"));

    // The input as the copy's target is refused before anything is solved or written.
    const std::string before = test_support::read_file(image);
    r = solve({"--new-fits", image, image});
    EXPECT_EQ(2, r.exit_code);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("can't write '" + image + "'")) << r.err;
    EXPECT_EQ(before, test_support::read_file(image));
}
