// solver/index/index_file.cpp - index file name, header check, mapping with validation, writer
#include "solver/index/index_file.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <memory>

#include "framework/alloc.h"
#include "framework/files.h"
#include "framework/handles.hpp"
#include "framework/log.h"

// The arrays of a mapped index are used in place, so the host must share the file's byte order.
static_assert(std::endian::native == std::endian::little, "index files are little-endian");

namespace {

constexpr char index_magic[4] = {'Z', 'E', 'P', 'H'};
constexpr uint32_t last_bucket = INDEX_BUCKET_COUNT - 1;
constexpr uint64_t bucket_table_bytes = uint64_t{INDEX_BUCKET_COUNT} * 4;

uint32_t read_u32(const unsigned char* bytes) {
    uint32_t value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

uint64_t read_u64(const unsigned char* bytes) {
    uint64_t value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

float read_float(const unsigned char* bytes) {
    float value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

// One section of the header: its offset must be aligned, lie in [64, file size], and leave room
// for count records of record_size bytes.
bool section_fits(uint64_t offset, uint64_t alignment, uint64_t file_size, uint64_t record_size,
                  uint64_t count) {
    if (offset % alignment != 0 || offset < INDEX_HEADER_SIZE || offset > file_size) return false;
    return (file_size - offset) / record_size >= count;
}

bool header_fits(const unsigned char* header, uint64_t file_size) {
    const uint32_t star_count = read_u32(header + 12);
    const uint32_t quad_count = read_u32(header + 16);
    if (read_u32(header + 20) != INDEX_GRID) return false;
    const uint64_t stars = read_u64(header + 24);
    const uint64_t buckets = read_u64(header + 32);
    const uint64_t codes = read_u64(header + 40);
    const uint64_t sizes = read_u64(header + 48);
    const uint64_t quad_stars = read_u64(header + 56);
    return section_fits(stars, 4, file_size, 8, star_count) &&
           section_fits(buckets, 4, file_size, bucket_table_bytes, 1) &&
           section_fits(codes, 8, file_size, 8, quad_count) &&
           section_fits(sizes, 4, file_size, 4, quad_count) &&
           section_fits(quad_stars, 4, file_size, 16, quad_count);
}

bool buckets_valid(const uint32_t* buckets, uint32_t quad_count) {
    if (buckets[0] != 0 || buckets[last_bucket] != quad_count) return false;
    for (uint32_t k = 1; k <= last_bucket; ++k)
        if (buckets[k] < buckets[k - 1]) return false;
    return true;
}

template <typename T>
using HeapArray = HeapBlock<T[]>;

template <typename T>
HeapArray<T> heap_array(size_t count) {
    return HeapArray<T>(static_cast<T*>(kestil_checked_calloc(count ? count : 1, sizeof(T))));
}

// The four fields of a quad code must lie in their ranges: x1, y1, x2 in 0..1000, y2 in
// -1000..1000 (two's complement in the low 16 bits).
bool code_in_range(uint64_t code) {
    const uint32_t x1 = static_cast<uint32_t>(code >> 48);
    const uint32_t y1 = static_cast<uint32_t>(code >> 32) & 0xffff;
    const uint32_t x2 = static_cast<uint32_t>(code >> 16) & 0xffff;
    const int16_t y2 = static_cast<int16_t>(code & 0xffff);
    return x1 <= 1000 && y1 <= 1000 && x2 <= 1000 && y2 >= -1000 && y2 <= 1000;
}

uint32_t bucket_of(uint64_t code) {
    const uint32_t x1 = static_cast<uint32_t>(code >> 48);
    const uint32_t y1 = static_cast<uint32_t>(code >> 32) & 0xffff;
    return x1 * INDEX_GRID + y1;
}

uint64_t align_up(uint64_t offset, uint64_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

// Section offsets of a written index: stars right after the header, then the bucket table,
// the codes (8-aligned), the sizes and the quad stars, without gaps beyond alignment.
struct Layout {
    uint64_t stars, buckets, codes, sizes, quad_stars, end;
};

Layout layout_for(uint32_t star_count, uint32_t quad_count) {
    Layout layout{};
    layout.stars = INDEX_HEADER_SIZE;
    layout.buckets = layout.stars + uint64_t{star_count} * 8;
    layout.codes = align_up(layout.buckets + bucket_table_bytes, 8);
    layout.sizes = layout.codes + uint64_t{quad_count} * 8;
    layout.quad_stars = layout.sizes + uint64_t{quad_count} * 4;
    layout.end = layout.quad_stars + uint64_t{quad_count} * 16;
    return layout;
}

void put_u32(unsigned char* bytes, uint32_t value) { memcpy(bytes, &value, sizeof value); }
void put_u64(unsigned char* bytes, uint64_t value) { memcpy(bytes, &value, sizeof value); }

bool write_bytes(FILE* file, const void* bytes, size_t size) {
    return size == 0 || fwrite(bytes, 1, size, file) == size;
}

bool write_padding(FILE* file, uint64_t from, uint64_t to) {
    static const unsigned char zeros[8] = {};
    return write_bytes(file, zeros, static_cast<size_t>(to - from));
}

// Writes the whole file in layout order; order lists the quads sorted by bucket.
bool write_sections(FILE* file, float scale, const CatalogStar* stars, uint32_t star_count,
                    const CatalogQuad* quads, uint32_t quad_count, const uint32_t* buckets,
                    const uint32_t* order) {
    const Layout layout = layout_for(star_count, quad_count);
    unsigned char header[INDEX_HEADER_SIZE] = {};
    memcpy(header, index_magic, 4);
    put_u32(header + 4, INDEX_VERSION);
    memcpy(header + 8, &scale, 4);
    put_u32(header + 12, star_count);
    put_u32(header + 16, quad_count);
    put_u32(header + 20, INDEX_GRID);
    put_u64(header + 24, layout.stars);
    put_u64(header + 32, layout.buckets);
    put_u64(header + 40, layout.codes);
    put_u64(header + 48, layout.sizes);
    put_u64(header + 56, layout.quad_stars);
    if (!write_bytes(file, header, sizeof header)) return false;
    for (uint32_t i = 0; i < star_count; ++i)
        if (!write_bytes(file, &stars[i], sizeof(CatalogStar))) return false;
    if (!write_bytes(file, buckets, bucket_table_bytes)) return false;
    if (!write_padding(file, layout.buckets + bucket_table_bytes, layout.codes)) return false;
    for (uint32_t i = 0; i < quad_count; ++i)
        if (!write_bytes(file, &quads[order[i]].code, 8)) return false;
    for (uint32_t i = 0; i < quad_count; ++i)
        if (!write_bytes(file, &quads[order[i]].size, 4)) return false;
    for (uint32_t i = 0; i < quad_count; ++i)
        if (!write_bytes(file, quads[order[i]].stars, 16)) return false;
    return true;
}

}  // namespace

extern "C" {

int kestil_solver_index_path(char* buffer, size_t size, const char* directory, float scale) {
    char scale_text[48];
    // Whole scales are written as integers; the bound keeps the conversion to int defined.
    if (truncf(scale) == scale && fabsf(scale) < 1e9f)
        snprintf(scale_text, sizeof scale_text, "%02d", static_cast<int>(scale));
    else
        snprintf(scale_text, sizeof scale_text, "%04.1f", static_cast<double>(scale));
    const char* catalog = scale < 1.0f ? "gaia" : "tyc2";
    if (!directory || !directory[0])
        return snprintf(buffer, size, "index-%sdeg-%s.zeph", scale_text, catalog);
    const size_t length = strnlen(directory, SOLVER_PATH_SIZE);
    const char* separator = directory[length - 1] == '/' ? "" : "/";
    return snprintf(buffer, size, "%.*s%sindex-%sdeg-%s.zeph", static_cast<int>(length),
                    directory, separator, scale_text, catalog);
}

int index_file_name(char* buffer, size_t size, const SolverSettings* settings, float scale) {
    return kestil_solver_index_path(buffer, size, settings ? settings->index_dir : nullptr, scale);
}

bool kestil_solver_index_read_header(FILE* file, IndexHeader* header) {
    static const char name[] = "kestil_solver_index_read_header";
    unsigned char bytes[INDEX_HEADER_SIZE];
    if (fread(bytes, 1, sizeof bytes, file) != sizeof bytes) {
        fprintf(stderr, "%s: short read\n", name);
        return false;
    }
    header->magic = read_u32(bytes);
    header->version = read_u32(bytes + 4);
    header->scale = read_float(bytes + 8);
    header->star_count = read_u32(bytes + 12);
    header->quad_count = read_u32(bytes + 16);
    if (memcmp(bytes, index_magic, 4) != 0) {
        fprintf(stderr, "%s: bad magic\n", name);
        return false;
    }
    if (header->version != INDEX_VERSION) {
        fprintf(stderr, "%s: unsupported index version %u (expected %u)\n", name,
                header->version, static_cast<unsigned>(INDEX_VERSION));
        return false;
    }
    return true;
}

bool map_index(const char* path, IndexFile* index) {
    memset(index, 0, sizeof *index);
    uint64_t size = 0;
    void* base = kestil_uni_map_file(path, &size);
    if (!base) return false;
    index->mapping = base;
    index->mapping_size = size;
    const auto* bytes = static_cast<const unsigned char*>(base);
    const char* problem = nullptr;
    if (size < INDEX_HEADER_SIZE) {
        problem = "truncated";
    } else if (!header_fits(bytes, size)) {
        problem = "corrupted (invalid header)";
    } else {
        index->scale = read_float(bytes + 8);
        index->star_count = read_u32(bytes + 12);
        index->quad_count = read_u32(bytes + 16);
        // Offsets are aligned and the mapping is page-aligned, so the views are aligned too.
        index->stars = reinterpret_cast<const CatalogStar*>(bytes + read_u64(bytes + 24));
        index->buckets = reinterpret_cast<const uint32_t*>(bytes + read_u64(bytes + 32));
        index->codes = reinterpret_cast<const uint64_t*>(bytes + read_u64(bytes + 40));
        index->sizes = reinterpret_cast<const float*>(bytes + read_u64(bytes + 48));
        index->quad_stars = reinterpret_cast<const uint32_t*>(bytes + read_u64(bytes + 56));
        if (!buckets_valid(index->buckets, index->quad_count))
            problem = "corrupted (invalid buckets)";
    }
    if (!problem) return true;
    kestil_error("%s: %s is %s", "map_index", path, problem);
    kestil_solver_release_index(index);
    return false;
}

bool kestil_solver_load_index(const char* path, IndexFile* index) {
    static const char name[] = "kestil_solver_load_index";
    memset(index, 0, sizeof *index);
    bool loaded = false;
    if (FileHandle file{fopen(path, "rb")}; !file) {
        kestil_error("%s: failed to open %s", name, path);
    } else {
        IndexHeader header{};
        const bool header_good = kestil_solver_index_read_header(file.get(), &header);
        file.reset();
        loaded = header_good && map_index(path, index);
    }
    if (!loaded) {
        fprintf(stderr, "%s: failed to load %s\n", "kestil_solver", path);
        return false;
    }
    kestil_debug("%s: using %u catalog stars and %u catalog quads from %s (%g°)", name,
                 index->star_count, index->quad_count, path, static_cast<double>(index->scale));
    return true;
}

void kestil_solver_release_index(IndexFile* index) {
    if (index->mapping) kestil_uni_unmap_file(const_cast<void*>(index->mapping));
    for (void* block : index->owned) free(block);
    memset(index, 0, sizeof *index);
}

bool kestil_solver_index_valid(const char* path, float scale) {
    IndexHeader header{};
    {
        FileHandle file{fopen(path, "rb")};
        if (!file || !kestil_solver_index_read_header(file.get(), &header)) return false;
    }  // closed before the mapping
    if (header.scale != scale || header.star_count == 0 || header.quad_count == 0) return false;
    IndexFile index{};
    if (!map_index(path, &index)) return false;
    kestil_solver_release_index(&index);
    return true;
}

bool kestil_solver_write_index(const char* path, float scale, const CatalogStar* stars,
                               uint32_t star_count, const CatalogQuad* quads, uint32_t quad_count,
                               const char** message) {
    const char* ignored = nullptr;
    const char** result = message ? message : &ignored;
    char temporary[SOLVER_PATH_SIZE + 8];
    if (snprintf(temporary, sizeof temporary, "%s.tmp", path) >= static_cast<int>(sizeof temporary)) {
        *result = "the index path is too long";
        return false;
    }
    for (uint32_t i = 0; i < quad_count; ++i) {
        if (!code_in_range(quads[i].code)) {
            *result = "a quad code is out of range";
            return false;
        }
        for (uint32_t star : quads[i].stars)
            if (star >= star_count) {
                *result = "a quad star index is out of range";
                return false;
            }
    }
    // Counting sort by bucket, then the quads of each bucket by code (ties in their given
    // order): a reader may then find the codes of a bucket within a tolerance by bisection.
    auto buckets = heap_array<uint32_t>(INDEX_BUCKET_COUNT);
    auto order = heap_array<uint32_t>(quad_count);
    for (uint32_t i = 0; i < quad_count; ++i) ++buckets[bucket_of(quads[i].code) + 1];
    for (uint32_t k = 1; k <= last_bucket; ++k) buckets[k] += buckets[k - 1];
    {
        auto next = heap_array<uint32_t>(INDEX_BUCKET_COUNT);
        memcpy(next.get(), buckets.get(), bucket_table_bytes);
        for (uint32_t i = 0; i < quad_count; ++i) order[next[bucket_of(quads[i].code)]++] = i;
    }
    for (uint32_t k = 0; k < last_bucket; ++k)
        std::stable_sort(order.get() + buckets[k], order.get() + buckets[k + 1],
                         [&](uint32_t a, uint32_t b) { return quads[a].code < quads[b].code; });
    FILE* file = fopen(temporary, "wb");
    if (!file) {
        *result = "the index file can't be written";
        return false;
    }
    bool written = write_sections(file, scale, stars, star_count, quads, quad_count,
                                  buckets.get(), order.get());
    if (fclose(file) != 0) written = false;
    if (!written) {
        unlink(temporary);
        *result = "the index file can't be written";
        return false;
    }
    if (rename(temporary, path) != 0) {
        unlink(temporary);
        *result = "the index file can't be installed";
        return false;
    }
    return true;
}

}  // extern "C"
