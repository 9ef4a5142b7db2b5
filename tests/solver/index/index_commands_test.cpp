// tests/solver/index/index_commands_test.cpp - --list, --download and --remove, each run in a
// child process (they print, and the download installs signal handlers)
#include "app/index_commands.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <algorithm>
#include <string>
#include <vector>

#include "index_test_support.hpp"
#include "solver/index/index_download.h"
#include "solver/index/index_file.h"

using namespace index_test;

namespace {

SolverSettings settings_for(const std::string& dir, const std::vector<float>& scales,
                            const std::string* url = nullptr) {
    SolverSettings settings{};
    snprintf(settings.index_dir, sizeof settings.index_dir, "%s", dir.c_str());
    for (float s : scales) settings.scales[settings.scale_count++] = s;
    settings.index_url = url ? url->c_str() : nullptr;
    return settings;
}

// A valid index cut in its bucket table: its header alone looks sound.
std::vector<unsigned char> cut_index(float scale) {
    std::vector<unsigned char> bytes = small_index(scale);
    bytes.resize(bytes.size() / 2);
    return bytes;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// A run of the program with its standard error on a terminal (a pseudo-terminal, which turns
// "\n" into "\r\n") and its standard output in a file.
struct TerminalRun {
    int exit_code = -1;
    std::string out, terminal;
};

TerminalRun run_on_terminal(const std::vector<std::string>& args) {
    TerminalRun run;
    int master = -1, terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) return run;
    TempDir dir;
    const std::string out_path = dir.file("out"), program = test_support::solver_path();
    std::vector<std::string> texts = args;
    texts.insert(texts.begin(), program);
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(terminal, 2) < 0)
            _exit(125);
        close(master);
        close(terminal);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(terminal);
    // Read until the terminal closes with the child (EIO), for at most a minute.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        run.terminal.append(buffer, static_cast<size_t>(n));
    }
    close(master);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.exit_code = WEXITSTATUS(status);
    run.out = test_support::read_file(out_path);
    return run;
}

}  // namespace

TEST(ListIndexes, MissingDirectoryShowsSevenDashes) {
    TempDir dir;
    const std::string missing = dir.file("missing");
    const SolverSettings settings = settings_for(missing, {5});
    const ChildRun run = run_in_child([&] { return list_indexes(&settings); });
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("Index directory: " + missing + "\n"
              "  0.2   -          0.2° Gaia DR3 (FOV 0.2° - 0.45°), 1216 MB\n"
              "  0.5   -          0.5° Gaia DR3 (FOV 0.45° - 1°), 911 MB\n"
              "  1     -          1° Tycho-2 (FOV 1° - 2°), 538 MB\n"
              "  2     -          2° Tycho-2 (FOV 2° - 4.5°), 358 MB\n"
              "  5     -          5° Tycho-2 (FOV 4.5° - 10°), 178 MB\n"
              "  10    -          10° Tycho-2 (FOV 10° - 20°), 92 MB\n"
              "  20    -          20° Tycho-2 (FOV > 20°), 36 MB\n",
              run.out);
    EXPECT_FALSE(exists(missing));
}

TEST(ListIndexes, StatesOfInstalledFiles) {
    TempDir dir;
    const std::vector<unsigned char> two = small_index(2.0f);
    ASSERT_TRUE(write_file(dir.file("index-02deg-tyc2.zeph"), two));
    ASSERT_TRUE(write_file(dir.file("index-01deg-tyc2.zeph"), two));  // misnamed copy
    ASSERT_TRUE(write_file(dir.file("index-05deg-tyc2.zeph"), cut_index(5.0f)));
    ASSERT_TRUE(write_file(dir.file("index-00.5deg-gaia.zeph"), small_index(0.5f, 4, 0)));
    ASSERT_TRUE(write_file(dir.file("index-20deg-tyc2.zeph"), small_index(20.0f)));
    ASSERT_EQ(0, mkdir(dir.file("index-10deg-tyc2.zeph").c_str(), 0700));  // can't be read as a file
    const SolverSettings settings = settings_for(dir.path() + "/", {});
    const ChildRun run = run_in_child([&] { return list_indexes(&settings); });
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("Index directory: " + dir.path() + "/\n"
              "  0.2   -          0.2° Gaia DR3 (FOV 0.2° - 0.45°), 1216 MB\n"
              "  0.5   invalid    0.5° Gaia DR3 (FOV 0.45° - 1°), 911 MB\n"
              "  1     invalid    1° Tycho-2 (FOV 1° - 2°), 538 MB\n"
              "  2     installed  2° Tycho-2 (FOV 2° - 4.5°), 358 MB\n"
              "  5     invalid    5° Tycho-2 (FOV 4.5° - 10°), 178 MB\n"
              "  10    invalid    10° Tycho-2 (FOV 10° - 20°), 92 MB\n"
              "  20    installed  20° Tycho-2 (FOV > 20°), 36 MB\n",
              run.out);
}

