// Tests of the one-shot timers: due times and due order, the reference slot rules and their
// messages, rescheduling and cancelling from the callback and from other threads, cancel-all.
#include "framework/timers/timers.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/clock.h"
#include "framework/timers/timers_internal.hpp"
#include "tests/framework/timers/timers_test_support.hpp"

namespace {

using kestil_timers_internal::read_reference;
using timers_test::eventually;
using timers_test::Gate;

constexpr double far_delay = 3600;  // keeps a timer pending for the whole test

// An owner in the way the bus embeds it: the timer part first, then the test's own state.
struct TestOwner {
    KestilTimerOwner timer_owner{true, nullptr};
    KestilTimer* slot = nullptr;
    std::atomic<int> runs{0};
    Gate entered;
    Gate release;
    std::atomic<bool> returned{false};
    std::atomic<double> run_started[4] = {0.0, 0.0, 0.0, 0.0};
    std::atomic<bool> result{false};
    pthread_mutex_t* mutex = nullptr;
    std::atomic<int> trylock_status{-1};
    void* data_seen = nullptr;
    // The owner must outlive its timers, which end just after their callbacks return (and after
    // their slot was emptied by a cancel from the callback).
    ~TestOwner() {
        EXPECT_TRUE(eventually([] { return kestil_timers_internal::live_timer_count() == 0; }));
    }
};

TestOwner* test_owner(KestilTimerOwner* owner) { return reinterpret_cast<TestOwner*>(owner); }

bool slot_empty(KestilTimer** slot) { return read_reference(slot) == nullptr; }

std::string with_id(const char* format, const KestilTimer* timer) {
    char text[160];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(timer->id));
    return text;
}

int64_t total_nanoseconds(const KestilWallTime& time) {
    return time.seconds * 1000000000LL + time.nanoseconds;
}

class Timers : public timers_test::TimersFixture {};

TEST_F(Timers, DelayToTime) {
    EXPECT_EQ(0, kestil_delay_to_time(0).seconds);
    EXPECT_EQ(0, kestil_delay_to_time(0).nanoseconds);
    struct Case { double delay; int64_t delay_ns; };
    const Case cases[] = {{1.5, 1500000000LL}, {-1.25, -1250000000LL}, {2.000000001, 2000000001LL},
                          {0.25, 250000000LL}, {-0.000000001, -1LL}, {86400.75, 86400750000000LL}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delay);
        KestilWallTime before{}, after{};
        kestil_realtime(&before.seconds, &before.nanoseconds);
        const KestilWallTime due = kestil_delay_to_time(c.delay);
        kestil_realtime(&after.seconds, &after.nanoseconds);
        EXPECT_GE(due.nanoseconds, 0);
        EXPECT_LE(due.nanoseconds, 999999999);
        if (c.delay_ns % 100 == 0) {
            EXPECT_EQ(0, due.nanoseconds % 100);  // the wall clock's 100 ns resolution
        }
        // Bounds: the clock is read between before and after and cut to 100 ns; the delay's
        // fraction is converted to whole nanoseconds by truncation (1 ns either way).
        EXPECT_GE(total_nanoseconds(due), total_nanoseconds(before) - 100 + c.delay_ns - 1);
        EXPECT_LE(total_nanoseconds(due), total_nanoseconds(after) + c.delay_ns + 1);
    }
}

TEST_F(Timers, DelayToTimeClampsDelaysBeyondRange) {
    // Delays beyond 1e12 s (about 31,700 years) are clamped so that the integer conversion
    // stays defined; NaN counts as the most negative delay (due at once).
    struct Case { double delay; int64_t offset_seconds; };
    const Case cases[] = {{1e300, 1000000000000LL}, {-1e300, -1000000000000LL},
                          {std::numeric_limits<double>::infinity(), 1000000000000LL},
                          {std::numeric_limits<double>::quiet_NaN(), -1000000000000LL}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delay);
        int64_t before = 0, after = 0;
        kestil_realtime(&before, nullptr);
        const KestilWallTime due = kestil_delay_to_time(c.delay);
        kestil_realtime(&after, nullptr);
        EXPECT_GE(due.seconds, before + c.offset_seconds);
        EXPECT_LE(due.seconds, after + c.offset_seconds + 1);  // + the clock's fraction
    }
}

