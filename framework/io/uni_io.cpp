// framework/io/uni_io.cpp - uniform I/O handles over files, TCP connections and UDP sockets
#include "framework/io/uni_io.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <mutex>

#include "framework/alloc.h"
#include "framework/clock.h"
#include "framework/handles.hpp"
#include "framework/log.h"

namespace {

constexpr int32_t level_mask = 0xFFF;
constexpr int32_t untraced_level = 9999;       // above every process level
constexpr size_t hex_dump_bytes = 64;          // bytes shown by a hexadecimal trace
constexpr size_t text_capacity = 128;          // error texts
constexpr size_t line_capacity = 131072;       // 128 KiB: scanf lines and printf buffers
constexpr int64_t discard_wait_us = 10000;     // a discarded byte must follow within 10 ms
constexpr int64_t scanf_wait_us = 5000000;     // a scanf line must start within 5 s
constexpr size_t max_url_host = 127;
constexpr int max_port = 65535;
// Keep-alive of TCP connections: a dead peer is noticed after about 10 + 3 x 3 seconds, and
// unacknowledged data give up after 20 seconds.
constexpr int keepalive_idle_s = 10;
constexpr int keepalive_interval_s = 3;
constexpr int keepalive_probes = 3;
constexpr unsigned user_timeout_ms = 20000;
constexpr int linger_s = 1;

std::mutex counter_mutex;
uint32_t handle_counter = 0;

thread_local char strerror_buffer[text_capacity];
thread_local char wsa_error_buffer[text_capacity];
thread_local char hex_buffer[hex_dump_bytes * 3 + 4];

using Buffer = std::unique_ptr<char, FreeDeleter>;

// An error text in a buffer of the caller's stack: the system's message, cut at a carriage
// return, so that log lines never touch the shared buffers.
struct ErrorText {
    char text[text_capacity];
};

ErrorText error_text(int code) {
    ErrorText result{};
    char scratch[text_capacity];
    const char* message = strerror_r(code, scratch, sizeof scratch);
    snprintf(result.text, sizeof result.text, "%s", message ? message : "Unknown error");
    if (char* cut = strchr(result.text, '\r')) *cut = '\0';
    return result;
}

bool is_socket(const UniHandle* handle) {
    return handle->kind == KESTIL_UNI_TCP || handle->kind == KESTIL_UNI_UDP;
}

int id_of(const UniHandle* handle) { return static_cast<int>(handle->id); }

// The level at which a handle's lines are written: n for the count form -n, otherwise the low
// 12 bits.
int line_level(int32_t log_level) {
    if (log_level < 0) return log_level == INT32_MIN ? INT32_MAX : -log_level;
    return log_level & level_mask;
}

bool level_shown(int level) { return level <= kestil_get_log_level(); }

// "XX XX ... " for the first 64 bytes, then "..." when there are more.
const char* hex_dump(const unsigned char* data, size_t length) {
    static constexpr char digits[] = "0123456789ABCDEF";
    size_t shown = length < hex_dump_bytes ? length : hex_dump_bytes;
    char* out = hex_buffer;
    for (size_t i = 0; i < shown; ++i) {
        *out++ = digits[data[i] >> 4];
        *out++ = digits[data[i] & 0xF];
        *out++ = ' ';
    }
    if (length > shown) {
        memcpy(out, "...", 3);
        out += 3;
    }
    *out = '\0';
    return hex_buffer;
}

// Traces length bytes of data; arrow "->" (read) or "<-" (written).
void trace_data(const UniHandle* handle, const char* arrow, const char* verb, const void* data,
                size_t length) {
    int level = line_level(handle->log_level);
    if (!level_shown(level)) return;
    if (handle->log_level < 0) {
        kestil_log_on_level(level, "%d %s // %ld bytes %s", id_of(handle), arrow,
                            static_cast<long>(length), verb);
    } else if (handle->log_level & KESTIL_UNI_LOG_HEX) {
        kestil_log_on_level(level, "%d %s %s", id_of(handle), arrow,
                            hex_dump(static_cast<const unsigned char*>(data), length));
    } else {
        int shown = length > INT_MAX ? INT_MAX : static_cast<int>(length);
        kestil_log_on_level(level, "%d %s %.*s", id_of(handle), arrow, shown,
                            static_cast<const char*>(data));
    }
}

void trace_read(const UniHandle* handle, const void* data, size_t length) {
    trace_data(handle, "->", "read", data, length);
}

void trace_written(const UniHandle* handle, const void* data, size_t length) {
    trace_data(handle, "<-", "written", data, length);
}

// Records errno in the handle and logs the failure line "<id> <arrow> // Failed to <what> (..)".
void record_failure(UniHandle* handle, const char* arrow, const char* what) {
    int code = errno ? errno : EIO;
    handle->error = code;
    kestil_error("%d %s // Failed to %s (%s)", id_of(handle), arrow, what, error_text(code).text);
}

UniHandle* make_handle(int32_t kind, int descriptor, int32_t log_level) {
    auto* handle = static_cast<UniHandle*>(kestil_checked_calloc(1, sizeof(UniHandle)));
    {
        std::lock_guard<std::mutex> lock(counter_mutex);
        handle->id = ++handle_counter;
    }
    handle->kind = kind;
    handle->descriptor = descriptor;
    handle->log_level = log_level;
    return handle;
}

// Waits until fd shows one of events. Result: 1 ready, 0 timed out, -1 failure (errno set).
int wait_for(int fd, short events, int64_t timeout_us) {
    double deadline = kestil_monotonic_time() + static_cast<double>(timeout_us) * 1e-6;
    for (;;) {
        timespec limit{};
        timespec* limit_pointer = nullptr;
        if (timeout_us >= 0) {
            double remaining = deadline - kestil_monotonic_time();
            if (remaining < 0.0) remaining = 0.0;
            double whole = std::floor(remaining);
            limit.tv_sec = static_cast<time_t>(whole);
            limit.tv_nsec = static_cast<long>((remaining - whole) * 1e9);
            limit_pointer = &limit;
        }
        pollfd entry{fd, events, 0};
        int ready = ppoll(&entry, 1, limit_pointer, nullptr);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        if (entry.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        return 1;
    }
}

ssize_t raw_read(const UniHandle* handle, void* buffer, size_t size, int flags = 0) {
    for (;;) {
        ssize_t count = is_socket(handle) ? recv(handle->descriptor, buffer, size, flags)
                                          : read(handle->descriptor, buffer, size);
        if (count < 0 && errno == EINTR) continue;
        return count;
    }
}

ssize_t raw_write(const UniHandle* handle, const void* data, size_t size) {
    for (;;) {
        ssize_t count = is_socket(handle) ? send(handle->descriptor, data, size, MSG_NOSIGNAL)
                                          : write(handle->descriptor, data, size);
        if (count < 0 && errno == EINTR) continue;
        return count;
    }
}

// One byte, for the byte-wise readers. Result: 1, 0 at end of data, -1 after a recorded failure.
int read_byte(UniHandle* handle, char* byte) {
    if (handle->error) return -1;
    ssize_t count = raw_read(handle, byte, 1);
    if (count < 0) {
        record_failure(handle, "->", "read");
        return -1;
    }
    return count > 0 ? 1 : 0;
}

size_t clamp_size(size_t size) {
    return size > static_cast<size_t>(INT32_MAX) ? static_cast<size_t>(INT32_MAX) : size;
}

bool in_set(const char* set, char byte) {
    return set && byte != '\0' && strchr(set, byte) != nullptr;
}

// Lingering on for one second and both directions shut down; errors do not matter here.
void shut_down(const UniHandle* handle) {
    linger option{1, linger_s};
    setsockopt(handle->descriptor, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    shutdown(handle->descriptor, SHUT_RDWR);
}

// Keep-alive probes after 10 s of silence, every 3 s, 3 of them; unacknowledged data give up
// after 20 s. A setting that fails is logged and the connection kept.
void set_keepalive(int fd) {
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        kestil_error("Can't set SO_KEEPALIVE on socket (%d)", errno);
    int idle = keepalive_idle_s, interval = keepalive_interval_s;
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0)
        kestil_error("Can't set SIO_KEEPALIVE_VALS on socket (%d)", errno);
    int probes = keepalive_probes;
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0)
        kestil_error("Can't set TCP_KEEPCNT on socket (%d)", errno);
    unsigned user_timeout = user_timeout_ms;
    if (setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout) != 0)
        kestil_error("Can't set TCP_MAXRT on socket (%d)", errno);
}

