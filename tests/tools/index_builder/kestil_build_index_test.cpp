// Tests of the kestil_build_index command (the program of this build, run as a user would):
// scale lists, refused scales, the same files as single builds, skipping valid indexes, and no
// partial or temporary file after a failure or a signal.
#include <fcntl.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

#include "framework/angles.h"
#include <vector>

extern char** environ;

namespace {

std::string builder() {
    const char* dir = getenv("KESTIL_BIN_DIR");
    return std::string(dir ? dir : ".") + "/tools/index_builder/kestil_build_index";
}

// Exit status of a shell command; -1 when it did not exit.
int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> names(const std::string& dir) {
    std::set<std::string> result;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        result.insert(entry.path().filename().string());
    return result;
}

ino_t inode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// A catalogue that gives quads at every published scale: 3,000 stars over the whole sky
// (magnitudes 5 to 8) and 6,000 fainter ones in a cone of 2.5 degrees around RA 100, Dec 20.
void write_catalog(const std::string& path) {
    std::mt19937 random(5);
    std::uniform_real_distribution<double> u(0, 1);
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, file);
    std::fprintf(file, "ra,dec,mag\n");
    for (int i = 0; i < 3000; ++i)
        std::fprintf(file, "%.7f,%.7f,%.3f\n", 360 * u(random),
                     std::asin(2 * u(random) - 1) * deg_per_rad, 5 + 3 * u(random));
    for (int i = 0; i < 6000; ++i) {
        double r = 2.5 * std::sqrt(u(random)), phi = two_pi * u(random);
        double dec = 20 + r * std::sin(phi);
        std::fprintf(file, "%.7f,%.7f,%.3f\n", 100 + r * std::cos(phi) / std::cos(dec * rad_per_deg),
                     dec, 8 + 4 * u(random));
    }
    std::fclose(file);
}

const char* const all_files[] = {"index-00.2deg-gaia.zeph", "index-00.5deg-gaia.zeph",
                                 "index-01deg-tyc2.zeph",   "index-02deg-tyc2.zeph",
                                 "index-05deg-tyc2.zeph",   "index-10deg-tyc2.zeph",
                                 "index-20deg-tyc2.zeph"};
const char* const all_scales[] = {"0.2", "0.5", "1", "2", "5", "10", "20"};

class BuildIndexCommand : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/build_index_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        catalog = dir + "/stars.csv";
        write_catalog(catalog);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    // The command with options, its standard output to out.txt and its errors to err.txt.
    int build(const std::string& options, const std::string& prefix = "") {
        return run(prefix + builder() + " --catalog " + catalog + " " + options + " > " + dir +
                   "/out.txt 2> " + dir + "/err.txt");
    }
    std::string dir, catalog;
};

