// framework/io/uni_io.h - uniform I/O handles over files, TCP connections and UDP sockets
// One kind of handle serves a device file, a network device and a log file alike, and every
// exchange is traced the same way: each line begins with the handle's number and an arrow,
// "->" for data read, "<-" for data written and for actions on the handle.
//
// Trace form (log_level): a negative value -n logs byte counts only, at level n; otherwise the
// low 12 bits give the level, and with KESTIL_UNI_LOG_HEX the data are logged as a hexadecimal
// dump (the first 64 bytes as "XX " each, then "..." when there are more) instead of as text.
// Lines go through kestil_log_on_level (framework/log.h); failures go to kestil_error.
//
// Timeouts are in microseconds; a negative timeout waits without limit.
// Every failed system call records its error code in the handle (errno); from then on reads and
// writes of the handle fail at once with -1. Sockets are written with MSG_NOSIGNAL, so a lost
// peer gives an error, never SIGPIPE.
//
// Threads: a handle belongs to one user at a time, except that kestil_uni_kill_socket may be
// called from another thread to wake a blocked reader. The handle counter is taken under a
// mutex. kestil_uni_strerror, kestil_last_wsa_error and the hexadecimal dump use per-thread
// buffers that the next call on the same thread overwrites.
#ifndef KESTIL_FRAMEWORK_IO_UNI_IO_H
#define KESTIL_FRAMEWORK_IO_UNI_IO_H

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    // Handle kinds (UniHandle.kind). Kind 1 is made by no operation here.
    KESTIL_UNI_FILE = 0,
    KESTIL_UNI_TCP = 2,
    KESTIL_UNI_UDP = 3,
    // Socket kinds of kestil_uni_open_client_socket (one less than the handle kind).
    KESTIL_UNI_CLIENT_TCP = 1,
    KESTIL_UNI_CLIENT_UDP = 2,
    // log_level flag: data traced as a hexadecimal dump.
    KESTIL_UNI_LOG_HEX = 0x1000,
};

// A handle (heap record, zero-filled at creation, freed by kestil_uni_close).
typedef struct UniHandle {
    uint32_t id;        // handle number from the process-wide counter (first handle: 1)
    int32_t kind;       // KESTIL_UNI_FILE, KESTIL_UNI_TCP or KESTIL_UNI_UDP
    int descriptor;     // file descriptor or socket
    int32_t log_level;  // level and form of the trace lines (above)
    int32_t error;      // last error code (errno); once set, reads and writes fail
} UniHandle;

// Starts the socket layer: nothing to do on POSIX systems.
void kestil_init_uni_io(void);

// Opens path for reading. Logs "%d <- // %s opened".
// Result: a handle of kind 0, or null after "Failed to open %s" at the handle's level.
UniHandle* kestil_uni_open_file(const char* path, int32_t log_level);
// Opens path for writing, created (owner read and write) when missing, truncated otherwise.
// Logs "%d <- // %s created". Result: a handle of kind 0, or null after the error
// "Failed to create %s".
UniHandle* kestil_uni_create_file(const char* path, int32_t log_level);

// Connects to the first IPv4 address of host at port (1 to 65535); kind KESTIL_UNI_CLIENT_TCP
// or KESTIL_UNI_CLIENT_UDP. TCP connections get keep-alive (idle 10 s, interval 3 s, 3 probes,
// TCP_USER_TIMEOUT 20 s; a failing setting is logged and the connection kept).
// The variant with a timeout waits at most timeout microseconds for the connection.
// Logs "%d <- // %s socket connected to '%s:%d'".
// Result: a handle of kind 2 (TCP) or 3 (UDP), or null (an unresolved host, a bad kind or port,
//         or "Can't connect %s socket for '%s:%d'" at the handle's level).
UniHandle* kestil_uni_open_client_socket(const char* host, int32_t port, int32_t kind,
                                         int32_t log_level);
UniHandle* kestil_uni_open_client_socket_with_timeout(const char* host, int32_t port,
                                                      int32_t kind, int64_t timeout,
                                                      int32_t log_level);

// Connects (without timeout) to "scheme://host[:port]". The scheme is letters, then letters,
// digits, "+", "-" or "."; "tcp" selects TCP, "udp" UDP, any other the default kind (2 TCP or
// 3 UDP). The host has 1 to 127 characters, none of them a control character, a blank, DEL or
// one of "/?#@[]"; the port (default_port when absent) is 1 to 65535 in decimal digits only.
// Result: a handle, or null (debug "Empty URL" or "Malformed URL '%s'" for unusable text).
UniHandle* kestil_uni_open_url(const char* url, int32_t default_port, int32_t default_kind,
                               int32_t log_level);
// Result: false for null or empty text; true when it begins with "tcp://" or "udp://", or with
//         scheme (when not null or empty) followed by "://".
bool kestil_uni_is_url(const char* text, const char* scheme);

// Socket options, sockets only (other handles are left alone). Timeouts are applied in whole
// milliseconds; a negative or sub-millisecond timeout means no limit. Each logs
// "%d <- // Set socket read timeout %ld" (write timeout, "no delay %d") or a failure line.
void kestil_uni_set_socket_read_timeout(UniHandle* handle, int64_t timeout);
void kestil_uni_set_socket_write_timeout(UniHandle* handle, int64_t timeout);
// TCP only.
void kestil_uni_set_socket_nodelay_option(UniHandle* handle);

