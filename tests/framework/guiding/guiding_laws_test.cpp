// Tests of framework/guiding/guiding_laws: each law's stated behaviour, worked by hand.
#include "framework/guiding/guiding_laws.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "framework/log.h"
#include "tests/support/log_capture.hpp"

namespace {

// Captures the debug lines of one test.
class GuidingTest : public ::testing::Test {
protected:
    test_support::LogCapture captured{3};
};

TEST_F(GuidingTest, ProportionalIntegral) {
    struct Case { double p, i, factor, min_move, drift, avg, expected; };
    const Case cases[] = {{0.8, 0.1, 2.0, 0.2, 0.1, 50.0, 0.0},     // dead band, any average
                          {0.8, 0.1, 2.0, 0.2, -0.15, -9.0, 0.0},
                          {0.8, 0.1, 2.0, 0.2, 1.0, 0.5, -0.9},     // -(0.8 + 0.1)
                          {0.5, 0.2, 3.0, 0.0, -2.0, -1.0, 1.6},    // -(-1 - 0.6)
                          {0.7, 0.0, 1.0, 0.3, 0.3, 0.0, -0.21}};   // the band edge moves
    for (const Case& c : cases) {
        EXPECT_NEAR(c.expected,
                    kestil_guider_pi_response(c.p, c.i, c.factor, c.min_move, c.drift, c.avg),
                    1e-12)  // a few products
            << c.drift;
    }
    ASSERT_EQ(std::size(cases), captured.lines().size());
    EXPECT_EQ("kestil_guider_pi_response(): P = 0.8000, I = 0.1000, response = -0.9000, "
              "drift = 1.0000, avg_drift = 0.5000",
              captured.lines()[2]);
}

TEST_F(GuidingTest, Hysteresis) {
    double last = 0.0;
    // Hysteresis 0 is the proportional law.
    EXPECT_NEAR(-0.6, kestil_guider_hysteresis_response(0.6, 0.0, 0.1, 1.0, &last), 1e-15);
    EXPECT_NEAR(0.6, last, 1e-15);
    // Blending: 0.5 * 2 + 0.5 * 0.6 = 1.3, times 0.6.
    EXPECT_NEAR(-0.78, kestil_guider_hysteresis_response(0.6, 0.5, 0.1, 2.0, &last), 1e-15);
    EXPECT_NEAR(0.78, last, 1e-15);
    // Inside the dead band: 0, and the carried value resets.
    EXPECT_EQ(0.0, kestil_guider_hysteresis_response(0.6, 0.5, 0.5, 0.4, &last));
    EXPECT_EQ(0.0, last);
    EXPECT_NEAR(0.9, kestil_guider_hysteresis_response(1.0, 0.0, 0.0, -0.9, nullptr), 1e-15);
    ASSERT_EQ(4u, captured.lines().size());
    EXPECT_EQ("kestil_guider_hysteresis_response(): aggressiveness = 0.6000, hysteresis = 0.5000, "
              "min_move = 0.1000, response = -0.7800, drift = 2.0000, blended = 1.3000",
              captured.lines()[1]);
}

TEST_F(GuidingTest, LinearTrendPushKeepsTheLastTen) {
    TrendHistory h{};
    for (int k = 1; k <= 13; ++k) kestil_guider_linear_trend_push(k, &h);
    EXPECT_EQ(10, h.samples);
    EXPECT_EQ(3, h.start);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(4.0 + k, h.values[(h.start + k) % 10]) << k;
    // A record with counters out of range is brought back into range, not overrun.
    TrendHistory broken{};
    broken.start = 57;
    broken.samples = 99;
    kestil_guider_linear_trend_push(1.0, &broken);
    EXPECT_EQ(10, broken.samples);
    EXPECT_EQ(8, broken.start);
}

// A history holding the given values, oldest first.
TrendHistory trend_of(std::initializer_list<double> values) {
    TrendHistory h{};
    for (double v : values) kestil_guider_linear_trend_push(v, &h);
    return h;
}

TEST_F(GuidingTest, LinearTrendLaw) {
    struct Case {
        std::initializer_list<double> history;
        double aggressiveness, min_move, drift, expected;
        int samples_after, rejects_after;
        const char* what;
    };
    const Case cases[] = {
        {{}, 1.0, 0.1, 0.5, 0.0, 0, 0, "empty history"},
        {{0.5, 0.6}, 1.0, 0.1, 0.05, 0.0, 2, 0, "dead band"},
        {{0.5, 0.6, 0.7}, 0.8, 0.1, 0.5, -0.4, 3, 0, "three values: proportional"},
        {{0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3}, 1.0, 0.1, 0.3, 0.0, 10, 0,
         "ten equal drifts: slope 0, correction 0"},
        // slope 0.1, candidate 4 * 0.1 = 0.4 <= 0.5: accepted
        {{0.1, 0.2, 0.3, 0.4}, 1.0, 0.2, 0.5, -0.4, 4, 0, "trend accepted"},
        // slope -0.1 opposes the drift: candidate 0
        {{0.4, 0.3, 0.2, 0.1}, 1.0, 0.2, 0.5, 0.0, 4, 0, "opposite trend ignored"},
        // 1.0 > 4 * 0.2: outlier, history cleared, proportional 0.5 * 1.0
        {{0.1, 0.2, 0.3, 0.4}, 0.5, 0.2, 1.0, -0.5, 0, 0, "outlier clears"},
        // min_move 0 counts as 0.2: 0.9 is an outlier
        {{0.1, 0.2, 0.3, 0.4}, 0.5, 0.0, 0.9, -0.45, 0, 0, "min_move 0 counts as 0.2"},
        // slope 1, candidate 4 > 0.5: rejected, proportional used
        {{0.0, 1.0, 2.0, 3.0}, 1.0, 0.2, 0.5, -0.5, 4, 1, "steep trend rejected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TrendHistory h = trend_of(c.history);
        EXPECT_NEAR(c.expected,
                    kestil_guider_linear_trend_response(c.aggressiveness, c.min_move, c.drift, &h),
                    1e-12);  // least-squares sums of a few terms
        EXPECT_EQ(c.samples_after, h.samples);
        EXPECT_EQ(c.rejects_after, h.rejects);
    }
}

TEST_F(GuidingTest, LinearTrendFourRejectionsClearTheHistory) {
    TrendHistory h = trend_of({0.0, 1.0, 2.0, 3.0});
    for (int k = 1; k <= 3; ++k) {
        EXPECT_NEAR(-0.5, kestil_guider_linear_trend_response(1.0, 0.2, 0.5, &h), 1e-12);
        EXPECT_EQ(k, h.rejects);
        EXPECT_EQ(4, h.samples);
    }
    captured.clear();
    EXPECT_NEAR(-0.5, kestil_guider_linear_trend_response(1.0, 0.2, 0.5, &h), 1e-12);
    EXPECT_EQ(0, h.rejects);
    EXPECT_EQ(0, h.samples);
    ASSERT_EQ(2u, captured.lines().size());
    EXPECT_EQ("kestil_guider_linear_trend_response(): Linear Trend history cleared, "
              "3 successive rejected correction values",
              captured.lines()[0]);
    EXPECT_EQ("kestil_guider_linear_trend_response(): aggressiveness=1.0000 response=-0.5000 "
              "drift=0.5000 slope=1.0000 samples=4 rejects=0",
              captured.lines()[1]);
    // An accepted candidate resets the count.
    h = trend_of({0.1, 0.2, 0.3, 0.4});
    h.rejects = 2;
    kestil_guider_linear_trend_response(1.0, 0.2, 0.5, &h);
    EXPECT_EQ(0, h.rejects);
}

TEST_F(GuidingTest, LinearTrendOutlierLine) {
    TrendHistory h = trend_of({0.1, 0.2, 0.3, 0.4});
    kestil_guider_linear_trend_response(0.5, 0.2, 1.0, &h);
    ASSERT_EQ(2u, captured.lines().size());
    EXPECT_EQ("kestil_guider_linear_trend_response(): Linear Trend history cleared, outlier "
              "deflection drift=1.0000 min_move=0.2000",
              captured.lines()[0]);
}

TEST_F(GuidingTest, ResistSwitchPushKeepsTheLastTen) {
    SwitchHistory h{};
    for (int k = 1; k <= 12; ++k) kestil_guider_resist_switch_push(k, &h);
    EXPECT_EQ(10, h.count);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(3.0 + k, h.values[k]);
    SwitchHistory broken{};
    broken.count = 1000;  // out of range: treated as full, not overrun
    kestil_guider_resist_switch_push(5.0, &broken);
    EXPECT_EQ(10, broken.count);
    EXPECT_EQ(5.0, broken.values[9]);
}

TEST_F(GuidingTest, ResistSwitchChoosesASide) {
    SwitchHistory h{};
    EXPECT_EQ(0.0, kestil_guider_resist_switch_response(0.7, 0.0, 0.1, &h));  // empty
    EXPECT_TRUE(captured.lines().empty());

    kestil_guider_resist_switch_push(0.3, &h);
    EXPECT_EQ(0.0, kestil_guider_resist_switch_response(0.7, 0.0, 0.1, &h));  // one vote
    kestil_guider_resist_switch_push(0.4, &h);
    EXPECT_EQ(0.0, kestil_guider_resist_switch_response(0.7, 0.0, 0.1, &h));  // two votes
    EXPECT_EQ(0, h.side);
    kestil_guider_resist_switch_push(0.5, &h);
    // Three votes and the drift grows (newest three sum equals oldest three: 1.2 each, so with
    // exactly three values it is not growing): still 0.
    EXPECT_EQ(0.0, kestil_guider_resist_switch_response(0.7, 0.0, 0.1, &h));
    kestil_guider_resist_switch_push(0.6, &h);
    // Oldest three 1.2, newest three 1.5: side +1, correction -0.7 * 0.6.
    EXPECT_NEAR(-0.42, kestil_guider_resist_switch_response(0.7, 0.0, 0.1, &h), 1e-15);
    EXPECT_EQ(1, h.side);
    EXPECT_EQ("kestil_guider_resist_switch_response(): aggressiveness=0.7000 min_move=0.1000 "
              "fast_thresh=0.0000 drift=0.6000 current_side=1 direction_votes=4 "
              "response=-0.4200",
              captured.lines().back());

    // A small opposite drift is resisted: the side stays and nothing is corrected.
    kestil_guider_resist_switch_push(-0.2, &h);
    EXPECT_EQ(0.0, kestil_guider_resist_switch_response(0.7, 0.0, 0.1, &h));
    EXPECT_EQ(1, h.side);
    // A drift in the dead band gives 0 with no votes counted.
    kestil_guider_resist_switch_push(0.05, &h);
    EXPECT_EQ(0.0, kestil_guider_resist_switch_response(0.7, 0.0, 0.1, &h));
    EXPECT_NE(std::string::npos, captured.lines().back().find("direction_votes=0 response=0.0000"));
}

TEST_F(GuidingTest, ResistSwitchFastSwitch) {
    SwitchHistory h{};
    for (double d : {0.3, 0.4, 0.5, 0.6, 0.7}) kestil_guider_resist_switch_push(d, &h);
    kestil_guider_resist_switch_response(1.0, 1.0, 0.1, &h);
    ASSERT_EQ(1, h.side);
    kestil_guider_resist_switch_push(-1.5, &h);  // opposite and beyond fast_thresh 1.0
    // History rewritten to 0, 0, 0, -1.5, -1.5, -1.5: three votes against, the newest sum
    // outgrows the oldest: side -1 at once, correction +1.5.
    EXPECT_NEAR(1.5, kestil_guider_resist_switch_response(1.0, 1.0, 0.1, &h), 1e-15);
    EXPECT_EQ(-1, h.side);
    const double expected[] = {0.0, 0.0, 0.0, -1.5, -1.5, -1.5};
    ASSERT_EQ(6, h.count);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(expected[k], h.values[k]) << k;

    // Without fast_thresh the same drift is resisted.
    SwitchHistory slow{};
    for (double d : {0.3, 0.4, 0.5, 0.6, 0.7}) kestil_guider_resist_switch_push(d, &slow);
    kestil_guider_resist_switch_response(1.0, 0.0, 0.1, &slow);
    kestil_guider_resist_switch_push(-1.5, &slow);
    EXPECT_EQ(0.0, kestil_guider_resist_switch_response(1.0, 0.0, 0.1, &slow));
    EXPECT_EQ(1, slow.side);
}

// Fills a 200-entry ring with n values of f(k), writing on from `start`.
template <typename F>
int fill_ring(double* ring, int n, int start, F f) {
    for (int k = 0; k < n; ++k) ring[(start + k) % 200] = f(k);
    return (start + n) % 200;
}

TEST_F(GuidingTest, CorrelationOfSuccessiveDrifts) {
    double ring[200] = {};
    struct Case { int count, start; double low, high; bool valid; const char* what; };
    // Alternating +-1: median 0, residuals +-1, lagged products -(n - 1) over n = -0.99.
    const Case cases[] = {{100, 0, -0.991, -0.989, true, "alternating"},
                          {100, 150, -0.991, -0.989, true, "alternating across the ring's end"},
                          {99, 0, 0.0, 0.0, false, "99 values: not computed"},
                          {201, 0, 0.0, 0.0, false, "more than the ring holds"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int next = fill_ring(ring, std::min(c.count, 200), c.start,
                                   [](int k) { return k % 2 ? -1.0 : 1.0; });
        uint8_t valid = 7;
        const double r = kestil_guider_correction_response(ring, c.count, next, &valid);
        EXPECT_EQ(c.valid ? 1 : 0, valid);
        EXPECT_GE(r, c.low);
        EXPECT_LE(r, c.high);
    }
    const int next = fill_ring(ring, 150, 20, [](int k) { return 0.01 * k; });
    uint8_t valid = 0;
    const double ramp = kestil_guider_correction_response(ring, 150, next, &valid);
    EXPECT_EQ(1, valid);
    EXPECT_GT(ramp, 0.95);
    EXPECT_LT(ramp, 1.0);
    // All equal: nothing to correlate.
    fill_ring(ring, 200, 0, [](int) { return 0.25; });
    EXPECT_EQ(0.0, kestil_guider_correction_response(ring, 120, 0, &valid));
    EXPECT_EQ(0, valid);
    EXPECT_EQ(0.0, kestil_guider_correction_response(ring, 120, 0, nullptr));
}

TEST_F(GuidingTest, CorrelationClipsOutliers) {
    // Alternating +-1 with one wild value: clipped at 4 sigma (4 * 1.4826), it barely moves the
    // result; unclipped it would dominate (1e6^2 against 100).
    double ring[200] = {};
    const int next = fill_ring(ring, 100, 0, [](int k) { return k % 2 ? -1.0 : 1.0; });
    ring[50] = 1e6;
    uint8_t valid = 0;
    const double r = kestil_guider_correction_response(ring, 100, next, &valid);
    EXPECT_EQ(1, valid);
    EXPECT_LT(r, -0.8);
}

}  // namespace
