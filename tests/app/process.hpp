// Helpers of the command-line tests: running programs with captured output, temp directories.
#ifndef KESTIL_TESTS_APP_PROCESS_HPP
#define KESTIL_TESTS_APP_PROCESS_HPP

#include <map>
#include <string>
#include <vector>

namespace app_test {

struct RunResult {
    int exit_code = -1;  // -1 when the program did not end normally
    std::string out;     // everything written to the standard output
    std::string err;     // everything written to the standard error
};

// Runs program (a path, or a name looked up in PATH) with the arguments (argv[0] is program itself), the environment of this process
// changed by env (an empty value unsets the variable), and the working directory unchanged.
// Waits at most 120 seconds, then kills it (exit_code -1).
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {});

// The kestil_solver executable of this build.
std::string solver_path();

// A fresh directory under the system's temp folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);

}  // namespace app_test

#endif