TEST(RemoveIndexes, NotInstalledRemovedAndRefused) {
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("index-02deg-tyc2.zeph"), {'x'}));  // removed, valid or not
    ASSERT_EQ(0, mkdir(dir.file("index-10deg-tyc2.zeph").c_str(), 0700));
    struct Case {
        const char* what;
        std::vector<float> scales;
        int exit_code;
        std::string out, err;
    };
    const Case cases[] = {
        {"nothing installed", {5}, 0, "5° Tycho-2 (FOV 4.5° - 10°) is not installed\n", ""},
        {"one removed, one missing", {2, 0.2f}, 0,
         "Removed " + dir.file("index-02deg-tyc2.zeph") +
             "\n0.2° Gaia DR3 (FOV 0.2° - 0.45°) is not installed\n",
         ""},
        {"a directory in the way", {10, 1}, 1, "1° Tycho-2 (FOV 1° - 2°) is not installed\n",
         "kestil_solver: " + dir.file("index-10deg-tyc2.zeph") +
             " can't be removed: Is a directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SolverSettings settings = settings_for(dir.path(), c.scales);
        const ChildRun run = run_in_child([&] { return remove_indexes(&settings); });
        EXPECT_EQ(c.exit_code, run.exit_code);
        EXPECT_EQ(c.out, run.out);
        EXPECT_EQ(c.err, run.err);
    }
    EXPECT_EQ((std::vector<std::string>{"index-10deg-tyc2.zeph"}), dir.entries());
}

TEST(DownloadIndexes, KeepsReplacesAndReportsFailures) {
    LoopbackServer server({{"index-00.5deg-gaia.zeph=status:404"}});
    ASSERT_TRUE(server.running());
    const std::vector<unsigned char> one = small_index(1.0f), ten = small_index(10.0f);
    ASSERT_TRUE(write_file(server.root() + "/index-01deg-tyc2.zeph", one));
    ASSERT_TRUE(write_file(server.root() + "/index-10deg-tyc2.zeph", ten));
    TempDir dir;
    const std::string index_dir = dir.file("new/indexes");  // created by the command
    const std::string url = server.url("/dl/");
    const SolverSettings settings = settings_for(index_dir, {20, 1, 0.5f, 10}, &url);
    ASSERT_EQ(0, mkdir(dir.file("new").c_str(), 0700));
    ASSERT_EQ(0, mkdir(index_dir.c_str(), 0700));
    const std::vector<unsigned char> twenty = small_index(20.0f);
    ASSERT_TRUE(write_file(index_dir + "/index-20deg-tyc2.zeph", twenty));
    ASSERT_TRUE(write_file(index_dir + "/index-01deg-tyc2.zeph", cut_index(1.0f)));

    const ChildRun run = run_in_child([&] { return download_indexes(&settings); });
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("20° Tycho-2 (FOV > 20°) is already installed\n"
              "1° Tycho-2 (FOV 1° - 2°) is invalid, it is replaced\n"
              "Downloading 1° Tycho-2 (FOV 1° - 2°), 538 MB...\n"
              "Installed " + index_dir + "/index-01deg-tyc2.zeph\n"
              "Downloading 0.5° Gaia DR3 (FOV 0.45° - 1°), 911 MB...\n"
              "Downloading 10° Tycho-2 (FOV 10° - 20°), 92 MB...\n"
              "Installed " + index_dir + "/index-10deg-tyc2.zeph\n",
              run.out);
    EXPECT_NE(std::string::npos,
              run.err.find("kestil_solver: 0.5° Gaia DR3 (FOV 0.45° - 1°) can't be downloaded: "
                           "the download failed\n"));
    EXPECT_EQ(twenty, read_bytes(index_dir + "/index-20deg-tyc2.zeph"));
    EXPECT_EQ(one, read_bytes(index_dir + "/index-01deg-tyc2.zeph"));
    EXPECT_EQ(ten, read_bytes(index_dir + "/index-10deg-tyc2.zeph"));
    EXPECT_EQ(std::string::npos, server.log().find("index-20deg"));  // no transfer for it
}

