// app/annotate.cpp - a picture of a solve as a PNG file: the image, its stars and the sky grid
#include "app/annotate.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "framework/angles.h"
#include "framework/handles.hpp"
#include "solver/engine/sip.h"
#include "solver/image/solver_image.h"

namespace {

constexpr size_t sample_count = 65536;       // histogram bins of 16-bit samples
constexpr double black_fraction = 0.005;     // black point: this fraction of pixels is darker
constexpr double white_fraction = 0.9999;    // white point: this fraction of pixels is darker
constexpr double background_grey = 0.12;     // where the stretch puts the median, 0..1
constexpr double max_softness = 1e5;         // of the asinh stretch
constexpr int grid_samples = 400;            // points along each grid line
constexpr int extent_samples = 24;           // intervals per side when sampling the field
constexpr int temp_name_attempts = 100;
constexpr const char* font_family = "DejaVu Sans";

struct SurfaceCloser {
    void operator()(cairo_surface_t* surface) const noexcept { cairo_surface_destroy(surface); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceCloser>;
struct ContextCloser {
    void operator()(cairo_t* context) const noexcept { cairo_destroy(context); }
};
using Context = std::unique_ptr<cairo_t, ContextCloser>;

struct Point {
    double u, v;
};

// A region of the picture already taken by text.
struct Rect {
    double u0, v0, u1, v1;
    bool overlaps(const Rect& other) const {
        return u0 < other.u1 && other.u0 < u1 && v0 < other.v1 && other.v0 < v1;
    }
};

// FITS pixels of the image as stored -> picture coordinates (pixel edges, v downwards).
struct View {
    double k = 1.0;           // picture pixels per stored pixel
    double width = 0.0;       // picture size
    double height = 0.0;
    bool bottom_up = false;   // FITS: row 1 at the bottom
    double unit = 10.0;       // font size; marks scale with it

    Point to_picture(double x, double y) const {
        const double v = (y - 0.5) * k;
        return {(x - 0.5) * k, bottom_up ? height - v : v};
    }
    bool inside(Point p) const {
        return p.u >= 0 && p.u <= width && p.v >= 0 && p.v <= height;
    }
};

void set_rgb(cairo_t* cr, uint32_t rgb, double alpha = 1.0) {
    cairo_set_source_rgba(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                          (rgb & 0xFF) / 255.0, alpha);
}

std::string system_reason(int error) { return std::system_category().message(error); }

// ---- the grey picture ----

// The display stretch: t = (v - black) / (white - black) clamped to 0..1, shown as
// asinh(softness t) / asinh(softness); softness 0 is linear.
struct Stretch {
    double black, white, softness;
    double grey(double v) const {
        const double t = std::clamp((v - black) / (white - black), 0.0, 1.0);
        return softness > 0 ? std::asinh(softness * t) / std::asinh(softness) : t;
    }
};

// From the histogram of the working image: black at a low percentile, white at a high one (the
// stars), and the softness that shows the median (the background) at background_grey. An image
// already stretched for display, with its median that bright or brighter, stays linear.
Stretch measure_stretch(const SolverImage* image) {
    std::vector<uint32_t> histogram(sample_count, 0);
    const size_t count = size_t(image->width) * image->height;
    for (size_t i = 0; i < count; ++i) ++histogram[image->pixels[i]];
    auto percentile = [&](double fraction) {
        const double wanted = fraction * double(count);
        double seen = 0;
        for (size_t v = 0; v < sample_count; ++v) {
            seen += histogram[v];
            if (seen >= wanted && seen > 0) return double(v);
        }
        return double(sample_count - 1);
    };
    Stretch stretch{percentile(black_fraction), percentile(white_fraction), 0.0};
    const double median = percentile(0.5);
    if (stretch.white <= median) stretch.white = std::max(median + 1.0, double(*std::max_element(
                                                      image->pixels, image->pixels + count)));
    if (stretch.white <= stretch.black) stretch.white = stretch.black + 1.0;
    const double t = (median - stretch.black) / (stretch.white - stretch.black);
    if (t >= background_grey || t <= 0) return stretch;
    // asinh(s t) / asinh(s) rises with s from t toward 1: bisect s on a log scale.
    double low = 1e-3, high = max_softness;
    for (int i = 0; i < 60; ++i) {
        const double s = std::sqrt(low * high);
        (std::asinh(s * t) / std::asinh(s) < background_grey ? low : high) = s;
    }
    stretch.softness = std::sqrt(low * high);
    return stretch;
}

// The working image stretched to grey, enlarged n times pixel for pixel, FITS rows flipped.
Surface grey_picture(const SolverImage* image, int32_t n, bool bottom_up) {
    const Stretch stretch = measure_stretch(image);
    std::vector<uint32_t> table(sample_count);
    for (size_t v = 0; v < sample_count; ++v) {
        const auto grey = uint32_t(std::lround(255.0 * stretch.grey(double(v))));
        table[v] = grey << 16 | grey << 8 | grey;
    }
    const int width = int(image->width) * n, height = int(image->height) * n;
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return surface;
    cairo_surface_flush(surface.get());
    unsigned char* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int row = 0; row < height; ++row) {
        const int source_row = bottom_up ? int(image->height) - 1 - row / n : row / n;
        const uint16_t* source = image->pixels + size_t(source_row) * image->width;
        auto* out = reinterpret_cast<uint32_t*>(data + size_t(row) * size_t(stride));
        for (int column = 0; column < width; ++column) out[column] = table[source[column / n]];
    }
    cairo_surface_mark_dirty(surface.get());
    return surface;
}

// ---- text ----

void set_font(cairo_t* cr, double size, bool bold = false) {
    cairo_select_font_face(cr, font_family, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

double text_width(cairo_t* cr, const char* text) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text, &extents);
    return extents.x_advance;
}

// Text with a dark outline, legible on any background; (u, v) is the left end of the baseline.
void outlined_text(cairo_t* cr, double u, double v, const char* text, uint32_t rgb,
                   double outline) {
    cairo_move_to(cr, u, v);
    cairo_text_path(cr, text);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.85);
    cairo_set_line_width(cr, outline);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke_preserve(cr);
    set_rgb(cr, rgb);
    cairo_fill(cr);
}

// RA in hours as "05h 35m 17.3s", rounded to a tenth of a second of time.
std::string ra_text(double hours) {
    long long tenths = std::llround(hours * 36000.0) % 864000;
    if (tenths < 0) tenths += 864000;
    char text[48];
    snprintf(text, sizeof text, "%02lldh %02lldm %04.1fs", tenths / 36000, tenths / 600 % 60,
             double(tenths % 600) / 10.0);
    return text;
}

// Dec in degrees as "-05° 23' 28\"", rounded to the second of arc.
std::string dec_text(double degrees) {
    const long long seconds = std::llround(std::fabs(degrees) * arcsec_per_deg);
    char text[48];
    snprintf(text, sizeof text, "%c%02lld\u00B0 %02lld' %02lld\"", degrees < 0 ? '-' : '+',
             seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

// ---- marks ----

template <typename Record>
void draw_circles(cairo_t* cr, const View& view, const Record* records, int32_t count,
                  double radius, double line, uint32_t rgb) {
    if (!records || count <= 0) return;
    cairo_new_path(cr);
    for (int32_t i = 0; i < count; ++i) {
        const Point p = view.to_picture(records[i].x, records[i].y);
        cairo_new_sub_path(cr);
        cairo_arc(cr, p.u, p.v, radius, 0, two_pi);
    }
    cairo_set_source_rgba(cr, 0, 0, 0, 0.6);
    cairo_set_line_width(cr, line * 2.2);
    cairo_stroke_preserve(cr);
    set_rgb(cr, rgb);
    cairo_set_line_width(cr, line);
    cairo_stroke(cr);
}

// A cross with an open centre, so that the star under it stays visible.
void cross_path(cairo_t* cr, Point p, double inner, double outer) {
    const double du[] = {1, -1, 0, 0}, dv[] = {0, 0, 1, -1};
    for (int i = 0; i < 4; ++i) {
        cairo_move_to(cr, p.u + du[i] * inner, p.v + dv[i] * inner);
        cairo_line_to(cr, p.u + du[i] * outer, p.v + dv[i] * outer);
    }
}

void draw_index_stars(cairo_t* cr, const View& view, const SolveDetails* details, double inner,
                      double outer, double line) {
    if (!details->index_stars || details->index_star_count <= 0) return;
    cairo_new_path(cr);
    for (int32_t i = 0; i < details->index_star_count; ++i) {
        const SolverStar& star = details->index_stars[i];
        cross_path(cr, view.to_picture(star.x, star.y), inner, outer);
    }
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.45);
    cairo_set_line_width(cr, line * 2.2);
    cairo_stroke_preserve(cr);
    set_rgb(cr, ANNOTATE_INDEX_STAR_RGB, 0.9);
    cairo_set_line_width(cr, line);
    cairo_stroke(cr);
}

// ---- the RA/Dec grid ----

// Round spacings: of Dec in seconds of arc, of RA in seconds of time.
constexpr double dec_steps[] = {1,    2,    5,    10,    15,    30,    60,    120,   300,
                                600,  900,  1800, 3600,  7200,  18000, 36000, 54000, 108000};
constexpr double ra_steps[] = {1,   2,   5,    10,   15,   30,   60,   120,   300,  600,
                               900, 1200, 1800, 3600, 7200, 10800, 14400, 21600};

// The largest of the round steps (in the list's unit) not above target, else the smallest.
template <size_t N>
double round_step(const double (&steps)[N], double target) {
    double chosen = steps[0];
    for (double step : steps)
        if (step <= target) chosen = step;
    return chosen;
}

double wrap180(double degrees) {
    double wrapped = std::fmod(degrees, 360.0);
    if (wrapped > 180.0) wrapped -= 360.0;
    if (wrapped <= -180.0) wrapped += 360.0;
    return wrapped;
}

// The part of the sky the image covers: RA as offsets from the centre's RA (continuous across
// RA 0), Dec bounds; with a pole inside, every RA up to that pole.
struct SkyExtent {
    double ra0 = 0, dec0 = 0;           // the image centre, degrees
    double ra_low = 0, ra_high = 0;     // offsets from ra0, degrees
    double dec_low = 0, dec_high = 0;
    bool pole = false;
};

bool sky_extent(const SolverWcs* wcs, int32_t width, int32_t height, SkyExtent* extent) {
    if (!kestil_solver_wcs_pixel_to_sky(wcs, (width + 1) * 0.5, (height + 1) * 0.5, &extent->ra0,
                                        &extent->dec0))
        return false;
    extent->ra_low = extent->ra_high = 0;
    extent->dec_low = extent->dec_high = extent->dec0;
    for (int i = 0; i <= extent_samples; ++i) {
        for (int j = 0; j <= extent_samples; ++j) {
            const double x = 0.5 + width * double(i) / extent_samples;
            const double y = 0.5 + height * double(j) / extent_samples;
            double ra, dec;
            if (!kestil_solver_wcs_pixel_to_sky(wcs, x, y, &ra, &dec)) continue;
            const double offset = wrap180(ra - extent->ra0);
            extent->ra_low = std::min(extent->ra_low, offset);
            extent->ra_high = std::max(extent->ra_high, offset);
            extent->dec_low = std::min(extent->dec_low, dec);
            extent->dec_high = std::max(extent->dec_high, dec);
        }
    }
    for (double pole_dec : {90.0, -90.0}) {
        double x, y;
        if (!kestil_solver_wcs_sky_to_pixel(wcs, 0.0, pole_dec, &x, &y)) continue;
        if (x < 0.5 || x > width + 0.5 || y < 0.5 || y > height + 0.5) continue;
        extent->pole = true;
        extent->ra_low = -180.0;
        extent->ra_high = 180.0;
        if (pole_dec > 0) extent->dec_high = 90.0; else extent->dec_low = -90.0;
    }
    return true;
}

// A grid line in picture coordinates, in runs without breaks.
using Run = std::vector<Point>;

// Traces the sky curve (ra(t), dec(t)), t from 0 to 1, breaking where the projection fails,
// leaves a generous box around the picture (cairo's fixed point has a limited range) or jumps.
template <typename Curve>
std::vector<Run> trace(const SolverWcs* wcs, const View& view, Curve curve) {
    std::vector<Run> runs(1);
    const double jump = 0.5 * std::hypot(view.width, view.height);
    for (int i = 0; i <= grid_samples; ++i) {
        double ra, dec, x, y;
        curve(double(i) / grid_samples, &ra, &dec);
        bool good = kestil_solver_wcs_sky_to_pixel(wcs, ra, dec, &x, &y);
        Point p{};
        if (good) {
            p = view.to_picture(x, y);
            good = std::isfinite(p.u) && std::isfinite(p.v) && p.u > -view.width &&
                   p.u < 2 * view.width && p.v > -view.height && p.v < 2 * view.height;
        }
        if (good && !runs.back().empty()) {
            const Point& last = runs.back().back();
            if (std::hypot(p.u - last.u, p.v - last.v) > jump) runs.emplace_back();
        }
        if (good) runs.back().push_back(p);
        else if (!runs.back().empty()) runs.emplace_back();
    }
    return runs;
}

void stroke_runs(cairo_t* cr, const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        if (run.size() < 2) continue;
        cairo_move_to(cr, run[0].u, run[0].v);
        for (size_t i = 1; i < run.size(); ++i) cairo_line_to(cr, run[i].u, run[i].v);
    }
}

// The picture's edges, in the order a label looks for them.
enum Edge { EDGE_RIGHT, EDGE_BOTTOM, EDGE_LEFT, EDGE_TOP, EDGE_NONE };

// Where a label of a line goes: where the line leaves the picture through the first edge of
// the preference order that it crosses; a line that stays inside (a parallel about a pole)
// is labelled at its rightmost point (edge EDGE_NONE). False when no point is inside.
bool label_point(const View& view, const std::vector<Run>& runs, const Edge (&order)[4],
                 Point* best, Edge* edge) {
    int best_rank = 5;
    bool inside_found = false;
    Point rightmost{};
    for (const Run& run : runs) {
        for (size_t i = 0; i < run.size(); ++i) {
            const Point p = run[i];
            if (view.inside(p) && (!inside_found || p.u > rightmost.u)) {
                rightmost = p;
                inside_found = true;
            }
            if (i == 0 || view.inside(p) == view.inside(run[i - 1])) continue;
            const Point in = view.inside(p) ? p : run[i - 1];
            const Point out = view.inside(p) ? run[i - 1] : p;
            // The crossing: the fraction of in -> out where the first bound is met.
            double t = 1.0;
            Edge crossed = EDGE_NONE;
            auto meet = [&](double from, double to, double bound, Edge which) {
                if ((to - bound) * (from - bound) >= 0 || from == to) return;
                const double f = (bound - from) / (to - from);
                if (f < t) { t = f; crossed = which; }
            };
            meet(in.u, out.u, view.width, EDGE_RIGHT);
            meet(in.v, out.v, view.height, EDGE_BOTTOM);
            meet(in.u, out.u, 0.0, EDGE_LEFT);
            meet(in.v, out.v, 0.0, EDGE_TOP);
            if (crossed == EDGE_NONE) continue;
            const int rank = int(std::find(order, order + 4, crossed) - order);
            if (rank < best_rank) {
                best_rank = rank;
                *best = {in.u + t * (out.u - in.u), in.v + t * (out.v - in.v)};
                *edge = crossed;
            }
        }
    }
    if (best_rank < 5) return true;
    if (!inside_found) return false;
    *best = rightmost;
    *edge = EDGE_NONE;
    return true;
}

std::string dec_label(double degrees, double step_arcsec) {
    const long long total = std::llround(degrees * arcsec_per_deg);
    const long long a = std::llabs(total);
    const char sign = total < 0 ? '-' : '+';
    char text[48];
    if (step_arcsec >= 3600)
        snprintf(text, sizeof text, "%c%lld\u00B0", sign, a / 3600);
    else if (step_arcsec >= 60)
        snprintf(text, sizeof text, "%c%lld\u00B0%02lld'", sign, a / 3600, a / 60 % 60);
    else
        snprintf(text, sizeof text, "%c%lld\u00B0%02lld'%02lld\"", sign, a / 3600, a / 60 % 60,
                 a % 60);
    return text;
}

std::string ra_label(double degrees, double step_seconds) {
    long long total = std::llround(degrees / deg_per_hour * 3600.0) % 86400;
    if (total < 0) total += 86400;
    char text[48];
    if (step_seconds >= 3600)
        snprintf(text, sizeof text, "%lldh", total / 3600);
    else if (step_seconds >= 60)
        snprintf(text, sizeof text, "%lldh%02lldm", total / 3600, total / 60 % 60);
    else
        snprintf(text, sizeof text, "%lldh%02lldm%02llds", total / 3600, total / 60 % 60,
                 total % 60);
    return text;
}

struct Label {
    Point at;          // where the line meets the edge (or its rightmost point)
    Edge edge;
    std::string text;
};

// Lines of constant Dec and RA at round steps (about four to six across the field), stroked,
// with their labels collected for drawing over the marks.
void draw_grid(cairo_t* cr, const View& view, const SolveDetails* details,
               std::vector<Label>* labels) {
    const SolverWcs* wcs = &details->wcs;
    SkyExtent e;
    if (!sky_extent(wcs, details->width, details->height, &e)) return;
    const double scale = std::sqrt(std::fabs(wcs->cd[0][0] * wcs->cd[1][1] -
                                             wcs->cd[0][1] * wcs->cd[1][0]));
    const double field = scale * std::max(details->width, details->height);
    if (!(field > 0)) return;
    const double dec_step = round_step(dec_steps, field / 5.0 * arcsec_per_deg) / arcsec_per_deg;
    const double cos_dec = std::max(std::cos(e.dec0 / deg_per_rad), 1e-6);
    const double ra_span = e.ra_high - e.ra_low;
    double ra_target = field / 5.0 / cos_dec;
    ra_target = std::min(ra_target, e.pole ? ra_span / 8.0 : std::max(ra_span / 4.0, 1e-9));
    const double ra_step_seconds = round_step(ra_steps, ra_target / deg_per_hour * 3600.0);
    const double ra_step = ra_step_seconds / 3600.0 * deg_per_hour;

    // One step of margin: the sampled extent can miss a little of the corners.
    const double dec_low = std::max(-90.0, e.dec_low - dec_step);
    const double dec_high = std::min(90.0, e.dec_high + dec_step);
    double ra_low = e.ra0 + e.ra_low, ra_high = e.ra0 + e.ra_high;
    if (e.pole) {
        ra_high = ra_low + 360.0;
    } else {
        ra_low -= ra_step;
        ra_high += ra_step;
        if (ra_high - ra_low > 360.0) ra_high = ra_low + 360.0;
    }

    set_rgb(cr, ANNOTATE_GRID_RGB, 0.75);
    cairo_set_line_width(cr, std::max(1.2, view.unit / 12.0));
    cairo_new_path(cr);
    // Dec labels on the right edge, RA labels on the bottom, where the lines allow.
    const Edge dec_edges[4] = {EDGE_RIGHT, EDGE_LEFT, EDGE_BOTTOM, EDGE_TOP};
    const Edge ra_edges[4] = {EDGE_BOTTOM, EDGE_TOP, EDGE_LEFT, EDGE_RIGHT};
    for (double k = std::ceil(dec_low / dec_step); k * dec_step <= dec_high; ++k) {
        const double dec = k * dec_step;
        if (std::fabs(dec) >= 90.0 - 1e-9) continue;
        const auto runs = trace(wcs, view, [&](double t, double* ra, double* d) {
            *ra = ra_low + t * (ra_high - ra_low);
            *d = dec;
        });
        stroke_runs(cr, runs);
        Point at;
        Edge edge;
        if (label_point(view, runs, dec_edges, &at, &edge))
            labels->push_back({at, edge, dec_label(dec, dec_step * arcsec_per_deg)});
    }
    const double k_end = e.pole ? std::ceil(ra_high / ra_step) - 1 : std::floor(ra_high / ra_step);
    for (double k = std::ceil(ra_low / ra_step); k <= k_end; ++k) {
        const double ra_line = k * ra_step;
        const auto runs = trace(wcs, view, [&](double t, double* ra, double* d) {
            *ra = ra_line;
            *d = dec_low + t * (dec_high - dec_low);
        });
        stroke_runs(cr, runs);
        Point at;
        Edge edge;
        if (label_point(view, runs, ra_edges, &at, &edge))
            labels->push_back({at, edge, ra_label(ra_line, ra_step_seconds)});
    }
    set_rgb(cr, ANNOTATE_GRID_RGB, 0.75);
    cairo_stroke(cr);
}

// Each label just inside the edge its line crosses, beside the crossing; a label that would
// overlap one drawn before or a taken region (the text box, the compass) is left out.
void draw_labels(cairo_t* cr, const View& view, const std::vector<Label>& labels,
                 std::vector<Rect> taken) {
    set_font(cr, view.unit * 0.8);
    const double pad = view.unit * 0.3, ascent = view.unit * 0.6;
    for (const Label& label : labels) {
        const double w = text_width(cr, label.text.c_str());
        double u = label.at.u + pad, v = label.at.v - pad;
        switch (label.edge) {
            case EDGE_RIGHT: case EDGE_NONE: u = label.at.u - w - pad; break;
            case EDGE_BOTTOM: v = view.height - pad; break;
            case EDGE_LEFT: u = pad; break;
            case EDGE_TOP: v = ascent + pad; break;
        }
        u = std::clamp(u, pad, std::max(pad, view.width - w - pad));
        v = std::clamp(v, ascent + pad, view.height - pad);
        const Rect box{u - pad, v - ascent - pad, u + w + pad, v + pad};
        if (std::any_of(taken.begin(), taken.end(), [&](const Rect& r) { return r.overlaps(box); }))
            continue;
        taken.push_back(box);
        outlined_text(cr, u, v, label.text.c_str(), ANNOTATE_GRID_RGB, view.unit * 0.2);
    }
}

// ---- compass and text box ----

// The picture direction of a small step north (or east) from the image centre; false near a
// singular plate.
bool sky_direction(const SolverWcs* wcs, const View& view, const SolveDetails* details,
                   bool north, double* du, double* dv) {
    const double xc = (details->width + 1) * 0.5, yc = (details->height + 1) * 0.5;
    double ra, dec;
    if (!kestil_solver_wcs_pixel_to_sky(wcs, xc, yc, &ra, &dec)) return false;
    const double step = 0.01 * std::max(1e-6, std::sqrt(std::fabs(
                                                   wcs->cd[0][0] * wcs->cd[1][1] -
                                                   wcs->cd[0][1] * wcs->cd[1][0]))) *
                        details->width;
    double sign = 1.0, ra2 = ra, dec2 = dec;
    if (north) {
        dec2 = dec + step;
        if (dec2 > 90.0) { dec2 = dec - step; sign = -1.0; }
    } else {
        ra2 = ra + step / std::max(std::cos(dec / deg_per_rad), 1e-6);
    }
    double x, y;
    if (!kestil_solver_wcs_sky_to_pixel(wcs, ra2, dec2, &x, &y)) return false;
    const Point a = view.to_picture(xc, yc), b = view.to_picture(x, y);
    const double length = std::hypot(b.u - a.u, b.v - a.v);
    if (!(length > 0)) return false;
    *du = sign * (b.u - a.u) / length;
    *dv = sign * (b.v - a.v) / length;
    return true;
}

void draw_compass(cairo_t* cr, const View& view, const SolveDetails* details, Point origin) {
    const double length = view.unit * 2.6;
    const char* names[] = {"N", "E"};
    set_font(cr, view.unit * 0.85, true);
    for (int i = 0; i < 2; ++i) {
        double du, dv;
        if (!sky_direction(&details->wcs, view, details, i == 0, &du, &dv)) return;
        const Point tip{origin.u + du * length, origin.v + dv * length};
        cairo_new_path(cr);
        cairo_move_to(cr, origin.u, origin.v);
        cairo_line_to(cr, tip.u, tip.v);
        const double head = view.unit * 0.45;
        cairo_move_to(cr, tip.u - head * (du - dv * 0.5), tip.v - head * (dv + du * 0.5));
        cairo_line_to(cr, tip.u, tip.v);
        cairo_line_to(cr, tip.u - head * (du + dv * 0.5), tip.v - head * (dv - du * 0.5));
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.7);
        cairo_set_line_width(cr, view.unit * 0.3);
        cairo_stroke_preserve(cr);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_set_line_width(cr, view.unit * 0.12);
        cairo_stroke(cr);
        const double w = text_width(cr, names[i]);
        const Point text{tip.u + du * view.unit * 0.8 - w / 2, tip.v + dv * view.unit * 0.8 +
                                                                  view.unit * 0.35};
        outlined_text(cr, text.u, text.v, names[i], 0xFFFFFF, view.unit * 0.2);
    }
}

