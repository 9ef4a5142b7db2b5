// framework/timers/timers.cpp - one-shot timers run on threads of their own
#include "framework/timers/timers.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <cmath>

#include "framework/alloc.h"
#include "framework/log.h"
#include "framework/timers/timers_internal.hpp"

namespace {

constexpr int64_t nanoseconds_per_second = 1000000000;
constexpr size_t thread_name_capacity = 256;
constexpr size_t system_thread_name_length = 15;  // the system's limit, without the NUL
// Delays are clamped to about 31,700 years so that the conversion to integers stays defined.
constexpr double max_delay_seconds = 1e12;

// A finished callback thread waiting for the scheduler to join it.
struct JoinEntry {
    pthread_t thread;
    JoinEntry* next;
};

// The timer lock and everything it guards.
pthread_once_t initialise_once = PTHREAD_ONCE_INIT;
pthread_mutex_t timer_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t scheduler_wake;
KestilTimer* live_timers = nullptr;  // every timer not yet freed, newest first
KestilTimer* due_timers = nullptr;   // pending timers in due order
JoinEntry* join_list = nullptr;      // finished callback threads still to be joined
size_t joins_in_progress = 0;        // taken off join_list, being joined
bool scheduler_running = false;
bool scheduler_failed = false;
bool scheduler_started = false;
uint64_t next_id = 0;

// On a callback thread: the timer whose callback it runs.
thread_local KestilTimer* current_timer = nullptr;

std::atomic<void (*)(uint64_t)> dispatch_observer{nullptr};

class TimerLockGuard {
public:
    TimerLockGuard() { pthread_mutex_lock(&timer_lock); }
    ~TimerLockGuard() { pthread_mutex_unlock(&timer_lock); }
    TimerLockGuard(const TimerLockGuard&) = delete;
    TimerLockGuard& operator=(const TimerLockGuard&) = delete;
};

bool time_before(const KestilWallTime& a, const KestilWallTime& b) {
    if (a.seconds != b.seconds) return a.seconds < b.seconds;
    return a.nanoseconds < b.nanoseconds;
}

// --- lists (timer lock held) ---

void insert_due(KestilTimer* timer) {
    KestilTimer** link = &due_timers;
    while (*link && !kestil_timers_internal::due_before(timer, *link)) link = &(*link)->next_due;
    timer->next_due = *link;
    *link = timer;
    if (due_timers == timer) pthread_cond_broadcast(&scheduler_wake);
}

void remove_due(KestilTimer* timer) {
    for (KestilTimer** link = &due_timers; *link; link = &(*link)->next_due) {
        if (*link == timer) {
            *link = timer->next_due;
            timer->next_due = nullptr;
            return;
        }
    }
}

void remove_from_owner(KestilTimer* timer) {
    KestilTimerOwner* owner = timer->owner;
    if (!owner || !owner->has_timer_list) return;
    for (KestilTimer** link = &owner->timers; *link; link = &(*link)->next_of_owner) {
        if (*link == timer) {
            *link = timer->next_of_owner;
            timer->next_of_owner = nullptr;
            return;
        }
    }
}

bool is_live(const KestilTimer* timer) {
    for (const KestilTimer* live = live_timers; live; live = live->next_live)
        if (live == timer) return true;
    return false;
}

void free_timer(KestilTimer* timer) {
    for (KestilTimer** link = &live_timers; *link; link = &(*link)->next_live) {
        if (*link == timer) {
            *link = timer->next_live;
            break;
        }
    }
    pthread_cond_destroy(&timer->ended);
    free(timer);
}

void forget_reference(KestilTimer* timer) {
    if (timer->reference && *timer->reference == timer) *timer->reference = nullptr;
    timer->reference = nullptr;
}

// Ends the timer as finished or cancelled; frees it unless a synchronous canceller waits.
void end_timer(KestilTimer* timer, int32_t state) {
    remove_from_owner(timer);
    forget_reference(timer);
    timer->state = state;
    timer->done = 1;
    timer->cancelled = state == KESTIL_TIMER_CANCELLED;
    pthread_cond_broadcast(&timer->ended);
    pthread_cond_broadcast(&scheduler_wake);
    if (timer->sync_waiters == 0) free_timer(timer);
}

// Waits for a timer counted in sync_waiters to end; the last waiter frees it.
void wait_for_end(KestilTimer* timer) {
    while (!timer->done) pthread_cond_wait(&timer->ended, &timer_lock);
    if (--timer->sync_waiters == 0) free_timer(timer);
}

// --- threads ---

void* callback_thread(void* argument) {
    auto* timer = static_cast<KestilTimer*>(argument);
    void (*callback)(void) = nullptr;
    KestilTimerOwner* owner = nullptr;
    void* data = nullptr;
    bool with_data = false;
    pthread_mutex_t* mutex = nullptr;
    uint64_t id = 0;
    {
        TimerLockGuard guard;
        callback = timer->callback;
        owner = timer->owner;
        data = timer->data;
        with_data = timer->with_data != 0;
        mutex = timer->mutex;
        id = timer->id;
    }
    kestil_rename_thread("Timer callback #%llu", static_cast<unsigned long long>(id));

    current_timer = timer;
    if (mutex) pthread_mutex_lock(mutex);
    if (with_data)
        reinterpret_cast<kestil_timer_callback_with_data>(callback)(owner, data);
    else
        reinterpret_cast<kestil_timer_callback>(callback)(owner);
    if (mutex) pthread_mutex_unlock(mutex);
    current_timer = nullptr;

    auto* entry = static_cast<JoinEntry*>(kestil_checked_malloc(sizeof(JoinEntry)));
    TimerLockGuard guard;
    entry->thread = pthread_self();
    entry->next = join_list;
    join_list = entry;
    if (!timer->rescheduled || timer->cancel_requested || timer->cancelled) {
        end_timer(timer, KESTIL_TIMER_FINISHED);
    } else {
        timer->state = KESTIL_TIMER_PENDING;
        timer->thread_running = 0;
        timer->rescheduled = 0;
        insert_due(timer);
        pthread_cond_broadcast(&timer->ended);
        pthread_cond_broadcast(&scheduler_wake);
    }
    return nullptr;
}

// Joins every finished callback thread, releasing the timer lock around each join.
void join_finished_threads() {
    while (join_list) {
        JoinEntry* entry = join_list;
        join_list = entry->next;
        ++joins_in_progress;
        pthread_mutex_unlock(&timer_lock);
        pthread_join(entry->thread, nullptr);
        free(entry);
        pthread_mutex_lock(&timer_lock);
        --joins_in_progress;
    }
}

void start_callback(KestilTimer* timer) {
    remove_due(timer);
    timer->state = KESTIL_TIMER_RUNNING;
    timer->thread_running = 1;
    if (auto observer = dispatch_observer.load()) observer(timer->id);
    if (pthread_create(&timer->thread, nullptr, callback_thread, timer) != 0) {
        kestil_error("Failed to start timer callback thread");
        timer->thread_running = 0;
        end_timer(timer, KESTIL_TIMER_FINISHED);
    }
}

void* scheduler_thread(void*) {
    kestil_rename_thread("Timer scheduler");
    pthread_mutex_lock(&timer_lock);
    scheduler_started = true;
    pthread_cond_broadcast(&scheduler_wake);
    for (;;) {
        join_finished_threads();
        if (!due_timers) {
            pthread_cond_wait(&scheduler_wake, &timer_lock);
            continue;
        }
        KestilWallTime now{};
        kestil_realtime(&now.seconds, &now.nanoseconds);
        KestilTimer* first = due_timers;
        if (time_before(now, first->due)) {
            timespec deadline{};
            deadline.tv_sec = static_cast<time_t>(first->due.seconds);
            deadline.tv_nsec = first->due.nanoseconds;
            pthread_cond_timedwait(&scheduler_wake, &timer_lock, &deadline);
            continue;
        }
        start_callback(first);
    }
    return nullptr;
}

// Starts the scheduler thread and waits until it runs (timer lock held).
void start_scheduler() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int status = pthread_create(&thread, &attributes, scheduler_thread, nullptr);
    pthread_attr_destroy(&attributes);
    if (status != 0) {
        scheduler_failed = true;
        kestil_error("Failed to start timer scheduler thread");
        return;
    }
    scheduler_running = true;
    while (!scheduler_started) pthread_cond_wait(&scheduler_wake, &timer_lock);
}