bool resolve_ipv4(const char* host, int socket_type, sockaddr_in* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = socket_type;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
    memcpy(address, found->ai_addr, sizeof *address);
    freeaddrinfo(found);
    return true;
}

// Connects fd, waiting at most timeout_us (negative: no limit) when with_timeout is set.
bool connect_socket(int fd, const sockaddr_in& address, bool with_timeout, int64_t timeout_us) {
    const auto* target = reinterpret_cast<const sockaddr*>(&address);
    if (!with_timeout) {
        int status;
        do status = connect(fd, target, sizeof address);
        while (status != 0 && errno == EINTR);
        return status == 0;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    bool connected = connect(fd, target, sizeof address) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
        int pending = 0;
        socklen_t length = sizeof pending;
        connected = wait_for(fd, POLLOUT, timeout_us) == 1 &&
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending == 0;
    }
    return fcntl(fd, F_SETFL, flags) == 0 && connected;
}

UniHandle* open_socket(const char* host, int32_t port, int32_t kind, bool with_timeout,
                       int64_t timeout_us, int32_t log_level) {
    if (!host || (kind != KESTIL_UNI_CLIENT_TCP && kind != KESTIL_UNI_CLIENT_UDP)) return nullptr;
    bool tcp = kind == KESTIL_UNI_CLIENT_TCP;
    const char* name = tcp ? "TCP" : "UDP";
    int socket_type = tcp ? SOCK_STREAM : SOCK_DGRAM;
    // A port outside 1..65535 would be cut to 16 bits and reach another service.
    bool port_usable = port >= 1 && port <= max_port;
    sockaddr_in address{};
    if (port_usable && !resolve_ipv4(host, socket_type, &address)) return nullptr;
    address.sin_port = htons(static_cast<uint16_t>(port));
    int fd = port_usable ? socket(AF_INET, socket_type | SOCK_CLOEXEC, 0) : -1;
    if (fd < 0 || !connect_socket(fd, address, with_timeout, timeout_us)) {
        kestil_log_on_level(line_level(log_level), "Can't connect %s socket for '%s:%d'", name,
                            host, port);
        if (fd >= 0) close(fd);
        return nullptr;
    }
    if (tcp) set_keepalive(fd);
    UniHandle* handle = make_handle(tcp ? KESTIL_UNI_TCP : KESTIL_UNI_UDP, fd, log_level);
    kestil_log_on_level(line_level(log_level), "%d <- // %s socket connected to '%s:%d'",
                        id_of(handle), name, host, port);
    return handle;
}

