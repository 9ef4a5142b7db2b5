// Tests of the number text: lenient decimal reading, sexagesimal reading, field rounding with
// carries, the sign rules and the buffer bounds of the writers.
#include "framework/sexagesimal.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <string>

namespace {

TEST(Sexagesimal, AtodReadsLeniently) {
    struct Case { const char* text; double expected; };
    const Case cases[] = {
        {" 12,5", 12.5},   {"1e3", 1000.0},   {"0e9", 0.0},    {"12abc", 12.0},
        {"", 0.0},         {"-2.25", -2.25},  {"+7", 7.0},     {"2.5E-1", 0.25},
        {"  .5", 0.5},     {"3.", 3.0},       {"1e+2x", 100.0}, {"\t5", 0.0},  // tab is no blank
        {"0.000001", 1e-6}, {"12.34567890123456789012", 12.34567890123456789012},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        // Decimal fractions are not exact in binary: a few ulps apart at most.
        EXPECT_DOUBLE_EQ(c.expected, kestil_atod(c.text));
    }
    EXPECT_TRUE(signbit(kestil_atod("-0")));
    EXPECT_FALSE(signbit(kestil_atod("0")));
}

TEST(Sexagesimal, StodReadsFieldsAwayFromZero) {
    struct Case { const char* text; double expected; };
    const Case cases[] = {
        {"10", 10.0},          {"-10:30", -10.5},       {"-0:30", -0.5},
        {"-0:30:00", -0.5},    {"-0:00:36", -0.01},     {"12:30", 12.5},
        {"12:30:36", 12.51},   {"12*30'36", 12.51},     {"12'30'36", 12.51},
        {"12\xDF" "30:36", 12.51}, {"-12:30:00", -12.5}, {"23:59:59.9", 23.0 + 59.0 / 60 + 59.9 / 3600},
        {"+45:15", 45.25},     {"1,5", 1.5},            {"", 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        // Sums of a few rounded terms: a few ulps apart at most.
        EXPECT_DOUBLE_EQ(c.expected, kestil_stod(c.text));
    }
}

TEST(Sexagesimal, StodReadsAtMost127Bytes) {
    // 125 blanks and "12:30": the bytes after the 127th are not read, so the separator and
    // the minutes are lost and 12 remains; a shorter padding keeps the minutes.
    std::string far = std::string(125, ' ') + "12:30";
    EXPECT_EQ(12.0, kestil_stod(far.c_str()));
    std::string near = std::string(100, ' ') + "12:30";
    EXPECT_DOUBLE_EQ(12.5, kestil_stod(near.c_str()));
}

TEST(Sexagesimal, DtosRoundsAndCarries) {
    struct Case { double value; const char* format; const char* expected; };
    const Case cases[] = {
        {12.5, "%d:%02d:%05.2f", "12:30:00.00"},
        {-0.5, "%d:%02d:%05.2f", "-0:30:00.00"},
        {1.99999999, "%d:%02d:%05.2f", "2:00:00.00"},       // seconds and minutes carry
        {23.9999999, "%d:%02d:%05.2f", "24:00:00.00"},      // the hours never wrap
        {359.99999999, "%d:%02d:%04.1f", "360:00:00.0"},
        {45.9999, "%d:%02d:%04.1f", "45:59:59.6"},
        {-45.25, "%d:%02d:%04.1f", "-45:15:00.0"},
        {10.5, "%+d:%02d", "+10:30"},
        {-10.5, "%+d:%02d", "-10:30"},
        {10.999, "%d:%02d", "11:00"},                         // minutes round and carry
        {1.0 + 59.5 / 60, "%d:%02d", "2:00"},                 // 59.5 minutes round up
        {1.0 + 29.0 / 60 + 59.6 / 3600, "%+03d:%02d:%02d", "+01:30:00"},
        {-5.999999, "%+03d:%02d:%02d", "-06:00:00"},
        {7.25, "%d", "7"},
        {1.0 + 59.96 / 60, "%d:%04.1f", "2:00.0"},            // minutes with decimals carry
        {2.0 + 3.0 / 60 + 4.56789 / 3600, "%d:%02d:%07.4f", "2:03:04.5679"},
        {2.0 + 3.0 / 60 + 4.6 / 3600, "%d:%02d:%02.0f", "2:03:05"},
        {-1.5, "%g", "-1.5"},
        {2.125, "%.3f", "2.125"},
        {12.5, nullptr, "12:30:00.00"},                        // null is the hours format
        {-0.0, "%d:%02d:%05.2f", "0:00:00.00"},                // negative zero gets no sign
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format ? c.format : "null") + " " + std::to_string(c.value));
        char buffer[32];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_STREQ(c.expected, kestil_dtos_r(c.value, c.format, buffer, sizeof buffer));
    }
}