TEST_F(BuildIndexCommand, ScaleListsAndRefusedScales) {
    struct Case { const char* options; int status; std::set<std::string> files; int lines; const char* what; };
    const Case cases[] = {
        {"--scale 1,2 --dir D", 0, {"index-01deg-tyc2.zeph", "index-02deg-tyc2.zeph"}, 2, "a list"},
        {"--scale 20,1,20 --dir D", 0, {"index-01deg-tyc2.zeph", "index-20deg-tyc2.zeph"}, 2,
         "a scale named twice is built once"},
        {"--scale 5 --output D/five.zeph", 0, {"five.zeph"}, 1, "one scale to a named file"},
        {"--scale 3 --dir D", 2, {}, 0, "not a published scale"},
        {"--scale 1,3 --dir D", 2, {}, 0, "one of a list not published"},
        {"--scale 3 --output D/three.zeph", 2, {}, 0, "not published, named file"},
        {"--scale 1, --dir D", 2, {}, 0, "an empty item"},
        {"--scale 1,2 --output D/x.zeph", 2, {}, 0, "a list to one file"},
        {"--scale al --dir D", 2, {}, 0, "a misspelt all"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string d = dir + "/case";
        std::filesystem::create_directory(d);
        std::string options = c.options;
        options.replace(options.find(" D"), 2, " " + d);
        EXPECT_EQ(c.status, build(options + " --quiet"));
        EXPECT_EQ(c.files, names(d));
        std::string out = bytes(dir + "/out.txt");
        EXPECT_EQ(c.lines, std::count(out.begin(), out.end(), '\n')) << out;
        if (c.status == 2) {
            EXPECT_NE(std::string::npos, bytes(dir + "/err.txt").find("kestil_build_index: "));
        }
        std::filesystem::remove_all(d);
    }
}

// "all" builds the seven published indexes from one reading of the catalogue; each is the file
// a build of its scale alone writes.
TEST_F(BuildIndexCommand, AllScalesAreTheSingleBuilds) {
    ASSERT_EQ(0, build("--scale all --dir " + dir + "/all")) << bytes(dir + "/err.txt");
    std::set<std::string> expected(std::begin(all_files), std::end(all_files));
    EXPECT_EQ(expected, names(dir + "/all"));
    // Plain progress lines: no carriage returns off a terminal.
    std::string progress = bytes(dir + "/err.txt");
    EXPECT_EQ(std::string::npos, progress.find('\r'));
    EXPECT_NE(std::string::npos, progress.find("scale 0.2°: 100 %"));
    for (size_t i = 0; i < std::size(all_files); ++i) {
        SCOPED_TRACE(all_scales[i]);
        std::string single = dir + "/single.zeph";
        ASSERT_EQ(0, build("--quiet --scale " + std::string(all_scales[i]) + " --output " + single));
        EXPECT_TRUE(bytes(single) == bytes(dir + "/all/" + all_files[i]));
    }
}

// Runs the command to build scales 1 and 2 with a FIFO in place of the temporary file of scale 1
// (the writer's "<temporary>.tmp" beside "<index>.<pid>.part"), reads the start of the index
// from it, so that the build is halfway through writing the file, and sends SIGTERM.
// Returns the wait status, or -1 with the reason in *failure.
int interrupt_while_writing(const std::string& catalog, const std::string& dir,
                            std::string* failure) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string program = builder();
    std::vector<std::string> args = {program, "--catalog", catalog, "--scale", "1,2", "--force",
                                     "--dir", dir};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        *failure = "cannot start the builder";
        return -1;
    }
    // The builder reads the catalogue and builds for far longer than this takes.
    std::string fifo = dir + "/index-01deg-tyc2.zeph." + std::to_string(child) + ".part.tmp";
    int fd = mkfifo(fifo.c_str(), 0600) == 0 ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    char header[64];
    size_t got = 0;
    while (fd >= 0 && got < sizeof header) {
        pollfd wait_for{fd, POLLIN, 0};
        if (poll(&wait_for, 1, 60000) <= 0) break;  // a generous deadline
        ssize_t n = read(fd, header + got, sizeof header - got);
        if (n <= 0 && errno != EAGAIN) break;
        if (n > 0) got += static_cast<size_t>(n);
    }
    if (got < sizeof header || std::memcmp(header, "ZEPH", 4) != 0)
        *failure = "the builder did not write the index through the FIFO";
    kill(child, SIGTERM);
    // Drain the FIFO until the builder has gone: a thread sanitizer runs the handler only when
    // the blocked write returns.
    char rest[65536];
    while (fd >= 0) {
        pollfd wait_for{fd, POLLIN, 0};
        if (poll(&wait_for, 1, 60000) <= 0) break;
        ssize_t n = read(fd, rest, sizeof rest);
        if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (fd >= 0) close(fd);
    return failure->empty() ? status : -1;
}

// A valid index in place is kept (skipped, or untouched by a failed or interrupted rebuild); an
// invalid one is built again; no temporary file is ever left behind.
TEST_F(BuildIndexCommand, KeepsValidIndexesAndLeavesNoPartialFile) {
    std::string one = dir + "/idx/index-01deg-tyc2.zeph", two = dir + "/idx/index-02deg-tyc2.zeph";
    const std::set<std::string> both = {"index-01deg-tyc2.zeph", "index-02deg-tyc2.zeph"};
    ASSERT_EQ(0, build("--quiet --scale 1,2 --dir " + dir + "/idx"));
    const std::string first = bytes(one), second = bytes(two);
    ino_t first_inode = inode(one);

    ASSERT_EQ(0, build("--quiet --scale 1,2 --dir " + dir + "/idx"));
    std::string out = bytes(dir + "/out.txt");
    EXPECT_EQ(2, std::count(out.begin(), out.end(), '\n'));
    EXPECT_NE(std::string::npos, out.find("index-02deg-tyc2.zeph: scale 2°, a valid index is already there"));
    EXPECT_EQ(first_inode, inode(one));

    std::filesystem::resize_file(two, 100);  // no longer a valid index: built again
    ASSERT_EQ(0, build("--quiet --scale 1,2 --dir " + dir + "/idx"));
    EXPECT_EQ(first_inode, inode(one));
    EXPECT_TRUE(second == bytes(two));

    // A file size limit of 512 kB (below the 4 MB bucket table): every write fails.
    EXPECT_EQ(1, build("--quiet --scale 1,2 --force --dir " + dir + "/idx", "ulimit -f 1000 && "));
    EXPECT_NE(std::string::npos, bytes(dir + "/err.txt").find("the index file can't be written"));
    EXPECT_EQ(both, names(dir + "/idx"));
    EXPECT_TRUE(first == bytes(one));
    EXPECT_TRUE(second == bytes(two));

    std::string failure;
    int status = interrupt_while_writing(catalog, dir + "/idx", &failure);
    ASSERT_EQ("", failure);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(both, names(dir + "/idx"));
    EXPECT_TRUE(first == bytes(one));

    ASSERT_EQ(0, build("--quiet --scale 1,2 --force --dir " + dir + "/idx"));
    EXPECT_NE(first_inode, inode(one));  // replaced by a rename
    EXPECT_TRUE(first == bytes(one));
    EXPECT_EQ(both, names(dir + "/idx"));
}

}  // namespace
