// tests/support/process.hpp - child processes with their standard output and error captured
#ifndef KESTIL_TESTS_SUPPORT_PROCESS_HPP
#define KESTIL_TESTS_SUPPORT_PROCESS_HPP

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.hpp"
#include "tests/support/temp_dir.hpp"

namespace test_support {

// Waits (polling every 10 ms, bounded) until predicate holds. Result: whether it held before
// the deadline.
inline bool wait_until(const std::function<bool()>& predicate, double timeout_s = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Result of a child process whose standard output and error went to files.
struct ChildRun {
    int exit_code = -1;    // the child's exit status, or -1 when it did not exit normally
    int signal = 0;        // the signal that ended it, if any
    std::string out, err;  // what it wrote
};

// Runs body in a forked child (its result is the exit code; it may also exec); before_wait runs
// in the parent with the child's pid once it started. Waits at most timeout_s seconds, then
// kills the child.
inline ChildRun run_in_child(const std::function<int()>& body,
                             const std::function<void(pid_t)>& before_wait = nullptr,
                             double timeout_s = 120) {
    TempDir dir("kestil_child");
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
    run.out = read_file(out_path);
    run.err = read_file(err_path);
    return run;
}

// Runs program (a path, or a name looked up in PATH) with the arguments (argv[0] is program
// itself), its standard input from /dev/null and the environment of this process changed by env
// (an empty value unsets the variable), as run_in_child does. A program that can't be started
// ends with exit code 127.
inline ChildRun run_program(const std::string& program, const std::vector<std::string>& args,
                            const std::map<std::string, std::string>& env = {},
                            const std::function<void(pid_t)>& before_wait = nullptr) {
    std::vector<std::string> arg_texts{program};
    arg_texts.insert(arg_texts.end(), args.begin(), args.end());
    std::vector<std::string> env_texts;
    for (char** p = environ; *p; ++p) {
        const std::string entry = *p;
        if (env.count(entry.substr(0, entry.find('='))) == 0) env_texts.push_back(entry);
    }
    for (const auto& [name, value] : env)
        if (!value.empty()) env_texts.push_back(name + "=" + value);
    // Everything the child needs is made here: between fork and exec it only makes system calls.
    std::vector<char*> argv, envp;
    for (std::string& text : arg_texts) argv.push_back(text.data());
    for (std::string& text : env_texts) envp.push_back(text.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    return run_in_child(
        [&] {
            const int in = open("/dev/null", O_RDONLY);
            if (in < 0 || dup2(in, 0) < 0) return 126;
            execvpe(program.c_str(), argv.data(), envp.data());
            return 127;
        },
        before_wait);
}

// The kestil_solver executable of this build (KESTIL_BIN_DIR is set by ctest; the
// KESTIL_SOLVER_EXECUTABLE definition of the test target serves when it is not).
inline std::string solver_path() {
    if (const char* bin = getenv("KESTIL_BIN_DIR")) return std::string(bin) + "/app/kestil_solver";
#ifdef KESTIL_SOLVER_EXECUTABLE
    return KESTIL_SOLVER_EXECUTABLE;
#else
    return "kestil_solver";
#endif
}

}  // namespace test_support

#endif
