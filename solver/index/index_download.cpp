// solver/index/index_download.cpp - one index over HTTP(S) or file:// with libcurl, streamed
// to disk
#include "solver/index/index_download.h"

#include <curl/curl.h>
#include <errno.h>
#include <stdarg.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "framework/alloc.h"
#include "framework/handles.hpp"
#include "framework/log.h"
#include "solver/index/index_file.h"

namespace {

constexpr size_t block_size = 65536;
constexpr size_t url_size = 4096;
constexpr size_t part_path_size = SOLVER_PATH_SIZE + 8;
constexpr size_t file_name_size = 64;
// Redirects followed in a row, as browsers do; a loop ends there as a failed download.
constexpr long max_redirects = 20;

static_assert(__atomic_always_lock_free(sizeof(uint8_t), 0), "the abort flag must be lock-free");

bool flag_set(const volatile uint8_t* flag) {
    return flag && __atomic_load_n(flag, __ATOMIC_SEQ_CST) != 0;
}

struct CurlCloser {
    void operator()(CURL* curl) const noexcept { curl_easy_cleanup(curl); }
};
struct ListCloser {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
constexpr IndexDownloadHooks no_hooks{};

// Writes the cause of a failure for the caller, when it asked for one.
__attribute__((format(printf, 2, 3))) void note(const IndexDownloadHooks& hooks,
                                                const char* format, ...) {
    if (!hooks.reason || hooks.reason_size == 0) return;
    va_list args;
    va_start(args, format);
    vsnprintf(hooks.reason, hooks.reason_size, format, args);
    va_end(args);
}

bool is_file_url(const char* url) { return strncasecmp(url, "file:", 5) == 0; }

void global_init_once() {
    static bool done = false;
    if (!done) done = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

// One transfer: the body is gathered into a 65536-byte block and written block by block.
struct Transfer {
    CURL* curl;
    const char* url;
    const char* part_path;
    const volatile uint8_t* abort_flag;
    const char** result;
    const IndexDownloadHooks& hooks;
    unsigned char* block;
    bool local;  // file:// has no status to check
    FILE* file = nullptr;
    size_t filled = 0;
    uint64_t body_bytes = 0;
    bool stopped = false;  // stopped by this code (status, file, abort), already reported
};

constexpr char fetch_name[] = "fetch_index";

long response_status(CURL* curl) {
    long status = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    return status;
}

// The headers are in: checks the status and creates the part file.
bool start_body(Transfer& t) {
    const long status = response_status(t.curl);
    if (!t.local && status != 200) {
        kestil_error("%s: HTTP status %lu", fetch_name, static_cast<unsigned long>(status));
        note(t.hooks, "%s: HTTP status %lu", t.url, static_cast<unsigned long>(status));
        t.stopped = true;
        return false;
    }
    t.file = fopen(t.part_path, "wb");
    if (!t.file) {
        kestil_error("%s: failed to create %s (%s)", fetch_name, t.part_path, strerror(errno));
        note(t.hooks, "%s: %s", t.part_path, strerror(errno));
        *t.result = "the index file can't be written";
        t.stopped = true;
        return false;
    }
    return true;
}

// Writes the gathered block whole, then honours the abort flag.
bool write_block(Transfer& t) {
    if (t.filled > 0 && fwrite(t.block, 1, t.filled, t.file) != t.filled) {
        const int error = errno;
        kestil_error("%s: failed to write %s", fetch_name, t.part_path);
        note(t.hooks, "%s: %s", t.part_path, strerror(error));
        *t.result = "the index file can't be written";
        t.stopped = true;
        return false;
    }
    t.filled = 0;
    if (flag_set(t.abort_flag)) {
        t.stopped = true;
        return false;
    }
    return true;
}

size_t receive(char* data, size_t, size_t size, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    if (!t.file && !start_body(t)) return 0;
    t.body_bytes += size;
    for (size_t left = size; left > 0;) {
        const size_t take = std::min(left, block_size - t.filled);
        memcpy(t.block + t.filled, data, take);
        t.filled += take;
        data += take;
        left -= take;
        if (t.filled == block_size && !write_block(t)) return 0;
    }
    return size;
}

void tell_progress(const Transfer& t, curl_off_t total) {
    if (t.hooks.progress)
        t.hooks.progress(t.hooks.context, t.body_bytes, total > 0 ? int64_t{total} : -1);
}

// Called by libcurl at least once a second, also while no data arrives: an interrupt is
// noticed while waiting on a stalled server too. The body's progress is passed on once the
// body is accepted (never for the body of a redirect or an error status).
int progress(void* user, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
    const Transfer& t = *static_cast<Transfer*>(user);
    if (t.file) tell_progress(t, total);
    return flag_set(t.abort_flag) ? 1 : 0;
}

void set_trust_anchors(CURL* curl) {
    const char* file = getenv("SSL_CERT_FILE");
    const char* directory = getenv("SSL_CERT_DIR");
    if (file && *file) curl_easy_setopt(curl, CURLOPT_CAINFO, file);
    if (directory && *directory) curl_easy_setopt(curl, CURLOPT_CAPATH, directory);
}

curl_slist* no_cache_headers() {
    curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    if (!headers) kestil_out_of_memory();
    curl_slist* both = curl_slist_append(headers, "Pragma: no-cache");
    if (!both) kestil_out_of_memory();
    return both;
}

void configure(CURL* curl, const char* url, curl_slist* headers, Transfer* t, char* error) {
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "KESTIL Solver");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, max_redirects);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,file");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(block_size));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    set_trust_anchors(curl);
}

// After curl_easy_perform: an empty body still needs its status check and file; the last
// partial block is written; a body shorter than its Content-Length is a failed transfer.
bool finish_body(Transfer& t) {
    if (!t.file && !start_body(t)) return false;
    if (!write_block(t)) return false;
    curl_off_t announced = -1;
    if (curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK)
        announced = -1;
    if (announced >= 0 && static_cast<uint64_t>(announced) != t.body_bytes) {
        kestil_error("%s: %s ended after %llu of %lld bytes", fetch_name, t.url,
                     static_cast<unsigned long long>(t.body_bytes),
                     static_cast<long long>(announced));
        note(t.hooks, "%s: the transfer ended after %llu of %lld bytes", t.url,
             static_cast<unsigned long long>(t.body_bytes), static_cast<long long>(announced));
        return false;
    }
    tell_progress(t, announced);
    return true;
}

// Why a file:// URL could not be read: the system's text for its decoded path, or null.
const char* local_file_problem(const char* url) {
    CURLU* parsed = curl_url();
    if (!parsed) return nullptr;
    const char* problem = nullptr;
    char* path = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_PATH, &path, CURLU_URLDECODE) == CURLUE_OK) {
        const int fd = open(path, O_RDONLY);
        if (fd < 0)
            problem = strerror(errno);
        else
            close(fd);
    }
    curl_free(path);
    curl_url_cleanup(parsed);
    return problem;
}