TEST(DownloadIndexes, DirectoryThatCannotBeCreated) {
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("file"), {'x'}));
    const SolverSettings settings = settings_for(dir.file("file/indexes"), {1});
    const ChildRun run = run_in_child([&] { return download_indexes(&settings); });
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("kestil_solver: can't create the index directory '" + dir.file("file/indexes") +
                  "': File exists\n",  // the framework's errno for a file in the way
              run.err);
}

// An interrupt while the second of three indexes streams: the first stays installed, the
// second leaves nothing, the third is never asked for.
TEST(DownloadIndexes, InterruptedSecondOfThree) {
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        LoopbackServer server({{"index-02deg-tyc2.zeph=slow"}});
        ASSERT_TRUE(server.running());
        for (float scale : {1.0f, 2.0f, 5.0f}) {
            char name[64];
            index_file_name(name, sizeof name, nullptr, scale);
            ASSERT_TRUE(write_file(server.root() + "/" + name, small_index(scale)));
        }
        TempDir dir;
        const std::string index_dir = dir.file("a/b");
        const std::string url = server.url("/dl");
        const SolverSettings settings = settings_for(index_dir, {1, 2, 5}, &url);
        const ChildRun run = run_in_child([&] { return download_indexes(&settings); },
                                          [&](pid_t child) {
                                              if (server.wait_for_log("streaming index-02deg"))
                                                  kill(child, signal_number);
                                          });
        EXPECT_EQ(1, run.exit_code);
        EXPECT_EQ("Downloading 1° Tycho-2 (FOV 1° - 2°), 538 MB...\n"
                  "Installed " + index_dir + "/index-01deg-tyc2.zeph\n"
                  "Downloading 2° Tycho-2 (FOV 2° - 4.5°), 358 MB...\n",
                  run.out);
        EXPECT_EQ("kestil_solver: the download was interrupted\n", run.err);
        EXPECT_EQ(std::string::npos, server.log().find("index-05deg"));
        const std::vector<std::string> installed = {"index-01deg-tyc2.zeph"};
        std::vector<std::string> names;
        for (const std::string& name : {std::string("index-01deg-tyc2.zeph"),
                                        std::string("index-02deg-tyc2.zeph"),
                                        std::string("index-02deg-tyc2.zeph.part"),
                                        std::string("index-05deg-tyc2.zeph")})
            if (exists(index_dir + "/" + name)) names.push_back(name);
        EXPECT_EQ(installed, names);
    }
}

// The same interruption delivered to the real program, when its command line dispatches the
// index commands.
TEST(DownloadIndexes, InterruptedRealProcess) {
    const std::string solver = test_support::solver_path();
    TempDir dir;
    const std::string index_dir = dir.file("indexes");
    const ChildRun probe = test_support::run_program(solver, {"-i", index_dir, "--list"});
    if (probe.out.rfind("Index directory: ", 0) != 0)
        GTEST_SKIP() << "the command line does not dispatch --list yet: " << probe.err;

    LoopbackServer server({{"index-02deg-tyc2.zeph=slow"}});
    ASSERT_TRUE(server.running());
    for (float scale : {1.0f, 2.0f, 5.0f}) {
        char name[64];
        index_file_name(name, sizeof name, nullptr, scale);
        ASSERT_TRUE(write_file(server.root() + "/" + name, small_index(scale)));
    }
    const ChildRun run = test_support::run_program(
        solver, {"--download", "1,2,5", "-i", index_dir, "--index-url", server.url("/dl")}, {},
        [&](pid_t child) {
            if (server.wait_for_log("streaming index-02deg")) kill(child, SIGINT);
        });
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("Downloading 1° Tycho-2 (FOV 1° - 2°), 538 MB...\n"
              "Installed " + index_dir + "/index-01deg-tyc2.zeph\n"
              "Downloading 2° Tycho-2 (FOV 2° - 4.5°), 358 MB...\n",
              run.out);
    EXPECT_EQ("kestil_solver: the download was interrupted\n", run.err);
    EXPECT_EQ(std::string::npos, server.log().find("index-05deg"));
    EXPECT_FALSE(exists(index_dir + "/index-02deg-tyc2.zeph.part"));
    EXPECT_FALSE(exists(index_dir + "/index-02deg-tyc2.zeph"));
}

