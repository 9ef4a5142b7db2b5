// Tests of the uniform I/O handles: trace forms, files, TCP and UDP on loopback, URLs.
// Servers are threads of this process on 127.0.0.1; every wait has a deadline.
#include "framework/io/uni_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/log.h"
#include "tests/support/files.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

using Captured = test_support::LogLine;

bool has_line(const std::vector<Captured>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const Captured& c) { return c.line == text; });
}

std::string prefix(const UniHandle* handle, const char* arrow) {
    return std::to_string(handle->id) + " " + arrow + " ";
}

constexpr int deadline_ms = 10000;  // generous: loopback answers in microseconds

// Result: true when fd shows one of events within timeout_ms.
bool wait_fd(int fd, short events, int timeout_ms) {
    pollfd entry{fd, events, 0};
    return poll(&entry, 1, timeout_ms) == 1 && (entry.revents & (events | POLLHUP | POLLERR));
}

bool send_all(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int bound_port(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A socket bound to 127.0.0.1 on a free port; TCP ones listen with the given backlog.
struct LoopbackSocket {
    explicit LoopbackSocket(int type, int backlog = 16) {
        fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
        if (type == SOCK_STREAM) {
            EXPECT_EQ(0, listen(fd, backlog));
        }
        port = bound_port(fd);
    }
    ~LoopbackSocket() { close(fd); }
    // Result: the accepted connection, or -1 when none comes within the deadline.
    int accept_one() const {
        if (!wait_fd(fd, POLLIN, deadline_ms)) return -1;
        return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    int fd = -1;
    int port = 0;
};

// Reads and drops until the peer closes or the deadline passes, then closes fd.
void drain_and_close(int fd) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < end) {
        if (!wait_fd(fd, POLLIN, 200)) continue;
        if (recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
    close(fd);
}

// Echoes until the peer closes or the deadline passes, then closes fd.
void echo_and_close(int fd) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < end) {
        if (!wait_fd(fd, POLLIN, 200)) continue;
        ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0 || !send_all(fd, buffer, static_cast<size_t>(count))) break;
    }
    close(fd);
}

int32_t tprintf(UniHandle* handle, const char* terminator, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int32_t written = kestil_uni_vtprintf(handle, format, arguments, terminator);
    va_end(arguments);
    return written;
}

class UniIoTest : public ::testing::Test {
protected:
    std::vector<Captured> take_lines() { return captured.take(); }
    std::string path(const char* name) const { return dir.file(name); }
    void write_file(const char* name, const std::string& content) const {
        ASSERT_TRUE(test_support::write_file(path(name), content));
    }
    std::string read_file(const char* name) const {
        if (!test_support::exists(path(name))) return "<missing>";
        return test_support::read_file(path(name));
    }
    test_support::LogCapture captured{5};
    test_support::TempDir dir{"uni_io"};
};

TEST_F(UniIoTest, TraceFormsOfWritesAndReads) {
    const std::string hex64 = [] {
        std::string text;
        for (int i = 0; i < 64; ++i) text += "AB ";
        return text;
    }();
    struct Case {
        int32_t log_level;
        std::string data;
        int level;             // level of the trace line, 0 for none
        std::string written;   // trace after "<id> <- "
        std::string read;      // trace after "<id> -> "
    };
    const Case cases[] = {
        {3, "hello", 3, "hello", "hello"},
        {-4, "hello", 4, "// 5 bytes written", "// 5 bytes read"},
        {KESTIL_UNI_LOG_HEX | 3, "hel\x01\xfe", 3, "68 65 6C 01 FE ", "68 65 6C 01 FE "},
        {KESTIL_UNI_LOG_HEX | 2, std::string(64, '\xab'), 2, hex64, hex64},
        {KESTIL_UNI_LOG_HEX | 2, std::string(100, '\xab'), 2, hex64 + "...", hex64 + "..."},
        {6, "quiet", 0, "", ""},   // above the process level 5
        {-6, "quiet", 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        UniHandle* out = kestil_uni_create_file(path("trace").c_str(), c.log_level);
        ASSERT_NE(nullptr, out);
        take_lines();
        EXPECT_EQ(static_cast<int32_t>(c.data.size()),
                  kestil_uni_write(out, c.data.data(), c.data.size()));
        std::vector<Captured> lines = take_lines();
        if (c.level == 0) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(1u, lines.size());
            EXPECT_EQ(c.level, lines[0].level);
            EXPECT_EQ(prefix(out, "<-") + c.written, lines[0].line);
        }
        kestil_uni_close(&out);

        UniHandle* in = kestil_uni_open_file(path("trace").c_str(), c.log_level);
        ASSERT_NE(nullptr, in);
        char buffer[128] = {};
        take_lines();
        EXPECT_EQ(static_cast<int32_t>(c.data.size()),
                  kestil_uni_read_available(in, buffer, sizeof buffer));
        EXPECT_EQ(c.data, std::string(buffer, c.data.size()));
        lines = take_lines();
        if (c.level == 0) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(1u, lines.size());
            EXPECT_EQ(prefix(in, "->") + c.read, lines[0].line);
        }
        EXPECT_EQ(0, kestil_uni_read_available(in, buffer, sizeof buffer));  // end: no line
        EXPECT_TRUE(take_lines().empty());
        kestil_uni_close(&in);
    }
}