bool valid_scheme(const char* scheme, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(scheme[i]);
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool later = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!letter && (i == 0 || !later)) return false;
    }
    return true;
}

bool valid_host_character(unsigned char c) {
    return c > ' ' && c != 0x7F && !strchr("/?#@[]", c);
}

// The parts of "scheme://host[:port]" that open a connection.
struct UrlTarget {
    char host[max_url_host + 1];
    int32_t port;
    int32_t kind;  // KESTIL_UNI_CLIENT_TCP or KESTIL_UNI_CLIENT_UDP
};

bool parse_url(const char* url, int32_t default_port, int32_t default_kind, UrlTarget* target) {
    if (!url || !*url) {
        kestil_debug("Empty URL");
        return false;
    }
    const char* separator = strstr(url, "://");
    size_t scheme_length = separator ? static_cast<size_t>(separator - url) : 0;
    if (scheme_length == 0 || !valid_scheme(url, scheme_length)) {
        kestil_debug("Malformed URL '%s'", url);
        return false;
    }
    int32_t handle_kind = default_kind;
    if (scheme_length == 3 && strncmp(url, "tcp", 3) == 0) handle_kind = KESTIL_UNI_TCP;
    if (scheme_length == 3 && strncmp(url, "udp", 3) == 0) handle_kind = KESTIL_UNI_UDP;
    if (handle_kind != KESTIL_UNI_TCP && handle_kind != KESTIL_UNI_UDP) return false;
    target->kind = handle_kind == KESTIL_UNI_TCP ? KESTIL_UNI_CLIENT_TCP : KESTIL_UNI_CLIENT_UDP;

    const char* host = separator + 3;
    size_t host_length = strcspn(host, ":");
    if (host_length == 0 || host_length > max_url_host) return false;
    for (size_t i = 0; i < host_length; ++i)
        if (!valid_host_character(static_cast<unsigned char>(host[i]))) return false;
    snprintf(target->host, sizeof target->host, "%.*s", static_cast<int>(host_length), host);

    int64_t port = default_port;
    if (host[host_length] == ':') {
        const char* digits = host + host_length + 1;
        if (!*digits) return false;
        port = 0;
        for (const char* p = digits; *p; ++p) {
            if (*p < '0' || *p > '9') return false;
            port = port * 10 + (*p - '0');
            if (port > max_port) return false;
        }
    }
    if (port < 1 || port > max_port) return false;
    target->port = static_cast<int32_t>(port);
    return true;
}