void initialise() {
    pthread_cond_init(&scheduler_wake, nullptr);
    live_timers = nullptr;
    due_timers = nullptr;
    join_list = nullptr;
    scheduler_running = scheduler_failed = scheduler_started = false;
    TimerLockGuard guard;
    start_scheduler();
}

// Runs before every operation, timer lock held. Result: the scheduler runs.
bool scheduler_ready() {
    if (!scheduler_running && !scheduler_failed) start_scheduler();
    return scheduler_running && !scheduler_failed;
}

// --- setting ---

bool set_timer(KestilTimerOwner* owner, double delay, void (*callback)(void),
               KestilTimer** reference, void* data, bool with_data, pthread_mutex_t* mutex) {
    pthread_once(&initialise_once, initialise);
    TimerLockGuard guard;
    if (!scheduler_ready()) {
        kestil_error("Attempt to set timer without running scheduler");
        return false;
    }
    if (reference && *reference) {
        kestil_error("Attempt to set timer with non-NULL reference");
        return false;
    }
    auto* timer = static_cast<KestilTimer*>(kestil_checked_calloc(1, sizeof(KestilTimer)));
    pthread_cond_init(&timer->ended, nullptr);
    timer->id = next_id++;
    timer->owner = owner;
    timer->callback = callback;
    timer->data = data;
    timer->with_data = with_data ? 1 : 0;
    timer->mutex = mutex;
    timer->state = KESTIL_TIMER_PENDING;
    timer->due = kestil_delay_to_time(delay);

    timer->next_live = live_timers;
    live_timers = timer;
    if (reference) {
        *reference = timer;
        timer->reference = reference;
    }
    if (owner && owner->has_timer_list) {
        timer->next_of_owner = owner->timers;
        owner->timers = timer;
    }
    insert_due(timer);
    return true;
}

