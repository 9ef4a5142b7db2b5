// tests/solver/index/index_test_support.hpp - temporary folders, captured logs, index files,
// child processes and the loopback HTTP(S) server shared by the index and command tests
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "solver/index/index_file.h"

namespace index_test {

// A fresh directory under TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> entries() const;  // names in the directory, sorted

private:
    std::string path_;
};

// Collects the lines of the framework log (all levels up to level) while it lives.
class LogCapture {
public:
    explicit LogCapture(int level = 1);
    ~LogCapture();
    std::string text() const;  // every line, each followed by "\n"

private:
    int saved_level_;
};

bool write_file(const std::string& path, const std::vector<unsigned char>& bytes);
std::vector<unsigned char> read_file(const std::string& path);
bool exists(const std::string& path);

// A small valid index of the given scale: stars stars and quads quads with codes spread over
// several buckets. Written through the writer; its bytes returned.
std::vector<unsigned char> small_index(float scale, uint32_t stars = 5, uint32_t quads = 7);

// Result of a function run in a forked child with its standard output and error in files.
struct ChildRun {
    int exit_code = -1;    // the child's exit status, or -1 when it did not exit normally
    int signal = 0;        // the signal that ended it, if any
    std::string out, err;  // what it wrote
};
// Runs body in a child (its result is the exit code); before_wait runs in the parent with the
// child's pid once it started. Waits at most timeout_s seconds, then kills the child.
ChildRun run_in_child(const std::function<int()>& body,
                      const std::function<void(pid_t)>& before_wait = nullptr,
                      double timeout_s = 120);

// Waits (polling, bounded) until predicate holds. Result: whether it held before the deadline.
bool wait_until(const std::function<bool()>& predicate, double timeout_s = 60);

// The loopback server of http_server.py, started on an ephemeral port and ended (SIGTERM) on
// destruction. Files are served from root(); rules are "NAME=BEHAVIOUR" (see the script).
class LoopbackServer {
public:
    struct Options {
        std::vector<std::string> rules;
        std::string cert, key;  // TLS when given
    };
    explicit LoopbackServer(const Options& options);
    LoopbackServer() : LoopbackServer(Options{}) {}
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    bool running() const { return port_ > 0; }
    std::string url(const std::string& path = "") const;  // "http(s)://127.0.0.1:port" + path
    std::string root() const { return files_.path(); }
    std::string log() const;  // the request log so far
    bool wait_for_log(const std::string& text, double timeout_s = 60) const;

private:
    TempDir files_, work_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool tls_ = false;
};

// Runs the script's --make-certs into dir. Result: whether it worked.
bool make_test_certificates(const std::string& dir);

}  // namespace index_test