// Sets a send or receive timeout in whole milliseconds; negative means no limit.
void set_socket_timeout(UniHandle* handle, int option, int64_t timeout, const char* what) {
    if (!handle || !is_socket(handle)) return;
    int64_t milliseconds = timeout < 0 ? 0 : timeout / 1000;
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
    limit.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    if (setsockopt(handle->descriptor, SOL_SOCKET, option, &limit, sizeof limit) != 0) {
        int code = errno;
        handle->error = code;
        kestil_error("%d <- // Failed to set socket %s timeout (%s)", id_of(handle), what,
                     error_text(code).text);
        return;
    }
    kestil_log_on_level(line_level(handle->log_level), "%d <- // Set socket %s timeout %ld",
                        id_of(handle), what, static_cast<long>(timeout));
}

void lost_connection(const UniHandle* handle) {
    kestil_error("%d <- // Lost connection", id_of(handle));
}

// A zero-byte send: true when it succeeds or would block, else the error is recorded.
bool zero_send_works(UniHandle* handle) {
    if (send(handle->descriptor, "", 0, MSG_NOSIGNAL | MSG_DONTWAIT) == 0) return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    handle->error = errno;
    return false;
}

}  // namespace

extern "C" {

void kestil_init_uni_io(void) {}

UniHandle* kestil_uni_open_file(const char* path, int32_t log_level) {
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        kestil_log_on_level(line_level(log_level), "Failed to open %s", path ? path : "(null)");
        return nullptr;
    }
    UniHandle* handle = make_handle(KESTIL_UNI_FILE, fd, log_level);
    kestil_log_on_level(line_level(log_level), "%d <- // %s opened", id_of(handle), path);
    return handle;
}

UniHandle* kestil_uni_create_file(const char* path, int32_t log_level) {
    int fd = path ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR) : -1;
    if (fd < 0) {
        kestil_error("Failed to create %s", path ? path : "(null)");
        return nullptr;
    }
    UniHandle* handle = make_handle(KESTIL_UNI_FILE, fd, log_level);
    kestil_log_on_level(line_level(log_level), "%d <- // %s created", id_of(handle), path);
    return handle;
}

UniHandle* kestil_uni_open_client_socket(const char* host, int32_t port, int32_t kind,
                                         int32_t log_level) {
    return open_socket(host, port, kind, false, -1, log_level);
}

