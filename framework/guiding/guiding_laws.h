// framework/guiding/guiding_laws.h - laws turning a measured guiding drift into a correction
// Each law works on one axis; the caller owns the per-axis history records (zero-filled to
// start) and feeds them with the push functions. A correction is in the units of the drift
// with the opposite sign. Every law logs its inputs and result at debug level (framework/log.h).
// Any thread, one history record per thread at a time.
#ifndef KESTIL_FRAMEWORK_GUIDING_GUIDING_LAWS_H
#define KESTIL_FRAMEWORK_GUIDING_GUIDING_LAWS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KESTIL_GUIDER_HISTORY = 10,            // capacity of both history records
    KESTIL_GUIDER_CORRELATION_RING = 200,  // the caller's ring of kestil_guider_correction_response
};

// Drift history of the linear-trend law: a ring of the last drifts.
typedef struct TrendHistory {
    double values[KESTIL_GUIDER_HISTORY];  // ring of the last drifts
    int32_t start;                         // ring index of the oldest value
    int32_t samples;                       // values held, 0 to 10
    int32_t rejects;                       // successive rejected trend corrections
} TrendHistory;

// Drift history of the resist-switch law.
typedef struct SwitchHistory {
    double values[KESTIL_GUIDER_HISTORY];  // the last drifts, oldest first
    int32_t count;                         // values held, 0 to 10
    int32_t side;                          // side corrected toward: 1, -1, or 0 (none chosen)
} SwitchHistory;

// Proportional-integral law.
// Given:  p, i  gains;  integral_factor  scale of the integral term;  min_move  dead band
//         drift, avg_drift  latest and averaged drift
// Result: 0 when |drift| < min_move, else -(p drift + i avg_drift integral_factor)
double kestil_guider_pi_response(double p, double i, double integral_factor, double min_move,
                                 double drift, double avg_drift);

// Hysteresis law.
// Given:  aggressiveness, hysteresis (0..1), min_move, drift
// Given and returned: last  caller-owned, carried from call to call (null: taken as 0)
// Result: 0 when |drift| < min_move, else -aggressiveness ((1 - hysteresis) drift +
//         hysteresis last); last becomes minus the result
double kestil_guider_hysteresis_response(double aggressiveness, double hysteresis,
                                         double min_move, double drift, double* last);

// Appends a drift to the ring, dropping the oldest when it holds 10.
void kestil_guider_linear_trend_push(double drift, TrendHistory* history);

// Linear-trend law: with 4 or more drifts held, a least-squares line through them predicts the
// correction (n times the slope times aggressiveness) unless it exceeds the drift; a rejected
// prediction falls back to the proportional correction, and a fourth successive rejection or an
// outlier (beyond 4 min_move) clears the history. A min_move of 0 or less counts as 0.2 there.
// Result: the correction; 0 with an empty history or when |drift| < min_move
double kestil_guider_linear_trend_response(double aggressiveness, double min_move, double drift,
                                           TrendHistory* history);

// Appends a drift, dropping the oldest when the history holds 10.
void kestil_guider_resist_switch_push(double drift, SwitchHistory* history);

// Resist-switch law for the latest drift of the history: corrects only toward the chosen side;
// changes side when at least 3 net votes of drifts beyond min_move point the other way and the
// drift grows, or at once when an opposite drift exceeds fast_thresh (> 0).
// Result: -aggressiveness times the latest drift, or 0
double kestil_guider_resist_switch_response(double aggressiveness, double fast_thresh,
                                            double min_move, SwitchHistory* history);

// Lag-one correlation of the last `count` values of a 200-entry ring ending just before
// next_index, of their residuals from the median clipped at 4 robust sigmas (1.4826 MAD).
// Returned: valid  (may be null) 1 when a value was computed, else 0
// Result: the correlation in [-1, 1]; 0 when count is below 100 or above 200, or the values
//         are all equal
double kestil_guider_correction_response(const double* ring, int count, int next_index,
                                         uint8_t* valid);

#ifdef __cplusplus
}
#endif

#endif