// Faults of the server seen through the real program: a redirect loop is a failed download, a
// stalled server waits for the interrupt; an installed index stays as it was and no ".part" is
// left. A chain of genuine redirects still installs.
TEST(DownloadIndexes, ServerFaultsThroughTheRealProgram) {
    const std::string five = "index-05deg-tyc2.zeph";
    const std::string start = "2° Tycho-2 (FOV 2° - 4.5°) is already installed\n"
                              "Downloading 5° Tycho-2 (FOV 4.5° - 10°), 178 MB...\n";
    struct Case {
        const char* rule;
        bool interrupt;  // SIGINT once the server stalls
        int exit_code;
        std::string out, err;
    };
    const std::string failed =
        "kestil_solver: 5° Tycho-2 (FOV 4.5° - 10°) can't be downloaded: the download failed\n"
        "kestil_solver: {url}: Maximum (20) redirects followed\n";  // the cause, without -v
    const Case cases[] = {
        {"loop", false, 1, start, failed},
        {"bounce", false, 1, start, failed},
        {"stall-headers", true, 1, start, "kestil_solver: the download was interrupted\n"},
        {"stall-body", true, 1, start, "kestil_solver: the download was interrupted\n"},
        {"chain:3", false, 0, start + "Installed {dir}/" + five + "\n", ""},
    };
    const std::vector<unsigned char> two = small_index(2.0f), served = small_index(5.0f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        LoopbackServer server({{five + "=" + c.rule}});
        ASSERT_TRUE(server.running());
        ASSERT_TRUE(write_file(server.root() + "/" + five, served));
        TempDir dir;
        ASSERT_TRUE(write_file(dir.file("index-02deg-tyc2.zeph"), two));
        const ChildRun run = test_support::run_program(
            test_support::solver_path(),
            {"--download", "2,5", "-i", dir.path(), "--index-url", server.url("/dl")}, {},
            [&](pid_t child) {
                if (c.interrupt && server.wait_for_log("stalling " + five)) kill(child, SIGINT);
            });
        std::string out = c.out, err = c.err;
        if (const size_t at = out.find("{dir}"); at != std::string::npos)
            out.replace(at, 5, dir.path());
        if (const size_t at = err.find("{url}"); at != std::string::npos)
            err.replace(at, 5, server.url("/dl/") + five);
        EXPECT_EQ(c.exit_code, run.exit_code);
        EXPECT_EQ(out, run.out);
        EXPECT_EQ(err, run.err);
        EXPECT_EQ(two, read_bytes(dir.file("index-02deg-tyc2.zeph")));
        std::vector<std::string> expected = {"index-02deg-tyc2.zeph"};
        if (c.exit_code == 0) {
            expected.push_back(five);
            EXPECT_EQ(served, read_bytes(dir.file(five)));
        }
        EXPECT_EQ(expected, dir.entries());
    }
}