// A failure libcurl reported on its own: before any response, while reading, or on a status.
void report_transfer_error(const Transfer& t, CURLcode code, const char* error) {
    const char* text = error[0] ? error : curl_easy_strerror(code);
    const long status = response_status(t.curl);
    if (code == CURLE_TOO_MANY_REDIRECTS) {  // the last status is a redirect: no response came
        kestil_error("%s: InternetOpenUrl() failed (%s)", fetch_name, text);
    } else if (t.file || status == 200) {
        kestil_error("%s: InternetReadFile() failed (%s)", fetch_name, text);
    } else if (status == 0) {
        kestil_error("%s: InternetOpenUrl() failed (%s)", fetch_name, text);
        const char* problem = nullptr;
        if (t.local && code == CURLE_FILE_COULDNT_READ_FILE) problem = local_file_problem(t.url);
        if (problem) text = problem;
    } else {
        kestil_error("%s: HTTP status %lu", fetch_name, static_cast<unsigned long>(status));
        if (code == CURLE_UNSUPPORTED_PROTOCOL && status >= 300 && status < 400)
            note(t.hooks, "%s: redirected to an address other than http:// or https://, which "
                 "is not followed", t.url);
        else
            note(t.hooks, "%s: HTTP status %lu", t.url, static_cast<unsigned long>(status));
        return;
    }
    note(t.hooks, "%s: %s", t.url, text);
}

