// framework/clock.cpp - the two clocks of the framework
#include "framework/clock.h"

#include <time.h>

extern "C" double kestil_monotonic_time(void) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

extern "C" void kestil_realtime(int64_t* seconds, int32_t* nanoseconds) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (seconds) *seconds = now.tv_sec;
    if (nanoseconds) *nanoseconds = static_cast<int32_t>(now.tv_nsec);
}
