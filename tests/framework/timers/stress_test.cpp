// Bounded multi-threaded runs of the timers and the work queues, for the thread and leak
// sanitizers: thousands of timers set, rescheduled and cancelled from several threads through
// shared slots; queues added to from several threads while being drained, then deleted from
// outside and from their own handlers. Every loop is bounded in count; the waits are bounded too.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "framework/timers/timers.h"
#include "framework/timers/timers_internal.hpp"
#include "framework/timers/work_queue.h"
#include "tests/framework/timers/timers_test_support.hpp"

namespace {

using kestil_timers_internal::live_queue_count;
using kestil_timers_internal::live_timer_count;
using timers_test::eventually;

constexpr int timer_threads = 4;
constexpr int timer_operations_per_thread = 2500;
constexpr int timer_slot_count = 64;

struct TimerStress {
    KestilTimerOwner owner{true, nullptr};
    KestilTimer* slots[timer_slot_count] = {};
    std::atomic<int> runs{0};
    std::atomic<int> sets{0};
    std::atomic<uint32_t> callback_serial{0};
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};
TimerStress* timer_stress = nullptr;

// The callbacks act on their own slot (data) or the whole table, as a device's handlers would.
void stress_callback(KestilTimerOwner* owner) {
    ++timer_stress->runs;
    const uint32_t serial = timer_stress->callback_serial++;
    KestilTimer** slot = &timer_stress->slots[serial % timer_slot_count];
    if (serial % 5 == 0) kestil_cancel_timer(owner, slot);
    if (serial % 11 == 0) kestil_set_timer(owner, 0.001, stress_callback, slot);
}

void stress_callback_with_data(KestilTimerOwner* owner, void* data) {
    ++timer_stress->runs;
    auto** slot = static_cast<KestilTimer**>(data);
    const uint32_t serial = timer_stress->callback_serial++;
    if (serial % 3 == 0)
        kestil_reschedule_timer(owner, 0.002, slot);  // its own slot: runs again
    else if (serial % 3 == 1)
        kestil_cancel_timer_sync(owner, slot);  // its own: no waiting
    else
        kestil_reschedule_timer_with_callback(owner, 0, stress_callback, slot);
}

void timer_worker(int seed) {
    std::mt19937 random(static_cast<uint32_t>(seed));
    std::uniform_int_distribution<int> pick_slot(0, timer_slot_count - 1);
    std::uniform_int_distribution<int> pick_operation(0, 7);
    std::uniform_int_distribution<int> pick_delay_ms(0, 4);
    KestilTimerOwner* owner = &timer_stress->owner;
    for (int i = 0; i < timer_operations_per_thread; ++i) {
        KestilTimer** slot = &timer_stress->slots[pick_slot(random)];
        const double delay = pick_delay_ms(random) * 0.001;
        bool set = false;
        switch (pick_operation(random)) {
        case 0: set = kestil_set_timer(owner, delay, stress_callback, slot); break;
        case 1: set = kestil_set_timer_with_data(owner, delay, stress_callback_with_data, slot, slot); break;
        case 2: set = kestil_set_timer_with_mutex(owner, delay, stress_callback, slot, &timer_stress->mutex); break;
        case 3: set = kestil_set_timer(owner, delay, stress_callback, nullptr); break;  // always set
        case 4: kestil_reschedule_timer(owner, delay, slot); break;
        case 5: kestil_reschedule_timer_with_callback(owner, delay, stress_callback, slot); break;
        case 6: kestil_cancel_timer(owner, slot); break;
        default: kestil_cancel_timer_sync(owner, slot); break;
        }
        if (set) ++timer_stress->sets;
        // Pacing only (correctness never depends on it): lets timers fall due between bursts.
        if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class Stress : public timers_test::TimersFixture {};

TEST_F(Stress, TimersFromSeveralThreads) {
    TimerStress stress;
    timer_stress = &stress;
    std::vector<std::thread> threads;
    for (int t = 0; t < timer_threads; ++t) threads.emplace_back(timer_worker, 1000 + t);
    for (std::thread& thread : threads) thread.join();
    // Callbacks may still set timers while the owner's are cancelled: repeat, bounded.
    for (int round = 0; round < 1000 && live_timer_count() > 0; ++round)
        kestil_cancel_all_timers(&stress.owner);
    EXPECT_TRUE(eventually([] { return live_timer_count() == 0; }));
    EXPECT_EQ(nullptr, stress.owner.timers);
    for (KestilTimer*& slot : stress.slots) EXPECT_EQ(nullptr, kestil_timers_internal::read_reference(&slot));
    EXPECT_GT(stress.runs.load(), 0);
    RecordProperty("timers_set", stress.sets.load());
    RecordProperty("callback_runs", stress.runs.load());
    RecordProperty("error_lines", static_cast<int>(log_.entries().size()));
    timer_stress = nullptr;
}

constexpr int queue_rounds = 16;
constexpr int queue_adders = 3;
constexpr int tasks_per_adder = 300;
constexpr int owner_count = 4;

struct QueueStress {
    KestilQueue* queue = nullptr;
    int owners[owner_count] = {};
    std::atomic<int> runs{0};
    std::atomic<int> follow_ups{0};
    std::atomic<bool> deleted{false};
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};
QueueStress* queue_stress = nullptr;

void task_plain(void*) { ++queue_stress->runs; }

void task_busy(void* owner) {
    ++queue_stress->runs;
    kestil_set_handler_max_run_time(0);
    // A handler's own calls into its queue: add a follow-up (bounded), remove an owner's tasks.
    if (queue_stress->follow_ups++ < 200)
        kestil_queue_add(queue_stress->queue, owner, 1, 0, task_plain, nullptr);
    else
        kestil_queue_remove(queue_stress->queue, owner, task_plain);
}

void task_with_data(void*, void* data) {
    ++queue_stress->runs;
    static_cast<std::atomic<int>*>(data)->fetch_add(1);
}

void task_delete_queue(void*) {
    kestil_queue_delete(&queue_stress->queue);
    queue_stress->deleted = true;
}

void queue_adder(int seed, std::atomic<int>* data_runs) {
    std::mt19937 random(static_cast<uint32_t>(seed));
    std::uniform_int_distribution<int> pick(0, 99);
    KestilQueue* queue = queue_stress->queue;
    for (int i = 0; i < tasks_per_adder; ++i) {
        void* owner = &queue_stress->owners[pick(random) % owner_count];
        const int32_t priority = pick(random) % 7 - 3;
        const double delay = (pick(random) % 4) * 0.001;
        const int kind = pick(random) % 4;
        if (kind == 0)
            kestil_queue_add(queue, owner, priority, delay, task_plain, nullptr);
        else if (kind == 1)
            kestil_queue_add(queue, owner, priority, delay, task_busy, nullptr);
        else if (kind == 2)
            kestil_queue_add_with_data(queue, owner, priority, delay, task_with_data, data_runs, nullptr);
        else
            kestil_queue_add(queue, owner, priority, delay, task_plain, &queue_stress->mutex);
    }
}

TEST_F(Stress, QueuesFedFromSeveralThreadsWhileDrainedAndDeleted) {
    int total_runs = 0;
    for (int round = 0; round < queue_rounds; ++round) {
        SCOPED_TRACE(round);
        QueueStress stress;
        queue_stress = &stress;
        stress.queue = kestil_queue_create("stress");
        ASSERT_NE(nullptr, stress.queue);
        KestilQueue* const queue = stress.queue;
        std::atomic<int> data_runs{0};
        std::atomic<bool> adding{true};
        std::vector<std::thread> threads;
        for (int t = 0; t < queue_adders; ++t) threads.emplace_back(queue_adder, round * 10 + t, &data_runs);
        // Drains and removes run while the adders add; both end once the adders have.
        std::thread drainer([&] {
            for (int i = 0; i < 10000 && adding.load(); ++i) kestil_queue_drain(queue);
        });
        std::thread remover([&] {
            for (int i = 0; i < 10000 && adding.load(); ++i)
                kestil_queue_remove(queue, &stress.owners[i % owner_count], nullptr);
        });
        for (std::thread& thread : threads) thread.join();
        adding = false;
        drainer.join();
        remover.join();

        // End the round with pending work: delete from outside with a drain waiting, or from a
        // handler while tasks are still queued behind it.
        for (int i = 0; i < 50; ++i) kestil_queue_add(queue, nullptr, 0, 3600, task_plain, nullptr);
        if (round % 2 == 0) {
            std::atomic<int> drained{-1};
            std::thread waiting([&] { drained = kestil_queue_drain(queue) ? 1 : 0; });
            ASSERT_TRUE(eventually([&] { return kestil_timers_internal::queue_waiters(queue) == 1; }));
            kestil_queue_delete(&stress.queue);
            waiting.join();
            EXPECT_EQ(0, drained.load());
        } else {
            for (int i = 0; i < 50; ++i) kestil_queue_add(queue, nullptr, 0, 0, task_plain, nullptr);
            // The last call on the queue from outside: it may be freed as soon as this returns.
            kestil_queue_add(queue, nullptr, 100, 0, task_delete_queue, nullptr);
            ASSERT_TRUE(eventually([&] { return stress.deleted.load(); }));
        }
        ASSERT_TRUE(eventually([] { return live_queue_count() == 0; }));
        EXPECT_EQ(nullptr, stress.queue);
        total_runs += stress.runs.load();
        queue_stress = nullptr;
    }
    EXPECT_GT(total_runs, 0);
    RecordProperty("task_runs", total_runs);
}

}  // namespace