// The download location: --index-url, else KESTIL_INDEX_URL, else the built-in one, here a
// folder served by Python's plain static server as users serve a mirror. A failure names its
// cause on the line after the usual one, without -v; a standard error that is no terminal gets
// no progress bar.
TEST(DownloadIndexes, LocationFromTheCommandLineOrTheEnvironment) {
    LoopbackServer::Options options;
    options.static_server = true;
    LoopbackServer server(options);
    if (!server.running()) GTEST_SKIP() << "python3 -m http.server is not available";
    const std::string five = "index-05deg-tyc2.zeph";
    const std::vector<unsigned char> served = small_index(5.0f);
    for (const char* folder : {"env", "option"}) {
        ASSERT_EQ(0, mkdir((server.root() + "/" + folder).c_str(), 0700));
        ASSERT_TRUE(write_file(server.root() + "/" + folder + "/" + five, served));
    }
    TempDir mirror;
    const std::string failed =
        "kestil_solver: 5° Tycho-2 (FOV 4.5° - 10°) can't be downloaded: the download failed\n";
    struct Case {
        const char* what;
        std::string environment, option;  // "" = not given
        std::string err;                  // its beginning; "" = installed
        std::string request;              // the path asked of the server, "" = none
    };
    const Case cases[] = {
        {"environment", server.url("/env"), "", "", "/env/" + five},
        {"option wins", server.url("/env"), server.url("/option/"), "", "/option/" + five},
        {"not on the server", server.url("/"), "",
         failed + "kestil_solver: " + server.url("/") + five + ": HTTP status 404\n", "/" + five},
        {"missing file", "file://" + mirror.path(), "", failed + "kestil_solver: file://" +
             mirror.file(five) + ": No such file or directory\n", ""},
        {"built-in", "", "", failed + "kestil_solver: " + kestil_default_index_url + "/" + five +
             ": ", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::vector<std::string> args = {"--download", "5", "-i", dir.path()};
        if (!c.option.empty()) args.insert(args.end(), {"--index-url", c.option});
        const size_t log_before = server.log().size();
        const ChildRun run = test_support::run_program(test_support::solver_path(), args,
                                                       {{"KESTIL_INDEX_URL", c.environment}});
        const bool installed = c.err.empty();
        EXPECT_EQ(installed ? 0 : 1, run.exit_code);
        if (installed) {
            EXPECT_EQ("", run.err);
            EXPECT_EQ(served, read_bytes(dir.file(five)));
        } else {
            EXPECT_EQ(0u, run.err.rfind(c.err, 0)) << run.err;
            EXPECT_EQ(2, std::count(run.err.begin(), run.err.end(), '\n'));  // and no more
            EXPECT_TRUE(dir.entries().empty());
        }
        if (!c.request.empty()) {
            EXPECT_TRUE(server.wait_for_log("\"GET " + c.request + " HTTP/1.1\""));
        }
        const std::string requests = server.log().substr(log_before);
        EXPECT_EQ(c.request.empty() ? 0u : 1u, occurrences(requests, "\"GET "));
    }
}

// On a terminal the transfer draws a progress bar on the standard error, redrawn in place and
// ended by a line end; the standard output keeps the plain lines. A transfer that brings no
// body draws nothing.
TEST(DownloadIndexes, ProgressBarOnATerminal) {
    const std::string five = "index-05deg-tyc2.zeph";
    const std::vector<unsigned char> served = small_index(5.0f);
    TempDir mirror;
    ASSERT_TRUE(write_file(mirror.file(five), served));
    char size[32];
    snprintf(size, sizeof size, "%.1f MB", static_cast<double>(served.size()) / 1e6);
    struct Case {
        const char* what;
        std::string base;
        int exit_code;
        std::string terminal;  // its beginning
    };
    const Case cases[] = {
        {"installed", "file://" + mirror.path(), 0, "\r  "},
        {"missing", "file://" + mirror.file("none"), 1,
         "kestil_solver: 5° Tycho-2 (FOV 4.5° - 10°) can't be downloaded: the download failed\r\n"
         "kestil_solver: file://" + mirror.file("none/") + five + ": No such file or directory\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const TerminalRun run =
            run_on_terminal({"--download", "5", "-i", dir.path(), "--index-url", c.base});
        EXPECT_EQ(c.exit_code, run.exit_code);
        std::string out = "Downloading 5° Tycho-2 (FOV 4.5° - 10°), 178 MB...\n";
        if (c.exit_code != 0) {
            EXPECT_EQ(out, run.out);
            EXPECT_EQ(c.terminal, run.terminal);
            continue;
        }
        EXPECT_EQ(out + "Installed " + dir.file(five) + "\n", run.out);
        EXPECT_EQ(0u, run.terminal.rfind(c.terminal, 0)) << run.terminal;
        // The last state drawn: the whole file, then the line's end.
        const size_t last = run.terminal.rfind('\r', run.terminal.size() - 3);
        ASSERT_NE(std::string::npos, last);
        const std::string final_state = run.terminal.substr(last);
        EXPECT_EQ(0u, final_state.rfind("\r  " + std::string(size) + " of " + size +
                                            " [====================] 100%  ", 0))
            << final_state;
        EXPECT_EQ("\033[K\r\n", final_state.substr(final_state.size() - 5));
    }
}