UniHandle* kestil_uni_open_client_socket_with_timeout(const char* host, int32_t port,
                                                      int32_t kind, int64_t timeout,
                                                      int32_t log_level) {
    return open_socket(host, port, kind, true, timeout, log_level);
}

UniHandle* kestil_uni_open_url(const char* url, int32_t default_port, int32_t default_kind,
                               int32_t log_level) {
    UrlTarget target{};
    if (!parse_url(url, default_port, default_kind, &target)) return nullptr;
    return kestil_uni_open_client_socket(target.host, target.port, target.kind, log_level);
}

bool kestil_uni_is_url(const char* text, const char* scheme) {
    if (!text || !*text) return false;
    if (strncmp(text, "tcp://", 6) == 0 || strncmp(text, "udp://", 6) == 0) return true;
    if (!scheme || !*scheme) return false;
    size_t length = strlen(scheme);
    return strncmp(text, scheme, length) == 0 && strncmp(text + length, "://", 3) == 0;
}

void kestil_uni_set_socket_read_timeout(UniHandle* handle, int64_t timeout) {
    set_socket_timeout(handle, SO_RCVTIMEO, timeout, "read");
}

void kestil_uni_set_socket_write_timeout(UniHandle* handle, int64_t timeout) {
    set_socket_timeout(handle, SO_SNDTIMEO, timeout, "write");
}