bool rename_without_replacing(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace rename: test, then rename.
    if (access(to, F_OK) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(from, to) == 0;
}

bool fetch(const char* url, const char* part_path, const volatile uint8_t* abort_flag,
           const IndexDownloadHooks& hooks, const char** result) {
    kestil_debug("%s: GET %s", fetch_name, url);
    *result = "the download failed";
    if (flag_set(abort_flag)) return false;
    global_init_once();
    std::unique_ptr<CURL, CurlCloser> curl(curl_easy_init());
    if (!curl) {
        kestil_error("%s: InternetOpen() failed (%s)", fetch_name, "no transfer handle");
        return false;
    }
    std::unique_ptr<curl_slist, ListCloser> headers(no_cache_headers());
    std::unique_ptr<unsigned char, FreeDeleter> block(
        static_cast<unsigned char*>(kestil_checked_malloc(block_size)));
    Transfer t{curl.get(), url, part_path, abort_flag, result, hooks, block.get(),
               is_file_url(url)};
    char error[CURL_ERROR_SIZE] = "";
    configure(curl.get(), url, headers.get(), &t, error);
    const CURLcode code = curl_easy_perform(curl.get());
    bool ok = false;
    if (code == CURLE_OK)
        ok = finish_body(t);
    else if (!t.stopped && code != CURLE_ABORTED_BY_CALLBACK)
        report_transfer_error(t, code, error);
    if (t.file && fclose(t.file) != 0 && ok) {
        kestil_error("%s: failed to write %s", fetch_name, part_path);
        note(hooks, "%s: %s", part_path, strerror(errno));
        *result = "the index file can't be written";
        ok = false;
    }
    return ok;
}

}  // namespace

extern "C" {

const char kestil_default_index_url[] =
    "https://kestil-solver.example.org/releases/download/index_release_v2";

bool fetch_index(const char* url, const char* part_path, const volatile uint8_t* abort_flag,
                 const char** result) {
    return fetch(url, part_path, abort_flag, no_hooks, result);
}

bool kestil_solver_download_index(const SolverSettings* settings, const char* base_url,
                                  float scale, const volatile uint8_t* abort_flag,
                                  const char** result) {
    return kestil_solver_download_index_with_hooks(settings, base_url, scale, abort_flag, nullptr,
                                                   result);
}

bool kestil_solver_download_index_with_hooks(const SolverSettings* settings,
                                             const char* base_url, float scale,
                                             const volatile uint8_t* abort_flag,
                                             const IndexDownloadHooks* hooks_given,
                                             const char** result) {
    static const char name[] = "kestil_solver_download_index";
    const IndexDownloadHooks& hooks = hooks_given ? *hooks_given : no_hooks;
    note(hooks, "%s", "");
    const char* ignored = nullptr;
    if (!result) result = &ignored;
    char destination[SOLVER_PATH_SIZE];
    index_file_name(destination, sizeof destination, settings, scale);
    char part_path[part_path_size];
    snprintf(part_path, sizeof part_path, "%s.part", destination);
    char file_name[file_name_size];
    index_file_name(file_name, sizeof file_name, nullptr, scale);
    const char* base = base_url && *base_url ? base_url : kestil_default_index_url;
    const size_t base_length = strlen(base);
    const char* separator = base[base_length - 1] == '/' ? "" : "/";
    char url[url_size];
    const int url_length = snprintf(url, sizeof url, "%s%s%s", base, separator, file_name);
    if (url_length < 0 || static_cast<size_t>(url_length) >= url_size - 1) {
        *result = "the URL is too long";
        return false;
    }
    bool fetched = false;
    if (!flag_set(abort_flag)) fetched = fetch(url, part_path, abort_flag, hooks, result);
    if (flag_set(abort_flag)) {
        unlink(part_path);
        note(hooks, "%s", "");
        *result = "aborted";
        return false;
    }
    if (!fetched) {
        unlink(part_path);
        return false;
    }
    if (!kestil_solver_index_valid(part_path, scale)) {
        kestil_error("%s: %s is not a valid index of %g°", name, url, static_cast<double>(scale));
        note(hooks, "%s is not a valid index of %g°", url, static_cast<double>(scale));
        unlink(part_path);
        *result = "the downloaded file is not a valid index";
        return false;
    }
    if (!rename_without_replacing(part_path, destination)) {
        const int error = errno;
        kestil_error("%s: failed to rename %s (%s)", name, part_path, strerror(error));
        note(hooks, "%s can't be renamed to %s: %s", part_path, destination, strerror(error));
        unlink(part_path);
        *result = "the index file can't be installed";
        return false;
    }
    return true;
}

}  // extern "C"
