// framework/files.cpp - file and path services over POSIX
#include "framework/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <map>
#include <mutex>

#include "framework/alloc.h"
#include "framework/log.h"

namespace {

char home_folder[512];
char config_folder[512];
char base_name[512];
char last_error[128];

// munmap needs the length; kestil_uni_unmap_file gets only the base.
std::mutex mapping_mutex;
std::map<void*, size_t>& mappings() {
    static std::map<void*, size_t> sizes;
    return sizes;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool make_directory(const char* path) {
    if (mkdir(path, 0777) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat info {};
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) return true;
    errno = EEXIST;
    return false;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

bool copy_file(const char* from, const char* to) {
    FILE* in = fopen(from, "rb");
    if (!in) return false;
    FILE* out = fopen(to, "wb");
    if (!out) {
        fclose(in);
        return false;
    }
    char block[65536];
    bool ok = true;
    size_t n;
    while ((n = fread(block, 1, sizeof block, in)) > 0)
        if (fwrite(block, 1, n, out) != n) {
            ok = false;
            break;
        }
    if (ferror(in)) ok = false;
    fclose(in);
    if (fclose(out) != 0) ok = false;
    if (!ok) unlink(to);
    return ok;
}

}  // namespace

extern "C" {

const char* kestil_uni_home_folder(void) {
    if (home_folder[0]) return home_folder;
    const char* home = getenv("USERPROFILE");
    if (!home || !*home) home = getenv("HOME");
    if (!home || !*home) {
        const passwd* account = getpwuid(getuid());
        home = account && account->pw_dir ? account->pw_dir : "/";
    }
    snprintf(home_folder, sizeof home_folder, "%s", home);
    return home_folder;
}

const char* kestil_uni_config_folder(void) {
    if (config_folder[0]) return config_folder;
    const char* appdata = getenv("APPDATA");
    if (appdata && *appdata)
        snprintf(config_folder, sizeof config_folder, "%s/kestil", appdata);
    else
        snprintf(config_folder, sizeof config_folder, "%s/.kestil", kestil_uni_home_folder());
    return config_folder;
}

bool kestil_uni_mkdir(const char* path) {
    char work[772];
    snprintf(work, sizeof work, "%s", path ? path : "");
    if (!work[0]) {
        errno = ENOENT;
        return false;
    }
    char* p = work;
    if (strlen(work) > 2 && work[1] == ':') p += 2;  // a drive prefix, kept as it is
    if (is_separator(*p)) *p++ = '/';               // the root
    for (; *p; ++p) {
        if (!is_separator(*p)) continue;
        *p = '\0';
        if (!make_directory(work)) return false;
        *p = '/';
    }
    return make_directory(work);
}

void* kestil_uni_map_file(const char* path, uint64_t* size) {
    if (size) *size = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kestil_error("Failed to open %s (%s)", path, kestil_last_windows_error());
        return nullptr;
    }
    FdCloser closer{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_size <= 0 || !S_ISREG(info.st_mode)) {
        kestil_error("Failed to get the size of %s", path);
        return nullptr;
    }
    size_t length = static_cast<size_t>(info.st_size);
    void* base = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    if (base == MAP_FAILED) {
        kestil_error("Failed to map %s (%s)", path, kestil_last_windows_error());
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mapping_mutex);
        mappings()[base] = length;
    }
    if (size) *size = static_cast<uint64_t>(length);
    return base;
}

void kestil_uni_unmap_file(void* base) {
    if (!base) return;
    size_t length = 0;
    {
        std::lock_guard<std::mutex> lock(mapping_mutex);
        auto found = mappings().find(base);
        if (found == mappings().end()) return;
        length = found->second;
        mappings().erase(found);
    }
    munmap(base, length);
}

const char* kestil_last_windows_error(void) {
    int error = errno;
    if (error == 0) return last_error;
    snprintf(last_error, sizeof last_error, "%s", strerror(error));
    char* cr = strchr(last_error, '\r');
    if (cr) *cr = '\0';
    return last_error;
}

bool kestil_uni_remove(const char* path) { return unlink(path) == 0; }
bool kestil_uni_is_readable(const char* path) { return access(path, R_OK) == 0; }
bool kestil_uni_is_writable(const char* path) { return access(path, W_OK) == 0; }

bool kestil_uni_replace_file(const char* existing, const char* replacement) {
    if (rename(existing, replacement) == 0) return true;
    if (errno != EXDEV) return false;
    if (!copy_file(existing, replacement)) return false;
    return unlink(existing) == 0;
}

char* kestil_uni_realpath(const char* path, char* buffer) {
    char resolved[PATH_MAX];
    if (!realpath(path, resolved)) return nullptr;
    if (strlen(resolved) >= 260) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    snprintf(buffer, 260, "%s", resolved);
    return buffer;
}

const char* kestil_uni_basename(const char* path) {
    const char* name = path ? path : "";
    for (const char* p = name; *p; ++p)
        if (is_separator(*p)) name = p + 1;
    snprintf(base_name, sizeof base_name, "%s", name);
    return base_name;
}

char* kestil_uni_getcwd(void) {
    char buffer[PATH_MAX];
    if (!getcwd(buffer, sizeof buffer)) return nullptr;
    size_t length = strlen(buffer) + 1;
    char* copy = static_cast<char*>(kestil_checked_malloc(length));
    memcpy(copy, buffer, length);
    return copy;
}

int kestil_uni_scandir(const char* directory, char*** list, bool (*filter)(const char* name)) {
    *list = nullptr;
    DIR* dir = opendir(directory);
    if (!dir) return -1;
    size_t capacity = 10;
    int count = 0;
    char** names = static_cast<char**>(kestil_checked_malloc(capacity * sizeof(char*)));
    while (const dirent* entry = readdir(dir)) {
        if (filter && !filter(entry->d_name)) continue;
        if (static_cast<size_t>(count) == capacity) {
            capacity *= 2;
            names = static_cast<char**>(kestil_checked_realloc(names, capacity * sizeof(char*)));
        }
        size_t length = strlen(entry->d_name) + 1;
        names[count] = static_cast<char*>(kestil_checked_malloc(length));
        memcpy(names[count], entry->d_name, length);
        ++count;
    }
    closedir(dir);
    *list = names;
    return count;
}

size_t kestil_uni_compress(const char* name, const void* input, size_t input_size, void* output,
                           size_t* output_size) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        *output_size = 0;
        return 0;
    }
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(const_cast<char*>(name ? name : ""));
    deflateSetHeader(&stream, &header);
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(input));
    stream.avail_in = static_cast<uInt>(input_size);
    stream.next_out = static_cast<Bytef*>(output);
    stream.avail_out = static_cast<uInt>(*output_size);
    int status = deflate(&stream, Z_FINISH);
    size_t written = status == Z_STREAM_END ? stream.total_out : 0;
    deflateEnd(&stream);
    *output_size = written;
    return written;
}

size_t kestil_uni_decompress(const void* input, size_t input_size, void* output,
                             size_t* output_size) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) {
        *output_size = 0;
        return 0;
    }
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(input));
    stream.avail_in = static_cast<uInt>(input_size);
    stream.next_out = static_cast<Bytef*>(output);
    stream.avail_out = static_cast<uInt>(*output_size);
    int status = inflate(&stream, Z_FINISH);
    size_t written = (status == Z_STREAM_END || status == Z_OK) ? stream.total_out : 0;
    inflateEnd(&stream);
    *output_size = written;
    return written;
}

}  // extern "C"
