// framework/timers/work_queue.h - work queues with a worker thread of their own
// A queue serialises the handlers of one client on its worker thread: tasks are added with a
// priority and an optional delay in seconds, and the worker runs, one at a time, the due task of
// highest priority (the first added among equals). Two limits are watched, never enforced: the
// number of pending tasks (100 by default; a debug line once per limit setting) and the run time
// of one task (0.1 s by default; a debug line per task). Due times are absolute UTC wall-clock
// times (kestil_delay_to_time of framework/timers/timers.h).
//
// Threads: every function may be called from any thread, the queue's own handlers included (a
// handler may add, remove, rename, drain or delete its own queue). Handlers run without the queue
// lock, holding only the task's own mutex when one was given. Every function accepts a null queue
// and then does nothing (returning false where it returns a value). A queue must not be used by
// other threads once kestil_queue_delete has begun, except by calls already waiting inside
// kestil_queue_drain or kestil_queue_remove, which return before the queue is freed.
#ifndef KESTIL_FRAMEWORK_TIMERS_WORK_QUEUE_H
#define KESTIL_FRAMEWORK_TIMERS_WORK_QUEUE_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#include "framework/timers/timers.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*kestil_queue_handler)(void* owner);
typedef void (*kestil_queue_handler_with_data)(void* owner, void* data);

typedef struct KestilQueueTask KestilQueueTask;

// One task, zero-filled at creation; lives until it has run or was removed.
struct KestilQueueTask {
    void* owner;                  // first handler argument; key for removal
    int32_t priority;             // larger runs first among due tasks
    KestilWallTime due;           // absolute due time; {0, 0} for a delay of 0
    double max_run_time;          // seconds; run-time warning limit, 0.1 at creation
    void (*handler)(void);        // kestil_queue_handler, or _with_data when with_data is set
    void* data;                   // second handler argument
    uint8_t with_data;            // call the handler with (owner, data)
    pthread_mutex_t* mutex;       // held around the handler, or null
    KestilQueueTask* next;        // next in the queue
};

// One queue; every field is guarded by lock and belongs to this module.
typedef struct KestilQueue {
    const char* name;             // the name given at creation (borrowed), or null
    char thread_name[256];        // "Queue %s", "Queue", or the name set later
    pthread_cond_t wake;          // broadcast on every change
    pthread_t thread;             // the worker
    KestilQueueTask* tasks;       // pending tasks in due order
    uint64_t pending;             // number of pending tasks
    uint64_t max_pending;         // warning limit, 100 at creation; 0 = none
    uint8_t warned;               // the pending-task warning was given
    uint8_t stopping;             // the queue is being deleted
    uint8_t started;              // the worker has started
    uint8_t rename;               // the worker is to rename itself
    pthread_mutex_t lock;         // guards all fields
    KestilQueueTask* current;     // the task being run, or null
    uint8_t running;              // a task is being run
    uint8_t self_delete;          // deleted from its own worker, which then frees the queue
    uint32_t waiters;             // threads waiting in kestil_queue_drain or kestil_queue_remove
} KestilQueue;

// Given:   name   borrowed, must outlive the queue; may be null
// Result:  a queue whose worker runs (stack of at least 2 MiB); null after the error
//          "Failed to start queue thread (%d)" with the system's error code.
KestilQueue* kestil_queue_create(const char* name);

// Names the queue (the name itself, no prefix; cut to 255 bytes) and has the worker rename
// itself. A null name is ignored.
void kestil_queue_set_name(KestilQueue* queue, const char* name);

// Adds a task calling handler(owner) after delay seconds (0: due at once) with the given
// priority; mutex (may be null) is held around the handler. Past the pending-task limit the
// debug line "Handler queue for '%s' has %zu pending tasks, more than %zu task limit" is written
// once until the limit is set again.
void kestil_queue_add(KestilQueue* queue, void* owner, int32_t priority, double delay,
                      kestil_queue_handler handler, pthread_mutex_t* mutex);
// As kestil_queue_add; the handler receives (owner, data).
void kestil_queue_add_with_data(KestilQueue* queue, void* owner, int32_t priority, double delay,
                                kestil_queue_handler_with_data handler, void* data,
                                pthread_mutex_t* mutex);

// Sets the run-time warning limit (seconds, 0 or less: none) of the task the calling thread runs.
// Result: false when the calling thread runs no queue task.
bool kestil_set_handler_max_run_time(double seconds);

// Sets the pending-task warning limit (0: none) and allows the warning again.
// Result: false for a null queue.
bool kestil_queue_set_max_pending_tasks(KestilQueue* queue, uint64_t count);

// Removes every pending task whose owner and handler match (null matches all); a handler added
// with kestil_queue_add_with_data matches when cast to kestil_queue_handler. Then, unless called
// from the worker, waits while a matching task runs.
void kestil_queue_remove(KestilQueue* queue, void* owner, kestil_queue_handler handler);

// Waits until nothing is pending and nothing runs. Result: true when the queue became idle;
// false at once from the worker, and false when the queue is being deleted.
bool kestil_queue_drain(KestilQueue* queue);

// Stops the queue, discards its pending tasks and sets *queue to null. From another thread it
// waits for the running task and frees the queue; from one of its own handlers it returns at once
// and the worker frees the queue when the handler returns. Nothing for a null address or queue.
void kestil_queue_delete(KestilQueue** queue);

#ifdef __cplusplus
}
#endif

#endif
