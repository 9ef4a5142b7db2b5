// Shared helpers of the timer and work-queue tests: a log capture through the log hook, a gate
// that holds a callback until the test opens it, and bounded waits for states read under the
// module's locks.
#ifndef KESTIL_TESTS_FRAMEWORK_TIMERS_TIMERS_TEST_SUPPORT_HPP
#define KESTIL_TESTS_FRAMEWORK_TIMERS_TIMERS_TEST_SUPPORT_HPP

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/log.h"
#include "framework/timers/timers_internal.hpp"
#include "tests/support/log_capture.hpp"

namespace timers_test {

// Generous bound for every wait: far beyond any run on a loaded machine or under a sanitizer.
constexpr std::chrono::seconds wait_bound{60};

// A one-shot latch: wait() returns once open() was called, or false after the bound.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, wait_bound, [this] { return open_; });
    }
    bool is_open() {
        std::lock_guard<std::mutex> guard(mutex_);
        return open_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Polls a condition read under the module's own locks (which the module does not signal to the
// test) every millisecond, up to the bound. Result: the condition held.
inline bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + wait_bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Every test leaves no timer, queue or unjoined callback thread behind, so that the next test
// starts clean and the leak checker sees nothing at exit.
class TimersFixture : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(eventually([] { return kestil_timers_internal::live_timer_count() == 0; }));
        EXPECT_TRUE(eventually([] { return kestil_timers_internal::unjoined_thread_count() == 0; }));
        EXPECT_TRUE(eventually([] { return kestil_timers_internal::live_queue_count() == 0; }));
        kestil_timers_internal::set_dispatch_observer(nullptr);
    }
    test_support::LogCapture log_;  // the test's log lines; the level is restored afterwards
};

}  // namespace timers_test

#endif
