// framework/timers/timers_internal.hpp - introspection of the timers and work queues
// C++ only, for the module itself and its tests: the due order, and counts read under the locks
// so that a test can wait for a state without racing the timer and worker threads.
#ifndef KESTIL_FRAMEWORK_TIMERS_TIMERS_INTERNAL_HPP
#define KESTIL_FRAMEWORK_TIMERS_TIMERS_INTERNAL_HPP

#include <cstddef>
#include <cstdint>

#include "framework/timers/timers.h"
#include "framework/timers/work_queue.h"

namespace kestil_timers_internal {

// Due order: earlier due seconds, then nanoseconds, then the smaller serial number first.
bool due_before(const KestilTimer* a, const KestilTimer* b);

// The timer a reference slot holds, read under the timer lock.
KestilTimer* read_reference(KestilTimer* const* reference);
// Threads waiting in a synchronous cancel of the slot's timer (0 for an empty slot).
int sync_waiters(KestilTimer* const* reference);
// Timers not yet freed.
size_t live_timer_count();
// Finished callback threads the scheduler has not joined yet (those being joined included).
size_t unjoined_thread_count();
// Called by the scheduler, with the timer lock held, for each timer it starts, in order; the
// observer must not call the timer functions. Null: none.
void set_dispatch_observer(void (*observer)(uint64_t id));

// Queues created and not yet freed.
size_t live_queue_count();
// Threads waiting in kestil_queue_drain or kestil_queue_remove of the queue.
uint32_t queue_waiters(KestilQueue* queue);
// The queue is being deleted (valid until the deletion frees it).
bool queue_stopping(KestilQueue* queue);

}  // namespace kestil_timers_internal

#endif
