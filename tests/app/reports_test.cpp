// Tests of the result reports: the text report line by line, the JSON and XML documents read
// back by jq and xmllint (solved, unsolved, awkward file names), the sanitizing and escaping.
#include "app/reports.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/support/files.hpp"
#include "tests/support/process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

using test_support::ChildRun;
using test_support::run_program;
using test_support::TempDir;

SolverSolution solved_solution() {
    SolverSolution s{};
    s.solved = true;
    s.time = 1.5;
    s.image_width = 4000;
    s.image_height = 3000;
    s.matched_stars = 25;
    s.star_matches = 30;
    s.rms = 1.234;
    s.ra = 23.9999999;
    s.dec = -0.5;
    s.ra_j2000 = 23.9999999;
    s.dec_j2000 = -0.5;
    s.angle = 123.456789;
    s.scale = 1.0 / 3600.0;
    s.parity = -1;
    snprintf(s.index, sizeof s.index, "1\xC2\xB0 Gaia (FOV 2\xC2\xB0-4\xC2\xB0)");
    return s;
}

SolverSolution unsolved_solution(const char* message) {
    SolverSolution s{};
    s.time = 0.25;
    s.message = message;
    return s;
}

SolverSettings settings_for(const char* file, double epoch = 2000.0) {
    SolverSettings settings{};
    settings.image_file = file;
    settings.epoch = epoch;
    return settings;
}

using Writer = void (*)(FILE*, const SolverSettings*, const SolverSolution*);

// Writes one report into a file of the temp directory and returns its path.
std::string write_report(const TempDir& dir, const char* name, Writer writer,
                         const SolverSettings& settings, const SolverSolution& solution) {
    std::string path = dir.path() + "/" + name;
    FILE* out = fopen(path.c_str(), "wb");
    EXPECT_NE(nullptr, out);
    if (!out) return path;
    writer(out, &settings, &solution);
    fclose(out);
    return path;
}

// jq -r <filter> <file>: the value as a raw string (jq ends it with a line feed).
std::string jq(const std::string& filter, const std::string& path) {
    ChildRun r = run_program("jq", {"-r", filter, path});
    EXPECT_EQ(0, r.exit_code) << r.err << test_support::read_file(path);
    return r.out;
}

