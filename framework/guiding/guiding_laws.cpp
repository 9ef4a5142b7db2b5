// framework/guiding/guiding_laws.cpp - proportional-integral, hysteresis, linear-trend and
// resist-switch laws and the lag-one correlation of successive drifts
#include "framework/guiding/guiding_laws.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "framework/log.h"

namespace {

constexpr int history_size = KESTIL_GUIDER_HISTORY;
constexpr int ring_size = KESTIL_GUIDER_CORRELATION_RING;
constexpr int min_correlation_values = 100;
constexpr double default_trend_min_move = 0.2;  // stands in for a min_move of 0 or less
constexpr double outlier_factor = 4.0;          // outlier: drift beyond 4 min_move
constexpr int max_rejects = 3;                  // the fourth successive rejection clears
constexpr int switch_votes = 3;                 // net votes needed to change side
constexpr double mad_to_sigma = 1.4826;         // normal sigma per median absolute deviation
constexpr double clip_sigmas = 4.0;
constexpr double tiny = 1e-12;

int sign_of(double x) { return x > 0.0 ? 1 : (x < 0.0 ? -1 : 0); }

// A caller-owned record may hold anything: bring its counters into range before indexing.
void sanitise(TrendHistory* h) {
    h->samples = std::clamp(h->samples, 0, history_size);
    h->start = ((h->start % history_size) + history_size) % history_size;
}
void sanitise(SwitchHistory* h) { h->count = std::clamp(h->count, 0, history_size); }

void clear(TrendHistory* h) { std::memset(h, 0, sizeof *h); }

// Least-squares slope of (k, values[k]), k = 0 .. n - 1; 0 when undetermined.
double trend_slope(const double* values, int n) {
    double sk = 0, sv = 0, skv = 0, skk = 0;
    for (int k = 0; k < n; ++k) {
        sk += k;
        sv += values[k];
        skv += k * values[k];
        skk += static_cast<double>(k) * k;
    }
    const double denominator = n * skk - sk * sk;
    return denominator == 0.0 ? 0.0 : (n * skv - sk * sv) / denominator;
}

// Median of values (reordered); for an even count the mean of the two middle ones.
double median(double* values, int n) {
    double* mid = values + n / 2;
    std::nth_element(values, mid, values + n);
    if (n % 2) return *mid;
    const double upper = *mid;
    const double lower = *std::max_element(values, mid);
    return (lower + upper) / 2.0;
}

}  // namespace

extern "C" double kestil_guider_pi_response(double p, double i, double integral_factor,
                                            double min_move, double drift, double avg_drift) {
    const double response =
        std::fabs(drift) < min_move ? 0.0 : -(p * drift + i * avg_drift * integral_factor);
    kestil_debug("%s(): P = %.4f, I = %.4f, response = %.4f, drift = %.4f, avg_drift = %.4f",
                 "kestil_guider_pi_response", p, i, response, drift, avg_drift);
    return response;
}

extern "C" double kestil_guider_hysteresis_response(double aggressiveness, double hysteresis,
                                                    double min_move, double drift,
                                                    double* last) {
    const double previous = last ? *last : 0.0;
    const double blended = (1.0 - hysteresis) * drift + hysteresis * previous;
    const double response = std::fabs(drift) < min_move ? 0.0 : -aggressiveness * blended;
    if (last) *last = -response;
    kestil_debug("%s(): aggressiveness = %.4f, hysteresis = %.4f, min_move = %.4f, "
                 "response = %.4f, drift = %.4f, blended = %.4f",
                 "kestil_guider_hysteresis_response", aggressiveness, hysteresis, min_move,
                 response, drift, blended);
    return response;
}

extern "C" void kestil_guider_linear_trend_push(double drift, TrendHistory* history) {
    if (!history) return;
    sanitise(history);
    history->values[(history->start + history->samples) % history_size] = drift;
    if (history->samples == history_size)
        history->start = (history->start + 1) % history_size;
    else
        ++history->samples;
}