TEST_F(UniIoTest, FileOpenCreateReadSeekAndClose) {
    write_file("four", "abcd");
    UniHandle* handle = kestil_uni_open_file(path("four").c_str(), 3);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(KESTIL_UNI_FILE, handle->kind);
    std::vector<Captured> lines = take_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(prefix(handle, "<-") + "// " + path("four") + " opened", lines[0].line);
    EXPECT_EQ(3, lines[0].level);

    char buffer[16] = {};
    EXPECT_EQ(4, kestil_uni_read(handle, buffer, 10));  // the data end early: no trace
    EXPECT_STREQ("abcd", buffer);
    EXPECT_TRUE(take_lines().empty());

    EXPECT_EQ(4, kestil_uni_seek(handle, 0, SEEK_END));
    EXPECT_EQ(1, kestil_uni_seek(handle, 1, SEEK_SET));
    memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(3, kestil_uni_read(handle, buffer, 3));
    EXPECT_STREQ("bcd", buffer);
    EXPECT_TRUE(has_line(take_lines(), prefix(handle, "->") + "bcd"));
    EXPECT_EQ(-1, kestil_uni_seek(handle, -10, SEEK_SET));
    EXPECT_EQ(EINVAL, handle->error);

    // Files are always ready, have nothing to discard or peek, and never lose a connection.
    EXPECT_EQ(1, kestil_uni_wait_for_data(handle, 0));
    EXPECT_EQ(-1, kestil_uni_peek_available(handle, buffer, 1));
    EXPECT_FALSE(kestil_uni_is_connection_lost(handle));

    UniHandle* variable = handle;
    std::string closed = prefix(handle, "<-") + "// Closed";
    take_lines();
    kestil_uni_close(&variable);
    EXPECT_EQ(nullptr, variable);
    EXPECT_TRUE(has_line(take_lines(), closed));
    kestil_uni_close(&variable);  // again: nothing
    kestil_uni_close(nullptr);
    EXPECT_TRUE(take_lines().empty());

    // Creating truncates; a format longer than the 128 KiB buffer is formatted again.
    UniHandle* out = kestil_uni_create_file(path("four").c_str(), -3);
    ASSERT_NE(nullptr, out);
    EXPECT_TRUE(has_line(take_lines(), prefix(out, "<-") + "// " + path("four") + " created"));
    std::string big(200000, 'x');
    EXPECT_EQ(4, kestil_uni_printf(out, "no%cs", '-'));
    EXPECT_EQ(5, kestil_uni_printf(out, "plain"));  // no conversion: written as it is
    EXPECT_EQ(200002, kestil_uni_printf(out, "<%s>", big.c_str()));
    EXPECT_EQ(3, tprintf(out, "\r\n", "%d", 7));
    kestil_uni_close(&out);
    EXPECT_EQ("no-splain<" + big + ">7\r\n", read_file("four"));
}

