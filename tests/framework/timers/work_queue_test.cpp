// Tests of the work queues: priority among due tasks, delays, the two warnings, remove, drain and
// delete from other threads and from the queue's own handlers, renaming.
#include "framework/timers/work_queue.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/log.h"
#include "framework/timers/timers_internal.hpp"
#include "tests/framework/timers/timers_test_support.hpp"

namespace {

using kestil_timers_internal::live_queue_count;
using kestil_timers_internal::queue_waiters;
using timers_test::eventually;
using timers_test::Gate;

constexpr double far_delay = 3600;  // keeps a task pending for the whole test

// The owner of the test's tasks: records which tasks ran, in order.
struct Recorder {
    std::mutex mutex;
    std::vector<int> order;
    KestilQueue* queue = nullptr;
    Gate entered;
    Gate release;
    std::atomic<bool> finished{false};
    std::atomic<bool> flag{false};
    std::atomic<int> status{-1};
    std::string thread_name;
    pthread_mutex_t* task_mutex = nullptr;

    void record(int value) {
        std::lock_guard<std::mutex> guard(mutex);
        order.push_back(value);
    }
    std::vector<int> recorded() {
        std::lock_guard<std::mutex> guard(mutex);
        return order;
    }
};

// A task's identity: its recorder and the value it records.
struct Mark {
    Recorder* recorder;
    int value;
};

void record_mark(void*, void* data) {
    auto* mark = static_cast<Mark*>(data);
    mark->recorder->record(mark->value);
}

void hold(void* owner) {
    auto* recorder = static_cast<Recorder*>(owner);
    recorder->entered.open();
    recorder->release.wait();
    recorder->finished = true;
}

class WorkQueues : public timers_test::TimersFixture {};

TEST_F(WorkQueues, DueTasksRunByPriorityThenInOrderAdded) {
    Recorder recorder;
    KestilQueue* queue = kestil_queue_create("prio");
    ASSERT_NE(nullptr, queue);
    kestil_queue_add(queue, &recorder, 0, 0, hold, nullptr);  // holds the worker
    ASSERT_TRUE(recorder.entered.wait());
    Mark marks[] = {{&recorder, 1}, {&recorder, 5}, {&recorder, 3}, {&recorder, 51}, {&recorder, 11}};
    const int priorities[] = {1, 5, 3, 5, 1};
    for (int i = 0; i < 5; ++i)
        kestil_queue_add_with_data(queue, &recorder, priorities[i], 0, record_mark, &marks[i], nullptr);
    recorder.release.open();
    EXPECT_TRUE(kestil_queue_drain(queue));
    EXPECT_EQ((std::vector<int>{5, 51, 3, 1, 11}), recorder.recorded());
    kestil_queue_delete(&queue);
    EXPECT_EQ(nullptr, queue);
}

TEST_F(WorkQueues, DelayedHighPriorityTaskDoesNotOvertake) {
    Recorder recorder, late_owner;
    KestilQueue* queue = kestil_queue_create("delay");
    kestil_queue_add(queue, &recorder, 0, 0, hold, nullptr);
    ASSERT_TRUE(recorder.entered.wait());
    Mark high{&late_owner, 10}, low{&recorder, 1};
    kestil_queue_add_with_data(queue, &late_owner, 10, far_delay, record_mark, &high, nullptr);
    kestil_queue_add_with_data(queue, &recorder, 1, 0, record_mark, &low, nullptr);
    recorder.release.open();
    ASSERT_TRUE(eventually([&] { return recorder.recorded().size() == 1; }));
    EXPECT_EQ(std::vector<int>{1}, recorder.recorded());
    EXPECT_TRUE(late_owner.recorded().empty());
    kestil_queue_remove(queue, &late_owner, nullptr);  // the pending delayed task goes
    EXPECT_TRUE(kestil_queue_drain(queue));
    EXPECT_TRUE(late_owner.recorded().empty());
    kestil_queue_delete(&queue);
}

struct Timed {
    std::atomic<int64_t> ran_ns{0};
};
void note_time(void* owner) {
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    kestil_realtime(&seconds, &nanoseconds);
    static_cast<Timed*>(owner)->ran_ns = seconds * 1000000000LL + nanoseconds;
}

TEST_F(WorkQueues, DelayedTaskRunsNoEarlierThanItsDelay) {
    Timed timed;
    KestilQueue* queue = kestil_queue_create(nullptr);
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    kestil_realtime(&seconds, &nanoseconds);
    const int64_t added_ns = seconds * 1000000000LL + nanoseconds;
    kestil_queue_add(queue, &timed, 0, 0.2, note_time, nullptr);
    EXPECT_TRUE(kestil_queue_drain(queue));
    // The due time is the clock read after added_ns, cut to 100 ns, plus 0.2 s.
    EXPECT_GE(timed.ran_ns.load(), added_ns + 200000000LL - 100);
    kestil_queue_delete(&queue);
}

void nothing(void*) {}

TEST_F(WorkQueues, PendingTaskWarningOncePerLimitSetting) {
    kestil_set_log_level(3);
    KestilQueue* queue = kestil_queue_create("w");
    const std::string prefix = "Handler queue for 'Queue w' has ";
    struct Step { int add; int total_lines; const char* last_line; };
    const Step steps[] = {
        {100, 0, nullptr},  // at the limit: no warning
        {1, 1, "Handler queue for 'Queue w' has 101 pending tasks, more than 100 task limit"},
        {20, 1, nullptr},   // not repeated
    };
    for (const Step& step : steps) {
        for (int i = 0; i < step.add; ++i) kestil_queue_add(queue, nullptr, 0, far_delay, nothing, nullptr);
        EXPECT_EQ(step.total_lines, log_.count_prefix(prefix));
        if (step.last_line) {
            EXPECT_EQ(1, log_.count(step.last_line));
        }
    }
    EXPECT_TRUE(kestil_queue_set_max_pending_tasks(queue, 100));  // allows the warning again
    kestil_queue_add(queue, nullptr, 0, far_delay, nothing, nullptr);
    EXPECT_EQ(1, log_.count("Handler queue for 'Queue w' has 122 pending tasks, more than 100 task limit"));
    EXPECT_TRUE(kestil_queue_set_max_pending_tasks(queue, 0));  // no limit
    kestil_queue_add(queue, nullptr, 0, far_delay, nothing, nullptr);
    EXPECT_EQ(2, log_.count_prefix(prefix));
    for (const auto& line : log_.entries()) EXPECT_EQ(3, line.level);  // debug level
    kestil_queue_delete(&queue);  // discards the pending tasks
}

constexpr double slow_run_seconds = 0.3;

void slow(void* owner) {
    std::this_thread::sleep_for(std::chrono::duration<double>(slow_run_seconds));  // the run itself
    static_cast<Recorder*>(owner)->record(1);
}
void slow_with_raised_limit(void* owner) {
    static_cast<Recorder*>(owner)->flag = kestil_set_handler_max_run_time(60);
    slow(owner);
}

TEST_F(WorkQueues, RunTimeWarningAndItsSuppression) {
    kestil_set_log_level(3);
    Recorder recorder;
    KestilQueue* queue = kestil_queue_create("r");
    kestil_queue_add(queue, &recorder, 0, 0, slow, nullptr);
    EXPECT_TRUE(kestil_queue_drain(queue));
    const auto lines = log_.entries();
    ASSERT_EQ(1u, lines.size());
    double took = 0;
    char limit_text[32] = "";
    ASSERT_EQ(2, std::sscanf(lines[0].line.c_str(),
                             "Handler queue task for 'Queue r' took %lfs, longer than %31s",
                             &took, limit_text));
    EXPECT_GE(took, slow_run_seconds - 0.0005);  // printed with 3 decimals
    EXPECT_STREQ("0.100s", limit_text);
    EXPECT_EQ(3, lines[0].level);

    log_.clear();
    kestil_queue_add(queue, &recorder, 0, 0, slow_with_raised_limit, nullptr);
    EXPECT_TRUE(kestil_queue_drain(queue));
    EXPECT_TRUE(recorder.flag.load());
    EXPECT_TRUE(log_.entries().empty());
    EXPECT_FALSE(kestil_set_handler_max_run_time(1));  // this thread runs no task
    kestil_queue_delete(&queue);
}

void drain_own_queue(void* owner) {
    auto* recorder = static_cast<Recorder*>(owner);
    recorder->flag = kestil_queue_drain(recorder->queue);  // false at once
    recorder->record(0);
}
void count_one(void* owner) { static_cast<Recorder*>(owner)->record(1); }

TEST_F(WorkQueues, DrainFromAHandlerIsRefusedFromOutsideWaits) {
    Recorder recorder;
    recorder.flag = true;
    recorder.queue = kestil_queue_create("drain");
    kestil_queue_add(recorder.queue, &recorder, 9, 0, drain_own_queue, nullptr);
    for (int i = 0; i < 20; ++i) kestil_queue_add(recorder.queue, &recorder, 0, 0.001 * i, count_one, nullptr);
    EXPECT_TRUE(kestil_queue_drain(recorder.queue));
    EXPECT_EQ(21u, recorder.recorded().size());  // everything ran before drain returned
    EXPECT_FALSE(recorder.flag.load());
    kestil_queue_delete(&recorder.queue);
}

void delete_own_queue(void* owner) {
    auto* recorder = static_cast<Recorder*>(owner);
    kestil_queue_delete(&recorder->queue);
    recorder->flag = recorder->queue == nullptr;
    recorder->record(0);  // the handler completes after the delete
    recorder->finished = true;
}

TEST_F(WorkQueues, DeleteFromAHandler) {
    const size_t queues_before = live_queue_count();
    Recorder recorder;
    recorder.queue = kestil_queue_create("self");
    KestilQueue* const queue = recorder.queue;
    kestil_queue_add(queue, &recorder, 0, 0, hold, nullptr);
    ASSERT_TRUE(recorder.entered.wait());
    kestil_queue_add(queue, &recorder, 5, 0, delete_own_queue, nullptr);
    kestil_queue_add(queue, &recorder, 1, 0, count_one, nullptr);        // discarded
    kestil_queue_add(queue, &recorder, 1, far_delay, count_one, nullptr);  // discarded
    recorder.release.open();
    ASSERT_TRUE(eventually([&] { return live_queue_count() == queues_before; }));  // freed
    EXPECT_TRUE(recorder.flag.load());
    EXPECT_EQ(std::vector<int>{0}, recorder.recorded());
}

TEST_F(WorkQueues, DeleteFromOutsideWaitsForTheRunningTask) {
    Recorder recorder;
    KestilQueue* queue = kestil_queue_create("outside");
    KestilQueue* const running = queue;
    kestil_queue_add(queue, &recorder, 0, 0, hold, nullptr);
    ASSERT_TRUE(recorder.entered.wait());
    kestil_queue_add(queue, &recorder, 0, 0, count_one, nullptr);  // discarded
    std::atomic<bool> finished_first{false};
    std::thread deleter([&] {
        kestil_queue_delete(&queue);
        finished_first = recorder.finished.load();
    });
    ASSERT_TRUE(eventually([&] { return kestil_timers_internal::queue_stopping(running); }));
    recorder.release.open();
    deleter.join();
    EXPECT_TRUE(finished_first.load());
    EXPECT_EQ(nullptr, queue);
    EXPECT_TRUE(recorder.recorded().empty());
}

TEST_F(WorkQueues, DrainWaitingDuringDeleteReturnsFalse) {
    Recorder recorder;
    KestilQueue* queue = kestil_queue_create("busy");
    kestil_queue_add(queue, &recorder, 0, 0, hold, nullptr);
    ASSERT_TRUE(recorder.entered.wait());
    std::atomic<int> drained{-1};
    std::thread drainer([&] { drained = kestil_queue_drain(queue) ? 1 : 0; });
    ASSERT_TRUE(eventually([&] { return queue_waiters(queue) == 1; }));
    std::thread deleter([&] { kestil_queue_delete(&queue); });
    ASSERT_TRUE(eventually([&] { return drained.load() != -1; }));
    EXPECT_EQ(0, drained.load());
    recorder.release.open();
    deleter.join();
    drainer.join();
    EXPECT_EQ(nullptr, queue);
}

void remove_own_owner(void* owner) {
    auto* recorder = static_cast<Recorder*>(owner);
    kestil_queue_remove(recorder->queue, recorder, nullptr);  // from the worker: no wait for itself
    recorder->record(7);
}

TEST_F(WorkQueues, RemoveByOwnerAndHandler) {
    Recorder a, b;
    KestilQueue* queue = kestil_queue_create("remove");
    a.queue = queue;
    kestil_queue_add(queue, &a, 0, 0, hold, nullptr);
    ASSERT_TRUE(a.entered.wait());
    // Pending behind the held task: a's and b's tasks with two handlers.
    for (Recorder* owner : {&a, &b}) {
        kestil_queue_add(queue, owner, 0, 0, count_one, nullptr);
        kestil_queue_add(queue, owner, 0, 0, nothing, nullptr);
    }
    std::atomic<bool> returned{false}, finished_first{false};
    std::thread remover([&] {
        kestil_queue_remove(queue, &a, nullptr);  // waits for a's running task
        finished_first = a.finished.load();
        returned = true;
    });
    ASSERT_TRUE(eventually([&] { return queue_waiters(queue) == 1; }));
    EXPECT_FALSE(returned.load());
    a.release.open();
    remover.join();
    EXPECT_TRUE(finished_first.load());
    kestil_queue_remove(queue, nullptr, nothing);  // b's other task, by handler alone
    EXPECT_TRUE(kestil_queue_drain(queue));
    EXPECT_TRUE(a.recorded().empty());
    EXPECT_EQ(std::vector<int>{1}, b.recorded());

    // From its own handler: removes the owner's pending tasks and does not wait for itself.
    Recorder holder;
    kestil_queue_add(queue, &holder, 0, 0, hold, nullptr);
    ASSERT_TRUE(holder.entered.wait());
    kestil_queue_add(queue, &a, 1, 0, remove_own_owner, nullptr);
    kestil_queue_add(queue, &a, 0, 0, count_one, nullptr);
    holder.release.open();
    EXPECT_TRUE(kestil_queue_drain(queue));
    EXPECT_EQ(std::vector<int>{7}, a.recorded());
    kestil_queue_delete(&queue);
}

void note_name(void* owner) {
    auto* recorder = static_cast<Recorder*>(owner);
    char name[64] = "";
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::lock_guard<std::mutex> guard(recorder->mutex);
    recorder->thread_name = name;
}

TEST_F(WorkQueues, WorkerNames) {
    struct Case { const char* created; const char* renamed; std::string expected; };
    const Case cases[] = {
        {"camera", nullptr, "Queue camera"},
        {nullptr, nullptr, "Queue"},
        {"camera", "renamed-worker-name", "renamed-worker-"},  // 15 bytes kept by the system
    };
    for (const Case& c : cases) {
        Recorder recorder;
        KestilQueue* queue = kestil_queue_create(c.created);
        if (c.renamed) kestil_queue_set_name(queue, c.renamed);
        kestil_queue_add(queue, &recorder, 0, 0, note_name, nullptr);
        EXPECT_TRUE(kestil_queue_drain(queue));
        std::lock_guard<std::mutex> guard(recorder.mutex);
        EXPECT_EQ(c.expected, recorder.thread_name);
        kestil_queue_delete(&queue);
    }
}

void try_task_mutex(void* owner) {
    auto* recorder = static_cast<Recorder*>(owner);
    const int status = pthread_mutex_trylock(recorder->task_mutex);
    if (status == 0) pthread_mutex_unlock(recorder->task_mutex);
    recorder->status = status;
}

TEST_F(WorkQueues, TaskMutexIsHeldAroundTheHandler) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    Recorder recorder;
    recorder.task_mutex = &mutex;
    KestilQueue* queue = kestil_queue_create("mutex");
    kestil_queue_add(queue, &recorder, 0, 0, try_task_mutex, &mutex);
    EXPECT_TRUE(kestil_queue_drain(queue));
    EXPECT_EQ(EBUSY, recorder.status.load());
    kestil_queue_delete(&queue);
}