std::vector<std::string> solution_lines(const SolverSolution* solution,
                                        const SolveDetails* details) {
    std::vector<std::string> lines;
    char text[256];
    if (!solution->solved) {
        lines.push_back("Not solved");
        snprintf(text, sizeof text, "%s",
                 solution->message ? solution->message : "no reason given");
        lines.push_back(text);
        if (details) {
            snprintf(text, sizeof text, "Detected stars: %d", int(details->star_count));
            lines.push_back(text);
        }
        return lines;
    }
    lines.push_back("RA " + ra_text(solution->ra_j2000) + "   Dec " +
                    dec_text(solution->dec_j2000) + "   J2000");
    const double arcsec = solution->scale * arcsec_per_deg;
    const double fw = solution->scale * solution->image_width;
    const double fh = solution->scale * solution->image_height;
    const int decimals = arcsec < 100 ? 2 : 1;
    if (fw < 1.0 && fh < 1.0)
        snprintf(text, sizeof text, "Scale %.*f\"/px   Field %.1f' x %.1f'", decimals, arcsec,
                 fw * 60, fh * 60);
    else
        snprintf(text, sizeof text, "Scale %.*f\"/px   Field %.2f\u00B0 x %.2f\u00B0", decimals,
                 arcsec, fw, fh);
    lines.push_back(text);
    snprintf(text, sizeof text, "Angle %.1f\u00B0   Parity %d", solution->angle,
             int(solution->parity));
    lines.push_back(text);
    // The refinement of the details may match more stars than the solve counted.
    if (details && details->solved && details->match_count != solution->matched_stars)
        snprintf(text, sizeof text, "Matched stars %d (%d marked)   RMS %.2f\"",
                 int(solution->matched_stars), int(details->match_count), solution->rms);
    else
        snprintf(text, sizeof text, "Matched stars %d   RMS %.2f\"", int(solution->matched_stars),
                 solution->rms);
    lines.push_back(text);
    snprintf(text, sizeof text, "Index %s", solution->index);
    lines.push_back(text);
    return lines;
}