TEST_F(UniIoTest, FileFailuresAndRecordedErrors) {
    const std::string missing = path("missing");
    EXPECT_EQ(nullptr, kestil_uni_open_file(missing.c_str(), 4));
    std::vector<Captured> lines = take_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Failed to open " + missing, lines[0].line);
    EXPECT_EQ(4, lines[0].level);  // the handle's level

    const std::string nowhere = path("no/such/file");
    EXPECT_EQ(nullptr, kestil_uni_create_file(nowhere.c_str(), 4));
    lines = take_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Failed to create " + nowhere, lines[0].line);
    EXPECT_EQ(1, lines[0].level);  // an error

    // Writing a file opened for reading fails; the recorded error stops the next read at once.
    write_file("data", "data");
    UniHandle* handle = kestil_uni_open_file(path("data").c_str(), 3);
    ASSERT_NE(nullptr, handle);
    take_lines();
    EXPECT_EQ(-1, kestil_uni_write(handle, "x", 1));
    EXPECT_EQ(EBADF, handle->error);
    EXPECT_STREQ(strerror(EBADF), kestil_uni_strerror(handle));
    EXPECT_TRUE(has_line(take_lines(), prefix(handle, "<-") + "// Failed to write (" +
                                           strerror(EBADF) + ")"));
    char buffer[8];
    EXPECT_EQ(-1, kestil_uni_read(handle, buffer, 4));
    EXPECT_EQ(-1, kestil_uni_read_available(handle, buffer, 4));
    EXPECT_EQ(-1, kestil_uni_read_section(handle, buffer, sizeof buffer, "\n", "", -1));
    EXPECT_EQ(-1, kestil_uni_printf(handle, "%d", 1));
    EXPECT_TRUE(take_lines().empty());  // failing at once logs nothing
    kestil_uni_close(&handle);

    EXPECT_STREQ("NULL handle", kestil_uni_strerror(nullptr));
    EXPECT_EQ(-1, kestil_uni_read(nullptr, buffer, 1));
    EXPECT_EQ(-1, kestil_uni_write(nullptr, "x", 1));
    int field = 0;
    EXPECT_EQ(-1, kestil_uni_scanf_line(nullptr, "%d", &field));
    EXPECT_FALSE(kestil_uni_is_valid(nullptr));
    EXPECT_FALSE(kestil_uni_is_connection_lost(nullptr));
}

TEST_F(UniIoTest, LockIsExclusiveBetweenHandles) {
    write_file("lock", "");
    UniHandle* first = kestil_uni_open_file(path("lock").c_str(), 3);
    UniHandle* second = kestil_uni_open_file(path("lock").c_str(), 3);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(first->id + 1, second->id);
    take_lines();
    EXPECT_TRUE(kestil_uni_lock_file(first));
    EXPECT_FALSE(kestil_uni_lock_file(second));
    std::vector<Captured> lines = take_lines();
    EXPECT_TRUE(has_line(lines, prefix(first, "<-") + "// locked"));
    EXPECT_TRUE(has_line(lines, prefix(second, "<-") + "// Failed to lock " +
                                    strerror(EWOULDBLOCK)));
    kestil_uni_close(&first);
    kestil_uni_close(&second);
}