// --- the reference check ---

enum class ReferenceCheck { ok, empty, not_live, foreign };

ReferenceCheck check_reference(KestilTimer** reference) {
    if (!reference || !*reference) return ReferenceCheck::empty;
    KestilTimer* timer = *reference;
    if (!is_live(timer)) return ReferenceCheck::not_live;
    if (timer->reference != reference) return ReferenceCheck::foreign;
    return ReferenceCheck::ok;
}

// Logs the cancel operations' reference errors. Result: the check passed.
bool cancel_reference_ok(KestilTimer** reference, bool synchronous) {
    switch (check_reference(reference)) {
    case ReferenceCheck::ok:
        return true;
    case ReferenceCheck::empty:
        return false;
    case ReferenceCheck::foreign:
        if (!synchronous) {
            kestil_error("timer #%llu - attempt to cancel timer with outdated reference!",
                         static_cast<unsigned long long>((*reference)->id));
            return false;
        }
        break;
    case ReferenceCheck::not_live:
        break;
    }
    kestil_error("Attempt to cancel timer with outdated reference!");
    return false;
}

bool reschedule(double delay, KestilTimer** reference, bool new_callback,
                kestil_timer_callback callback) {
    pthread_once(&initialise_once, initialise);
    TimerLockGuard guard;
    if (!scheduler_ready()) return false;
    switch (check_reference(reference)) {
    case ReferenceCheck::ok:
        break;
    case ReferenceCheck::empty:
        kestil_error("Attempt to reschedule timer without reference!");
        return false;
    case ReferenceCheck::not_live:
        kestil_error("Attempt to reschedule timer with outdated reference!");
        return false;
    case ReferenceCheck::foreign:
        kestil_error("timer #%llu - attempt to reschedule timer with outdated reference!",
                     static_cast<unsigned long long>((*reference)->id));
        return false;
    }
    KestilTimer* timer = *reference;
    auto renew = [&] {
        timer->due = kestil_delay_to_time(delay);
        if (new_callback) {
            timer->callback = reinterpret_cast<void (*)(void)>(callback);
            timer->data = nullptr;
            timer->with_data = 0;
        }
    };
    if (timer->state == KESTIL_TIMER_PENDING && !timer->cancelled) {
        remove_due(timer);
        renew();
        timer->rescheduled = 0;
        insert_due(timer);
        return true;
    }
    if (timer->state == KESTIL_TIMER_RUNNING && !timer->cancelled && current_timer == timer) {
        renew();
        timer->rescheduled = 1;
        return true;
    }
    kestil_error("Attempt to reschedule timer without reference or canceled timer!");
    return false;
}

}  // namespace