TEST_F(WorkQueues, MissingQueueDoesNothing) {
    KestilQueue* none = nullptr;
    kestil_queue_add(nullptr, nullptr, 0, 0, nothing, nullptr);
    kestil_queue_add_with_data(nullptr, nullptr, 0, 0, record_mark, nullptr, nullptr);
    kestil_queue_set_name(nullptr, "x");
    kestil_queue_remove(nullptr, nullptr, nullptr);
    EXPECT_FALSE(kestil_queue_drain(nullptr));
    EXPECT_FALSE(kestil_queue_set_max_pending_tasks(nullptr, 5));
    kestil_queue_delete(&none);
    kestil_queue_delete(nullptr);
    EXPECT_TRUE(log_.entries().empty());
}

}  // namespace

namespace {

void note_stack_size(void* owner) {
    pthread_attr_t attributes;
    size_t bytes = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &bytes);
        pthread_attr_destroy(&attributes);
    }
    *static_cast<std::atomic<size_t>*>(owner) = bytes;
}

void* probe_stack_size(void* bytes) {
    note_stack_size(bytes);
    return nullptr;
}

TEST_F(WorkQueues, WorkerStackIsAtLeastTwoMebibytes) {
    constexpr size_t two_mebibytes = 0x200000;
    pthread_attr_t saved;
    ASSERT_EQ(0, pthread_getattr_default_np(&saved));
    size_t saved_bytes = 0;
    pthread_attr_getstacksize(&saved, &saved_bytes);
    // At least, not exactly: the system may hand a new thread a larger cached stack.
    struct Case { size_t default_bytes; size_t at_least; };
    const Case cases[] = {{256 * 1024, two_mebibytes}, {8 * two_mebibytes, 8 * two_mebibytes}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.default_bytes);
        pthread_attr_t smaller;
        pthread_attr_init(&smaller);
        pthread_attr_setstacksize(&smaller, c.default_bytes);
        ASSERT_EQ(0, pthread_setattr_default_np(&smaller));
        pthread_attr_destroy(&smaller);
        // Some sanitizer runtimes size new threads themselves: then there is nothing to check.
        std::atomic<size_t> probe_bytes{0};
        pthread_t probe;
        if (pthread_create(&probe, nullptr, probe_stack_size, &probe_bytes) == 0)
            pthread_join(probe, nullptr);
        if (probe_bytes.load() != c.default_bytes) {
            pthread_setattr_default_np(&saved);
            pthread_attr_destroy(&saved);
            GTEST_SKIP() << "default thread stack size not applied to new threads";
        }
        std::atomic<size_t> bytes{0};
        KestilQueue* queue = kestil_queue_create("stack");
        pthread_setattr_default_np(&saved);  // before anything else starts a thread
        kestil_queue_add(queue, &bytes, 0, 0, note_stack_size, nullptr);
        EXPECT_TRUE(kestil_queue_drain(queue));
        EXPECT_GE(bytes.load(), c.at_least);
        kestil_queue_delete(&queue);
    }
    pthread_attr_destroy(&saved);
}

TEST_F(WorkQueues, TraceLineForEachTask) {
    kestil_set_log_level(5);
    KestilQueue* queue = kestil_queue_create("trace");
    kestil_queue_add(queue, nullptr, 7, 0, nothing, nullptr);
    EXPECT_TRUE(kestil_queue_drain(queue));
    kestil_queue_delete(&queue);
    char expected[96];
    std::snprintf(expected, sizeof expected, "Executing task %p: priority 7, delay 0.000000s",
                  reinterpret_cast<void*>(nothing));
    EXPECT_EQ(1, log_.count(expected));  // a task due at {0, 0} is never late
}

}  // namespace
