// app/reports.cpp - the result of a solve as a text report, a JSON or an XML document
#include "app/reports.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <iterator>

#include "framework/alloc.h"
#include "framework/sexagesimal.h"

namespace {

constexpr size_t sanitize_capacity = 772;  // 771 bytes of text and a NUL
constexpr size_t angle_text_size = 32;
constexpr size_t longest_escape = 6;       // "&quot;", "&apos;"

// Per thread, so that the reports of a batch can be written by its worker threads at once.
thread_local char sanitized[sanitize_capacity];
struct EscapeBuffer {
    char* text = nullptr;
    size_t capacity = 0;
    ~EscapeBuffer() { free(text); }
};
thread_local EscapeBuffer escape_buffer;

const char* const degree = "\xC2\xB0";     // UTF-8 degree sign

// The values the three formats share, computed once.
struct ReportValues {
    char ra_text[angle_text_size];
    char dec_text[angle_text_size];
    const char* dec_sign;
    char dec_dms[angle_text_size + 1];  // the sign and dec_text
    const char* epoch;
    double field_width;
    double field_height;
};

ReportValues report_values(const SolverSettings* settings, const SolverSolution* solution) {
    ReportValues values{};
    kestil_dtos_r(solution->ra, "%d:%02d:%05.2f", values.ra_text, sizeof values.ra_text);
    kestil_dtos_r(solution->dec, "%d:%02d:%04.1f", values.dec_text, sizeof values.dec_text);
    values.dec_sign = solution->dec >= 0.0 ? "+" : "";
    snprintf(values.dec_dms, sizeof values.dec_dms, "%s%s", values.dec_sign, values.dec_text);
    values.epoch = settings->epoch == 0.0 ? "JNow" : "J2000";
    values.field_width = solution->image_width * solution->scale;
    values.field_height = solution->image_height * solution->scale;
    return values;
}

const char* file_name(const SolverSettings* settings) {
    return settings->image_file ? settings->image_file : "";
}

const char* message_of(const SolverSolution* solution) {
    return solution->message ? solution->message : "Unknown error";
}

// Length of the UTF-8 sequence a lead byte opens: 1, 2, 3, 4, or 0 when it can't lead.
size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

bool continuation_bytes(const unsigned char* p, size_t count) {
    for (size_t i = 1; i < count; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF) return false;
    return true;
}

const char* json_escape(char c) {
    switch (c) {
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '"': return "\\\"";
    case '\\': return "\\\\";
    default: return nullptr;
    }
}

const char* xml_escape(char c) {
    switch (c) {
    case '"': return "&quot;";
    case '&': return "&amp;";
    case '\'': return "&apos;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    default: return nullptr;
    }
}

// One field of the JSON and XML documents: its name and its value, a number of the solution or
// of the report's values written with its printf format, or a text. Numbers (and true/false)
// are written bare; texts are quoted in JSON; escaped texts also go through escape_text (JSON
// string rules or XML entities).
enum FieldKind { NUMBER, TEXT, ESCAPED_TEXT };

struct Report {
    const SolverSettings* settings;
    const SolverSolution* solution;
    ReportValues values;  // of a solved image only
};

struct Field {
    const char* name;
    FieldKind kind = NUMBER;
    const char* format = nullptr;
    double SolverSolution::*real = nullptr;
    int32_t SolverSolution::*integer = nullptr;
    double ReportValues::*derived = nullptr;
    const char* (*text)(const Report& report) = nullptr;
};

// Every document starts with these.
const Field head_fields[] = {
    {.name = "file", .kind = ESCAPED_TEXT,
     .text = [](const Report& r) { return utf8_sanitize(file_name(r.settings)); }},
    {.name = "solved", .text = [](const Report& r) { return r.solution->solved ? "true" : "false"; }},
    {.name = "time", .format = "%.3f", .real = &SolverSolution::time},
};

// Then, for a solved image, these.
const Field solved_fields[] = {
    {.name = "ra", .format = "%.8f", .real = &SolverSolution::ra},
    {.name = "ra_hms", .kind = TEXT,
     .text = [](const Report& r) -> const char* { return r.values.ra_text; }},
    {.name = "dec", .format = "%.8f", .real = &SolverSolution::dec},
    {.name = "dec_dms", .kind = TEXT,
     .text = [](const Report& r) -> const char* { return r.values.dec_dms; }},
    {.name = "epoch", .kind = TEXT, .text = [](const Report& r) { return r.values.epoch; }},
    {.name = "angle", .format = "%.6f", .real = &SolverSolution::angle},
    {.name = "scale", .format = "%.10f", .real = &SolverSolution::scale},
    {.name = "field_width", .format = "%.6f", .derived = &ReportValues::field_width},
    {.name = "field_height", .format = "%.6f", .derived = &ReportValues::field_height},
    {.name = "image_width", .format = "%d", .integer = &SolverSolution::image_width},
    {.name = "image_height", .format = "%d", .integer = &SolverSolution::image_height},
    {.name = "parity", .format = "%d", .integer = &SolverSolution::parity},
    {.name = "matched_stars", .format = "%d", .integer = &SolverSolution::matched_stars},
    {.name = "star_matches", .format = "%d", .integer = &SolverSolution::star_matches},
    {.name = "rms", .format = "%.3f", .real = &SolverSolution::rms},
    {.name = "index", .kind = ESCAPED_TEXT,
     .text = [](const Report& r) -> const char* { return r.solution->index; }},
};

// Or, for an image not solved, this.
const Field unsolved_fields[] = {
    {.name = "message", .kind = ESCAPED_TEXT,
     .text = [](const Report& r) { return message_of(r.solution); }},
};

constexpr size_t value_text_size = 64;

// One field as a JSON member or an XML element, a comma after a JSON member unless it is last.
void write_field(FILE* out, const Report& report, const Field& field, bool xml, bool last) {
    char buffer[value_text_size];
    const char* value = buffer;
    if (field.text)
        value = field.text(report);
    else if (field.real)
        snprintf(buffer, sizeof buffer, field.format, report.solution->*field.real);
    else if (field.integer)
        snprintf(buffer, sizeof buffer, field.format, report.solution->*field.integer);
    else
        snprintf(buffer, sizeof buffer, field.format, report.values.*field.derived);
    if (field.kind == ESCAPED_TEXT) value = escape_text(value, xml);
    if (xml) {
        fprintf(out, "  <%s>%s</%s>\n", field.name, value, field.name);
        return;
    }
    const char* quote = field.kind == NUMBER ? "" : "\"";
    fprintf(out, "  \"%s\": %s%s%s%s\n", field.name, quote, value, quote, last ? "" : ",");
}

// The JSON members that follow the fields when details are given: the distortion fit's order
// and residuals with --sip, the verified matches with --list-matches (FITS pixels; RA and Dec
// in degrees; residuals in pixels). Each but the last is followed by a comma.
bool sip_members_wanted(const SolverSettings* settings, const SolveDetails* details) {
    return details && details->solved && settings->sip;
}

bool match_members_wanted(const SolverSettings* settings, const SolveDetails* details) {
    return details && details->solved && settings->list_matches;
}

void write_detail_members(FILE* out, const SolverSettings* settings, const SolveDetails* details) {
    const bool matches = match_members_wanted(settings, details);
    if (sip_members_wanted(settings, details)) {
        fprintf(out, "  \"sip_order\": %d,\n", details->wcs.sip_order);
        fprintf(out, "  \"rms_linear_px\": %.3f,\n", details->rms_linear);
        fprintf(out, "  \"rms_fitted_px\": %.3f%s\n", details->rms_fitted, matches ? "," : "");
    }
    if (!matches) return;
    if (details->match_count <= 0 || !details->matches) {
        fprintf(out, "  \"matched\": []\n");
        return;
    }
    fprintf(out, "  \"matched\": [\n");
    for (int32_t i = 0; i < details->match_count; ++i) {
        const SolverMatch& m = details->matches[i];
        fprintf(out,
                "    {\"x\": %.3f, \"y\": %.3f, \"ra\": %.8f, \"dec\": %.8f, \"residual\": %.3f}%s\n",
                m.x, m.y, m.ra, m.dec, m.residual, i + 1 < details->match_count ? "," : "");
    }
    fprintf(out, "  ]\n");
}

// The JSON (xml false) or XML document of a solve; details (JSON only, may be null) add the
// members above.
void write_document(FILE* out, const SolverSettings* settings, const SolverSolution* solution,
                    bool xml, const SolveDetails* details) {
    Report report{settings, solution, {}};
    if (solution->solved) report.values = report_values(settings, solution);
    const bool more = !xml && (sip_members_wanted(settings, details) ||
                               match_members_wanted(settings, details));
    fputs(xml ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<solution>\n" : "{\n", out);
    for (const Field& field : head_fields) write_field(out, report, field, xml, false);
    const Field* fields = solution->solved ? solved_fields : unsolved_fields;
    const size_t count = solution->solved ? std::size(solved_fields) : std::size(unsolved_fields);
    for (size_t i = 0; i < count; ++i)
        write_field(out, report, fields[i], xml, i + 1 == count && !more);
    if (more) write_detail_members(out, settings, details);
    fputs(xml ? "</solution>\n" : "}\n", out);
}

}  // namespace

extern "C" {

const char* utf8_sanitize(const char* text) {
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    const size_t limit = sanitize_capacity - 1;
    size_t out = 0;
    while (*in && out < limit) {
        size_t length = sequence_length(*in);
        if (length == 1) {
            sanitized[out++] = (*in < 0x20 || *in == 0x7F) ? '?' : static_cast<char>(*in);
            ++in;
        } else if (length > 1 && out + length <= limit && continuation_bytes(in, length)) {
            // continuation_bytes stops at the NUL, which is no continuation byte.
            memcpy(sanitized + out, in, length);
            out += length;
            in += length;
        } else {
            sanitized[out++] = '?';
            ++in;
        }
    }
    sanitized[out] = '\0';
    return sanitized;
}

const char* escape_text(const char* text, bool xml) {
    size_t length = strlen(text);
    if (length > (SIZE_MAX - 1) / longest_escape) kestil_out_of_memory();
    size_t needed = length * longest_escape + 1;
    if (needed > escape_buffer.capacity) {
        escape_buffer.text = static_cast<char*>(kestil_checked_realloc(escape_buffer.text, needed));
        escape_buffer.capacity = needed;
    }
    char* escaped = escape_buffer.text;
    size_t out = 0;
    for (const char* p = text; *p; ++p) {
        const char* replacement = xml ? xml_escape(*p) : json_escape(*p);
        if (!replacement) {
            escaped[out++] = *p;
            continue;
        }
        size_t n = strlen(replacement);
        memcpy(escaped + out, replacement, n);
        out += n;
    }
    escaped[out] = '\0';
    return escaped;
}

void write_text_report_to(FILE* out, const SolverSettings* settings,
                          const SolverSolution* solution) {
    if (!solution->solved) return;
    ReportValues v = report_values(settings, solution);
    fprintf(out, "Solved in %.2f s: %d of %d stars matched, rms %.2f\"\n", solution->time,
            solution->matched_stars, solution->star_matches, solution->rms);
    fprintf(out, "RA:       %.6f h (%s)\n", solution->ra, v.ra_text);
    fprintf(out, "Dec:      %+.6f%s (%s%s)\n", solution->dec, degree, v.dec_sign, v.dec_text);
    fprintf(out, "Epoch:    %s\n", v.epoch);
    fprintf(out, "Angle:    %.4f%s\n", solution->angle, degree);
    fprintf(out, "Scale:    %.8f%s/pixel (%.3f\"/pixel)\n", solution->scale, degree,
            solution->scale * 3600.0);
    fprintf(out, "Field:    %.4f%s x %.4f%s\n", v.field_width, degree, v.field_height, degree);
    fprintf(out, "Parity:   %d\n", solution->parity);
    fprintf(out, "Index:    %s\n", solution->index);
}

void write_json_report_details_to(FILE* out, const SolverSettings* settings,
                                  const SolverSolution* solution, const SolveDetails* details) {
    write_document(out, settings, solution, false, details);
}

void write_json_report_to(FILE* out, const SolverSettings* settings,
                          const SolverSolution* solution) {
    write_json_report_details_to(out, settings, solution, nullptr);
}

void write_xml_report_to(FILE* out, const SolverSettings* settings,
                         const SolverSolution* solution) {
    write_document(out, settings, solution, true, nullptr);
}

void write_text_report(const SolverSettings* settings, const SolverSolution* solution) {
    write_text_report_to(stdout, settings, solution);
}

void write_json_report(const SolverSettings* settings, const SolverSolution* solution) {
    write_json_report_to(stdout, settings, solution);
}

void write_xml_report(const SolverSettings* settings, const SolverSolution* solution) {
    write_xml_report_to(stdout, settings, solution);
}

}  // extern "C"