TEST_F(Timers, DueOrderIsSecondsNanosecondsThenSerial) {
    struct Case { KestilWallTime a; uint64_t a_id; KestilWallTime b; uint64_t b_id; bool before; };
    const Case cases[] = {
        {{1, 999999999}, 9, {2, 0}, 0, true},  // seconds decide before nanoseconds
        {{2, 0}, 0, {1, 999999999}, 9, false},
        {{5, 5}, 9, {5, 6}, 0, true},          // then nanoseconds
        {{5, 6}, 0, {5, 5}, 9, false},
        {{0, 0}, 3, {0, 0}, 4, true},          // then the smaller serial number
        {{0, 0}, 4, {0, 0}, 3, false},
        {{7, 7}, 4, {7, 7}, 4, false},         // strict
    };
    for (const Case& c : cases) {
        KestilTimer a{}, b{};
        a.due = c.a;
        a.id = c.a_id;
        b.due = c.b;
        b.id = c.b_id;
        EXPECT_EQ(c.before, kestil_timers_internal::due_before(&a, &b))
            << c.a.seconds << "." << c.a.nanoseconds << "#" << c.a_id << " vs " << c.b.seconds
            << "." << c.b.nanoseconds << "#" << c.b_id;
    }
}

// Holds a callback thread at its exit (thread-local destructor) until the gate opens, which
// keeps the scheduler in its join of that thread, before it starts any further timer.
Gate exit_gate;
Gate exit_reached;
struct ExitBlocker {
    bool armed = false;
    ~ExitBlocker() {
        if (!armed) return;
        exit_reached.open();
        exit_gate.wait();
    }
};
void blocking_exit_callback(KestilTimerOwner*) {
    static thread_local ExitBlocker blocker;
    blocker.armed = true;
}

std::mutex dispatched_mutex;
std::vector<uint64_t> dispatched;
void record_dispatch(uint64_t id) {
    std::lock_guard<std::mutex> guard(dispatched_mutex);
    dispatched.push_back(id);
}
void count_run(KestilTimerOwner* owner) { ++test_owner(owner)->runs; }

TEST_F(Timers, ZeroDelayTimersRunAtOnceInCreationOrder) {
    KestilTimer* blocker = nullptr;
    ASSERT_TRUE(kestil_set_timer(nullptr, 0, blocking_exit_callback, &blocker));
    ASSERT_TRUE(exit_reached.wait());
    // The scheduler now joins the blocked thread: the timers set below all wait in the due list,
    // all due at {0, 0}, and are started by serial number once the gate opens.
    {
        std::lock_guard<std::mutex> guard(dispatched_mutex);
        dispatched.clear();
    }
    kestil_timers_internal::set_dispatch_observer(record_dispatch);
    TestOwner owner;
    KestilTimer* slots[6] = {};
    std::vector<uint64_t> ids;
    for (KestilTimer*& slot : slots) {
        ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, count_run, &slot));
        ids.push_back(slot->id);
    }
    exit_gate.open();
    ASSERT_TRUE(eventually([&] { return owner.runs.load() == 6; }));
    for (KestilTimer*& slot : slots) EXPECT_TRUE(eventually([&] { return slot_empty(&slot); }));
    kestil_timers_internal::set_dispatch_observer(nullptr);
    std::lock_guard<std::mutex> guard(dispatched_mutex);
    EXPECT_EQ(ids, dispatched);
}