// The lines, long ones broken at spaces to fit the width (a word longer than that stays whole).
std::vector<std::string> wrap_lines(cairo_t* cr, const std::vector<std::string>& lines,
                                    double width) {
    std::vector<std::string> wrapped;
    for (const std::string& line : lines) {
        std::string current;
        size_t start = 0;
        while (start <= line.size()) {
            size_t end = line.find(' ', start);
            if (end == std::string::npos) end = line.size();
            const std::string word = line.substr(start, end - start);
            const std::string joined = current.empty() ? word : current + " " + word;
            if (!current.empty() && text_width(cr, joined.c_str()) > width) {
                wrapped.push_back(current);
                current = word;
            } else {
                current = joined;
            }
            start = end + 1;
        }
        wrapped.push_back(current);
    }
    return wrapped;
}

// The figures of the solution in a dark box at the top left, with a legend of the marks.
// Result: the box.
Rect draw_text_box(cairo_t* cr, const View& view, const SolverSolution* solution,
                     const SolveDetails* details) {
    const double margin = view.unit * 0.6, pad = view.unit * 0.5, leading = view.unit * 1.35;
    set_font(cr, view.unit);
    const std::vector<std::string> lines =
        wrap_lines(cr, solution_lines(solution, details), view.width - 2 * (margin + pad));
    double width = 0;
    for (const std::string& line : lines) width = std::max(width, text_width(cr, line.c_str()));
    struct Key { const char* name; uint32_t rgb; int shape; };  // 0 small, 1 large, 2 cross
    const Key keys[] = {{"detected", ANNOTATE_DETECTION_RGB, 0},
                        {"matched", ANNOTATE_MATCH_RGB, 1},
                        {"index star", ANNOTATE_INDEX_STAR_RGB, 2}};
    const int key_count = details ? (solution->solved ? 3 : 1) : 0;
    double legend_width = 0;
    for (int i = 0; i < key_count; ++i)
        legend_width += view.unit * 1.6 + text_width(cr, keys[i].name) + view.unit;
    width = std::max(width, legend_width);
    const double height = leading * (double(lines.size()) + (key_count ? 1 : 0)) + pad;
    cairo_rectangle(cr, margin, margin, width + 2 * pad, height);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.62);
    cairo_fill(cr);
    double v = margin + pad;
    for (size_t i = 0; i < lines.size(); ++i) {
        v += leading;
        set_font(cr, view.unit, i == 0 && !solution->solved);
        cairo_move_to(cr, margin + pad, v - leading * 0.3);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_show_text(cr, lines[i].c_str());
    }
    if (key_count) {
        v += leading;
        double u = margin + pad;
        set_font(cr, view.unit * 0.9);
        for (int i = 0; i < key_count; ++i) {
            const Point centre{u + view.unit * 0.6, v - leading * 0.3 - view.unit * 0.33};
            cairo_new_path(cr);
            const double r = view.unit * (keys[i].shape == 1 ? 0.55 : 0.35);
            if (keys[i].shape == 2)
                cross_path(cr, centre, view.unit * 0.15, view.unit * 0.55);
            else
                cairo_arc(cr, centre.u, centre.v, r, 0, two_pi);
            set_rgb(cr, keys[i].rgb);
            cairo_set_line_width(cr, std::max(1.5, view.unit * 0.12));
            cairo_stroke(cr);
            u += view.unit * 1.6;
            cairo_move_to(cr, u, v - leading * 0.3);
            cairo_set_source_rgb(cr, 1, 1, 1);
            cairo_show_text(cr, keys[i].name);
            u += text_width(cr, keys[i].name) + view.unit;
        }
    }
    return {margin, margin, margin + width + 2 * pad, margin + height};
}