TEST(Sexagesimal, DtosRespectsSmallBuffers) {
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(buffer, kestil_dtos_r(-1.5, nullptr, buffer, 0));
    EXPECT_EQ('x', buffer[0]);  // size 0: untouched

    EXPECT_STREQ("", kestil_dtos_r(-1.5, nullptr, buffer, 1));  // no room for a sign
    EXPECT_EQ('x', buffer[1]);

    // Size 6: the text "1:30:" (5 characters) is cut to 4 to make room for the sign.
    memset(buffer, 'x', sizeof buffer);
    EXPECT_STREQ("-1:30", kestil_dtos_r(-1.5, nullptr, buffer, 6));
    EXPECT_EQ('x', buffer[6]);

    memset(buffer, 'x', sizeof buffer);
    EXPECT_STREQ("1:3", kestil_dtos_r(1.5, nullptr, buffer, 4));
}

TEST(Sexagesimal, DtosOfValuesNoAngleReaches) {
    char buffer[32];
    EXPECT_STREQ("0:00:00.00", kestil_dtos_r(NAN, nullptr, buffer, sizeof buffer));
    EXPECT_STREQ("2147483646:00:00.00", kestil_dtos_r(1e300, nullptr, buffer, sizeof buffer));
    EXPECT_STREQ("-2147483646:00", kestil_dtos_r(-INFINITY, "%d:%02d", buffer, sizeof buffer));
    EXPECT_STREQ("inf", kestil_dtos_r(INFINITY, "%g", buffer, sizeof buffer));
}

TEST(Sexagesimal, DtosRotatesFourBuffers) {
    char* results[5];
    for (int i = 0; i < 5; ++i) results[i] = kestil_dtos(i + 1.5, "%d:%02d");
    EXPECT_EQ(results[0], results[4]);  // the fifth reuses the first buffer
    EXPECT_STREQ("2:30", results[1]);   // the last four stay valid
    EXPECT_STREQ("3:30", results[2]);
    EXPECT_STREQ("4:30", results[3]);
    EXPECT_STREQ("5:30", results[4]);
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) EXPECT_NE(results[i], results[j]);
}

TEST(Sexagesimal, DtoaWritesTenSignificantDigits) {
    struct Case { double value; const char* expected; };
    const Case cases[] = {{0.1, "0.1"}, {1234567.891234, "1234567.891"}, {-2.5e-300, "-2.5e-300"},
                          {1.0 / 3.0, "0.3333333333"}, {-1.234567891e-308, "-1.234567891e-308"}};
    for (const Case& c : cases) {
        char buffer[KESTIL_DTOA_SIZE];
        EXPECT_STREQ(c.expected, kestil_dtoa(c.value, buffer));
    }
}

TEST(Sexagesimal, FormatAndParseRoundTrip) {
    // Written with seconds to two decimals and read back: within half a unit of the last
    // written digit (0.005 s = 1.4e-6 h), whatever the sign.
    const double values[] = {0.0, 0.01, 5.123456, -5.123456, 23.999, -89.999999, -0.25};
    for (double v : values) {
        char buffer[32];
        kestil_dtos_r(v, "%d:%02d:%05.2f", buffer, sizeof buffer);
        SCOPED_TRACE(buffer);
        EXPECT_NEAR(v, kestil_stod(buffer), 0.005 / 3600 + 1e-12);
    }
}

}  // namespace