TEST_F(Timers, ReferenceSlotRulesAndMessages) {
    TestOwner owner;
    KestilTimer* slot = nullptr;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, far_delay, count_run, &slot));
    KestilTimer* const first = slot;

    // A slot that still holds a live timer is refused and keeps its timer.
    EXPECT_FALSE(kestil_set_timer(&owner.timer_owner, 0, count_run, &slot));
    EXPECT_EQ(1, log_.count("Attempt to set timer with non-NULL reference"));
    EXPECT_EQ(first, slot);
    EXPECT_EQ(KESTIL_TIMER_PENDING, first->state);

    // A copy of the slot names a live timer whose slot is another variable.
    KestilTimer* copy = slot;
    struct Case { const char* what; std::function<bool()> operation; std::string message; };
    const std::vector<Case> foreign = {
        {"cancel", [&] { return kestil_cancel_timer(nullptr, &copy); },
         with_id("timer #%llu - attempt to cancel timer with outdated reference!", first)},
        {"reschedule", [&] { return kestil_reschedule_timer(nullptr, 1, &copy); },
         with_id("timer #%llu - attempt to reschedule timer with outdated reference!", first)},
        {"reschedule with callback",
         [&] { return kestil_reschedule_timer_with_callback(nullptr, 1, count_run, &copy); },
         with_id("timer #%llu - attempt to reschedule timer with outdated reference!", first)},
        {"synchronous cancel", [&] { return kestil_cancel_timer_sync(nullptr, &copy); },
         "Attempt to cancel timer with outdated reference!"},
    };
    for (const Case& c : foreign) {
        SCOPED_TRACE(c.what);
        log_.clear();
        EXPECT_FALSE(c.operation());
        EXPECT_EQ(1, log_.count(c.message));
        EXPECT_EQ(first, slot);  // changed nothing
        EXPECT_EQ(KESTIL_TIMER_PENDING, first->state);
    }

    EXPECT_TRUE(kestil_cancel_timer(&owner.timer_owner, &slot));
    EXPECT_EQ(nullptr, slot);
    EXPECT_EQ(nullptr, owner.timer_owner.timers);

    // The copy now names a freed timer: outdated, never followed. Empty slots: silent for the
    // cancels, an error for rescheduling.
    KestilTimer* empty = nullptr;
    const std::vector<Case> stale = {
        {"cancel outdated", [&] { return kestil_cancel_timer(nullptr, &copy); },
         "Attempt to cancel timer with outdated reference!"},
        {"sync cancel outdated", [&] { return kestil_cancel_timer_sync(nullptr, &copy); },
         "Attempt to cancel timer with outdated reference!"},
        {"reschedule outdated", [&] { return kestil_reschedule_timer(nullptr, 1, &copy); },
         "Attempt to reschedule timer with outdated reference!"},
        {"reschedule empty", [&] { return kestil_reschedule_timer(nullptr, 1, &empty); },
         "Attempt to reschedule timer without reference!"},
        {"reschedule no slot", [&] { return kestil_reschedule_timer(nullptr, 1, nullptr); },
         "Attempt to reschedule timer without reference!"},
        {"reschedule with callback empty",
         [&] { return kestil_reschedule_timer_with_callback(nullptr, 1, count_run, &empty); },
         "Attempt to reschedule timer without reference!"},
        {"cancel empty", [&] { return kestil_cancel_timer(nullptr, &empty); }, ""},
        {"cancel no slot", [&] { return kestil_cancel_timer(nullptr, nullptr); }, ""},
        {"sync cancel empty", [&] { return kestil_cancel_timer_sync(nullptr, &empty); }, ""},
    };
    for (const Case& c : stale) {
        SCOPED_TRACE(c.what);
        log_.clear();
        EXPECT_FALSE(c.operation());
        const auto lines = log_.entries();
        if (c.message.empty()) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(1u, lines.size());
            EXPECT_EQ(c.message, lines[0].line);
            EXPECT_EQ(1, lines[0].level);  // an error
        }
    }
    EXPECT_EQ(0, owner.runs.load());
}

TEST_F(Timers, SlotIsEmptyAfterTheRun) {
    TestOwner owner;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, count_run, &owner.slot));
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    EXPECT_EQ(1, owner.runs.load());
    EXPECT_EQ(nullptr, owner.timer_owner.timers);
    EXPECT_FALSE(kestil_reschedule_timer(&owner.timer_owner, 0, &owner.slot));
    EXPECT_EQ(1, log_.count("Attempt to reschedule timer without reference!"));
    // The slot can take a new timer.
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, count_run, &owner.slot));
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    EXPECT_EQ(2, owner.runs.load());
}

constexpr double reschedule_delay = 0.05;

void reschedule_once(KestilTimerOwner* timer_owner) {
    TestOwner* owner = test_owner(timer_owner);
    const int run = owner->runs++;
    owner->run_started[run] = kestil_monotonic_time();
    if (run == 0) owner->result = kestil_reschedule_timer(timer_owner, reschedule_delay, &owner->slot);
}

TEST_F(Timers, CallbackReschedulesItself) {
    TestOwner owner;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, reschedule_once, &owner.slot));
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    EXPECT_TRUE(owner.result.load());
    EXPECT_EQ(2, owner.runs.load());
    // Never early: the second run is due reschedule_delay after the reschedule (the due time is
    // on the wall clock, the measurement on the monotonic one: 5 ms for clock slewing).
    EXPECT_GE(owner.run_started[1].load() - owner.run_started[0].load(), reschedule_delay - 0.005);
    EXPECT_TRUE(log_.entries().empty());
}

void second_callback(KestilTimerOwner* timer_owner) {
    TestOwner* owner = test_owner(timer_owner);
    owner->runs += 10;
}
void reschedule_with_new_callback(KestilTimerOwner* timer_owner, void* data) {
    TestOwner* owner = test_owner(timer_owner);
    owner->data_seen = data;
    ++owner->runs;
    owner->result = kestil_reschedule_timer_with_callback(timer_owner, 0, second_callback,
                                                          &owner->slot);
}

