// tests/solver/index/index_download_test.cpp - real transfers from a loopback HTTP(S) server
#include "solver/index/index_download.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "index_test_support.hpp"
#include "solver/index/index_file.h"

using namespace index_test;

namespace {

const char* const five = "index-05deg-tyc2.zeph";

SolverSettings settings_for(const TempDir& dir) {
    SolverSettings settings{};
    snprintf(settings.index_dir, sizeof settings.index_dir, "%s", dir.path().c_str());
    return settings;
}

void put_u32(std::vector<unsigned char>& bytes, size_t at, uint32_t value) {
    memcpy(bytes.data() + at, &value, 4);
}

struct Outcome {
    bool installed;
    std::string result;
    std::string log;
    std::string reason;  // the cause handed to the caller
    int progress_calls = 0;
    int64_t last_received = -1, last_total = -1;  // the last progress call
    bool over_total = false;  // a call with more bytes than announced
};

extern "C" void record_progress(void* context, uint64_t received, int64_t total) {
    Outcome& outcome = *static_cast<Outcome*>(context);
    ++outcome.progress_calls;
    outcome.last_received = static_cast<int64_t>(received);
    outcome.last_total = total;
    if (total >= 0 && static_cast<int64_t>(received) > total) outcome.over_total = true;
}

Outcome download(const SolverSettings& settings, const std::string& base, float scale,
                 const volatile uint8_t* flag = nullptr) {
    Outcome outcome{};
    char reason[8192] = "unset";
    const IndexDownloadHooks hooks{record_progress, &outcome, reason, sizeof reason};
    const char* result = "unset";
    LogCapture log(1);
    testing::internal::CaptureStderr();  // the header check writes its own lines there
    outcome.installed = kestil_solver_download_index_with_hooks(&settings, base.c_str(), scale,
                                                                flag, &hooks, &result);
    testing::internal::GetCapturedStderr();
    outcome.result = outcome.installed ? "" : result;
    outcome.log = log.text();
    outcome.reason = reason;
    return outcome;
}

// The reason begins with expected ("" = is empty); {url} stands for url.
void expect_reason(const std::string& expected, const std::string& url, const Outcome& outcome) {
    std::string text = expected;
    if (const size_t at = text.find("{url}"); at != std::string::npos) text.replace(at, 5, url);
    if (text.empty())
        EXPECT_EQ("", outcome.reason);
    else
        EXPECT_EQ(0u, outcome.reason.rfind(text, 0)) << outcome.reason;
}

// Sets environment variables for a scope and restores them after.
class EnvironmentOverride {
public:
    void set(const char* name, const std::string& value) {
        const char* old = getenv(name);
        saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
        setenv(name, value.c_str(), 1);
    }
    ~EnvironmentOverride() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                setenv(it->first, it->second->c_str(), 1);
            else
                unsetenv(it->first);
        }
    }

private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

}  // namespace

