// tests/solver/index/index_test_support.cpp - helpers of the index and command tests
#include "index_test_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "framework/log.h"

namespace index_test {
namespace {

std::mutex captured_mutex;
std::string captured;

void capture_line(int, const char* line) {
    std::lock_guard<std::mutex> lock(captured_mutex);
    captured += line;
    captured += "\n";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestil_index_XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) abort();
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path_, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

LogCapture::LogCapture(int level) : saved_level_(kestil_get_log_level()) {
    std::lock_guard<std::mutex> lock(captured_mutex);
    captured.clear();
    kestil_log_message_handler = capture_line;
    kestil_set_log_level(level);
}

LogCapture::~LogCapture() {
    kestil_log_message_handler = nullptr;
    kestil_set_log_level(saved_level_);
}

std::string LogCapture::text() const {
    std::lock_guard<std::mutex> lock(captured_mutex);
    return captured;
}

bool write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::vector<unsigned char> read_file(const std::string& path) {
    const std::string text = slurp(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

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
    return read_file(path);
}

bool wait_until(const std::function<bool()>& predicate, double timeout_s) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

ChildRun run_in_child(const std::function<int()>& body, const std::function<void(pid_t)>& before_wait,
                      double timeout_s) {
    TempDir dir;
    const std::string out_path = dir.file("out"), err_path = dir.file("err");
    fflush(stdout);
    fflush(stderr);
    ChildRun run;
    const pid_t pid = fork();
    if (pid < 0) return run;
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(125);
        const int code = body();
        fflush(stdout);
        fflush(stderr);
        _exit(code);
    }
    if (before_wait) before_wait(pid);
    int status = 0;
    const bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_s);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    run.out = slurp(out_path);
    run.err = slurp(err_path);
    return run;
}

}  // namespace index_test