TEST_F(UniIoTest, SectionsFromAFile) {
    struct Case {
        std::string content;
        const char* terminators;
        const char* ignored;
        size_t size;
        std::vector<std::string> sections;  // then a result of 0
    };
    const Case cases[] = {
        {"ab\r\ncd\r\nef", "\n", "\r", 32, {"ab\n", "cd\n", "ef"}},
        {"a;b;;c", ";", "", 32, {"a;", "b;", ";", "c"}},
        {"x\r\ny", "\r\n", "\r\n", 32, {"x", "", "y"}},  // "\n" alone: an empty section
        {"abcdefg\n", "\n", nullptr, 3, {"ab", "cd", "ef", "g\n"}},  // room for the NUL
        {"", "\n", "", 32, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        write_file("sections", c.content);
        UniHandle* handle = kestil_uni_open_file(path("sections").c_str(), 3);
        ASSERT_NE(nullptr, handle);
        std::vector<std::string> sections;
        char buffer[32];
        for (size_t i = 0; i < c.sections.size(); ++i) {
            memset(buffer, '#', sizeof buffer);
            int32_t length = kestil_uni_read_section(handle, buffer, c.size, c.terminators,
                                                     c.ignored, 1000000);
            ASSERT_GE(length, 0);
            EXPECT_EQ('\0', buffer[length]);
            sections.emplace_back(buffer, static_cast<size_t>(length));
        }
        EXPECT_EQ(c.sections, sections);
        EXPECT_EQ(0, kestil_uni_read_section(handle, buffer, c.size, c.terminators, c.ignored,
                                             1000000));
        kestil_uni_close(&handle);
    }
}

TEST_F(UniIoTest, ScanfLinesFromAFile) {
    write_file("lines", "12 34\r\n\r\nx 5\n7");
    UniHandle* handle = kestil_uni_open_file(path("lines").c_str(), 3);
    ASSERT_NE(nullptr, handle);
    int a = 0, b = 0;
    take_lines();
    EXPECT_EQ(2, kestil_uni_scanf_line(handle, "%d %d", &a, &b));
    EXPECT_EQ(12, a);
    EXPECT_EQ(34, b);
    EXPECT_TRUE(has_line(take_lines(), prefix(handle, "->") + "12 34"));
    EXPECT_EQ(0, kestil_uni_scanf_line(handle, "%d %d", &a, &b));  // empty line
    EXPECT_EQ(0, kestil_uni_scanf_line(handle, "%d %d", &a, &b));  // "x 5": nothing assigned
    EXPECT_EQ(1, kestil_uni_scanf_line(handle, "%d", &a));         // last line, no line feed
    EXPECT_EQ(7, a);
    EXPECT_EQ(0, kestil_uni_scanf_line(handle, "%d", &a));         // end of data
    kestil_uni_close(&handle);
}

TEST_F(UniIoTest, HandleNumbersAreUniqueAcrossThreads) {
    constexpr int threads = 4, per_thread = 25;
    std::vector<std::vector<uint32_t>> ids(threads);
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                std::string name = path(("ids" + std::to_string(t)).c_str());
                for (int i = 0; i < per_thread; ++i) {
                    UniHandle* handle = kestil_uni_create_file(name.c_str(), 3);
                    if (!handle) return;
                    ids[t].push_back(handle->id);
                    kestil_uni_close(&handle);
                }
            });
    }
    std::set<uint32_t> unique;
    for (const auto& list : ids) unique.insert(list.begin(), list.end());
    EXPECT_EQ(static_cast<size_t>(threads * per_thread), unique.size());
}

TEST_F(UniIoTest, TcpEchoOptionsAndState) {
    LoopbackSocket listener(SOCK_STREAM);
    std::jthread server([&] {
        int fd = listener.accept_one();
        if (fd >= 0) echo_and_close(fd);
    });
    UniHandle* handle =
        kestil_uni_open_client_socket("127.0.0.1", listener.port, KESTIL_UNI_CLIENT_TCP, 3);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(KESTIL_UNI_TCP, handle->kind);
    std::string port = std::to_string(listener.port);
    std::vector<Captured> lines = take_lines();
    EXPECT_TRUE(has_line(lines, prefix(handle, "<-") + "// TCP socket connected to '127.0.0.1:" +
                                    port + "'"));
    EXPECT_EQ(1u, lines.size());  // every keep-alive setting took

    struct Option { int level, name, expected; const char* what; };
    const Option options[] = {{SOL_SOCKET, SO_KEEPALIVE, 1, "keep-alive"},
                              {IPPROTO_TCP, TCP_KEEPIDLE, 10, "idle s"},
                              {IPPROTO_TCP, TCP_KEEPINTVL, 3, "interval s"},
                              {IPPROTO_TCP, TCP_KEEPCNT, 3, "probes"},
                              {IPPROTO_TCP, TCP_USER_TIMEOUT, 20000, "user timeout ms"}};
    for (const Option& o : options) {
        int value = -1;
        socklen_t length = sizeof value;
        ASSERT_EQ(0, getsockopt(handle->descriptor, o.level, o.name, &value, &length));
        EXPECT_EQ(o.expected, value) << o.what;
    }

    kestil_uni_set_socket_read_timeout(handle, 2500999);  // whole milliseconds: 2.500 s
    kestil_uni_set_socket_write_timeout(handle, 3000000);
    kestil_uni_set_socket_nodelay_option(handle);
    lines = take_lines();
    EXPECT_TRUE(has_line(lines, prefix(handle, "<-") + "// Set socket read timeout 2500999"));
    EXPECT_TRUE(has_line(lines, prefix(handle, "<-") + "// Set socket write timeout 3000000"));
    EXPECT_TRUE(has_line(lines, prefix(handle, "<-") + "// Set socket no delay 1"));
    timeval limit{};
    socklen_t length = sizeof limit;
    getsockopt(handle->descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, &length);
    EXPECT_EQ(2, limit.tv_sec);
    EXPECT_EQ(500000, limit.tv_usec);
    getsockopt(handle->descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, &length);
    EXPECT_EQ(3, limit.tv_sec);  // whole seconds: the kernel keeps timeouts in clock ticks
    EXPECT_EQ(0, limit.tv_usec);
    int nodelay = 0;
    length = sizeof nodelay;
    getsockopt(handle->descriptor, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length);
    EXPECT_EQ(1, nodelay);
    kestil_uni_set_socket_read_timeout(handle, -1);  // back to no limit for the reads below

    EXPECT_EQ(0, kestil_uni_wait_for_data(handle, 0));
    EXPECT_TRUE(kestil_uni_is_valid(handle));
    EXPECT_FALSE(kestil_uni_is_connection_lost(handle));
    EXPECT_EQ(-1, kestil_uni_seek(handle, 0, SEEK_SET));
    EXPECT_FALSE(kestil_uni_lock_file(handle));

    char buffer[32] = {};
    take_lines();
    EXPECT_EQ(4, kestil_uni_write(handle, "ping", 4));
    EXPECT_EQ(1, kestil_uni_wait_for_data(handle, deadline_ms * 1000LL));
    int32_t peeked = kestil_uni_peek_available(handle, buffer, 4);
    ASSERT_GT(peeked, 0);
    EXPECT_EQ(0, strncmp("ping", buffer, static_cast<size_t>(peeked)));
    EXPECT_FALSE(kestil_uni_is_connection_lost(handle));  // data waiting: not closed
    EXPECT_EQ(4, kestil_uni_read(handle, buffer, 4));
    EXPECT_EQ("ping", std::string(buffer, 4));
    lines = take_lines();
    EXPECT_EQ(2u, lines.size());  // the peek is not traced
    EXPECT_TRUE(has_line(lines, prefix(handle, "<-") + "ping"));
    EXPECT_TRUE(has_line(lines, prefix(handle, "->") + "ping"));

    // The terminator is sent but kept out of the trace.
    EXPECT_EQ(7, tprintf(handle, "\r\n", "%s-%d", "ab", 12));
    lines = take_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(prefix(handle, "<-") + "ab-12", lines[0].line);
    EXPECT_EQ(7, kestil_uni_read(handle, buffer, 7));
    EXPECT_EQ("ab-12\r\n", std::string(buffer, 7));

    kestil_uni_close(&handle);
    EXPECT_EQ(nullptr, handle);
}

