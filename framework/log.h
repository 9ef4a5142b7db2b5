// framework/log.h - the framework's process-wide log
// Levels: 0 plain, 1 error, 2 info, 3 debug, 4 bus trace, 5 trace. A line is written when its
// level (absolute value) is at most the process level (initially 1). Each line is
// "HH:MM:SS.uuuuuu <log name>: <text>" on the standard error, or goes to the hook when one is set.
// Any thread may log: one non-recursive mutex serialises all lines and the hook is called with
// it held, so a hook must not log.
#ifndef KESTIL_FRAMEWORK_LOG_H
#define KESTIL_FRAMEWORK_LOG_H

#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Receives (level, line) instead of the standard error when set; null by default.
typedef void (*kestil_log_handler)(int level, const char* line);
extern kestil_log_handler kestil_log_message_handler;

// The last formatted message (131072 bytes, allocated on the first log call; null before).
extern char* kestil_last_message;
// The log name (255 bytes); filled on the first line written unless a host filled it before.
extern char kestil_log_name[255];
// Argument count and vector a host may set for the log name; 0 and null by default.
extern int kestil_main_argc;
extern char** kestil_main_argv;

// Given:  format, args   printf format and an already started argument list
// Effect: writes at level 0, whatever the process level
void kestil_log_message(const char* format, va_list args);

// Level 1 (always), 2, 3, 4 and 5 respectively.
void kestil_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void kestil_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void kestil_debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
void kestil_trace_bus(const char* format, ...) __attribute__((format(printf, 1, 2)));
void kestil_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes when |level| <= process level; the hook receives level with its sign.
void kestil_log_on_level(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Line writer behind all of the above: formats, stamps and splits the message into lines.
void kestil_log_base(int level, const char* format, va_list args);

// Driver log: "%s: %s" (driver, message) at level 2, "%s[%s:%d]: %s" at any other level.
void kestil_driver_log(int level, const char* driver, const char* file, int line,
                       const char* format, ...) __attribute__((format(printf, 5, 6)));

void kestil_set_log_level(int level);
int kestil_get_log_level(void);

// Returned: major 3, minor 0, build 11; each pointer may be null.
void kestil_get_version(int* major, int* minor, int* build);

#ifdef __cplusplus
}
#endif

#endif
