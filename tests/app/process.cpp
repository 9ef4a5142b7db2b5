// Helpers of the command-line tests: running programs with captured output, temp directories.
#include "tests/app/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace app_test {

namespace {

constexpr int wait_limit_seconds = 120;

std::vector<std::string> changed_environment(const std::map<std::string, std::string>& env) {
    std::vector<std::string> result;
    for (char** p = environ; *p; ++p) {
        std::string entry = *p;
        std::string name = entry.substr(0, entry.find('='));
        if (env.count(name) == 0) result.push_back(entry);
    }
    for (const auto& [name, value] : env)
        if (!value.empty()) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env) {
    TempDir capture;
    std::string out_path = capture.path() + "/out", err_path = capture.path() + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> arg_texts{program};
    arg_texts.insert(arg_texts.end(), args.begin(), args.end());
    std::vector<std::string> env_texts = changed_environment(env);
    std::vector<char*> argv = pointers(arg_texts), envp = pointers(env_texts);

    pid_t pid = 0;
    int status = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) throw std::runtime_error("can't start " + program);

    RunResult result;
    int wait_status = 0;
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pid_t done = waitpid(pid, &wait_status, WNOHANG);
        if (done == pid) break;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > wait_limit_seconds) {
            kill(pid, SIGKILL);
            waitpid(pid, &wait_status, 0);
            return result;
        }
        timespec pause{0, 2000000};  // polls every 2 ms; the deadline above bounds the loop
        nanosleep(&pause, nullptr);
    }
    if (WIFEXITED(wait_status)) result.exit_code = WEXITSTATUS(wait_status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

std::string solver_path() {
    const char* bin = getenv("KESTIL_BIN_DIR");
    if (bin) return std::string(bin) + "/app/kestil_solver";
    return KESTIL_SOLVER_EXECUTABLE;
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/app_test_XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "can't remove %s\n", path_.c_str());
}

std::string TempDir::file(const std::string& name, const std::string& content) const {
    std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

}  // namespace app_test