TEST_F(UniIoTest, UdpDatagrams) {
    LoopbackSocket peer(SOCK_DGRAM);
    UniHandle* handle =
        kestil_uni_open_client_socket("127.0.0.1", peer.port, KESTIL_UNI_CLIENT_UDP, 3);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(KESTIL_UNI_UDP, handle->kind);
    EXPECT_TRUE(has_line(take_lines(), prefix(handle, "<-") +
                                           "// UDP socket connected to '127.0.0.1:" +
                                           std::to_string(peer.port) + "'"));
    EXPECT_EQ(3, kestil_uni_write(handle, "abc", 3));

    char buffer[64] = {};
    sockaddr_in sender{};
    socklen_t sender_length = sizeof sender;
    ASSERT_TRUE(wait_fd(peer.fd, POLLIN, deadline_ms));
    ASSERT_EQ(3, recvfrom(peer.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender),
                          &sender_length));
    EXPECT_EQ("abc", std::string(buffer, 3));
    for (const char* datagram : {"12", "3456"})
        ASSERT_EQ(static_cast<ssize_t>(strlen(datagram)),
                  sendto(peer.fd, datagram, strlen(datagram), 0,
                         reinterpret_cast<sockaddr*>(&sender), sender_length));

    ASSERT_EQ(1, kestil_uni_wait_for_data(handle, deadline_ms * 1000LL));
    EXPECT_EQ(2, kestil_uni_read(handle, buffer, sizeof buffer));  // one datagram, not 64 bytes
    EXPECT_EQ("12", std::string(buffer, 2));
    ASSERT_EQ(1, kestil_uni_wait_for_data(handle, deadline_ms * 1000LL));
    EXPECT_EQ(4, kestil_uni_read_available(handle, buffer, sizeof buffer));
    EXPECT_EQ("3456", std::string(buffer, 4));
    EXPECT_EQ(0, kestil_uni_wait_for_data(handle, 1000));
    EXPECT_EQ(-1, kestil_uni_peek_available(handle, buffer, 1));  // TCP only

    take_lines();
    kestil_uni_set_socket_nodelay_option(handle);  // TCP only: nothing happens
    EXPECT_TRUE(take_lines().empty());
    EXPECT_TRUE(kestil_uni_is_connection_lost(handle));
    EXPECT_FALSE(kestil_uni_is_valid(handle));
    std::vector<Captured> lines = take_lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(prefix(handle, "<-") + "// Lost connection", lines[0].line);
    EXPECT_EQ(1, lines[0].level);
    kestil_uni_close(&handle);
}

