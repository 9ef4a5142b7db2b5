// app/reports.cpp - the result of a solve as a text report, a JSON or an XML document
#include "app/reports.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

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
    const char* epoch;
    double field_width;
    double field_height;
};

ReportValues report_values(const SolverSettings* settings, const SolverSolution* solution) {
    ReportValues values{};
    kestil_dtos_r(solution->ra, "%d:%02d:%05.2f", values.ra_text, sizeof values.ra_text);
    kestil_dtos_r(solution->dec, "%d:%02d:%04.1f", values.dec_text, sizeof values.dec_text);
    values.dec_sign = solution->dec >= 0.0 ? "+" : "";
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

void write_json_report_to(FILE* out, const SolverSettings* settings,
                          const SolverSolution* solution) {
    fprintf(out, "{\n");
    fprintf(out, "  \"file\": \"%s\",\n", escape_text(utf8_sanitize(file_name(settings)), false));
    fprintf(out, "  \"solved\": %s,\n", solution->solved ? "true" : "false");
    fprintf(out, "  \"time\": %.3f,\n", solution->time);
    if (solution->solved) {
        ReportValues v = report_values(settings, solution);
        fprintf(out, "  \"ra\": %.8f,\n", solution->ra);
        fprintf(out, "  \"ra_hms\": \"%s\",\n", v.ra_text);
        fprintf(out, "  \"dec\": %.8f,\n", solution->dec);
        fprintf(out, "  \"dec_dms\": \"%s%s\",\n", v.dec_sign, v.dec_text);
        fprintf(out, "  \"epoch\": \"%s\",\n", v.epoch);
        fprintf(out, "  \"angle\": %.6f,\n", solution->angle);
        fprintf(out, "  \"scale\": %.10f,\n", solution->scale);
        fprintf(out, "  \"field_width\": %.6f,\n", v.field_width);
        fprintf(out, "  \"field_height\": %.6f,\n", v.field_height);
        fprintf(out, "  \"image_width\": %d,\n", solution->image_width);
        fprintf(out, "  \"image_height\": %d,\n", solution->image_height);
        fprintf(out, "  \"parity\": %d,\n", solution->parity);
        fprintf(out, "  \"matched_stars\": %d,\n", solution->matched_stars);
        fprintf(out, "  \"star_matches\": %d,\n", solution->star_matches);
        fprintf(out, "  \"rms\": %.3f,\n", solution->rms);
        fprintf(out, "  \"index\": \"%s\"\n", escape_text(solution->index, false));
    } else {
        fprintf(out, "  \"message\": \"%s\"\n", escape_text(message_of(solution), false));
    }
    fprintf(out, "}\n");
}

void write_xml_report_to(FILE* out, const SolverSettings* settings,
                         const SolverSolution* solution) {
    fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    fprintf(out, "<solution>\n");
    fprintf(out, "  <file>%s</file>\n", escape_text(utf8_sanitize(file_name(settings)), true));
    fprintf(out, "  <solved>%s</solved>\n", solution->solved ? "true" : "false");
    fprintf(out, "  <time>%.3f</time>\n", solution->time);
    if (solution->solved) {
        ReportValues v = report_values(settings, solution);
        fprintf(out, "  <ra>%.8f</ra>\n", solution->ra);
        fprintf(out, "  <ra_hms>%s</ra_hms>\n", v.ra_text);
        fprintf(out, "  <dec>%.8f</dec>\n", solution->dec);
        fprintf(out, "  <dec_dms>%s%s</dec_dms>\n", v.dec_sign, v.dec_text);
        fprintf(out, "  <epoch>%s</epoch>\n", v.epoch);
        fprintf(out, "  <angle>%.6f</angle>\n", solution->angle);
        fprintf(out, "  <scale>%.10f</scale>\n", solution->scale);
        fprintf(out, "  <field_width>%.6f</field_width>\n", v.field_width);
        fprintf(out, "  <field_height>%.6f</field_height>\n", v.field_height);
        fprintf(out, "  <image_width>%d</image_width>\n", solution->image_width);
        fprintf(out, "  <image_height>%d</image_height>\n", solution->image_height);
        fprintf(out, "  <parity>%d</parity>\n", solution->parity);
        fprintf(out, "  <matched_stars>%d</matched_stars>\n", solution->matched_stars);
        fprintf(out, "  <star_matches>%d</star_matches>\n", solution->star_matches);
        fprintf(out, "  <rms>%.3f</rms>\n", solution->rms);
        fprintf(out, "  <index>%s</index>\n", escape_text(solution->index, true));
    } else {
        fprintf(out, "  <message>%s</message>\n", escape_text(message_of(solution), true));
    }
    fprintf(out, "</solution>\n");
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