std::string xpath(const std::string& expression, const std::string& path) {
    ChildRun r = run_program("xmllint", {"--xpath", expression, path});
    EXPECT_EQ(0, r.exit_code) << r.err << test_support::read_file(path);
    if (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();  // xmllint ends its output
    return r.out;
}

TEST(Reports, TextReportOfASolvedImage) {
    TempDir dir;
    SolverSettings settings = settings_for("image.fits");
    SolverSolution solution = solved_solution();
    std::string text = test_support::read_file(
        write_report(dir, "report.txt", write_text_report_to, settings, solution));
    EXPECT_EQ("Solved in 1.50 s: 25 of 30 stars matched, rms 1.23\"\n"
              "RA:       24.000000 h (24:00:00.00)\n"
              "Dec:      -0.500000\xC2\xB0 (-0:30:00.0)\n"
              "Epoch:    J2000\n"
              "Angle:    123.4568\xC2\xB0\n"
              "Scale:    0.00027778\xC2\xB0/pixel (1.000\"/pixel)\n"
              "Field:    1.1111\xC2\xB0 x 0.8333\xC2\xB0\n"
              "Parity:   -1\n"
              "Index:    1\xC2\xB0 Gaia (FOV 2\xC2\xB0-4\xC2\xB0)\n",
              text);

    solution.dec = 0.5;
    settings.epoch = 0.0;
    text = test_support::read_file(
        write_report(dir, "north.txt", write_text_report_to, settings, solution));
    EXPECT_NE(std::string::npos, text.find("Dec:      +0.500000\xC2\xB0 (+0:30:00.0)\n"));
    EXPECT_NE(std::string::npos, text.find("Epoch:    JNow\n"));

    // Not solved: no text report at all (the "Not solved" line is main's, on the standard error).
    SolverSolution unsolved = unsolved_solution("No solution found");
    EXPECT_EQ("", test_support::read_file(
                      write_report(dir, "none.txt", write_text_report_to, settings, unsolved)));
}

// File names that a path may carry, and what the documents must show for them.
struct NameCase { const char* what; std::string name; std::string shown; };

const std::vector<NameCase>& name_cases() {
    static const std::vector<NameCase> cases = {
        {"plain", "/data/m31.fits", "/data/m31.fits"},
        {"quotes and back slashes", "C:\\dir\\with \"quotes\".fits", "C:\\dir\\with \"quotes\".fits"},
        {"control bytes", "ctrl\x01\x1f\t\n\r\x7f.fits", "ctrl??????.fits"},
        {"invalid UTF-8", "bad\xff\xc3(\xe2\x82.fits", "bad?" "?(??.fits"},
        {"valid UTF-8", "nebula \xc3\xa9\xf0\x9f\x94\xad.fits", "nebula \xc3\xa9\xf0\x9f\x94\xad.fits"},
        {"markup", "a&b<c>'d'.fits", "a&b<c>'d'.fits"},
        {"empty", "", ""},
    };
    return cases;
}

TEST(Reports, JsonDocumentsParseWithJq) {
    TempDir dir;
    for (const NameCase& c : name_cases()) {
        SCOPED_TRACE(c.what);
        SolverSettings settings = settings_for(c.name.c_str());

        SolverSolution solved = solved_solution();
        std::string path = write_report(dir, "solved.json", write_json_report_to, settings, solved);
        EXPECT_EQ(c.shown + "\n", jq(".file", path));
        EXPECT_EQ("true\n", jq(".solved", path));
        EXPECT_EQ("24:00:00.00\n", jq(".ra_hms", path));
        EXPECT_EQ("-0:30:00.0\n", jq(".dec_dms", path));
        EXPECT_EQ("J2000\n", jq(".epoch", path));
        EXPECT_EQ("1.111111 0.833333 4000 3000 -1 25 30 1.234\n",
                  jq("\"\\(.field_width) \\(.field_height) \\(.image_width) \\(.image_height) "
                     "\\(.parity) \\(.matched_stars) \\(.star_matches) \\(.rms)\"", path));
        EXPECT_EQ("1\xC2\xB0 Gaia (FOV 2\xC2\xB0-4\xC2\xB0)\n", jq(".index", path));

        SolverSolution unsolved = unsolved_solution("Can't \"find\" \\ <it>\tat all");
        path = write_report(dir, "unsolved.json", write_json_report_to, settings, unsolved);
        EXPECT_EQ(c.shown + "\n", jq(".file", path));
        EXPECT_EQ("[\"file\",\"solved\",\"time\",\"message\"]\n", jq("keys_unsorted | tojson", path));
        EXPECT_EQ("false 0.25\n", jq("\"\\(.solved) \\(.time)\"", path));
        EXPECT_EQ("Can't \"find\" \\ <it>\tat all\n", jq(".message", path));
    }
}

TEST(Reports, JsonDocumentLayout) {
    // Exactly four lines between the braces when not solved; the escapes as written.
    TempDir dir;
    SolverSettings settings = settings_for("a\"b\\c");
    SolverSolution unsolved = unsolved_solution("No solution found");
    EXPECT_EQ("{\n"
              "  \"file\": \"a\\\"b\\\\c\",\n"
              "  \"solved\": false,\n"
              "  \"time\": 0.250,\n"
              "  \"message\": \"No solution found\"\n"
              "}\n",
              test_support::read_file(
                  write_report(dir, "u.json", write_json_report_to, settings, unsolved)));
}

// The details add members after the others only for a solved plate and only when asked;
// otherwise the bytes are those of write_json_report_to (details absent or unsolved too).
TEST(Reports, JsonDetailsOnlyWhenAskedAndSolved) {
    TempDir dir;
    SolverMatch matches[2] = {{10.5, 20.25, 83.5, -5.25, 0.125, 900.0},
                              {1024.0, 1.0, 359.99999999, 89.5, 1.5, 10.0}};
    SolveDetails solved_details{};
    solved_details.solved = true;
    solved_details.wcs.sip_order = 3;
    solved_details.rms_linear = 0.8125;
    solved_details.rms_fitted = 0.25;
    solved_details.matches = matches;
    solved_details.match_count = 2;
    SolveDetails no_matches = solved_details;
    no_matches.match_count = 0;
    no_matches.matches = nullptr;
    SolveDetails unsolved_details{};
    const char* const base_keys = R"("file","solved","time","ra","ra_hms","dec","dec_dms",)"
                                  R"("epoch","angle","scale","field_width","field_height",)"
                                  R"("image_width","image_height","parity","matched_stars",)"
                                  R"("star_matches","rms","index")";
    struct Case {
        const char* what;
        bool sip, list_matches;
        const SolveDetails* details;
        std::string extra_keys;  // empty: the plain document's bytes
    } cases[] = {
        {"neither asked", false, false, &solved_details, ""},
        {"no details", true, true, nullptr, ""},
        {"details of an unsolved image", true, true, &unsolved_details, ""},
        {"sip", true, false, &solved_details, R"(,"sip_order","rms_linear_px","rms_fitted_px")"},
        {"matches", false, true, &solved_details, R"(,"matched")"},
        {"both", true, true, &solved_details,
         R"(,"sip_order","rms_linear_px","rms_fitted_px","matched")"},
        {"no matches", false, true, &no_matches, R"(,"matched")"},
    };
    SolverSolution solution = solved_solution();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SolverSettings settings = settings_for("m42.fits");
        settings.sip = c.sip;
        settings.list_matches = c.list_matches;
        std::string plain = write_report(dir, "plain.json", write_json_report_to, settings,
                                         solution);
        std::string path = dir.path() + "/details.json";
        FILE* out = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, out);
        write_json_report_details_to(out, &settings, &solution, c.details);
        fclose(out);
        if (c.extra_keys.empty()) {
            EXPECT_EQ(test_support::read_file(plain), test_support::read_file(path));
            continue;
        }
        std::string keys = "[";
        keys.append(base_keys).append(c.extra_keys).append("]\n");
        EXPECT_EQ(keys, jq("keys_unsorted | tojson", path));
        if (c.sip) {
            EXPECT_EQ("3 0.812 0.25\n",
                      jq(R"q("\(.sip_order) \(.rms_linear_px) \(.rms_fitted_px)")q", path));
        }
        if (c.list_matches) {
            std::string listed =
                c.details == &no_matches
                    ? std::string("[]")
                    : std::string(R"([{"x":10.5,"y":20.25,"ra":83.5,"dec":-5.25,"residual":0.125},)"
                                  R"({"x":1024,"y":1,"ra":359.99999999,"dec":89.5,"residual":1.5}])");
            listed += '\n';
            EXPECT_EQ(listed, jq(".matched | tojson", path));
        }
    }
}

