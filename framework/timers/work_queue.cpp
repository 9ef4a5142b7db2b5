// framework/timers/work_queue.cpp - work queues with a worker thread of their own
#include "framework/timers/work_queue.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#include "framework/alloc.h"
#include "framework/clock.h"
#include "framework/log.h"
#include "framework/timers/timers_internal.hpp"

namespace {

constexpr size_t min_worker_stack_bytes = 0x200000;  // 2 MiB
constexpr uint64_t default_max_pending = 100;
constexpr double default_max_run_time_seconds = 0.1;
constexpr size_t thread_name_capacity = 256;

// On a worker thread: its queue, and the task it runs (null between tasks).
thread_local KestilQueue* worker_queue = nullptr;
thread_local KestilQueueTask* current_task = nullptr;

std::atomic<size_t> live_queues{0};

class QueueLockGuard {
public:
    explicit QueueLockGuard(KestilQueue* queue) : queue_(queue) { pthread_mutex_lock(&queue_->lock); }
    ~QueueLockGuard() { pthread_mutex_unlock(&queue_->lock); }
    QueueLockGuard(const QueueLockGuard&) = delete;
    QueueLockGuard& operator=(const QueueLockGuard&) = delete;

private:
    KestilQueue* queue_;
};

bool time_before(const KestilWallTime& a, const KestilWallTime& b) {
    if (a.seconds != b.seconds) return a.seconds < b.seconds;
    return a.nanoseconds < b.nanoseconds;
}

KestilWallTime wall_clock_now() {
    KestilWallTime now{};
    kestil_realtime(&now.seconds, &now.nanoseconds);
    return now;
}

bool matches(const KestilQueueTask* task, void* owner, kestil_queue_handler handler) {
    return (!owner || task->owner == owner) &&
           (!handler || task->handler == reinterpret_cast<void (*)(void)>(handler));
}

void free_tasks(KestilQueue* queue) {
    while (queue->tasks) {
        KestilQueueTask* task = queue->tasks;
        queue->tasks = task->next;
        free(task);
        --queue->pending;
    }
}

// Frees the queue with any task added after it began stopping (by its last running handler).
void free_queue(KestilQueue* queue) {
    free_tasks(queue);
    pthread_cond_destroy(&queue->wake);
    pthread_mutex_destroy(&queue->lock);
    free(queue);
    live_queues.fetch_sub(1);
}

void add_task(KestilQueue* queue, KestilQueueTask* task) {
    QueueLockGuard guard(queue);
    KestilQueueTask** link = &queue->tasks;
    while (*link && !time_before(task->due, (*link)->due)) link = &(*link)->next;
    task->next = *link;
    *link = task;
    ++queue->pending;
    if (queue->max_pending != 0 && queue->pending > queue->max_pending && !queue->warned) {
        queue->warned = 1;
        kestil_debug("Handler queue for '%s' has %zu pending tasks, more than %zu task limit",
                     queue->thread_name, static_cast<size_t>(queue->pending),
                     static_cast<size_t>(queue->max_pending));
    }
    pthread_cond_broadcast(&queue->wake);
}

KestilQueueTask* new_task(void* owner, int32_t priority, double delay, void (*handler)(void),
                          pthread_mutex_t* mutex) {
    auto* task = static_cast<KestilQueueTask*>(kestil_checked_calloc(1, sizeof(KestilQueueTask)));
    task->owner = owner;
    task->priority = priority;
    task->due = kestil_delay_to_time(delay);
    task->max_run_time = default_max_run_time_seconds;
    task->handler = handler;
    task->mutex = mutex;
    return task;
}

// The due task to run next (highest priority, the first among equals) with the link that holds
// it, or null when no task is due. Queue lock held.
KestilQueueTask** pick_due_task(KestilQueue* queue) {
    const KestilWallTime now = wall_clock_now();
    KestilQueueTask** best = nullptr;
    for (KestilQueueTask** link = &queue->tasks; *link && !time_before(now, (*link)->due);
         link = &(*link)->next) {
        if (!best || (*link)->priority > (*best)->priority) best = link;
    }
    return best;
}

// Calls the task's handler (queue lock released). Result: the run time in seconds.
double call_handler(KestilQueueTask* task) {
    double lateness = 0;
    if (task->due.seconds != 0 || task->due.nanoseconds != 0) {
        const KestilWallTime now = wall_clock_now();
        lateness = static_cast<double>(now.seconds - task->due.seconds) +
                   static_cast<double>(now.nanoseconds - task->due.nanoseconds) * 1e-9;
    }
    kestil_trace("Executing task %p: priority %d, delay %.6fs",
                 reinterpret_cast<void*>(task->handler), task->priority, lateness);
    const double start = kestil_monotonic_time();
    current_task = task;
    if (task->mutex) pthread_mutex_lock(task->mutex);
    if (task->with_data)
        reinterpret_cast<kestil_queue_handler_with_data>(task->handler)(task->owner, task->data);
    else
        reinterpret_cast<kestil_queue_handler>(task->handler)(task->owner);
    if (task->mutex) pthread_mutex_unlock(task->mutex);
    current_task = nullptr;
    return kestil_monotonic_time() - start;
}

// Runs due tasks one at a time while the queue is not stopping. Queue lock held on entry and exit.
void run_due_tasks(KestilQueue* queue) {
    while (!queue->stopping) {
        KestilQueueTask** link = pick_due_task(queue);
        if (!link) return;
        KestilQueueTask* task = *link;
        *link = task->next;
        task->next = nullptr;
        --queue->pending;
        queue->current = task;
        queue->running = 1;
        pthread_mutex_unlock(&queue->lock);

        const double run_time = call_handler(task);

        pthread_mutex_lock(&queue->lock);
        if (task->max_run_time > 0 && run_time > task->max_run_time)
            kestil_debug("Handler queue task for '%s' took %.3fs, longer than %.3fs limit",
                         queue->thread_name, run_time, task->max_run_time);
        queue->current = nullptr;
        free(task);
        queue->running = 0;
        pthread_cond_broadcast(&queue->wake);
    }
}

// Renames the worker after its queue's thread_name (queue lock held, released around it).
void rename_worker(KestilQueue* queue) {
    char name[thread_name_capacity];
    snprintf(name, sizeof name, "%s", queue->thread_name);
    pthread_mutex_unlock(&queue->lock);
    kestil_rename_thread("%s", name);
    pthread_mutex_lock(&queue->lock);
}

void* worker_thread(void* argument) {
    auto* queue = static_cast<KestilQueue*>(argument);
    worker_queue = queue;
    pthread_mutex_lock(&queue->lock);
    queue->started = 1;
    pthread_cond_broadcast(&queue->wake);
    rename_worker(queue);
    for (;;) {
        if (queue->stopping) {
            if (!queue->self_delete) {
                pthread_mutex_unlock(&queue->lock);
                return nullptr;
            }
            // Deleted by one of its handlers: nobody joins this thread, and the queue goes once
            // the threads still waiting in drain or remove have left it.
            while (queue->waiters > 0) pthread_cond_wait(&queue->wake, &queue->lock);
            pthread_mutex_unlock(&queue->lock);
            pthread_detach(pthread_self());
            free_queue(queue);
            return nullptr;
        }
        if (queue->rename) {
            queue->rename = 0;
            rename_worker(queue);
            continue;
        }
        if (!queue->tasks) {
            pthread_cond_wait(&queue->wake, &queue->lock);
            continue;
        }
        const KestilWallTime first_due = queue->tasks->due;
        if (time_before(wall_clock_now(), first_due)) {
            timespec deadline{};
            deadline.tv_sec = static_cast<time_t>(first_due.seconds);
            deadline.tv_nsec = first_due.nanoseconds;
            pthread_cond_timedwait(&queue->wake, &queue->lock, &deadline);
            continue;
        }
        run_due_tasks(queue);
    }
}

}  // namespace