TEST_F(UniIoTest, ConnectFailuresAndTimeout) {
    // A backlog of 0 holds one connection nobody accepts; later handshakes go unanswered.
    LoopbackSocket full(SOCK_STREAM, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(full.port);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (i == 0) {
            ASSERT_TRUE(wait_fd(fd, POLLOUT, deadline_ms));
        }
        fillers.push_back(fd);
    }
    take_lines();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nullptr, kestil_uni_open_client_socket_with_timeout(
                           "127.0.0.1", full.port, KESTIL_UNI_CLIENT_TCP, 200000, 3));
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, 0.19);  // the timeout is waited out (poll may round down a little)
    EXPECT_LT(elapsed, 5.0);   // and not much longer
    std::vector<Captured> lines = take_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Can't connect TCP socket for '127.0.0.1:" + std::to_string(full.port) + "'",
              lines[0].line);
    EXPECT_EQ(3, lines[0].level);
    for (int fd : fillers) close(fd);

    // A port nobody listens on refuses at once, with or without a timeout.
    int free_port;
    {
        LoopbackSocket closed(SOCK_STREAM);
        free_port = closed.port;
    }
    EXPECT_EQ(nullptr,
              kestil_uni_open_client_socket("127.0.0.1", free_port, KESTIL_UNI_CLIENT_TCP, 3));
    EXPECT_EQ(nullptr, kestil_uni_open_client_socket_with_timeout(
                           "127.0.0.1", free_port, KESTIL_UNI_CLIENT_TCP, 5000000, 3));
    EXPECT_EQ(nullptr, kestil_uni_open_client_socket("127.0.0.1", 70000, KESTIL_UNI_CLIENT_TCP, 3));
    EXPECT_EQ(nullptr, kestil_uni_open_client_socket("127.0.0.1", 80, 3, 3));  // no such kind
    EXPECT_EQ(3u, take_lines().size());

    // A listener that answers: connected within the timeout, and blocking again afterwards.
    LoopbackSocket open(SOCK_STREAM);
    UniHandle* handle = kestil_uni_open_client_socket_with_timeout(
        "127.0.0.1", open.port, KESTIL_UNI_CLIENT_TCP, deadline_ms * 1000LL, 3);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(0, fcntl(handle->descriptor, F_GETFL) & O_NONBLOCK);
    kestil_uni_close(&handle);
}

TEST_F(UniIoTest, PeerThatClosesIsNoticed) {
    LoopbackSocket listener(SOCK_STREAM);
    std::jthread server([&] {
        int fd = listener.accept_one();
        if (fd < 0) return;
        send_all(fd, "bye", 3);
        close(fd);
    });
    UniHandle* handle =
        kestil_uni_open_client_socket("127.0.0.1", listener.port, KESTIL_UNI_CLIENT_TCP, 3);
    ASSERT_NE(nullptr, handle);
    // The peer's end has arrived once the socket reports it; "bye" is queued before it.
    ASSERT_TRUE(wait_fd(handle->descriptor, POLLRDHUP, deadline_ms));
    EXPECT_FALSE(kestil_uni_is_connection_lost(handle));  // data still waiting
    char buffer[8] = {};
    EXPECT_EQ(3, kestil_uni_read(handle, buffer, 3));
    take_lines();
    EXPECT_TRUE(kestil_uni_is_connection_lost(handle));
    std::vector<Captured> lines = take_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(prefix(handle, "<-") + "// Connection closed", lines[0].line);
    EXPECT_EQ(0, kestil_uni_read_available(handle, buffer, sizeof buffer));
    EXPECT_EQ(0, handle->error);
    kestil_uni_close(&handle);
}