// ---- the picture ----

// Draws everything on the grey picture. Result: cairo's status.
cairo_status_t draw_marks(cairo_surface_t* surface, const View& view,
                          const SolverSolution* solution, const SolveDetails* details) {
    Context cr(cairo_create(surface));
    cairo_t* c = cr.get();
    const double radius = std::max(4.0, view.unit * 0.45);
    const double line = std::max(1.2, view.unit / 11.0);
    std::vector<Label> labels;
    const bool solved = solution->solved && details && details->solved;
    if (solved) draw_grid(c, view, details, &labels);
    if (details) {
        if (solved)
            draw_index_stars(c, view, details, radius * 0.55, radius * 1.5, line * 0.85);
        draw_circles(c, view, details->stars, details->star_count, radius, line,
                     ANNOTATE_DETECTION_RGB);
        if (solved)
            draw_circles(c, view, details->matches, details->match_count, radius * 1.7,
                         line * 1.3, ANNOTATE_MATCH_RGB);
    }
    const Rect box = draw_text_box(c, view, solution, details);
    std::vector<Rect> taken{box};
    if (solved) {
        const Point origin{view.unit * 4.5, box.v1 + view.unit * 4.5};
        draw_compass(c, view, details, origin);
        const double reach = view.unit * 4.0;
        taken.push_back({origin.u - reach, origin.v - reach, origin.u + reach, origin.v + reach});
    }
    draw_labels(c, view, labels, std::move(taken));
    return cairo_status(c);
}