namespace kestil_timers_internal {

size_t live_queue_count() { return live_queues.load(); }

uint32_t queue_waiters(KestilQueue* queue) {
    QueueLockGuard guard(queue);
    return queue->waiters;
}

bool queue_stopping(KestilQueue* queue) {
    QueueLockGuard guard(queue);
    return queue->stopping != 0;
}

}  // namespace kestil_timers_internal

extern "C" {

KestilQueue* kestil_queue_create(const char* name) {
    auto* queue = static_cast<KestilQueue*>(kestil_checked_calloc(1, sizeof(KestilQueue)));
    queue->name = name;
    if (name)
        snprintf(queue->thread_name, sizeof queue->thread_name, "Queue %s", name);
    else
        snprintf(queue->thread_name, sizeof queue->thread_name, "%s", "Queue");
    pthread_cond_init(&queue->wake, nullptr);
    pthread_mutex_init(&queue->lock, nullptr);
    queue->max_pending = default_max_pending;
    live_queues.fetch_add(1);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    size_t stack_bytes = 0;
    if (pthread_attr_getstacksize(&attributes, &stack_bytes) == 0 &&
        stack_bytes < min_worker_stack_bytes)
        pthread_attr_setstacksize(&attributes, min_worker_stack_bytes);
    int status = pthread_create(&queue->thread, &attributes, worker_thread, queue);
    pthread_attr_destroy(&attributes);
    if (status != 0) {
        kestil_error("Failed to start queue thread (%d)", status);
        free_queue(queue);
        return nullptr;
    }
    QueueLockGuard guard(queue);
    while (!queue->started) pthread_cond_wait(&queue->wake, &queue->lock);
    return queue;
}

void kestil_queue_set_name(KestilQueue* queue, const char* name) {
    if (!queue || !name) return;
    QueueLockGuard guard(queue);
    snprintf(queue->thread_name, sizeof queue->thread_name, "%s", name);
    queue->rename = 1;
    pthread_cond_broadcast(&queue->wake);
}

void kestil_queue_add(KestilQueue* queue, void* owner, int32_t priority, double delay,
                      kestil_queue_handler handler, pthread_mutex_t* mutex) {
    if (!queue) return;
    add_task(queue, new_task(owner, priority, delay, reinterpret_cast<void (*)(void)>(handler),
                             mutex));
}

void kestil_queue_add_with_data(KestilQueue* queue, void* owner, int32_t priority, double delay,
                                kestil_queue_handler_with_data handler, void* data,
                                pthread_mutex_t* mutex) {
    if (!queue) return;
    KestilQueueTask* task =
        new_task(owner, priority, delay, reinterpret_cast<void (*)(void)>(handler), mutex);
    task->data = data;
    task->with_data = 1;
    add_task(queue, task);
}

bool kestil_set_handler_max_run_time(double seconds) {
    if (!current_task) return false;
    current_task->max_run_time = seconds;
    return true;
}

bool kestil_queue_set_max_pending_tasks(KestilQueue* queue, uint64_t count) {
    if (!queue) return false;
    QueueLockGuard guard(queue);
    queue->max_pending = count;
    queue->warned = 0;
    return true;
}

void kestil_queue_remove(KestilQueue* queue, void* owner, kestil_queue_handler handler) {
    if (!queue) return;
    QueueLockGuard guard(queue);
    for (KestilQueueTask** link = &queue->tasks; *link;) {
        KestilQueueTask* task = *link;
        if (!matches(task, owner, handler)) {
            link = &task->next;
            continue;
        }
        *link = task->next;
        free(task);
        --queue->pending;
    }
    pthread_cond_broadcast(&queue->wake);
    if (worker_queue == queue) return;
    ++queue->waiters;
    while (queue->running && queue->current && matches(queue->current, owner, handler))
        pthread_cond_wait(&queue->wake, &queue->lock);
    --queue->waiters;
    pthread_cond_broadcast(&queue->wake);
}

bool kestil_queue_drain(KestilQueue* queue) {
    if (!queue || worker_queue == queue) return false;
    QueueLockGuard guard(queue);
    ++queue->waiters;
    while (!queue->stopping && (queue->pending > 0 || queue->running))
        pthread_cond_wait(&queue->wake, &queue->lock);
    --queue->waiters;
    pthread_cond_broadcast(&queue->wake);
    return !queue->stopping;
}

void kestil_queue_delete(KestilQueue** address) {
    if (!address || !*address) return;
    KestilQueue* queue = *address;
    const bool from_worker = worker_queue == queue;
    pthread_mutex_lock(&queue->lock);
    queue->stopping = 1;
    if (from_worker) queue->self_delete = 1;
    free_tasks(queue);
    pthread_cond_broadcast(&queue->wake);
    if (!from_worker) {
        // Also waits for the threads inside drain and remove, which leave once stopping is set
        // and nothing runs, so that none of them touches the queue after it is freed.
        while (queue->running || queue->waiters > 0)
            pthread_cond_wait(&queue->wake, &queue->lock);
    }
    pthread_mutex_unlock(&queue->lock);
    if (!from_worker) {
        pthread_join(queue->thread, nullptr);
        free_queue(queue);
    }
    *address = nullptr;
}

}  // extern "C"
