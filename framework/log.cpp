// framework/log.cpp - the framework's process-wide log
#include "framework/log.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "framework/alloc.h"
#include "framework/clock.h"

namespace {

constexpr size_t message_capacity = 131072;  // 128 KiB, holds 131071 characters and a NUL
constexpr size_t continuation_capacity = 128;
constexpr size_t max_prefix_position = 28;   // an arrow at or after this position is no prefix

std::atomic<int> log_level{1};
pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t driver_log_mutex = PTHREAD_MUTEX_INITIALIZER;
char* driver_log_buffer = nullptr;
char continuation_line[continuation_capacity];

// Prefix length of a message whose first line starts with "name -> " or "name <- " (the arrow
// and the blank after it included), 0 when there is none.
size_t continuation_prefix(const char* message) {
    for (const char* arrow : {" -> ", " <- "}) {
        const char* found = strstr(message, arrow);
        if (found && static_cast<size_t>(found - message) < max_prefix_position)
            return static_cast<size_t>(found - message) + 4;
    }
    return 0;
}

// "HH:MM:SS.uuuuuu" in local time; the microseconds are whole milliseconds times 1000.
void format_time_stamp(char* stamp, size_t size) {
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    kestil_realtime(&seconds, &nanoseconds);
    time_t whole = static_cast<time_t>(seconds);
    tm local{};
    if (!localtime_r(&whole, &local)) {
        time_t now = time(nullptr);
        localtime_r(&now, &local);
    }
    size_t length = strftime(stamp, size, "%H:%M:%S", &local);
    snprintf(stamp + length, size - length, ".%06d", (nanoseconds / 1000000) * 1000);
}

void fill_log_name() {
    if (kestil_log_name[0]) return;
    if (kestil_main_argc != 0 && kestil_main_argv && kestil_main_argv[0]) {
        const char* name = kestil_main_argv[0];
        for (const char* p = name; *p; ++p)
            if (*p == '\\' || *p == '/') name = p + 1;
        snprintf(kestil_log_name, sizeof kestil_log_name, "%s", name);
    } else {
        snprintf(kestil_log_name, sizeof kestil_log_name, "%s", "Application");
    }
}

void write_lines(int level, char* message) {
    size_t prefix_length = continuation_prefix(message);
    char prefix[32] = "";
    snprintf(prefix, sizeof prefix, "%.*s", static_cast<int>(prefix_length), message);
    char stamp[32];
    format_time_stamp(stamp, sizeof stamp);
    fill_log_name();

    bool first = true;
    char* line = message;
    while (line) {
        char* end = strchr(line, '\n');
        if (end) *end = '\0';
        if (*line) {
            if (first || prefix_length == 0) {
                if (kestil_log_message_handler)
                    kestil_log_message_handler(level, line);
                else
                    fprintf(stderr, "%s %s: %s\n", stamp, kestil_log_name, line);
            } else if (kestil_log_message_handler) {
                snprintf(continuation_line, sizeof continuation_line, "%s%s", prefix, line);
                kestil_log_message_handler(level, continuation_line);
            } else {
                fprintf(stderr, "%s %s: %s%s\n", stamp, kestil_log_name, prefix, line);
            }
            first = false;
        }
        if (end) *end = '\n';
        line = end ? end + 1 : nullptr;
    }
}

}  // namespace

extern "C" {

kestil_log_handler kestil_log_message_handler = nullptr;
char* kestil_last_message = nullptr;
char kestil_log_name[255] = "";
int kestil_main_argc = 0;
char** kestil_main_argv = nullptr;

void kestil_log_base(int level, const char* format, va_list args) {
    pthread_mutex_lock(&log_mutex);
    if (!kestil_last_message)
        kestil_last_message = static_cast<char*>(kestil_checked_calloc(message_capacity, 1));
    vsnprintf(kestil_last_message, message_capacity, format, args);
    write_lines(level, kestil_last_message);
    pthread_mutex_unlock(&log_mutex);
}

void kestil_log_message(const char* format, va_list args) { kestil_log_base(0, format, args); }

#define KESTIL_LEVEL_FUNCTION(name, level)             \
    void name(const char* format, ...) {               \
        if ((level) > log_level.load()) return;        \
        va_list args;                                  \
        va_start(args, format);                        \
        kestil_log_base((level), format, args);        \
        va_end(args);                                  \
    }

KESTIL_LEVEL_FUNCTION(kestil_error, 1)
KESTIL_LEVEL_FUNCTION(kestil_log, 2)
KESTIL_LEVEL_FUNCTION(kestil_debug, 3)
KESTIL_LEVEL_FUNCTION(kestil_trace_bus, 4)
KESTIL_LEVEL_FUNCTION(kestil_trace, 5)
#undef KESTIL_LEVEL_FUNCTION

void kestil_log_on_level(int level, const char* format, ...) {
    int magnitude = level < 0 ? -level : level;
    if (magnitude > log_level.load()) return;
    va_list args;
    va_start(args, format);
    kestil_log_base(level, format, args);
    va_end(args);
}

void kestil_driver_log(int level, const char* driver, const char* file, int line,
                       const char* format, ...) {
    if (log_level.load() < level) return;
    pthread_mutex_lock(&driver_log_mutex);
    if (!driver_log_buffer)
        driver_log_buffer = static_cast<char*>(kestil_checked_calloc(message_capacity, 1));
    va_list args;
    va_start(args, format);
    vsnprintf(driver_log_buffer, message_capacity, format, args);
    va_end(args);
    if (level == 2)
        kestil_log_on_level(level, "%s: %s", driver, driver_log_buffer);
    else
        kestil_log_on_level(level, "%s[%s:%d]: %s", driver, file, line, driver_log_buffer);
    pthread_mutex_unlock(&driver_log_mutex);
}

void kestil_set_log_level(int level) { log_level.store(level); }
int kestil_get_log_level(void) { return log_level.load(); }

void kestil_get_version(int* major, int* minor, int* build) {
    if (major) *major = 3;
    if (minor) *minor = 0;
    if (build) *build = 11;
}

}  // extern "C"