void kestil_uni_set_socket_nodelay_option(UniHandle* handle) {
    if (!handle || handle->kind != KESTIL_UNI_TCP) return;
    int on = 1;
    if (setsockopt(handle->descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        int code = errno;
        handle->error = code;
        kestil_error("%d <- // Failed to set socket no delay option (%s)", id_of(handle),
                     error_text(code).text);
        return;
    }
    kestil_log_on_level(line_level(handle->log_level), "%d <- // Set socket no delay %d",
                        id_of(handle), on);
}

int32_t kestil_uni_wait_for_data(UniHandle* handle, int64_t timeout) {
    if (!handle) return -1;
    if (handle->kind == KESTIL_UNI_FILE) return 1;
    if (!is_socket(handle)) return 0;
    int ready = wait_for(handle->descriptor, POLLIN, timeout);
    if (ready < 0) {
        record_failure(handle, "->", "wait for");
        return -1;
    }
    return ready;
}

int32_t kestil_uni_read_available(UniHandle* handle, void* buffer, size_t size) {
    if (!handle || handle->error || (!buffer && size)) return -1;
    ssize_t count = raw_read(handle, buffer, clamp_size(size));
    if (count < 0) {
        record_failure(handle, "->", "read");
        return -1;
    }
    if (count > 0) trace_read(handle, buffer, static_cast<size_t>(count));
    return static_cast<int32_t>(count);
}

int32_t kestil_uni_peek_available(UniHandle* handle, void* buffer, size_t size) {
    if (!handle || handle->error || (!buffer && size) || handle->kind != KESTIL_UNI_TCP)
        return -1;
    ssize_t count = raw_read(handle, buffer, clamp_size(size), MSG_PEEK);
    if (count < 0) {
        record_failure(handle, "->", "peek");
        return -1;
    }
    return static_cast<int32_t>(count);
}

int32_t kestil_uni_read(UniHandle* handle, void* buffer, size_t size) {
    if (!handle || handle->error || (!buffer && size)) return -1;
    if (handle->kind == KESTIL_UNI_UDP) return kestil_uni_read_available(handle, buffer, size);
    size = clamp_size(size);
    auto* bytes = static_cast<char*>(buffer);
    size_t total = 0;
    while (total < size) {
        ssize_t count = raw_read(handle, bytes + total, size - total);
        if (count < 0) {
            record_failure(handle, "->", "read");
            return -1;
        }
        if (count == 0) return static_cast<int32_t>(total);  // ended early: not traced
        total += static_cast<size_t>(count);
    }
    if (total > 0) trace_read(handle, buffer, total);
    return static_cast<int32_t>(total);
}

int32_t kestil_uni_discard(UniHandle* handle) {
    if (!handle || handle->error) return -1;
    if (!is_socket(handle)) return 0;
    long count = 0;
    char byte;
    while (count < INT32_MAX && wait_for(handle->descriptor, POLLIN, discard_wait_us) == 1) {
        int status = read_byte(handle, &byte);
        if (status < 0) return -1;
        if (status == 0) break;
        ++count;
    }
    kestil_log_on_level(line_level(handle->log_level), "%d <- // %ld bytes discarded",
                        id_of(handle), count);
    return static_cast<int32_t>(count);
}

int32_t kestil_uni_read_section2(UniHandle* handle, char* buffer, size_t size,
                                 const char* terminators, const char* ignored,
                                 int64_t first_timeout, int64_t timeout) {
    if (!handle || handle->error || !buffer) return -1;
    if (size == 0) return 0;
    size_t room = clamp_size(size - 1);
    size_t length = 0;
    bool first = true;
    while (length < room) {
        int64_t wait = first ? first_timeout : timeout;
        if (wait >= 0) {
            int ready = kestil_uni_wait_for_data(handle, wait);
            if (ready < 0) return -1;
            if (ready == 0) break;
        }
        char byte;
        int status = read_byte(handle, &byte);
        if (status < 0) return -1;
        if (status == 0) break;  // end of data: what was read so far is the section
        first = false;
        if (!in_set(ignored, byte)) buffer[length++] = byte;
        if (in_set(terminators, byte)) break;
    }
    buffer[length] = '\0';
    if (length > 0) trace_read(handle, buffer, length);
    return static_cast<int32_t>(length);
}

int32_t kestil_uni_read_section(UniHandle* handle, char* buffer, size_t size,
                                const char* terminators, const char* ignored, int64_t timeout) {
    return kestil_uni_read_section2(handle, buffer, size, terminators, ignored, timeout, -1);
}

int32_t kestil_uni_scanf_line(UniHandle* handle, const char* format, ...) {
    if (!handle) return -1;
    if (!format || kestil_uni_wait_for_data(handle, scanf_wait_us) != 1) return 0;
    Buffer line(static_cast<char*>(kestil_checked_malloc(line_capacity)));
    size_t length = 0;
    while (length < line_capacity - 1) {
        char byte;
        int status = read_byte(handle, &byte);
        if (status < 0) return 0;
        if (status == 0 || byte == '\n') break;
        if (byte != '\r') line.get()[length++] = byte;
    }
    line.get()[length] = '\0';
    if (length == 0) return 0;
    trace_read(handle, line.get(), length);
    va_list arguments;
    va_start(arguments, format);
    int fields = vsscanf(line.get(), format, arguments);
    va_end(arguments);
    return fields < 0 ? 0 : fields;
}

int32_t kestil_uni_write(UniHandle* handle, const void* data, size_t size) {
    if (!handle || handle->error || (!data && size)) return -1;
    size = clamp_size(size);
    const auto* bytes = static_cast<const char*>(data);
    size_t total = 0;
    do {
        ssize_t count = raw_write(handle, bytes + total, size - total);
        if (count < 0) {
            record_failure(handle, "<-", "write");
            return -1;
        }
        if (count == 0) break;
        total += static_cast<size_t>(count);
    } while (total < size && handle->kind != KESTIL_UNI_UDP);
    if (total > 0) trace_written(handle, data, total);
    return static_cast<int32_t>(total);
}

int32_t kestil_uni_printf(UniHandle* handle, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int32_t written = kestil_uni_vprintf(handle, format, arguments);
    va_end(arguments);
    return written;
}

int32_t kestil_uni_vprintf(UniHandle* handle, const char* format, va_list arguments) {
    if (!handle || !format) return -1;
    if (!strchr(format, '%')) return kestil_uni_write(handle, format, strlen(format));
    Buffer text(static_cast<char*>(kestil_checked_malloc(line_capacity)));
    va_list again;
    va_copy(again, arguments);
    int length = vsnprintf(text.get(), line_capacity, format, arguments);
    if (length >= 0 && static_cast<size_t>(length) >= line_capacity) {
        size_t exact = static_cast<size_t>(length) + 1;
        text.reset(static_cast<char*>(kestil_checked_malloc(exact)));
        length = vsnprintf(text.get(), exact, format, again);
    }
    va_end(again);
    if (length < 0) return -1;
    return kestil_uni_write(handle, text.get(), static_cast<size_t>(length));
}

int32_t kestil_uni_vtprintf(UniHandle* handle, const char* format, va_list arguments,
                            const char* terminator) {
    int32_t text = kestil_uni_vprintf(handle, format, arguments);
    if (text < 0) return -1;
    if (!terminator || !*terminator) return text;
    int32_t saved_level = handle->log_level;
    handle->log_level = untraced_level;
    int32_t tail = kestil_uni_write(handle, terminator, strlen(terminator));
    handle->log_level = saved_level;
    if (tail < 0) return -1;
    return text + tail;
}

int64_t kestil_uni_seek(UniHandle* handle, int64_t offset, int32_t origin) {
    if (!handle || handle->kind != KESTIL_UNI_FILE) return -1;
    off_t position = lseek(handle->descriptor, static_cast<off_t>(offset), origin);
    if (position < 0) {
        record_failure(handle, "<-", "seek");
        return -1;
    }
    return static_cast<int64_t>(position);
}

bool kestil_uni_lock_file(UniHandle* handle) {
    if (!handle || handle->kind != KESTIL_UNI_FILE) return false;
    int status;
    do status = flock(handle->descriptor, LOCK_EX | LOCK_NB);
    while (status != 0 && errno == EINTR);
    if (status != 0) {
        int code = errno;
        handle->error = code;
        kestil_error("%d <- // Failed to lock %s", id_of(handle), error_text(code).text);
        return false;
    }
    kestil_log_on_level(line_level(handle->log_level), "%d <- // locked", id_of(handle));
    return true;
}

bool kestil_uni_is_valid(UniHandle* handle) {
    if (!handle) return false;
    if (handle->kind == KESTIL_UNI_TCP && zero_send_works(handle)) return true;
    lost_connection(handle);
    return false;
}

bool kestil_uni_is_connection_lost(UniHandle* handle) {
    if (!handle || handle->kind == KESTIL_UNI_FILE) return false;
    if (handle->error) return true;
    if (handle->kind == KESTIL_UNI_UDP ||
        (handle->kind == KESTIL_UNI_TCP && !zero_send_works(handle))) {
        lost_connection(handle);
        return true;
    }
    if (handle->kind != KESTIL_UNI_TCP) return false;
    if (wait_for(handle->descriptor, POLLIN, 0) != 1) return false;
    char byte;
    ssize_t count = recv(handle->descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (count > 0 || (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)))
        return false;
    kestil_error("%d <- // Connection closed", id_of(handle));
    return true;
}

void kestil_uni_kill_socket(UniHandle* handle) {
    if (!handle || !is_socket(handle)) return;
    shut_down(handle);
    kestil_log_on_level(line_level(handle->log_level), "%d <- // Connection killed",
                        id_of(handle));
}

void kestil_uni_close(UniHandle** handle_variable) {
    if (!handle_variable || !*handle_variable) return;
    UniHandle* handle = *handle_variable;
    *handle_variable = nullptr;
    if (is_socket(handle)) shut_down(handle);
    close(handle->descriptor);
    kestil_log_on_level(line_level(handle->log_level), "%d <- // Closed", id_of(handle));
    free(handle);
}

const char* kestil_uni_strerror(UniHandle* handle) {
    if (!handle) return "NULL handle";
    snprintf(strerror_buffer, sizeof strerror_buffer, "%s", error_text(handle->error).text);
    return strerror_buffer;
}

const char* kestil_last_wsa_error(void) {
    snprintf(wsa_error_buffer, sizeof wsa_error_buffer, "%s", error_text(errno).text);
    return wsa_error_buffer;
}

}  // extern "C"
