// tests/solver/engine/engine_test_support.hpp - the log at debug level and small in-memory indexes
#ifndef KESTIL_TESTS_SOLVER_ENGINE_SUPPORT_HPP
#define KESTIL_TESTS_SOLVER_ENGINE_SUPPORT_HPP

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "solver/index/index_file.h"
#include "tests/support/log_capture.hpp"

namespace engine_test {

// The engine tests' log: the shared capture at debug level; contains() finds a part of a line.
class LogCapture : public test_support::LogCapture {
public:
    LogCapture() : test_support::LogCapture(3) {}
    bool contains(const std::string& part) const { return contains_part(part); }
};

inline uint64_t pack_code(int x1, int y1, int x2, int y2) {
    return static_cast<uint64_t>(static_cast<uint16_t>(x1)) << 48 |
           static_cast<uint64_t>(static_cast<uint16_t>(y1)) << 32 |
           static_cast<uint64_t>(static_cast<uint16_t>(x2)) << 16 |
           static_cast<uint64_t>(static_cast<uint16_t>(y2));
}

// An index held in vectors, with the bucket table built from the quad codes (stable by bucket).
struct MemoryIndex {
    std::vector<CatalogStar> stars;
    std::vector<CatalogQuad> quads;
    std::vector<uint32_t> buckets;
    std::vector<uint64_t> codes;
    std::vector<float> sizes;
    std::vector<uint32_t> quad_stars;
    IndexFile file{};

    void build(float scale) {
        std::stable_sort(quads.begin(), quads.end(), [](const CatalogQuad& p, const CatalogQuad& q) {
            return (p.code >> 32) < (q.code >> 32);
        });
        buckets.assign(INDEX_BUCKET_COUNT, 0);
        codes.clear();
        sizes.clear();
        quad_stars.clear();
        std::vector<uint32_t> per_bucket(INDEX_BUCKET_COUNT, 0);
        for (const CatalogQuad& q : quads) {
            uint32_t b = static_cast<uint32_t>(q.code >> 48) * INDEX_GRID +
                         static_cast<uint32_t>((q.code >> 32) & 0xFFFF);
            ++per_bucket[b + 1];
            codes.push_back(q.code);
            sizes.push_back(q.size);
            quad_stars.insert(quad_stars.end(), q.stars, q.stars + 4);
        }
        for (size_t b = 1; b < INDEX_BUCKET_COUNT; ++b) buckets[b] = buckets[b - 1] + per_bucket[b];
        file = IndexFile{};
        file.scale = scale;
        file.star_count = static_cast<uint32_t>(stars.size());
        file.quad_count = static_cast<uint32_t>(quads.size());
        file.stars = stars.data();
        file.buckets = buckets.data();
        file.codes = codes.data();
        file.sizes = sizes.data();
        file.quad_stars = quad_stars.data();
    }
};

}  // namespace engine_test

#endif
