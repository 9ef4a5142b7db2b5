// Tests of the argument parser: value forms and ranges, scale lists, mode conflicts and the
// checks after the walk, with the exact diagnostics on the standard error.
#include "app/options.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "app/solve_run.h"
#include "framework/log.h"
#include "tests/support/temp_dir.hpp"

namespace {

constexpr const char* cache_base = "/cache/base";

struct Parsed {
    bool ok = false;
    std::string err;
    SolverSettings settings{};
};

// Parses {"kestil_solver", args...} with KESTIL_CACHE_BASE set, capturing the standard error.
Parsed parse(std::vector<std::string> args) {
    setenv("KESTIL_CACHE_BASE", cache_base, 1);
    static std::vector<std::vector<std::string>> keep;  // settings point into the vector
    args.insert(args.begin(), "kestil_solver");
    keep.push_back(args);
    std::vector<char*> argv;
    for (std::string& a : keep.back()) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed result;
    testing::internal::CaptureStderr();
    result.ok = parse_arguments(static_cast<int>(argv.size() - 1), argv.data(), &result.settings);
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

std::vector<float> scales_of(const SolverSettings& s) {
    return std::vector<float>(s.scales, s.scales + s.scale_count);
}

// The arguments are refused with exactly the diagnostic err.
void expect_refused(const std::vector<std::string>& args, const std::string& err) {
    std::string trace;
    for (const std::string& a : args) trace += a + " ";
    SCOPED_TRACE(trace);
    Parsed p = parse(args);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(err, p.err);
}

// The arguments parse without a diagnostic, and check holds for their settings.
void expect_accepted(const std::vector<std::string>& args,
                     const std::function<void(const SolverSettings&)>& check) {
    std::string trace;
    for (const std::string& a : args) trace += a + " ";
    SCOPED_TRACE(trace);
    Parsed p = parse(args);
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ("", p.err);
    check(p.settings);
}

TEST(Options, DefaultsOfASolve) {
    Parsed p = parse({"image.fits"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ("", p.err);
    const SolverSettings& s = p.settings;
    EXPECT_STREQ("/cache/base/solver", s.index_dir);
    EXPECT_EQ((std::vector<float>{0.2f, 0.5f, 1, 2, 5, 10, 20}), scales_of(s));
    EXPECT_EQ(0.0, s.radius);
    EXPECT_FALSE(s.ra_set);
    EXPECT_FALSE(s.dec_set);
    EXPECT_EQ(2000.0, s.epoch);
    EXPECT_EQ(0.0, s.scale_hint);
    EXPECT_EQ(0, s.parity);
    EXPECT_EQ(2, s.downsample);
    EXPECT_EQ(0, s.depth);
    EXPECT_EQ(180.0, s.cpu_limit);
    EXPECT_EQ(0, s.verbosity);
    EXPECT_EQ(FORMAT_TEXT, s.output_format);
    EXPECT_STREQ("image.fits", s.image_file);
    EXPECT_EQ(RUN_SOLVE, s.run_mode);
    EXPECT_EQ(nullptr, s.index_url);
    EXPECT_EQ(nullptr, s.solve_option);
}

TEST(Options, AcceptedValues) {
    using Check = std::function<void(const SolverSettings&)>;
    struct Case { std::vector<std::string> args; Check check; };
    const Case cases[] = {
        {{"-d", "-12:30:00", "i"}, [](auto& s) { EXPECT_TRUE(s.dec_set); EXPECT_EQ(-12.5, s.dec); }},
        {{"--dec", "-0:30", "i"}, [](auto& s) { EXPECT_EQ(-0.5, s.dec); }},
        {{"-d", "90", "i"}, [](auto& s) { EXPECT_EQ(90.0, s.dec); }},
        {{"-d", "-90", "i"}, [](auto& s) { EXPECT_EQ(-90.0, s.dec); }},
        {{"-r", "23:59:59.9", "i"}, [](auto& s) {
             EXPECT_TRUE(s.ra_set);
             EXPECT_NEAR(23.0 + 59.0 / 60 + 59.9 / 3600, s.ra, 1e-12);  // sum of rounded terms
         }},
        {{"-t", "1e3", "i"}, [](auto& s) { EXPECT_EQ(1000, s.depth); }},
        {{"-D", "2.0", "i"}, [](auto& s) { EXPECT_EQ(2, s.downsample); }},
        {{"--downsample", "1e1", "i"}, [](auto& s) { EXPECT_EQ(10, s.downsample); }},
        {{"-D", "16", "i"}, [](auto& s) { EXPECT_EQ(16, s.downsample); }},
        {{"-e", "0", "i"}, [](auto& s) { EXPECT_EQ(0.0, s.epoch); }},
        {{"--epoch", "2000.0", "i"}, [](auto& s) { EXPECT_EQ(2000.0, s.epoch); }},
        {{"-p", "-1", "i"}, [](auto& s) { EXPECT_EQ(-1, s.parity); }},
        {{"-s", "5", "i"}, [](auto& s) { EXPECT_EQ(5.0, s.scale_hint); }},
        {{"-R", "360", "-r", "1", "-d", "2", "i"}, [](auto& s) { EXPECT_EQ(360.0, s.radius); }},
        {{"-r", "5", "-R", "0", "i"}, [](auto& s) { EXPECT_EQ(0.0, s.radius); }},
        {{"-c", "0", "i"}, [](auto& s) { EXPECT_EQ(0.0, s.cpu_limit); }},
        {{"-f", "wcs", "i"}, [](auto& s) { EXPECT_EQ(FORMAT_WCS, s.output_format); }},
        {{"--format", "xml", "i"}, [](auto& s) { EXPECT_EQ(FORMAT_XML, s.output_format); }},
        {{"-v", "-vv", "--verbose", "i"}, [](auto& s) { EXPECT_EQ(4, s.verbosity); }},
        {{"-"}, [](auto& s) { EXPECT_STREQ("-", s.image_file); }},
        {{"-i", "-l", "i"}, [](auto& s) {  // -i takes any text, even one that looks like -l
             EXPECT_STREQ("-l", s.index_dir);
             EXPECT_EQ(RUN_SOLVE, s.run_mode);
             EXPECT_EQ(nullptr, s.solve_option);
         }},
        {{"-x", "1,1,2", "i"}, [](auto& s) { EXPECT_EQ((std::vector<float>{1, 2}), scales_of(s)); }},
        {{"--index", ",20,,0.2,5,", "i"},
         [](auto& s) { EXPECT_EQ((std::vector<float>{20, 0.2f, 5}), scales_of(s)); }},
        {{"-x", "0.50,1e1", "i"},
         [](auto& s) { EXPECT_EQ((std::vector<float>{0.5f, 10}), scales_of(s)); }},
        {{"-x", "1", "-x", "2", "i"},  // each list replaces the one before
         [](auto& s) { EXPECT_EQ((std::vector<float>{2}), scales_of(s)); }},
        {{"-x", "5", "-x", "all", "i"}, [](auto& s) { EXPECT_EQ(7, s.scale_count); }},
        {{"--download", "1,1"}, [](auto& s) {
             EXPECT_EQ(RUN_DOWNLOAD, s.run_mode);
             EXPECT_EQ((std::vector<float>{1}), scales_of(s));
             EXPECT_EQ(nullptr, s.solve_option);
         }},
        {{"--download", "all", "-i", "/x", "--index-url", "https://h/p", "-v"}, [](auto& s) {
             EXPECT_EQ(RUN_DOWNLOAD, s.run_mode);
             EXPECT_STREQ("/x", s.index_dir);
             EXPECT_STREQ("https://h/p", s.index_url);
             EXPECT_EQ(1, s.verbosity);
         }},
        {{"--remove", "5"}, [](auto& s) {
             EXPECT_EQ(RUN_REMOVE, s.run_mode);
             EXPECT_EQ((std::vector<float>{5}), scales_of(s));
         }},
        {{"--list", "-i", "dir"}, [](auto& s) { EXPECT_EQ(RUN_LIST, s.run_mode); }},
    };
    for (const Case& c : cases) expect_accepted(c.args, c.check);
}

TEST(Options, RejectedArgumentsAndTheirMessages) {
    struct Case { std::vector<std::string> args; std::string err; };
    auto invalid = [](const std::string& value, const std::string& option) {
        return "kestil_solver: invalid value '" + value + "' for '" + option +
               "', see 'kestil_solver -h'\n";
    };
    const std::string two_modes =
        "kestil_solver: only one of --list, --download and --remove can be given\n";
    const Case cases[] = {
        {{"-r", "24", "i"}, invalid("24", "-r")},
        {{"-r", "12h", "i"}, invalid("12h", "-r")},
        {{"--ra", "-1", "i"}, invalid("-1", "--ra")},
        {{"-r", ":", "i"}, invalid(":", "-r")},
        {{"-r", "1e1", "i"}, invalid("1e1", "-r")},  // letters fail the angle character check
        {{"-d", "90.1", "i"}, invalid("90.1", "-d")},
        {{"-d", "-90:00:01", "i"}, invalid("-90:00:01", "-d")},
        {{"-e", "1950", "i"}, invalid("1950", "-e")},
        {{"-p", "2", "i"}, invalid("2", "-p")},
        {{"-D", "0", "i"}, invalid("0", "-D")},
        {{"-D", "17", "i"}, invalid("17", "-D")},
        {{"-D", "2.5", "i"}, invalid("2.5", "-D")},
        {{"-D", "1e10", "i"}, invalid("1e10", "-D")},  // beyond the int range
        {{"-t", "-1", "i"}, invalid("-1", "-t")},
        {{"--depth", "1001", "i"}, invalid("1001", "--depth")},
        {{"-s", "5.1", "i"}, invalid("5.1", "-s")},
        {{"-s", "nan", "i"}, invalid("nan", "-s")},
        {{"-s", "1e999", "i"}, invalid("1e999", "-s")},  // range error
        {{"-s", "1x", "i"}, invalid("1x", "-s")},
        {{"-R", "360.5", "-r", "1", "-d", "1", "i"}, invalid("360.5", "-R")},
        {{"-c", "-1", "i"}, invalid("-1", "-c")},
        {{"-c", "inf", "i"}, invalid("inf", "-c")},
        {{"-f", "JSON", "i"}, invalid("JSON", "-f")},
        {{"-x", "3", "i"}, "kestil_solver: unknown index scale '3'\n" + invalid("3", "-x")},
        {{"-x", "1,abc", "i"}, "kestil_solver: unknown index scale 'abc'\n" + invalid("1,abc", "-x")},
        {{"-x", "0.3,1", "i"}, "kestil_solver: unknown index scale '0.3'\n" + invalid("0.3,1", "-x")},
        {{"-x", ",", "i"}, invalid(",", "-x")},
        {{"-x", "", "i"}, invalid("", "-x")},
        {{"--download", "2,7"}, "kestil_solver: unknown index scale '7'\n" + invalid("2,7", "--download")},
        {{"--index-url", "", "--download", "1"}, invalid("", "--index-url")},
        {{"-l", "--download", "1"}, two_modes},
        {{"--download", "1", "--remove", "2"}, two_modes},
        {{"--download", "1", "-x", "2"}, "kestil_solver: '-x' can't be used with --download\n"},
        {{"--remove", "1", "--format", "json"},
         "kestil_solver: '--format' can't be used with --remove\n"},
        {{"-t", "5", "-s", "0.1", "-l"}, "kestil_solver: '-s' can't be used with --list\n"},
        {{"--download", "all", "img", "-x", "2"},
         "kestil_solver: an image file can't be solved with --download\n"},
        {{"-l", "img"}, "kestil_solver: an image file can't be solved with --list\n"},
        {{"--index-url", "u", "img"}, "kestil_solver: --index-url can be used with --download only\n"},
        {{"--index-url", "u", "-l", "img"},
         "kestil_solver: --index-url can be used with --download only\n"},
        {{"-v"}, "kestil_solver: no image file given, see 'kestil_solver -h'\n"},
        {{"-R", "2", "-r", "5", "i"},
         "kestil_solver: the search radius needs both the RA and the Dec hint\n"},
        {{"a", "b"}, "kestil_solver: only one image file can be solved, 'a' and 'b' given\n"},
        {{"i", "-q"}, "kestil_solver: unknown option or missing value for '-q'\n"},
        {{"-q", "x", "i"}, "kestil_solver: unknown option '-q'\n"},
        {{"--ra=5", "i"}, "kestil_solver: unknown option '--ra=5'\n"},
        {{"-vvv", "i"}, "kestil_solver: unknown option '-vvv'\n"},
        {{"-x", "3", "-q"}, "kestil_solver: unknown index scale '3'\n" + invalid("3", "-x")},
    };
    for (const Case& c : cases) expect_refused(c.args, c.err);
}

std::vector<std::string> images_of(const SolverSettings& s) {
    return std::vector<std::string>(s.image_files, s.image_files + s.image_file_count);
}

// The options of the solve's new outputs and of batches: what they set, which combinations are
// refused, and how --batch changes the image arguments (lists read, order kept).
TEST(Options, BatchAndOutputOptions) {
    test_support::TempDir dir;
    const std::string list = dir.file("list.txt", "# night 1\nc.fits\r\n\n   \nd e.fits\n#x\n");
    const std::string empty_list = dir.file("empty.txt", "# nothing\n\n");
    using Check = std::function<void(const SolverSettings&)>;
    struct Case { std::vector<std::string> args; Check check; };
    const Case accepted[] = {
        {{"--no-header-hints", "--sip", "--list-matches", "i"}, [](auto& s) {
             EXPECT_TRUE(s.no_header_hints && s.sip && s.list_matches);
             EXPECT_FALSE(s.batch);
             EXPECT_STREQ("--list-matches", s.solve_option);
             EXPECT_EQ(0, s.image_file_count);
         }},
        {{"--new-fits", "-out.fits", "--annotate", "a.png", "i"}, [](auto& s) {
             EXPECT_STREQ("-out.fits", s.new_fits);  // a value may begin with "-"
             EXPECT_STREQ("a.png", s.annotate);
             EXPECT_STREQ("i", s.image_file);
         }},
        {{"a", "b", "--batch", "-j", "2"}, [](auto& s) {  // --batch after the images
             EXPECT_TRUE(s.batch);
             EXPECT_EQ(2, s.jobs);
             EXPECT_EQ((std::vector<std::string>{"a", "b"}), images_of(s));
             EXPECT_STREQ("a", s.image_file);
         }},
        {{"--batch", "a", "@" + list, "-", "@" + empty_list, "a"}, [](auto& s) {
             EXPECT_EQ(0, s.jobs);  // one worker per processor
             EXPECT_EQ((std::vector<std::string>{"a", "c.fits", "d e.fits", "-", "a"}),
                       images_of(s));
         }},
        {{"--batch", "--jobs", "1e1", "-f", "xml", "@" + list}, [](auto& s) {
             EXPECT_EQ(10, s.jobs);
             EXPECT_STREQ("c.fits", s.image_file);
         }},
        {{"@" + list}, [&list](auto& s) { EXPECT_EQ("@" + list, std::string(s.image_file)); }},
    };
    for (const Case& c : accepted) expect_accepted(c.args, c.check);
    struct Refused { std::vector<std::string> args; std::string err; };
    const std::string missing = dir.file("missing.txt");
    const Refused refused[] = {
        {{"a", "b", "-i", "--batch"},  // the value of -i is no --batch
         "kestil_solver: only one image file can be solved, 'a' and 'b' given\n"},
        {{"a", "@b"}, "kestil_solver: only one image file can be solved, 'a' and '@b' given\n"},
        {{"-j", "2", "a"}, "kestil_solver: '-j' can be used with --batch only\n"},
        {{"--batch", "-j", "0", "a"}, "kestil_solver: invalid value '0' for '-j', see 'kestil_solver -h'\n"},
        {{"--batch", "-j", "1.5", "a"},
         "kestil_solver: invalid value '1.5' for '-j', see 'kestil_solver -h'\n"},
        {{"--new-fits", "", "a"},
         "kestil_solver: invalid value '' for '--new-fits', see 'kestil_solver -h'\n"},
        {{"--batch", "a", "--new-fits", "n.fits"}, "kestil_solver: --new-fits can't be used with --batch\n"},
        {{"--batch", "a", "--annotate", "a.png"}, "kestil_solver: --annotate can't be used with --batch\n"},
        {{"--batch", "a", "-f", "wcs"}, "kestil_solver: the wcs format can't be used with --batch\n"},
        {{"--batch"}, "kestil_solver: no image file given, see 'kestil_solver -h'\n"},
        {{"--batch", "@" + empty_list}, "kestil_solver: no image file given, see 'kestil_solver -h'\n"},
        {{"--batch", "a", "@" + missing},
         "kestil_solver: can't read the image list '" + missing + "': No such file or directory\n"},
        {{"--batch", "@" + dir.path()},
         "kestil_solver: can't read the image list '" + dir.path() + "': Is a directory\n"},
        {{"--list", "--batch"}, "kestil_solver: '--batch' can't be used with --list\n"},
        {{"--remove", "1", "--sip"}, "kestil_solver: '--sip' can't be used with --remove\n"},
        {{"--download", "1", "-j", "2"}, "kestil_solver: '-j' can't be used with --download\n"},
    };
    for (const Refused& c : refused) expect_refused(c.args, c.err);
}

TEST(Options, LongIndexDirectoryIsCut) {
    std::string dir(1000, 'd');
    Parsed p = parse({"-i", dir, "i"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(dir.substr(0, 771), p.settings.index_dir);
}

TEST(Options, ScaleListReadsAtMost255Bytes) {
    // 253 commas and then "1,2": the "2" is byte 256 and is not read.
    SolverSettings settings{};
    std::string list = std::string(253, ',') + "1,2";
    ASSERT_TRUE(parse_scale_list(list.c_str(), &settings));
    EXPECT_EQ((std::vector<float>{1}), scales_of(settings));
}

TEST(Options, DefaultIndexDirectoryFromTheEnvironment) {
    char buffer[SOLVER_PATH_SIZE];
    setenv("KESTIL_CACHE_BASE", "C:\\cache", 1);
    default_index_directory(buffer, sizeof buffer);
    EXPECT_STREQ("C:\\cache/solver", buffer);  // the separator written is always "/"
    std::string long_base(900, 'b');
    setenv("KESTIL_CACHE_BASE", long_base.c_str(), 1);
    default_index_directory(buffer, sizeof buffer);
    EXPECT_EQ(771u, std::string(buffer).size());
    // Without the variable the home folder is used (checked with a fresh process in
    // CommandLine.DefaultIndexDirectoryFromTheHomeFolder).
    setenv("KESTIL_CACHE_BASE", cache_base, 1);
}

TEST(Options, IntegerValueForms) {
    struct IntCase { const char* text; bool ok; int value; };
    const IntCase ints[] = {{"2.0", true, 2},   {"1e1", true, 10},  {"-3", true, -3},
                            {"2147483647", true, 2147483647},        {"2147483648", false, 0},
                            {"-2147483648", true, -2147483647 - 1},  {"0.5", false, 0},
                            {"", false, 0},     {" 7", true, 7},     {"7 ", false, 0},
                            {"0x10", true, 16}};
    for (const IntCase& c : ints) {
        SCOPED_TRACE(c.text);
        int value = -99;
        EXPECT_EQ(c.ok, parse_int_value(c.text, &value));
        EXPECT_EQ(c.ok ? c.value : -99, value);
    }
}

TEST(Options, LoggingFollowsTheVerbosity) {
    kestil_log_handler saved_hook = kestil_log_message_handler;
    int saved_level = kestil_get_log_level();
    struct Case { int verbosity; int level; bool silent; };
    const Case cases[] = {{0, 1, true}, {1, 1, false}, {2, 3, false}, {5, 3, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verbosity);
        kestil_log_message_handler = nullptr;
        configure_logging(c.verbosity);
        EXPECT_EQ(c.level, kestil_get_log_level());
        testing::internal::CaptureStderr();
        kestil_error("an error line");
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.silent, err.find("an error line") == std::string::npos) << err;
    }
    kestil_log_message_handler = saved_hook;
    kestil_set_log_level(saved_level);
}

}  // namespace