TEST_F(UniIoTest, KilledSocketWakesTheReaderAndFailsWrites) {
    LoopbackSocket listener(SOCK_STREAM);
    std::jthread server([&] {
        int fd = listener.accept_one();
        if (fd < 0) return;
        send_all(fd, "xyz", 3);
        drain_and_close(fd);
    });
    UniHandle* handle =
        kestil_uni_open_client_socket("127.0.0.1", listener.port, KESTIL_UNI_CLIENT_TCP, 3);
    ASSERT_NE(nullptr, handle);
    ASSERT_TRUE(wait_fd(handle->descriptor, POLLIN, deadline_ms));
    take_lines();
    int32_t result = -2;
    char buffer[16] = {};
    {
        // The reader asks for 10 bytes and gets 3: it blocks until the kill (or, if the kill
        // comes first, finds the end at once); either way it returns the bytes so far.
        std::jthread reader([&] { result = kestil_uni_read(handle, buffer, 10); });
        kestil_uni_kill_socket(handle);
    }
    EXPECT_EQ(3, result);
    EXPECT_EQ("xyz", std::string(buffer, 3));
    std::vector<Captured> lines = take_lines();
    ASSERT_EQ(1u, lines.size());  // the short read is not traced
    EXPECT_EQ(prefix(handle, "<-") + "// Connection killed", lines[0].line);

    EXPECT_FALSE(kestil_uni_is_valid(handle));
    EXPECT_EQ(EPIPE, handle->error);
    EXPECT_STREQ(strerror(EPIPE), kestil_uni_strerror(handle));
    EXPECT_TRUE(kestil_uni_is_connection_lost(handle));
    EXPECT_EQ(-1, kestil_uni_write(handle, "x", 1));
    EXPECT_EQ(-1, kestil_uni_discard(handle));
    lines = take_lines();
    ASSERT_EQ(1u, lines.size());  // only is_valid's line: the recorded error fails the rest
    EXPECT_EQ(prefix(handle, "<-") + "// Lost connection", lines[0].line);
    kestil_uni_close(&handle);
}

TEST_F(UniIoTest, SocketSectionsScanfAndDiscard) {
    LoopbackSocket listener(SOCK_STREAM);
    std::jthread server([&] {
        int fd = listener.accept_one();
        if (fd < 0) return;
        send_all(fd, "AB\r\nCD", 6);
        char go[2];
        if (wait_fd(fd, POLLIN, deadline_ms) && recv(fd, go, 2, MSG_WAITALL) == 2) {
            std::string rest = "12 34\r\n" + std::string(1000, 'z');
            send_all(fd, rest.data(), rest.size());
        }
        close(fd);
    });
    UniHandle* handle =
        kestil_uni_open_client_socket("127.0.0.1", listener.port, KESTIL_UNI_CLIENT_TCP, 3);
    ASSERT_NE(nullptr, handle);
    char buffer[32];
    take_lines();
    const int64_t first_wait = deadline_ms * 1000LL;
    EXPECT_EQ(3, kestil_uni_read_section2(handle, buffer, sizeof buffer, "\n", "\r", first_wait,
                                          100000));
    EXPECT_STREQ("AB\n", buffer);
    EXPECT_TRUE(has_line(take_lines(), prefix(handle, "->") + "AB"));
    // No terminator comes: the 100 ms wait after "D" runs out and ends the section.
    EXPECT_EQ(2, kestil_uni_read_section2(handle, buffer, sizeof buffer, "\n", "\r", first_wait,
                                          100000));
    EXPECT_STREQ("CD", buffer);
    // Nothing at all within the first wait.
    EXPECT_EQ(0, kestil_uni_read_section2(handle, buffer, sizeof buffer, "\n", "\r", 50000, -1));
    EXPECT_STREQ("", buffer);

    EXPECT_EQ(2, kestil_uni_write(handle, "go", 2));
    int a = 0, b = 0;
    EXPECT_EQ(2, kestil_uni_scanf_line(handle, "%d %d", &a, &b));
    EXPECT_EQ(12, a);
    EXPECT_EQ(34, b);
    // Once the peer's end has arrived all 1000 bytes wait in the queue.
    ASSERT_TRUE(wait_fd(handle->descriptor, POLLRDHUP, deadline_ms));
    take_lines();
    EXPECT_EQ(1000, kestil_uni_discard(handle));
    std::vector<Captured> lines = take_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(prefix(handle, "<-") + "// 1000 bytes discarded", lines[0].line);
    EXPECT_EQ(0, kestil_uni_discard(handle));
    kestil_uni_close(&handle);
}