TEST(Reports, XmlDocumentsPassXmllint) {
    TempDir dir;
    for (const NameCase& c : name_cases()) {
        SCOPED_TRACE(c.what);
        SolverSettings settings = settings_for(c.name.c_str(), 0.0);

        SolverSolution solved = solved_solution();
        std::string path = write_report(dir, "solved.xml", write_xml_report_to, settings, solved);
        ChildRun lint = run_program("xmllint", {"--noout", path});
        EXPECT_EQ(0, lint.exit_code) << lint.err;
        EXPECT_EQ("", lint.err);
        EXPECT_EQ(c.shown, xpath("string(/solution/file)", path));
        EXPECT_EQ("24:00:00.00|-0:30:00.0|JNow|1\xC2\xB0 Gaia (FOV 2\xC2\xB0-4\xC2\xB0)",
                  xpath("concat(/solution/ra_hms, '|', /solution/dec_dms, '|', /solution/epoch, "
                        "'|', /solution/index)", path));
        EXPECT_EQ("19", xpath("count(/solution/*)", path));

        SolverSolution unsolved = unsolved_solution("Can't \"find\" & <it>");
        path = write_report(dir, "unsolved.xml", write_xml_report_to, settings, unsolved);
        lint = run_program("xmllint", {"--noout", path});
        EXPECT_EQ(0, lint.exit_code) << lint.err;
        EXPECT_EQ(c.shown, xpath("string(/solution/file)", path));
        EXPECT_EQ("Can't \"find\" & <it>", xpath("string(/solution/message)", path));
        EXPECT_EQ("4", xpath("count(/solution/*)", path));
    }
}

TEST(Reports, SanitizeKeepsValidSequencesOnly) {
    struct Case { const char* what; std::string in; std::string out; };
    const Case cases[] = {
        {"ascii", "abc", "abc"},
        {"lead bytes that can't lead", "\x80\xc0\xc1\xf5\xff", "?????"},
        {"2-byte sequence cut by a NUL", "x\xc3", "x?"},
        {"3-byte sequence with a bad second byte", "\xe2\x28\xa1", "?(?"},
        {"4-byte sequence", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {"4-byte sequence missing its last byte", "\xf0\x9f\x98z", "???z"},
        {"overlong 3-byte form is not rejected", "\xe0\x80\x80", "\xe0\x80\x80"},
        {"controls and DEL", std::string("\x1b[0m\x7f", 5), "?[0m?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.out, utf8_sanitize(c.in.c_str()));
    }
}

TEST(Reports, SanitizeCutsLongNamesAtASequenceBoundary) {
    const std::string e_acute = "\xc3\xa9";
    struct Case { std::string in; std::string out; };
    const Case cases[] = {
        {std::string(769, 'a') + e_acute + "b", std::string(769, 'a') + e_acute},  // ends at 770
        {std::string(770, 'a') + e_acute, std::string(770, 'a') + "?"},  // would end at 771
        {std::string(2000, 'a'), std::string(771, 'a')},
        {std::string(768, 'a') + "\xf0\x9f\x98\x80", std::string(768, 'a') + "???"},
    };
    for (const Case& c : cases) {
        std::string out = utf8_sanitize(c.in.c_str());
        EXPECT_EQ(c.out, out);
        EXPECT_LE(out.size(), 771u);
    }
}

TEST(Reports, EscapeTextForJsonAndXml) {
    const std::string in = "a\tb\nc\rd\"e\\f&'<>\x01g";
    EXPECT_EQ("a\\tb\\nc\\rd\\\"e\\\\f&'<>\x01g", std::string(escape_text(in.c_str(), false)));
    EXPECT_EQ("a\tb\nc\rd&quot;e\\f&amp;&apos;&lt;&gt;\x01g",
              std::string(escape_text(in.c_str(), true)));
    // The buffer grows for a long text of six-byte replacements and serves short ones after.
    std::string quotes(10000, '"');
    std::string xml = escape_text(quotes.c_str(), true);
    EXPECT_EQ(60000u, xml.size());
    EXPECT_EQ("&quot;", xml.substr(59994));
    EXPECT_STREQ("x", escape_text("x", false));
    EXPECT_EQ(20000u, strlen(escape_text(quotes.c_str(), false)));
    EXPECT_STREQ("", escape_text("", true));
}

}  // namespace