TEST(DownloadIndex, OutcomesOfRealTransfers) {
    const std::vector<unsigned char> good = small_index(5.0f);
    std::vector<unsigned char> bad_magic = good;
    bad_magic[0] = 'X';
    std::vector<unsigned char> bad_grid = good;
    put_u32(bad_grid, 20, 1000);
    std::vector<unsigned char> cut = good;  // a sound header over a file cut in the bucket table
    cut.resize(good.size() / 2);
    struct Case {
        const char* what;
        std::vector<unsigned char> served;  // what the server holds under the 5-degree name
        std::string rule;
        bool installed;
        const char* result;
        const char* log;     // a part of the error log
        const char* reason;  // the beginning of the cause for the caller
    };
    const char* const not_valid = "{url} is not a valid index of 5°";
    const Case cases[] = {
        {"installed", good, "", true, "", "", ""},
        {"redirected", good, "redirect", true, "", "", ""},
        {"404", {}, "", false, "the download failed", "fetch_index: HTTP status 404",
         "{url}: HTTP status 404"},
        {"500", good, "status:500", false, "the download failed", "fetch_index: HTTP status 500",
         "{url}: HTTP status 500"},
        {"body cut short", good, "short", false, "the download failed",
         "fetch_index: InternetReadFile() failed (transfer closed with ",
         "{url}: transfer closed with "},
        {"wrong scale", small_index(2.0f), "", false, "the downloaded file is not a valid index",
         " is not a valid index of 5°", not_valid},
        {"no quads", small_index(5.0f, 5, 0), "", false,
         "the downloaded file is not a valid index", " is not a valid index of 5°", not_valid},
        {"no stars", small_index(5.0f, 0, 0), "", false,
         "the downloaded file is not a valid index", "", not_valid},
        {"bad magic", bad_magic, "", false, "the downloaded file is not a valid index", "",
         not_valid},
        {"grid 1000", bad_grid, "", false, "the downloaded file is not a valid index",
         "is corrupted (invalid header)", not_valid},
        {"cut in its buckets", cut, "", false, "the downloaded file is not a valid index",
         "is corrupted (invalid header)", not_valid},
        {"empty body", {'\0'}, "", false, "the downloaded file is not a valid index", "",
         not_valid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LoopbackServer::Options options;
        if (!c.rule.empty()) options.rules = {std::string(five) + "=" + c.rule};
        LoopbackServer server(options);
        ASSERT_TRUE(server.running());
        if (!c.served.empty()) {
            std::vector<unsigned char> bytes = c.served;
            if (std::string(c.what) == "empty body") bytes.clear();
            ASSERT_TRUE(write_file(server.root() + "/" + five, bytes));
        }
        TempDir dir;
        const Outcome outcome = download(settings_for(dir), server.url("/releases"), 5.0f);
        EXPECT_EQ(c.installed, outcome.installed);
        EXPECT_EQ(c.result, outcome.result);
        EXPECT_NE(std::string::npos, outcome.log.find(c.log)) << outcome.log;
        expect_reason(c.reason, server.url("/releases/") + five, outcome);
        // Progress: none for an error status's body; a whole body ends with its full length.
        EXPECT_FALSE(outcome.over_total);
        const int64_t size = std::string(c.what) == "empty body" ? 0 : int64_t(c.served.size());
        if (std::string(c.result) == "the download failed" && c.rule != "short") {
            EXPECT_EQ(0, outcome.progress_calls);
        } else if (c.rule != "short") {
            EXPECT_EQ(size, outcome.last_received);
            EXPECT_EQ(size > 0 ? size : -1, outcome.last_total);
        }
        if (c.installed) {
            EXPECT_EQ((std::vector<std::string>{five}), dir.entries());
            EXPECT_EQ(good, read_bytes(dir.file(five)));
        } else {
            EXPECT_TRUE(dir.entries().empty());
        }
        // One request (and the redirected one), asking for fresh content as "KESTIL Solver".
        const std::string headers = " agent=KESTIL Solver cache=no-cache pragma=no-cache\n";
        std::string expected = "GET /releases/" + std::string(five) + headers;
        if (c.rule == "redirect") expected += "GET /redirected/" + std::string(five) + headers;
        EXPECT_EQ(expected, server.log());
    }
}

TEST(DownloadIndex, BaseWithAndWithoutSlashAndUrlLength) {
    LoopbackServer server;
    ASSERT_TRUE(server.running());
    TempDir dir;
    const SolverSettings settings = settings_for(dir);
    download(settings, server.url("/base"), 1.0f);
    download(settings, server.url("/base/"), 1.0f);
    const std::string line = "GET /base/index-01deg-tyc2.zeph agent=KESTIL Solver cache=no-cache "
                             "pragma=no-cache\n";
    EXPECT_EQ(line + line, server.log());

    // "<base>/index-01deg-tyc2.zeph": 4095 characters are refused unfetched, 4094 are fetched.
    const std::string prefix = server.url("/");
    const size_t name_length = strlen("/index-01deg-tyc2.zeph");
    const std::string base_4095 = prefix + std::string(4095 - name_length - prefix.size(), 'a');
    const Outcome refused = download(settings, base_4095, 1.0f);
    EXPECT_FALSE(refused.installed);
    EXPECT_EQ("the URL is too long", refused.result);
    EXPECT_EQ("", refused.log);
    EXPECT_EQ(line + line, server.log());
    const Outcome fetched = download(settings, base_4095.substr(0, base_4095.size() - 1), 1.0f);
    EXPECT_EQ("the download failed", fetched.result);  // 404: nothing served there
    EXPECT_TRUE(server.wait_for_log(std::string(4094 - prefix.size() - name_length, 'a') +
                                    "/index-01deg-tyc2.zeph"));
    EXPECT_TRUE(dir.entries().empty());
}

TEST(DownloadIndex, AbortBeforeAndDuringTheTransfer) {
    LoopbackServer server({{std::string(five) + "=slow"}});
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(write_file(server.root() + "/" + five, small_index(5.0f)));
    TempDir dir;
    const SolverSettings settings = settings_for(dir);

    volatile uint8_t flag = 1;
    const Outcome before = download(settings, server.url(), 5.0f, &flag);
    EXPECT_EQ("aborted", before.result);
    EXPECT_EQ("", server.log());  // nothing fetched

    flag = 0;
    // The flag is set from another thread once the body is streaming, as a signal would.
    std::thread interrupter([&] {
        if (server.wait_for_log("streaming " + std::string(five)))
            __atomic_store_n(&flag, 1, __ATOMIC_SEQ_CST);
    });
    const Outcome during = download(settings, server.url(), 5.0f, &flag);
    interrupter.join();
    EXPECT_FALSE(during.installed);
    EXPECT_EQ("aborted", during.result);
    EXPECT_EQ("", during.log);
    EXPECT_TRUE(dir.entries().empty());  // no ".part" left
}

TEST(DownloadIndex, ExistingDestinationIsNeverReplaced) {
    LoopbackServer server;
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(write_file(server.root() + "/" + five, small_index(5.0f)));
    TempDir dir;
    const std::vector<unsigned char> old = {'o', 'l', 'd'};
    ASSERT_TRUE(write_file(dir.file(five), old));
    const Outcome outcome = download(settings_for(dir), server.url(), 5.0f);
    EXPECT_EQ("the index file can't be installed", outcome.result);
    EXPECT_EQ(dir.file(five) + ".part can't be renamed to " + dir.file(five) + ": File exists",
              outcome.reason);
    EXPECT_NE(std::string::npos,
              outcome.log.find("kestil_solver_download_index: failed to rename " + dir.file(five) +
                               ".part (File exists)"));
    EXPECT_EQ(old, read_bytes(dir.file(five)));
    EXPECT_EQ((std::vector<std::string>{five}), dir.entries());
}

TEST(DownloadIndex, FullDiskLeavesNoPartAndTheInstalledIndexAlone) {
    LoopbackServer server;
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(write_file(server.root() + "/" + five, small_index(5.0f, 5, 9)));
    TempDir dir;
    const std::vector<unsigned char> installed = small_index(5.0f);
    ASSERT_TRUE(write_file(dir.file(five), installed));
    const SolverSettings settings = settings_for(dir);
    const std::string base = server.url();
    const ChildRun run = run_in_child([&] {
        // A 1 MB file size limit stands for a full disk; the index has 4 MB.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1 << 20, 1 << 20};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
        const char* result = nullptr;
        if (kestil_solver_download_index(&settings, base.c_str(), 5.0f, nullptr, &result)) return 4;
        return strcmp(result, "the index file can't be written") == 0 ? 0 : 5;
    });
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("fetch_index: failed to write " + dir.file(five) +
                                              ".part"));
    EXPECT_EQ(installed, read_bytes(dir.file(five)));
    EXPECT_EQ((std::vector<std::string>{five}), dir.entries());
}