TEST_F(UniIoTest, OpenUrl) {
    LoopbackSocket listener(SOCK_STREAM);  // connections wait in its backlog
    const std::string port = std::to_string(listener.port);
    const std::string host128(128, 'a');
    struct Case {
        std::string url;
        int32_t default_port;
        int32_t default_kind;
        int32_t kind;        // of the handle, -1 for none
        const char* debug;   // the debug line, if any
    };
    const Case cases[] = {
        {"tcp://127.0.0.1:" + port, 0, KESTIL_UNI_UDP, KESTIL_UNI_TCP, nullptr},
        {"udp://127.0.0.1:" + port, 0, KESTIL_UNI_TCP, KESTIL_UNI_UDP, nullptr},
        {"tcp://127.0.0.1", listener.port, KESTIL_UNI_UDP, KESTIL_UNI_TCP, nullptr},
        {"tcp://127.0.0.1:000" + port, 0, KESTIL_UNI_TCP, KESTIL_UNI_TCP, nullptr},
        {"x-y.z+1://127.0.0.1:" + port, 0, KESTIL_UNI_TCP, KESTIL_UNI_TCP, nullptr},
        {"indi://127.0.0.1:" + port, 0, KESTIL_UNI_UDP, KESTIL_UNI_UDP, nullptr},
        {"indi://127.0.0.1:" + port, 0, 1, -1, nullptr},
        {"127.0.0.1:" + port, listener.port, KESTIL_UNI_TCP, -1, "Malformed URL '127.0.0.1:"},
        {"://127.0.0.1:" + port, 0, KESTIL_UNI_TCP, -1, "Malformed URL '://"},
        {"1tcp://127.0.0.1:" + port, 0, KESTIL_UNI_TCP, -1, "Malformed URL '1tcp://"},
        {"t_p://127.0.0.1:" + port, 0, KESTIL_UNI_TCP, -1, "Malformed URL 't_p://"},
        {"", 0, KESTIL_UNI_TCP, -1, "Empty URL"},
        {"tcp://127.0.0.1:0", 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://127.0.0.1:65536", 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://127.0.0.1:99999999999999999999", 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://127.0.0.1", 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://127.0.0.1", 65536, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://127.0.0.1:", 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://127.0.0.1:+" + port, 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://127.0.0.1:" + port + "/", 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://:" + port, 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://" + host128 + ":" + port, 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://user@127.0.0.1:" + port, 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://127.0.0.1 :" + port, 0, KESTIL_UNI_TCP, -1, nullptr},
        {"tcp://[::1]:" + port, 0, KESTIL_UNI_TCP, -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        take_lines();
        UniHandle* handle = kestil_uni_open_url(c.url.c_str(), c.default_port, c.default_kind, 3);
        std::vector<Captured> lines = take_lines();
        if (c.kind < 0) {
            EXPECT_EQ(nullptr, handle);
            kestil_uni_close(&handle);
            // Refused before any connection attempt: no "Can't connect" line.
            ASSERT_EQ(c.debug ? 1u : 0u, lines.size());
            if (c.debug) {
                EXPECT_EQ(0u, lines[0].line.find(c.debug));
                EXPECT_EQ(3, lines[0].level);
            }
            continue;
        }
        ASSERT_NE(nullptr, handle);
        EXPECT_EQ(c.kind, handle->kind);
        kestil_uni_close(&handle);
    }
    EXPECT_EQ(nullptr, kestil_uni_open_url(nullptr, 80, KESTIL_UNI_TCP, 3));
}

TEST(UniIo, IsUrl) {
    struct Case { const char* text; const char* scheme; bool url; };
    const Case cases[] = {
        {nullptr, "http", false}, {"", nullptr, false},        {"tcp://h", nullptr, true},
        {"udp://h:1", nullptr, true}, {"udp://h:1", "http", true}, {"tcp:/h", nullptr, false},
        {"http://h", nullptr, false}, {"http://h", "http", true}, {"https://h", "http", false},
        {"http:/h", "http", false}, {"://h", "", false},         {"TCP://h", nullptr, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.url, kestil_uni_is_url(c.text, c.scheme))
            << (c.text ? c.text : "null") << " " << (c.scheme ? c.scheme : "null");
}

}  // namespace
