// tests/solver/engine/engine_speed_test.cpp - the fast engine stages against their references
// The quad build and the quad matching against their straightforward forms in
// tests/support/reference_engine.hpp: on random star lists and on indexes whose quads copy
// (within the code tolerance) image quads onto a small pool of catalogue stars, so that matches
// share star pairs heavily, both forms must leave byte-identical buffers and return the same
// counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

#include "engine_test_support.hpp"
#include "solver/engine/image_quads.h"
#include "solver/engine/quad_match.h"
#include "tests/support/reference_engine.hpp"

namespace {

using engine_test::MemoryIndex;

std::vector<ImageStar> random_stars(std::mt19937& random, int count, float width, float height,
                                    float margin) {
    std::uniform_real_distribution<float> x(-margin, width + margin), y(-margin, height + margin);
    std::uniform_real_distribution<float> lum(0.001f, 1.0f);
    std::vector<ImageStar> stars(static_cast<size_t>(count));
    for (ImageStar& s : stars) s = {lum(random), x(random), y(random)};
    std::sort(stars.begin(), stars.end(),
              [](const ImageStar& a, const ImageStar& b) { return a.inv_lum < b.inv_lum; });
    return stars;
}

struct QuadCase {
    const char* name;
    int stars, k, width, height;
    float margin;  // stars this far outside the image (skipped by the grid)
    int cell_divisor;
    unsigned seeds;
};

class BuildQuads : public ::testing::TestWithParam<QuadCase> {};

TEST_P(BuildQuads, MatchesReference) {
    const QuadCase& c = GetParam();
    std::vector<ImageQuad> fast(SOLVER_MAX_IMAGE_QUADS), reference(SOLVER_MAX_IMAGE_QUADS);
    for (unsigned seed = 1; seed <= c.seeds; ++seed) {
        std::mt19937 random(seed);
        std::vector<ImageStar> stars =
            random_stars(random, c.stars, static_cast<float>(c.width),
                         static_cast<float>(c.height), c.margin);
        // Both buffers start with the same bytes so that whole buffers can be compared.
        std::memset(fast.data(), 0x5a, fast.size() * sizeof(ImageQuad));
        std::memset(reference.data(), 0x5a, reference.size() * sizeof(ImageQuad));
        int32_t cell = std::max(c.width, c.height) / c.cell_divisor;
        int32_t used = -1, used_ref = -2;
        uint32_t n = kestil_solver_build_image_quads(stars.data(), c.k, c.width, c.height, cell,
                                                     &used, fast.data());
        uint32_t n_ref = reference_engine::build_image_quads(
            stars.data(), c.k, c.width, c.height, cell, &used_ref, reference.data());
        ASSERT_EQ(n, n_ref) << c.name << " seed " << seed;
        ASSERT_EQ(used, used_ref);
        // Every field of every record; the 4 padding bytes after y2 are no part of the result.
        for (size_t j = 0; j < fast.size(); ++j) {
            ASSERT_EQ(0, std::memcmp(&fast[j], &reference[j],
                                     offsetof(ImageQuad, y2) + sizeof(float)))
                << c.name << " seed " << seed << " quad " << j;
            ASSERT_EQ(0, std::memcmp(fast[j].stars, reference[j].stars, sizeof fast[j].stars))
                << c.name << " seed " << seed << " quad " << j;
        }
    }
}

// "limit": 100 occupied cells give C(100, 4) = 3,921,225 combinations, cut at 1,000,000.
INSTANTIATE_TEST_SUITE_P(
    Engine, BuildQuads,
    ::testing::Values(QuadCase{"few", 8, 8, 1000, 800, 0, SOLVER_QUAD_GRID, 5},
                      QuadCase{"crowded cells", 300, 300, 1000, 500, 0, SOLVER_QUAD_GRID, 2},
                      QuadCase{"part of the list", 300, 40, 1000, 800, 0, SOLVER_QUAD_GRID, 3},
                      QuadCase{"outside", 120, 120, 600, 400, 300, SOLVER_QUAD_GRID, 3},
                      QuadCase{"limit", 500, 500, 2000, 2000, 0, SOLVER_QUAD_GRID, 1},
                      QuadCase{"tiny image", 20, 20, 8, 6, 0, SOLVER_QUAD_GRID, 2}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

struct MatchCase {
    const char* name;
    int stars, k;         // image stars and how many make quads
    int pool;             // catalogue stars the copied quads draw from
    int copies;           // catalogue quads per copied image quad
    int copied_percent;   // image quads that have copies
    int noise_quads;      // catalogue quads with random codes
    bool cone;            // a random half of the catalogue stars usable
    bool split_stars;     // the image stars in two lists
};

// Index whose quads copy image quads within the code tolerance, at a few scales.
void fill_index(std::mt19937& random, const std::vector<ImageQuad>& quads, uint32_t count,
                const MatchCase& c, MemoryIndex* index, std::vector<uint8_t>* cone) {
    std::uniform_int_distribution<int> jitter(-1, 1), pick(0, c.pool - 1), percent(0, 99);
    std::uniform_int_distribution<int> code(0, 1000), signed_code(-1000, 1000);
    const float scales[3] = {1000.0f, 1000.0f * 1.005f, 1700.0f};
    std::uniform_int_distribution<int> which(0, 2);
    index->stars.resize(static_cast<size_t>(c.pool) + 1);
    for (size_t i = 0; i < index->stars.size(); ++i)
        index->stars[i] = {static_cast<float>(i) * 1e-3f, 0.1f};
    auto add = [&](uint64_t quad_code, float size) {
        CatalogQuad q{quad_code, size, {}};
        for (int a = 0; a < 4; ++a) {
            uint32_t s = 0;
            do s = static_cast<uint32_t>(pick(random));
            while (std::find(q.stars, q.stars + a, s) != q.stars + a);
            q.stars[a] = s;
        }
        if (percent(random) < 2) q.stars[3] = static_cast<uint32_t>(c.pool + 5);  // unusable
        index->quads.push_back(q);
    };
    for (uint32_t l = 0; l < count; ++l) {
        if (percent(random) >= c.copied_percent) continue;
        for (int n = 0; n < c.copies; ++n) {
            int f[4] = {static_cast<int16_t>(quads[l].code >> 48),
                        static_cast<int16_t>(quads[l].code >> 32),
                        static_cast<int16_t>(quads[l].code >> 16),
                        static_cast<int16_t>(quads[l].code)};
            for (int& v : f) v = std::clamp(v + jitter(random), -1000, 1000);
            f[0] = std::max(f[0], 0);
            f[1] = std::max(f[1], 0);
            add(engine_test::pack_code(f[0], f[1], f[2], f[3]),
                quads[l].length / scales[which(random)]);
        }
    }
    for (int n = 0; n < c.noise_quads; ++n)
        add(engine_test::pack_code(code(random), code(random), code(random), signed_code(random)),
            1.0f);
    index->build(1.0f);
    if (c.cone) {
        cone->resize(index->stars.size());
        for (uint8_t& flag : *cone) flag = percent(random) < 50;
        index->file.in_cone = cone->data();
    }
}

class MatchQuads : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchQuads, MatchesReference) {
    const MatchCase& c = GetParam();
    std::vector<ImageQuad> quads(SOLVER_MAX_IMAGE_QUADS);
    std::vector<QuadMatch> fast(SOLVER_MAX_QUAD_MATCHES), reference(SOLVER_MAX_QUAD_MATCHES);
    for (unsigned seed = 1; seed <= 3; ++seed) {
        std::mt19937 random(seed * 7919u);
        std::vector<ImageStar> stars = random_stars(random, c.stars, 1500, 1000, 0);
        const ImageStar* list = stars.data();
        // With split_stars every other quad refers to a copy of the second half of the list
        // instead: image star addresses from two allocations.
        std::vector<ImageStar> second(stars.begin() + c.stars / 2, stars.end());
        int32_t used = 0;
        uint32_t count = kestil_solver_build_image_quads(list, c.k, 1500, 1000, 150, &used,
                                                         quads.data());
        if (c.split_stars)
            for (uint32_t l = 0; l < count; l += 2)
                for (const ImageStar*& s : quads[l].stars)
                    if (s >= list + c.stars / 2) s = second.data() + (s - (list + c.stars / 2));
        MemoryIndex index;
        std::vector<uint8_t> cone;
        fill_index(random, quads, count, c, &index, &cone);
        std::memset(fast.data(), 0xa5, fast.size() * sizeof(QuadMatch));
        std::memset(reference.data(), 0xa5, reference.size() * sizeof(QuadMatch));
        uint32_t n = kestil_solver_match_quads(quads.data(), count, &index.file, fast.data(),
                                               nullptr);
        uint32_t n_ref = reference_engine::match_quads(quads.data(), count, &index.file,
                                                             reference.data(), nullptr);
        ASSERT_EQ(n, n_ref) << c.name << " seed " << seed;
        if (c.copied_percent > 0) {
            EXPECT_GT(n, 0u) << c.name << " seed " << seed;
        }
        ASSERT_EQ(0, std::memcmp(fast.data(), reference.data(), fast.size() * sizeof(QuadMatch)))
            << c.name << " seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, MatchQuads,
    ::testing::Values(MatchCase{"no matches", 40, 40, 50, 0, 0, 20000, false, false},
                      MatchCase{"sparse", 60, 24, 5000, 1, 20, 20000, false, false},
                      MatchCase{"shared pairs", 60, 16, 12, 3, 60, 1000, false, false},
                      MatchCase{"one pool", 40, 14, 6, 4, 100, 0, false, false},
                      MatchCase{"cone", 60, 20, 20, 3, 60, 1000, true, false},
                      MatchCase{"two star lists", 60, 16, 12, 2, 60, 1000, false, true}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

// A stop request or a passed deadline ends both forms with no matches and the same reason.
TEST(MatchQuadsStop, StopsLikeReference) {
    std::mt19937 random(3);
    std::vector<ImageStar> stars = random_stars(random, 40, 1500, 1000, 0);
    std::vector<ImageQuad> quads(SOLVER_MAX_IMAGE_QUADS);
    std::vector<QuadMatch> matches(SOLVER_MAX_QUAD_MATCHES);
    int32_t used = 0;
    uint32_t count =
        kestil_solver_build_image_quads(stars.data(), 30, 1500, 1000, 150, &used, quads.data());
    MatchCase c{"stop", 40, 30, 12, 3, 60, 0, false, false};
    MemoryIndex index;
    std::vector<uint8_t> cone;
    fill_index(random, quads, count, c, &index, &cone);
    const struct {
        uint8_t request;
        double deadline;
        const char* message;
    } cases[] = {{1, 0.0, "Aborted"}, {0, 1e-9, "CPU time limit exceeded"}};
    for (const auto& s : cases) {
        volatile uint8_t request = s.request;
        SolveControl fast{s.deadline, &request, false, nullptr};
        SolveControl reference = fast;
        EXPECT_EQ(0u, kestil_solver_match_quads(quads.data(), count, &index.file, matches.data(),
                                                &fast));
        EXPECT_EQ(0u, reference_engine::match_quads(quads.data(), count, &index.file,
                                                          matches.data(), &reference));
        EXPECT_TRUE(fast.aborted);
        EXPECT_STREQ(s.message, fast.message);
        EXPECT_STREQ(reference.message, fast.message);
    }
}

}  // namespace