// ---- the file ----

struct PngSink {
    FILE* file;
    int error;
};

cairo_status_t write_png_bytes(void* closure, const unsigned char* data, unsigned int length) {
    auto* sink = static_cast<PngSink*>(closure);
    if (fwrite(data, 1, length, sink->file) == length) return CAIRO_STATUS_SUCCESS;
    sink->error = errno ? errno : EIO;
    return CAIRO_STATUS_WRITE_ERROR;
}

// Opens a new file beside the target: ".<name>.<process>.<n>.tmp" in the target's folder.
int open_temporary(const std::string& target, std::string* temporary) {
    static std::atomic<unsigned> counter{0};
    const size_t slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < temp_name_attempts; ++attempt) {
        *temporary = folder + "." + name + "." + std::to_string(long(getpid())) + "." +
                     std::to_string(counter++) + ".tmp";
        const int fd = open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes the surface as PNG under a temporary name and renames it to the target.
// Returned: reason, on failure. Result: true when the file is in place.
bool write_png_file(cairo_surface_t* surface, const char* target, std::string* reason) {
    std::string temporary;
    const int fd = open_temporary(target, &temporary);
    if (fd < 0) {
        *reason = system_reason(errno);
        return false;
    }
    FileHandle file(fdopen(fd, "wb"));
    if (!file) {
        *reason = system_reason(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    PngSink sink{file.get(), 0};
    errno = 0;
    const cairo_status_t status =
        cairo_surface_write_to_png_stream(surface, write_png_bytes, &sink);
    bool written = status == CAIRO_STATUS_SUCCESS;
    if (!written) *reason = sink.error ? system_reason(sink.error) : cairo_status_to_string(status);
    if (fclose(file.release()) != 0 && written) {
        written = false;
        *reason = system_reason(errno);
    }
    if (written && rename(temporary.c_str(), target) != 0) {
        written = false;
        *reason = system_reason(errno);
    }
    if (!written) unlink(temporary.c_str());
    return written;
}

bool is_fits(const void* data, uint32_t length) {
    static const char simple[] = "SIMPLE  =";
    return length >= sizeof simple - 1 && memcmp(data, simple, sizeof simple - 1) == 0;
}

// The binning that brings the long side to at most ANNOTATE_MAX_SIDE, but never past the short
// side (an image of extreme shape keeps at least one row).
int32_t binning_for(int32_t width, int32_t height) {
    const int32_t factor = (std::max(width, height) + ANNOTATE_MAX_SIDE - 1) / ANNOTATE_MAX_SIDE;
    return std::max(1, std::min(factor, std::min(width, height)));
}

// Decodes, draws and writes the picture. Returned: reason, on failure.
bool annotate(const char* target, const void* data, uint32_t length,
              const SolverSolution* solution, const SolveDetails* details,
              std::string* reason) {
    if (length > uint32_t(INT32_MAX)) {
        *reason = "the image is too large";
        return false;
    }
    // The stored size from the solve when known, else from a first full-size reading.
    int32_t bin = 1, width = 0, height = 0;
    bool bayer = false;
    const char* message = "the image can't be read";
    if (details && details->width > 0 && details->height > 0) {
        width = details->width;
        height = details->height;
    } else if (solution->image_width > 0 && solution->image_height > 0) {
        width = solution->image_width;
        height = solution->image_height;
    }
    int32_t downsample = width > 0 ? binning_for(width, height) : 1;
    HeapBlock<SolverImage> image(kestil_solver_load_image(data, int32_t(length), downsample, &bin,
                                                          &width, &height, &bayer, &message));
    if (image && binning_for(width, height) > downsample) {
        downsample = binning_for(width, height);
        image.reset(kestil_solver_load_image(data, int32_t(length), downsample, &bin, &width,
                                             &height, &bayer, &message));
    }
    if (!image) {
        *reason = message;
        return false;
    }
    const int32_t long_side = int32_t(std::max(image->width, image->height));
    const int32_t n =
        long_side >= ANNOTATE_MIN_SIDE ? 1 : (ANNOTATE_MIN_SIDE + long_side - 1) / long_side;
    View view;
    view.bottom_up = is_fits(data, length);
    view.k = double(n) / bin;
    view.width = double(image->width) * n;
    view.height = double(image->height) * n;
    view.unit = std::max(13.0, std::max(view.width, view.height) / 85.0);

    Surface surface = grey_picture(image.get(), n, view.bottom_up);
    image.reset();
    cairo_status_t status = cairo_surface_status(surface.get());
    if (status == CAIRO_STATUS_SUCCESS) status = draw_marks(surface.get(), view, solution, details);
    if (status != CAIRO_STATUS_SUCCESS) {
        *reason = cairo_status_to_string(status);
        return false;
    }
    return write_png_file(surface.get(), target, reason);
}

}  // namespace

extern "C" bool write_annotation(const char* target, const void* data, uint32_t length,
                                 const SolverSolution* solution, const SolveDetails* details) {
    std::string reason;
    bool written = false;
    try {
        written = annotate(target, data, length, solution, details, &reason);
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    }
    if (!written)
        fprintf(stderr, "kestil_solver: can't write '%s': %s\n", target, reason.c_str());
    return written;
}

extern "C" void annotate_release_fonts(void) {
    cairo_debug_reset_static_data();
    FcFini();
}