TEST_F(Timers, RescheduleWithCallbackDropsTheData) {
    TestOwner owner;
    int marker = 0;
    ASSERT_TRUE(kestil_set_timer_with_data(&owner.timer_owner, 0, reschedule_with_new_callback,
                                           &owner.slot, &marker));
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    EXPECT_TRUE(owner.result.load());
    EXPECT_EQ(&marker, owner.data_seen);
    EXPECT_EQ(11, owner.runs.load());  // the first callback once, then the second once
}

TEST_F(Timers, PendingTimerRescheduledFromAnotherThread) {
    TestOwner owner;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, far_delay, count_run, &owner.slot));
    ASSERT_TRUE(kestil_reschedule_timer(&owner.timer_owner, 0, &owner.slot));
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    EXPECT_EQ(1, owner.runs.load());
}

// On its first run reschedules itself, then waits at the gate: the timer is running while the
// test acts.
void reschedule_and_hold(KestilTimerOwner* timer_owner) {
    TestOwner* owner = test_owner(timer_owner);
    if (owner->runs++ > 0) return;
    kestil_reschedule_timer(timer_owner, 0, &owner->slot);
    owner->entered.open();
    owner->release.wait();
    owner->returned = true;
}

TEST_F(Timers, RunningTimerRefusesRescheduleFromAnotherThread) {
    TestOwner owner;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, reschedule_and_hold, &owner.slot));
    ASSERT_TRUE(owner.entered.wait());
    EXPECT_FALSE(kestil_reschedule_timer(&owner.timer_owner, 0, &owner.slot));
    EXPECT_EQ(1, log_.count("Attempt to reschedule timer without reference or canceled timer!"));
    // Its own reschedule stands: it runs again.
    owner.release.open();
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    EXPECT_EQ(2, owner.runs.load());
}

TEST_F(Timers, CancelOfARunningTimerEndsItAfterTheRun) {
    TestOwner owner;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, reschedule_and_hold, &owner.slot));
    ASSERT_TRUE(owner.entered.wait());
    EXPECT_FALSE(kestil_cancel_timer(&owner.timer_owner, &owner.slot));
    EXPECT_NE(nullptr, read_reference(&owner.slot));  // still live while it runs
    owner.release.open();
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    EXPECT_EQ(1, owner.runs.load());  // its reschedule was overruled
    EXPECT_TRUE(log_.entries().empty());
}

TEST_F(Timers, SynchronousCancelReturnsAfterTheCallback) {
    TestOwner owner;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, reschedule_and_hold, &owner.slot));
    ASSERT_TRUE(owner.entered.wait());
    std::atomic<bool> cancelled{false}, returned_first{false};
    std::thread canceller([&] {
        cancelled = kestil_cancel_timer_sync(&owner.timer_owner, &owner.slot);
        returned_first = owner.returned.load();
    });
    ASSERT_TRUE(eventually([&] { return kestil_timers_internal::sync_waiters(&owner.slot) == 1; }));
    owner.release.open();
    canceller.join();
    EXPECT_TRUE(cancelled.load());
    EXPECT_TRUE(returned_first.load());
    EXPECT_EQ(nullptr, owner.slot);
    EXPECT_EQ(1, owner.runs.load());
}

void cancel_self_sync(KestilTimerOwner* timer_owner) {
    TestOwner* owner = test_owner(timer_owner);
    ++owner->runs;
    kestil_reschedule_timer(timer_owner, 0, &owner->slot);
    owner->result = kestil_cancel_timer_sync(timer_owner, &owner->slot);  // must not wait
    owner->data_seen = owner->slot;                                        // emptied at once
    owner->entered.open();
}

TEST_F(Timers, SynchronousCancelFromItsOwnCallbackDoesNotWait) {
    TestOwner owner;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, cancel_self_sync, &owner.slot));
    ASSERT_TRUE(owner.entered.wait());
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    EXPECT_TRUE(owner.result.load());
    EXPECT_EQ(nullptr, owner.data_seen);
    EXPECT_EQ(1, owner.runs.load());
    EXPECT_EQ(nullptr, owner.timer_owner.timers);
}

void hold(KestilTimerOwner* timer_owner) {
    TestOwner* owner = test_owner(timer_owner);
    ++owner->runs;
    owner->entered.open();
    owner->release.wait();
    owner->returned = true;
}