// Result: 1 data ready (a file always), 0 timed out (or a handle of another kind),
//         -1 failure ("%d -> // Failed to wait for (%s)") or null handle.
int32_t kestil_uni_wait_for_data(UniHandle* handle, int64_t timeout);

// One read of at most size bytes (one datagram for UDP), traced.
// Result: bytes read, 0 at end of data (not traced), -1 on failure ("%d -> // Failed to read").
int32_t kestil_uni_read_available(UniHandle* handle, void* buffer, size_t size);
// TCP only: copies waiting data without consuming them (not traced).
// Result: bytes copied, 0 at end of data, -1 on failure ("%d -> // Failed to peek (%s)") or for
//         other kinds.
int32_t kestil_uni_peek_available(UniHandle* handle, void* buffer, size_t size);
// Reads exactly size bytes (UDP: one datagram, as kestil_uni_read_available); the block is
// traced once complete. Result: size; fewer (untraced) when the data end early; -1 on failure.
int32_t kestil_uni_read(UniHandle* handle, void* buffer, size_t size);
// Sockets: drops single bytes for as long as each next one arrives within 10 ms, then logs
// "%d <- // %ld bytes discarded". Result: bytes dropped (0 for files), -1 on failure.
int32_t kestil_uni_discard(UniHandle* handle);

// Reads single bytes into buffer: before each byte, when the timeout in force is not negative
// (first_timeout for the first byte, timeout for the others) waits for data and ends the section
// when none comes. A byte in ignored is dropped, any other stored; a byte in terminators ends
// the section (stored unless also ignored). At most size - 1 bytes are stored and a NUL follows.
// The section is traced like a read. Result: its length; 0 at end of data with nothing read
// (a section cut short by the end of data is returned as it is); -1 on failure.
int32_t kestil_uni_read_section2(UniHandle* handle, char* buffer, size_t size,
                                 const char* terminators, const char* ignored,
                                 int64_t first_timeout, int64_t timeout);
// The same with timeout -1: only the first byte waits.
int32_t kestil_uni_read_section(UniHandle* handle, char* buffer, size_t size,
                                const char* terminators, const char* ignored, int64_t timeout);
// Waits up to 5 s for data, reads one line (up to a line feed or 131071 characters, carriage
// returns and line feeds dropped), traces it and parses it with format (scanf rules).
// Result: the number of fields assigned; 0 for an empty line, a timeout or a failed read;
//         -1 for a null handle.
int32_t kestil_uni_scanf_line(UniHandle* handle, const char* format, ...)
    __attribute__((format(scanf, 2, 3)));

// Writes all bytes (UDP: one datagram), traced once.
// Result: bytes written (fewer when the system accepts no more), -1 on failure
//         ("%d <- // Failed to write (%s)").
int32_t kestil_uni_write(UniHandle* handle, const void* data, size_t size);
// Formats (a format without "%" is written as it is) and writes. Result: as kestil_uni_write.
int32_t kestil_uni_printf(UniHandle* handle, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int32_t kestil_uni_vprintf(UniHandle* handle, const char* format, va_list arguments)
    __attribute__((format(printf, 2, 0)));
// Writes the formatted text, then terminator untraced (the handle's level is raised to 9999
// for that write alone). Result: the sum of both writes, -1 when either fails.
int32_t kestil_uni_vtprintf(UniHandle* handle, const char* format, va_list arguments,
                            const char* terminator) __attribute__((format(printf, 2, 0)));

// Files only. origin: SEEK_SET, SEEK_CUR or SEEK_END (0, 1, 2).
// Result: the new position, -1 for other handles or on failure ("%d <- // Failed to seek (%s)").
int64_t kestil_uni_seek(UniHandle* handle, int64_t offset, int32_t origin);
// Files only: takes an exclusive lock on the whole file without waiting ("%d <- // locked").
// Result: true when locked; false for other handles or after the error
//         "%d <- // Failed to lock %s" (the error text).
bool kestil_uni_lock_file(UniHandle* handle);

// A connection test. Result: true for a TCP handle whose zero-byte send succeeds or would block;
//         false for a null handle; otherwise the error "%d <- // Lost connection" and false.
bool kestil_uni_is_valid(UniHandle* handle);
// Result: false for a null handle and files; true when an error is recorded; true after the
//         error "%d <- // Lost connection" for UDP and for a TCP handle whose zero-byte send
//         fails; true after the error "%d <- // Connection closed" for a TCP handle readable at
//         once with no data; false otherwise.
bool kestil_uni_is_connection_lost(UniHandle* handle);
// Sockets only: lingering on for 1 s, both directions shut down ("%d <- // Connection killed");
// a reader blocked on the handle wakes up at end of data. The handle stays allocated.
void kestil_uni_kill_socket(UniHandle* handle);
// Given and returned: handle_variable, set to null before the handle is closed ("%d <- //
// Closed") and freed. A null address or handle does nothing.
void kestil_uni_close(UniHandle** handle_variable);

// Result: the text of the handle's recorded error, "NULL handle" for null (128-byte buffer).
const char* kestil_uni_strerror(UniHandle* handle);
// Result: the text of the last socket error (errno), in a 128-byte buffer.
const char* kestil_last_wsa_error(void);

#ifdef __cplusplus
}
#endif

#endif