extern "C" double kestil_guider_linear_trend_response(double aggressiveness, double min_move,
                                                      double drift, TrendHistory* history) {
    if (!history) return 0.0;
    sanitise(history);
    const int n = history->samples;
    if (n == 0) return 0.0;

    double slope = 0.0;
    double response = 0.0;
    if (std::fabs(drift) < min_move) {
        history->rejects = 0;
    } else {
        if (min_move <= 0.0) min_move = default_trend_min_move;
        const double proportional = aggressiveness * drift;
        double candidate = proportional;
        if (n >= 4 && std::fabs(drift) > outlier_factor * min_move) {
            clear(history);
            kestil_debug("%s(): Linear Trend history cleared, outlier deflection drift=%.4f "
                         "min_move=%.4f",
                         "kestil_guider_linear_trend_response", drift, min_move);
        } else if (n >= 4) {
            std::array<double, history_size> ordered{};
            for (int k = 0; k < n; ++k)
                ordered[k] = history->values[(history->start + k) % history_size];
            slope = trend_slope(ordered.data(), n);
            candidate = n * slope * aggressiveness;
            if (sign_of(candidate) * sign_of(drift) < 0) candidate = 0.0;
        }
        if (std::fabs(candidate) <= std::fabs(drift)) {
            history->rejects = 0;
            response = -candidate;
        } else {
            ++history->rejects;
            response = -proportional;
            if (history->rejects > max_rejects) {
                clear(history);
                kestil_debug("%s(): Linear Trend history cleared, 3 successive rejected "
                             "correction values",
                             "kestil_guider_linear_trend_response");
            }
        }
    }
    kestil_debug("%s(): aggressiveness=%.4f response=%.4f drift=%.4f slope=%.4f samples=%d "
                 "rejects=%d",
                 "kestil_guider_linear_trend_response", aggressiveness, response, drift, slope,
                 n, history->rejects);
    return response;
}

extern "C" void kestil_guider_resist_switch_push(double drift, SwitchHistory* history) {
    if (!history) return;
    sanitise(history);
    if (history->count == history_size) {
        std::memmove(history->values, history->values + 1,
                     (history_size - 1) * sizeof history->values[0]);
        history->values[history_size - 1] = drift;
    } else {
        history->values[history->count++] = drift;
    }
}

namespace {

// Steps 3 to 6 of the resist-switch law for a drift beyond the dead band.
double resist_switch(double aggressiveness, double fast_thresh, double min_move,
                     SwitchHistory* h, int* votes) {
    const int n = h->count;
    double* values = h->values;
    const double d = values[n - 1];
    const int s = sign_of(d);
    const int m = std::min(n, 3);

    if (fast_thresh > 0.0 && h->side != 0 && s != h->side && std::fabs(d) > fast_thresh) {
        h->side = 0;
        for (int k = 0; k < n; ++k) values[k] = k >= n - m ? d : 0.0;
    }
    *votes = 0;
    for (int k = 0; k < n; ++k)
        if (std::fabs(values[k]) > min_move) *votes += values[k] > 0.0 ? 1 : -1;

    if (h->side == 0 || (*votes != 0 && sign_of(*votes) != h->side)) {
        if (std::abs(*votes) < switch_votes) return 0.0;
        double oldest = 0.0, newest = 0.0;
        for (int k = 0; k < m; ++k) {
            oldest += values[k];
            newest += values[n - 1 - k];
        }
        if (std::fabs(newest) <= std::fabs(oldest)) return 0.0;  // not growing toward it
        h->side = *votes > 0 ? 1 : -1;
    }
    return (s == 0 || s == h->side) && d != 0.0 ? -aggressiveness * d : 0.0;
}

}  // namespace

extern "C" double kestil_guider_resist_switch_response(double aggressiveness, double fast_thresh,
                                                       double min_move, SwitchHistory* history) {
    if (!history) return 0.0;
    sanitise(history);
    if (history->count == 0) return 0.0;
    const double d = history->values[history->count - 1];
    int votes = 0;
    const double response =
        std::fabs(d) < min_move
            ? 0.0
            : resist_switch(aggressiveness, fast_thresh, min_move, history, &votes);
    kestil_debug("%s(): aggressiveness=%.4f min_move=%.4f fast_thresh=%.4f drift=%.4f "
                 "current_side=%d direction_votes=%d response=%.4f",
                 "kestil_guider_resist_switch_response", aggressiveness, min_move, fast_thresh,
                 d, history->side, votes, response);
    return response;
}

extern "C" double kestil_guider_correction_response(const double* ring, int count,
                                                    int next_index, uint8_t* valid) {
    if (valid) *valid = 0;
    // Fewer than 100 values say too little; more than the ring holds cannot be read.
    if (!ring || count < min_correlation_values || count > ring_size) return 0.0;
    next_index = ((next_index % ring_size) + ring_size) % ring_size;

    std::array<double, ring_size> values{};
    const int first = (next_index - count + ring_size) % ring_size;
    for (int k = 0; k < count; ++k) values[k] = ring[(first + k) % ring_size];

    std::array<double, ring_size> scratch = values;
    const double m = median(scratch.data(), count);
    for (int k = 0; k < count; ++k) scratch[k] = std::fabs(values[k] - m);
    const double sigma = mad_to_sigma * median(scratch.data(), count);

    double lagged = 0.0, squares = 0.0, previous = 0.0;
    for (int k = 0; k < count; ++k) {
        double r = values[k] - m;
        if (sigma > tiny) r = std::clamp(r, -clip_sigmas * sigma, clip_sigmas * sigma);
        if (k > 0) lagged += r * previous;
        squares += r * r;
        previous = r;
    }
    if (squares < tiny) return 0.0;
    if (valid) *valid = 1;
    return lagged / squares;
}