TEST_F(Timers, CancelAllWaitsForRunningTimersOfOtherThreads) {
    TestOwner owner;
    KestilTimer* pending[3] = {};
    for (KestilTimer*& slot : pending)
        ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, far_delay, count_run, &slot));
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, hold, &owner.slot));
    ASSERT_TRUE(owner.entered.wait());
    std::atomic<bool> returned_first{false};
    std::thread canceller([&] {
        kestil_cancel_all_timers(&owner.timer_owner);
        returned_first = owner.returned.load();
    });
    ASSERT_TRUE(eventually([&] { return kestil_timers_internal::sync_waiters(&owner.slot) == 1; }));
    for (KestilTimer*& slot : pending) EXPECT_TRUE(slot_empty(&slot));  // ended before waiting
    owner.release.open();
    canceller.join();
    EXPECT_TRUE(returned_first.load());
    EXPECT_EQ(nullptr, owner.slot);
    EXPECT_EQ(nullptr, owner.timer_owner.timers);
    EXPECT_EQ(1, owner.runs.load());
}

void cancel_all_from_callback(KestilTimerOwner* timer_owner) {
    TestOwner* owner = test_owner(timer_owner);
    ++owner->runs;
    kestil_reschedule_timer(timer_owner, 0, &owner->slot);
    kestil_cancel_all_timers(timer_owner);  // its own timer is only marked
    owner->data_seen = owner->slot;
    owner->entered.open();
}

TEST_F(Timers, CancelAllFromACallbackOfTheOwner) {
    TestOwner owner;
    KestilTimer* pending[2] = {};
    for (KestilTimer*& slot : pending)
        ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, far_delay, count_run, &slot));
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, cancel_all_from_callback, &owner.slot));
    ASSERT_TRUE(owner.entered.wait());
    EXPECT_EQ(nullptr, owner.data_seen);
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    for (KestilTimer*& slot : pending) EXPECT_TRUE(slot_empty(&slot));
    EXPECT_EQ(1, owner.runs.load());
}

TEST_F(Timers, CancelAllNeedsAnOwnerWithATimerList) {
    TestOwner owner;
    owner.timer_owner.has_timer_list = false;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, far_delay, count_run, &owner.slot));
    EXPECT_EQ(nullptr, owner.timer_owner.timers);  // not linked
    kestil_cancel_all_timers(&owner.timer_owner);
    kestil_cancel_all_timers(nullptr);
    EXPECT_FALSE(slot_empty(&owner.slot));
    EXPECT_TRUE(kestil_cancel_timer(nullptr, &owner.slot));
    EXPECT_EQ(nullptr, owner.slot);
}

void try_own_mutex(KestilTimerOwner* timer_owner) {
    TestOwner* owner = test_owner(timer_owner);
    const int status = pthread_mutex_trylock(owner->mutex);
    if (status == 0) pthread_mutex_unlock(owner->mutex);
    owner->trylock_status = status;
    ++owner->runs;
}

TEST_F(Timers, MutexIsHeldAroundTheCallback) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    TestOwner owner;
    owner.mutex = &mutex;
    ASSERT_TRUE(kestil_set_timer_with_mutex(&owner.timer_owner, 0, try_own_mutex, &owner.slot,
                                            &mutex));
    ASSERT_TRUE(eventually([&] { return slot_empty(&owner.slot); }));
    EXPECT_EQ(EBUSY, owner.trylock_status.load());
    EXPECT_EQ(0, pthread_mutex_trylock(&mutex));  // released after the run
    pthread_mutex_unlock(&mutex);
}

TEST_F(Timers, TimersWithoutSlotOrOwnerRun) {
    TestOwner owner;
    owner.timer_owner.has_timer_list = false;
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0, count_run, nullptr));
    ASSERT_TRUE(kestil_set_timer(&owner.timer_owner, 0.01, count_run, nullptr));
    ASSERT_TRUE(eventually([&] { return owner.runs.load() == 2; }));
}

TEST_F(Timers, RenameThreadKeepsFifteenBytes) {
    struct Case { std::string expected; std::function<void()> rename; };
    const Case cases[] = {
        {"short", [] { kestil_rename_thread("%s", "short"); }},
        {"Timer scheduler", [] { kestil_rename_thread("Timer scheduler"); }},  // exactly 15
        {"Timer callback ", [] { kestil_rename_thread("Timer callback #%llu", 42ULL); }},
        {"Queue abcdefghi", [] { kestil_rename_thread("Queue %s", "abcdefghijklmnopqrstuvwxyz"); }},
    };
    for (const Case& c : cases) {
        std::string name;
        std::thread worker([&] {
            c.rename();
            char buffer[64] = "";
            pthread_getname_np(pthread_self(), buffer, sizeof buffer);
            name = buffer;
        });
        worker.join();
        EXPECT_EQ(c.expected, name);
    }
}

}  // namespace
