// framework/clock.h - the two clocks of the framework
// kestil_monotonic_time: seconds on a monotonic clock (CLOCK_MONOTONIC), for elapsed times and
// deadlines. kestil_realtime: UTC wall-clock time (CLOCK_REALTIME). Any thread.
#ifndef KESTIL_FRAMEWORK_CLOCK_H
#define KESTIL_FRAMEWORK_CLOCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Result: seconds since an arbitrary fixed start, nanosecond resolution.
double kestil_monotonic_time(void);

// Returned: seconds since 1970-01-01 UTC and nanoseconds 0..999999999.
void kestil_realtime(int64_t* seconds, int32_t* nanoseconds);

#ifdef __cplusplus
}
#endif

#endif
