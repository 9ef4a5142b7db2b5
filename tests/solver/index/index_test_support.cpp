// tests/solver/index/index_test_support.cpp - helpers of the index and command tests
#include "index_test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace index_test {

std::vector<unsigned char> small_index(float scale, uint32_t star_count, uint32_t quad_count) {
    std::vector<CatalogStar> stars(star_count);
    for (uint32_t i = 0; i < star_count; ++i)
        stars[i] = {0.01f * static_cast<float>(i), -0.02f * static_cast<float>(i)};
    std::vector<CatalogQuad> quads(quad_count);
    for (uint32_t i = 0; i < quad_count; ++i) {
        const uint64_t x1 = (i * 389u) % 1001u, y1 = (i * 127u) % 1001u;
        quads[i].code = x1 << 48 | y1 << 32 | uint64_t{i % 1001u} << 16 | 0xfffeu;
        quads[i].size = 0.001f * static_cast<float>(i + 1);
        for (uint32_t j = 0; j < 4; ++j) quads[i].stars[j] = star_count ? (i + j) % star_count : 0;
    }
    TempDir dir;
    const std::string path = dir.file("index.zeph");
    const char* message = nullptr;
    if (!kestil_solver_write_index(path.c_str(), scale, stars.data(), star_count, quads.data(),
                                   quad_count, &message))
        abort();
    return read_bytes(path);
}

namespace {

std::string script_path() { return std::string(KESTIL_TEST_SCRIPT_DIR) + "/http_server.py"; }

// Reads the first line the server prints, its port alone (the script) or "Serving HTTP on
// 127.0.0.1 port N ..." (the static server), waiting at most 30 s.
int read_port(int fd) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return 0;
        char buffer[64];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return 0;
        line.append(buffer, static_cast<size_t>(n));
    }
    const size_t port = line.find("port ");
    return atoi(line.c_str() + (port == std::string::npos ? 0 : port + 5));
}

}  // namespace

LoopbackServer::LoopbackServer(const Options& options) : tls_(!options.cert.empty()) {
    // The transfers must go straight to the loopback server, never through a proxy.
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    std::vector<std::string> args = {"python3", script_path(), "--root", files_.path(),
                                     "--log", work_.file("requests.log")};
    if (tls_) args.insert(args.end(), {"--cert", options.cert, "--key", options.key});
    args.insert(args.end(), options.rules.begin(), options.rules.end());
    if (options.static_server)  // unbuffered, so that its first line comes at once
        args = {"python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory",
                files_.path()};
    const std::string log_path = work_.file("requests.log");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return;
    fflush(stdout);
    fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipe_fds[1], 1);
        if (options.static_server) {  // it logs its requests on the standard error
            const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (log >= 0) dup2(log, 2);
        }
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        execvp("python3", argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    if (pid_ > 0) port_ = read_port(pipe_fds[0]);
    close(pipe_fds[0]);
}

LoopbackServer::~LoopbackServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}

std::string LoopbackServer::url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::string LoopbackServer::log() const { return test_support::read_file(work_.file("requests.log")); }

bool LoopbackServer::wait_for_log(const std::string& text, double timeout_s) const {
    return wait_until([&] { return log().find(text) != std::string::npos; }, timeout_s);
}

bool make_test_certificates(const std::string& dir) {
    const std::string command = "python3 '" + script_path() + "' --make-certs '" + dir + "'";
    return system(command.c_str()) == 0;
}

}  // namespace index_test
