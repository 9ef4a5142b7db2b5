// tests/solver/index/index_test_support.hpp - index files and the loopback HTTP(S) server shared
// by the index and command tests, with the shared temporary folders, log capture and children
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "solver/index/index_file.h"
#include "tests/support/files.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/process.hpp"
#include "tests/support/temp_dir.hpp"

namespace index_test {

using test_support::ChildRun;
using test_support::exists;
using test_support::LogCapture;
using test_support::read_bytes;
using test_support::run_in_child;
using test_support::TempDir;
using test_support::wait_until;
using test_support::write_file;

// A small valid index of the given scale: stars stars and quads quads with codes spread over
// several buckets. Written through the writer; its bytes returned.
std::vector<unsigned char> small_index(float scale, uint32_t stars = 5, uint32_t quads = 7);

// The loopback server of http_server.py (or a plain static one), started on an ephemeral port
// and ended (SIGTERM) on destruction. Files are served from root(); rules are "NAME=BEHAVIOUR" (see the script).
class LoopbackServer {
public:
    struct Options {
        std::vector<std::string> rules;
        std::string cert, key;  // TLS when given
        // Python's own static file server (python3 -m http.server) in place of the script, as
        // a user would serve a folder of indexes; no rules, no TLS, its request log in log().
        bool static_server = false;
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
