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

// The log lines of the running test through the shared capture, reachable from anywhere in the
// test while the fixture has it installed.
class LogCapture {
public:
    static void install() { capture() = std::make_unique<test_support::LogCapture>(); }
    static void uninstall() { capture().reset(); }
    static void clear() { capture()->clear(); }
    static std::vector<test_support::LogLine> snapshot() { return capture()->entries(); }
    // Number of lines equal to text.
    static int count(const std::string& text) {
        int found = 0;
        for (const auto& line : snapshot())
            if (line.line == text) ++found;
        return found;
    }
    // Number of lines starting with prefix.
    static int count_prefix(const std::string& prefix) {
        int found = 0;
        for (const auto& line : snapshot())
            if (line.line.rfind(prefix, 0) == 0) ++found;
        return found;
    }

private:
    static std::unique_ptr<test_support::LogCapture>& capture() {
        static std::unique_ptr<test_support::LogCapture> instance;
        return instance;
    }
};

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
    void SetUp() override {
        saved_level_ = kestil_get_log_level();
        LogCapture::install();
    }
    void TearDown() override {
        EXPECT_TRUE(eventually([] { return kestil_timers_internal::live_timer_count() == 0; }));
        EXPECT_TRUE(eventually([] { return kestil_timers_internal::unjoined_thread_count() == 0; }));
        EXPECT_TRUE(eventually([] { return kestil_timers_internal::live_queue_count() == 0; }));
        kestil_timers_internal::set_dispatch_observer(nullptr);
        LogCapture::uninstall();
        kestil_set_log_level(saved_level_);
    }

private:
    int saved_level_ = 1;
};

}  // namespace timers_test

#endif