TEST(DownloadIndex, HttpsTrustsTheSystemAnchorsOnly) {
    TempDir certs;
    ASSERT_TRUE(make_test_certificates(certs.path()));
    TempDir empty_anchors;
    struct Case { const char* what; const char* cert; bool trust_test_ca; bool installed; };
    const Case cases[] = {
        {"test CA trusted", "server", true, true},
        {"self-signed certificate", "rogue", true, false},
        {"test CA not trusted", "server", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LoopbackServer server({{}, certs.file(std::string(c.cert) + ".crt"),
                               certs.file(std::string(c.cert) + ".key")});
        ASSERT_TRUE(server.running());
        ASSERT_TRUE(write_file(server.root() + "/" + five, small_index(5.0f)));
        EnvironmentOverride environment;
        if (c.trust_test_ca) {
            environment.set("SSL_CERT_FILE", certs.file("ca.crt"));
            environment.set("SSL_CERT_DIR", empty_anchors.path());
        }
        TempDir dir;
        const Outcome outcome = download(settings_for(dir), server.url("/v2"), 5.0f);
        EXPECT_EQ(c.installed, outcome.installed);
        if (c.installed) {
            EXPECT_EQ((std::vector<std::string>{five}), dir.entries());
            continue;
        }
        EXPECT_EQ("the download failed", outcome.result);
        EXPECT_NE(std::string::npos, outcome.log.find("fetch_index: InternetOpenUrl() failed ("))
            << outcome.log;
        EXPECT_TRUE(dir.entries().empty());
    }
}

// Redirects are followed up to 20 in a row, whatever their status; a longer chain, a loop to the
// same address and a bounce between two addresses all end as a failed download after 20
// redirects, leaving the installed index as it was and no ".part".
TEST(DownloadIndex, RedirectsFollowedUpToTwenty) {
    const std::vector<unsigned char> good = small_index(5.0f);
    struct Case {
        std::string rule;
        size_t requests;  // the first and one per redirect followed
        bool installed;
    };
    const Case cases[] = {
        {"chain:1", 2, true},  {"chain:5", 6, true},  {"chain:20", 21, true},
        {"chain:21", 21, false}, {"loop", 21, false}, {"bounce", 21, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        LoopbackServer server({{std::string(five) + "=" + c.rule}});
        ASSERT_TRUE(server.running());
        ASSERT_TRUE(write_file(server.root() + "/" + five, good));
        TempDir dir;
        const std::vector<unsigned char> installed = small_index(5.0f, 6, 9);
        if (!c.installed) {
            ASSERT_TRUE(write_file(dir.file(five), installed));
        }
        const Outcome outcome = download(settings_for(dir), server.url("/releases"), 5.0f);
        EXPECT_EQ(c.installed, outcome.installed);
        EXPECT_EQ((std::vector<std::string>{five}), dir.entries());
        const std::string log = server.log();
        EXPECT_EQ(c.requests, static_cast<size_t>(std::count(log.begin(), log.end(), '\n'))) << log;
        if (c.installed) {
            EXPECT_EQ(good, read_bytes(dir.file(five)));
            continue;
        }
        EXPECT_EQ("the download failed", outcome.result);
        EXPECT_NE(std::string::npos,
                  outcome.log.find("fetch_index: InternetOpenUrl() failed (Maximum (20) redirects "
                                   "followed)")) << outcome.log;
        EXPECT_EQ(installed, read_bytes(dir.file(five)));
    }
}

// A server that stops sending, after its headers or within the body, holds the transfer (no
// time-outs are set) until the abort flag is raised; then the result is "aborted", the ".part"
// is gone and the installed index is as it was.
TEST(DownloadIndex, StalledServerEndsByTheAbortFlag) {
    struct Case {
        const char* rule;
        size_t part_bytes;  // what the ".part" holds while the server stalls
    };
    const Case cases[] = {{"stall-headers", 0}, {"stall-body", 65536}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        LoopbackServer server({{std::string(five) + "=" + c.rule}});
        ASSERT_TRUE(server.running());
        ASSERT_TRUE(write_file(server.root() + "/" + five, small_index(5.0f)));
        TempDir dir;
        const std::vector<unsigned char> installed = small_index(5.0f, 6, 9);
        ASSERT_TRUE(write_file(dir.file(five), installed));
        const std::string part = dir.file(std::string(five) + ".part");
        volatile uint8_t flag = 0;
        std::atomic<bool> returned{false};
        bool stalled = false, was_running = false;
        std::thread interrupter([&] {
            // Stalled: the server says so and the first block (if any) is on disk.
            stalled = server.wait_for_log("stalling " + std::string(five)) &&
                      wait_until([&] {
                          return c.part_bytes == 0 || read_bytes(part).size() == c.part_bytes;
                      });
            was_running = !returned.load();
            __atomic_store_n(&flag, 1, __ATOMIC_SEQ_CST);
        });
        const Outcome outcome = download(settings_for(dir), server.url(), 5.0f, &flag);
        returned = true;
        interrupter.join();
        EXPECT_TRUE(stalled);
        EXPECT_TRUE(was_running);
        EXPECT_FALSE(outcome.installed);
        EXPECT_EQ("aborted", outcome.result);
        EXPECT_EQ("", outcome.log);
        EXPECT_EQ((std::vector<std::string>{five}), dir.entries());
        EXPECT_EQ(installed, read_bytes(dir.file(five)));
    }
}

// Mirrors on a file system (file://, its path percent-encoded as URLs are) install like HTTP
// ones; a missing file, a refused connection and a redirect from a server to a file:// address
// fail with their cause, and leave nothing behind.
TEST(DownloadIndex, FileUrlsAndUnreachableLocations) {
    const std::vector<unsigned char> good = small_index(5.0f);
    TempDir mirror;
    ASSERT_EQ(0, mkdir(mirror.file("a b").c_str(), 0700));
    ASSERT_TRUE(write_file(mirror.file("a b/") + five, good));
    const std::string file_base = "file://" + mirror.file("a%20b");
    LoopbackServer server({{std::string(five) + "=goto:" + file_base + "/" + five}});
    ASSERT_TRUE(server.running());
    struct Case {
        const char* what;
        std::string base;
        bool installed;
        std::string reason;  // its beginning
    };
    const Case cases[] = {
        {"file", file_base, true, ""},
        {"file, base with a slash", file_base + "/", true, ""},
        {"missing file", "file://" + mirror.path(), false,
         "file://" + mirror.path() + "/" + five + ": No such file or directory"},
        {"connection refused", "http://127.0.0.1:1", false,
         "http://127.0.0.1:1/" + std::string(five) + ": Failed to connect to 127.0.0.1 port 1"},
        {"server redirecting to a file", server.url("/dl"), false,
         server.url("/dl/") + five +
             ": redirected to an address other than http:// or https://, which is not followed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const Outcome outcome = download(settings_for(dir), c.base, 5.0f);
        EXPECT_EQ(c.installed, outcome.installed);
        expect_reason(c.reason, "", outcome);
        if (!c.installed) {
            EXPECT_EQ("the download failed", outcome.result);
            EXPECT_TRUE(dir.entries().empty());
            continue;
        }
        EXPECT_EQ(good, read_bytes(dir.file(five)));
        EXPECT_EQ((std::vector<std::string>{five}), dir.entries());
        EXPECT_EQ(int64_t(good.size()), outcome.last_received);
        EXPECT_EQ(int64_t(good.size()), outcome.last_total);
    }
}
