// solver/index/index_cache.cpp - mapped index files kept across solves
#include "solver/index/index_cache.h"

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

struct SolverIndexCache {
    struct Entry {
        std::string path;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        struct timespec modified {};
        IndexFile file{};
        ~Entry() { kestil_solver_release_index(&file); }
    };
    std::mutex mutex;
    std::vector<std::unique_ptr<Entry>> entries;  // newest last; none removed before release
};

namespace {

bool same_file(const SolverIndexCache::Entry& entry, const struct stat& now) {
    return entry.device == now.st_dev && entry.inode == now.st_ino && entry.size == now.st_size &&
           entry.modified.tv_sec == now.st_mtim.tv_sec &&
           entry.modified.tv_nsec == now.st_mtim.tv_nsec;
}

}  // namespace

extern "C" {

SolverIndexCache* kestil_solver_index_cache_create(void) {
    return new (std::nothrow) SolverIndexCache;
}

void kestil_solver_index_cache_release(SolverIndexCache* cache) { delete cache; }

const IndexFile* kestil_solver_cached_index(SolverIndexCache* cache, const char* path) try {
    struct stat now {};
    if (stat(path, &now) != 0) return nullptr;
    std::lock_guard<std::mutex> lock(cache->mutex);
    for (auto it = cache->entries.rbegin(); it != cache->entries.rend(); ++it)
        if ((*it)->path == path) {
            if (same_file(**it, now)) return &(*it)->file;
            break;  // replaced on disk: map the new file, keep the old mapping for its users
        }
    auto entry = std::make_unique<SolverIndexCache::Entry>();
    if (!kestil_solver_load_index(path, &entry->file)) return nullptr;
    entry->path = path;
    entry->device = now.st_dev;
    entry->inode = now.st_ino;
    entry->size = now.st_size;
    entry->modified = now.st_mtim;
    cache->entries.push_back(std::move(entry));
    return &cache->entries.back()->file;
} catch (...) {  // out of memory (or a failed lock): no index rather than an exception
    return nullptr;
}

}  // extern "C"