// --- introspection for the tests ---

namespace kestil_timers_internal {

bool due_before(const KestilTimer* a, const KestilTimer* b) {
    if (a->due.seconds != b->due.seconds) return a->due.seconds < b->due.seconds;
    if (a->due.nanoseconds != b->due.nanoseconds) return a->due.nanoseconds < b->due.nanoseconds;
    return a->id < b->id;
}

KestilTimer* read_reference(KestilTimer* const* reference) {
    TimerLockGuard guard;
    return *reference;
}

int sync_waiters(KestilTimer* const* reference) {
    TimerLockGuard guard;
    return *reference ? (*reference)->sync_waiters : 0;
}

size_t live_timer_count() {
    TimerLockGuard guard;
    size_t count = 0;
    for (const KestilTimer* live = live_timers; live; live = live->next_live) ++count;
    return count;
}

size_t unjoined_thread_count() {
    TimerLockGuard guard;
    size_t count = joins_in_progress;
    for (const JoinEntry* entry = join_list; entry; entry = entry->next) ++count;
    return count;
}

void set_dispatch_observer(void (*observer)(uint64_t id)) { dispatch_observer.store(observer); }

}  // namespace kestil_timers_internal

// --- the exported functions ---

extern "C" {

KestilWallTime kestil_delay_to_time(double delay) {
    KestilWallTime time{0, 0};
    if (delay == 0) return time;
    delay = std::fmin(std::fmax(delay, -max_delay_seconds), max_delay_seconds);  // NaN: -limit
    int32_t nanoseconds = 0;
    kestil_realtime(&time.seconds, &nanoseconds);
    nanoseconds -= nanoseconds % 100;  // the wall clock's 100 ns resolution
    auto whole = static_cast<int64_t>(delay);
    auto fraction = static_cast<int64_t>((delay - static_cast<double>(whole)) * 1e9);
    int64_t total = static_cast<int64_t>(nanoseconds) + fraction;
    time.seconds += whole + total / nanoseconds_per_second;
    total %= nanoseconds_per_second;
    if (total < 0) {
        total += nanoseconds_per_second;
        time.seconds -= 1;
    }
    time.nanoseconds = static_cast<int32_t>(total);
    return time;
}

bool kestil_set_timer(KestilTimerOwner* owner, double delay, kestil_timer_callback callback,
                      KestilTimer** reference) {
    return set_timer(owner, delay, reinterpret_cast<void (*)(void)>(callback), reference,
                     nullptr, false, nullptr);
}

bool kestil_set_timer_with_data(KestilTimerOwner* owner, double delay,
                                kestil_timer_callback_with_data callback, KestilTimer** reference,
                                void* data) {
    return set_timer(owner, delay, reinterpret_cast<void (*)(void)>(callback), reference, data,
                     true, nullptr);
}

bool kestil_set_timer_with_mutex(KestilTimerOwner* owner, double delay,
                                 kestil_timer_callback callback, KestilTimer** reference,
                                 pthread_mutex_t* mutex) {
    return set_timer(owner, delay, reinterpret_cast<void (*)(void)>(callback), reference,
                     nullptr, false, mutex);
}

bool kestil_reschedule_timer(KestilTimerOwner*, double delay, KestilTimer** reference) {
    return reschedule(delay, reference, false, nullptr);
}

bool kestil_reschedule_timer_with_callback(KestilTimerOwner*, double delay,
                                           kestil_timer_callback callback,
                                           KestilTimer** reference) {
    return reschedule(delay, reference, true, callback);
}

bool kestil_cancel_timer(KestilTimerOwner*, KestilTimer** reference) {
    pthread_once(&initialise_once, initialise);
    TimerLockGuard guard;
    if (!scheduler_ready() || !cancel_reference_ok(reference, false)) return false;
    KestilTimer* timer = *reference;
    if (timer->state == KESTIL_TIMER_PENDING) {
        remove_due(timer);
        end_timer(timer, KESTIL_TIMER_CANCELLED);
        return true;
    }
    if (timer->state == KESTIL_TIMER_RUNNING) timer->cancel_requested = 1;
    return false;
}

bool kestil_cancel_timer_sync(KestilTimerOwner*, KestilTimer** reference) {
    pthread_once(&initialise_once, initialise);
    TimerLockGuard guard;
    if (!scheduler_ready() || !cancel_reference_ok(reference, true)) return false;
    KestilTimer* timer = *reference;
    if (timer->state == KESTIL_TIMER_PENDING) {
        remove_due(timer);
        end_timer(timer, KESTIL_TIMER_CANCELLED);
        return true;
    }
    if (timer->state != KESTIL_TIMER_RUNNING) return false;
    timer->cancel_requested = 1;
    if (current_timer == timer) {
        remove_from_owner(timer);
        forget_reference(timer);
        return true;
    }
    ++timer->sync_waiters;
    wait_for_end(timer);
    return true;
}

void kestil_cancel_all_timers(KestilTimerOwner* owner) {
    if (!owner || !owner->has_timer_list) return;
    pthread_once(&initialise_once, initialise);
    TimerLockGuard guard;
    if (!scheduler_ready()) return;
    size_t count = 0;
    for (KestilTimer* timer = owner->timers; timer; timer = timer->next_of_owner) ++count;
    auto** waited = static_cast<KestilTimer**>(kestil_checked_calloc(count, sizeof(KestilTimer*)));
    size_t waited_count = 0;
    KestilTimer* next = nullptr;
    for (KestilTimer* timer = owner->timers; timer; timer = next) {
        next = timer->next_of_owner;
        if (timer->state == KESTIL_TIMER_PENDING) {
            remove_due(timer);
            end_timer(timer, KESTIL_TIMER_CANCELLED);
        } else if (timer->state == KESTIL_TIMER_RUNNING) {
            timer->cancel_requested = 1;
            if (current_timer == timer) {
                remove_from_owner(timer);
                forget_reference(timer);
            } else {
                ++timer->sync_waiters;
                waited[waited_count++] = timer;
            }
        }
    }
    for (size_t i = 0; i < waited_count; ++i) wait_for_end(waited[i]);
    free(waited);
}

void kestil_rename_thread(const char* format, ...) {
    char name[thread_name_capacity];
    va_list args;
    va_start(args, format);
    vsnprintf(name, sizeof name, format, args);
    va_end(args);
    name[system_thread_name_length] = '\0';
    pthread_setname_np(pthread_self(), name);
}

}  // extern "C"
