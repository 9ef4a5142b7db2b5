// framework/timers/timers.h - one-shot timers run on threads of their own
// A timer calls its callback once, after a delay in seconds, on a new thread. One scheduler thread
// (started on the first call of any function here) keeps the pending timers in due order by
// absolute UTC wall-clock time and starts a callback thread for each due timer; it also joins the
// finished callback threads. The creator knows its timer through a reference slot: a pointer
// variable that holds the timer while it lives and is cleared (under the timer lock) when it ends,
// so every reschedule and cancel names the timer by that slot. A slot that no longer holds a live
// timer, or a copy of a slot, is reported as outdated and never followed.
//
// Threads: every function may be called from any thread, callbacks included; a callback may set,
// reschedule and cancel timers, its own too. Callbacks run without the timer lock, holding only
// the timer's own mutex when one was given. The owner must outlive its timers.
//
// Owners: any record that starts with a KestilTimerOwner serves as the owner of timers (the bus's
// device record embeds one as its first member), or no owner at all. An owner with a timer list
// links its timers, which lets kestil_cancel_all_timers find them.
//
// The framework's monotonic clock kestil_monotonic_time lives in framework/clock.h.
#ifndef KESTIL_FRAMEWORK_TIMERS_TIMERS_H
#define KESTIL_FRAMEWORK_TIMERS_TIMERS_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#include "framework/clock.h"

#ifdef __cplusplus
extern "C" {
#endif

// An absolute UTC wall-clock time: seconds since 1970-01-01, nanoseconds 0..999999999.
typedef struct KestilWallTime {
    int64_t seconds;
    int32_t nanoseconds;
} KestilWallTime;

typedef struct KestilTimer KestilTimer;

// The timer side of an owner. has_timer_list false: the owner keeps no list and its timers are
// not linked (kestil_cancel_all_timers then does nothing). timers is guarded by the timer lock
// and only read or written by this module.
typedef struct KestilTimerOwner {
    bool has_timer_list;
    KestilTimer* timers;
} KestilTimerOwner;

typedef void (*kestil_timer_callback)(KestilTimerOwner* owner);
typedef void (*kestil_timer_callback_with_data)(KestilTimerOwner* owner, void* data);

// Timer states.
enum {
    KESTIL_TIMER_PENDING = 1,
    KESTIL_TIMER_RUNNING = 2,
    KESTIL_TIMER_FINISHED = 3,
    KESTIL_TIMER_CANCELLED = 4
};

// One timer, zero-filled at creation. Every field is guarded by the timer lock and belongs to
// this module; callers only keep the reference slot.
struct KestilTimer {
    KestilTimerOwner* owner;        // passed to the callback; its list links the timer
    void (*callback)(void);         // kestil_timer_callback, or _with_data when with_data is set
    uint8_t cancelled;              // ended by cancellation
    KestilTimer** reference;        // the creator's slot, cleared with the timer's end
    KestilTimer* next_of_owner;     // next timer in the owner's list
    void* data;                     // second callback argument
    int32_t with_data;              // call the callback with (owner, data)
    pthread_mutex_t* mutex;         // held around every run of the callback, or null
    int32_t state;                  // KESTIL_TIMER_PENDING ... KESTIL_TIMER_CANCELLED
    KestilWallTime due;             // absolute due time
    uint8_t cancel_requested;       // set while running: ends after this run
    uint8_t rescheduled;            // set while running by its own callback: pending again after
    uint8_t thread_running;         // its callback thread has been started
    int32_t sync_waiters;           // threads waiting for its end in a synchronous cancel
    pthread_t thread;               // the callback thread
    pthread_cond_t ended;           // broadcast when the timer ends
    KestilTimer* next_due;          // next in the scheduler's due list
    uint64_t id;                    // serial number, from 0 upwards
    KestilTimer* next_live;         // next in the list of live timers
    uint8_t done;                   // the timer has ended
};

// Given:   delay   seconds from now (may be fractional or negative)
// Result:  {0, 0} when delay is exactly 0 (long past: due at once); otherwise the current UTC
//          wall-clock time at 100 ns resolution plus the delay, nanoseconds in 0..999999999.
//          Delays beyond +-1e12 s are clamped to it; NaN counts as -1e12 s (due at once).
KestilWallTime kestil_delay_to_time(double delay);

// Sets a timer that calls callback(owner) after delay seconds.
// Given:     owner       the timer's owner, or null
//            delay       seconds; 0 runs at once
//            callback    the function to call
// Returned:  reference   when given: the slot receives the timer; it must be empty (null)
// Result:    true when set; false with the error "Attempt to set timer with non-NULL reference"
//            (the slot's timer left untouched) or "Attempt to set timer without running
//            scheduler".
bool kestil_set_timer(KestilTimerOwner* owner, double delay, kestil_timer_callback callback,
                      KestilTimer** reference);
// As kestil_set_timer; the callback receives (owner, data).
bool kestil_set_timer_with_data(KestilTimerOwner* owner, double delay,
                                kestil_timer_callback_with_data callback, KestilTimer** reference,
                                void* data);
// As kestil_set_timer; mutex (may be null) is held while the callback runs.
bool kestil_set_timer_with_mutex(KestilTimerOwner* owner, double delay,
                                 kestil_timer_callback callback, KestilTimer** reference,
                                 pthread_mutex_t* mutex);

// Gives the timer in the slot a new due time, delay seconds from now, keeping callback and data.
// owner is not consulted: the slot names the timer. From the timer's own callback the timer is
// pending again when the callback returns. Result: true when rescheduled; false with an error:
//   "Attempt to reschedule timer without reference!" (no slot or an empty slot),
//   "Attempt to reschedule timer with outdated reference!" (the slot's timer has ended),
//   "timer #%llu - attempt to reschedule timer with outdated reference!" (a live timer whose slot
//   is another variable), "Attempt to reschedule timer without reference or canceled timer!"
//   (running on behalf of another thread, or ended).
bool kestil_reschedule_timer(KestilTimerOwner* owner, double delay, KestilTimer** reference);
// As kestil_reschedule_timer with a new callback; the data is dropped (one-argument call).
bool kestil_reschedule_timer_with_callback(KestilTimerOwner* owner, double delay,
                                           kestil_timer_callback callback,
                                           KestilTimer** reference);

// Cancels the timer in the slot. Result: true when a pending timer was cancelled (its slot is
// then empty). A running timer is only marked: it ends after this run, rescheduled or not, and
// the result is false. false silently for no slot or an empty slot; false with the error
// "Attempt to cancel timer with outdated reference!" or "timer #%llu - attempt to cancel timer
// with outdated reference!" as for rescheduling.
bool kestil_cancel_timer(KestilTimerOwner* owner, KestilTimer** reference);

// Cancels the timer in the slot and, when its callback runs on another thread, waits until the
// callback has returned and the timer has ended. From the timer's own callback it marks the
// timer, empties the slot and returns at once. Result: true when the timer was cancelled or has
// ended while waiting; false silently for no slot or an empty slot, false with the error
// "Attempt to cancel timer with outdated reference!" for an outdated or foreign slot.
bool kestil_cancel_timer_sync(KestilTimerOwner* owner, KestilTimer** reference);

// Cancels every timer of the owner and waits for those whose callbacks run on other threads.
// Nothing for a null owner or an owner without a timer list.
void kestil_cancel_all_timers(KestilTimerOwner* owner);

// Formats a thread name (printf format) into a 256-byte buffer and gives it to the calling
// thread; the system keeps the first 15 bytes.
void kestil_rename_thread(const char* format, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

#endif
