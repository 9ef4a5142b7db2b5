// Tests of quad matching: the bucket neighbourhood and code tolerance, the vote and the scale
// filter, the cone flags, the deadline and the stop request.
#include "solver/engine/quad_match.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine_test_support.hpp"

namespace {

using engine_test::pack_code;

struct Matcher {
    std::unique_ptr<QuadMatch[]> buffer{new QuadMatch[SOLVER_MAX_QUAD_MATCHES]};
};

TEST(QuadMatch, BucketNeighbourhoodAndCodeTolerance) {
    struct Case {
        const char* what;
        int image[4];
        int index[4];
        bool matched;
    };
    const Case cases[] = {
        {"same code", {500, 400, 600, -300}, {500, 400, 600, -300}, true},
        {"x1 and y1 one off", {500, 400, 600, -300}, {501, 399, 600, -300}, true},
        {"x1 two off", {500, 400, 600, -300}, {502, 400, 600, -300}, false},
        {"y1 two off", {500, 400, 600, -300}, {500, 398, 600, -300}, false},
        {"x2 and y2 one off", {500, 400, 600, -300}, {500, 400, 601, -299}, true},
        {"x2 two off", {500, 400, 600, -300}, {500, 400, 602, -300}, false},
        {"y2 two off across zero", {500, 400, 600, 1}, {500, 400, 600, -1}, false},
        {"y2 one off across zero", {500, 400, 600, 0}, {500, 400, 600, -1}, true},
        {"x1 0 sees bucket 1", {0, 0, 0, 0}, {1, 1, 0, 0}, true},
        {"x1 0 does not see bucket 2", {0, 0, 0, 0}, {2, 0, 0, 0}, false},
        {"y1 1000 sees 999", {1000, 1000, 1000, 1000}, {999, 999, 1000, 999}, true},
        {"y1 1000 not 998", {1000, 1000, 1000, 1000}, {1000, 998, 1000, 1000}, false},
    };
    Matcher m;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        engine_test::MemoryIndex index;
        index.stars = {{0.1f, 0.1f}, {0.2f, 0.2f}, {0.3f, 0.3f}, {0.4f, 0.4f}};
        index.quads = {{pack_code(c.index[0], c.index[1], c.index[2], c.index[3]), 0.5f,
                        {0, 1, 2, 3}}};
        index.build(1.0f);
        ImageStar stars[4] = {};
        ImageQuad quad{pack_code(c.image[0], c.image[1], c.image[2], c.image[3]), 50.0f,
                       0, 0, 0, 0, {&stars[0], &stars[1], &stars[2], &stars[3]}};
        engine_test::LogCapture log;
        // One match gets no vote, so the call returns 0 either way; the hash line tells.
        EXPECT_EQ(0u, kestil_solver_match_quads(&quad, 1, &index.file, m.buffer.get(), nullptr));
        EXPECT_TRUE(log.contains(c.matched ? "kestil_solver_match_quads: 1 quads matched by hash (tolerance +-1)"
                                           : "kestil_solver_match_quads: 0 quads matched by hash (tolerance +-1)"));
        EXPECT_TRUE(log.contains("kestil_solver_match_quads: 0 votes for scale 0"));
        if (c.matched) {
            EXPECT_EQ(&quad, m.buffer[0].quad);
            EXPECT_FLOAT_EQ(100.0f, m.buffer[0].ratio);
            EXPECT_EQ(&index.stars[2], m.buffer[0].catalog_stars[2]);
        }
    }
}

// Image quads i of stars 4i..4i+3, matched to index quads of the same catalogue star numbers;
// with share, every quad's first star is star 0 on both sides. Base lengths are chosen; the
// index size is 1, so the ratios are the lengths.
struct VoteFixture {
    ImageStar stars[12] = {};
    std::vector<ImageQuad> quads;
    engine_test::MemoryIndex index;

    explicit VoteFixture(const std::vector<float>& lengths, bool share = true) {
        index.stars.resize(12, CatalogStar{0.1f, 0.1f});
        for (size_t i = 0; i < lengths.size(); ++i) {
            uint32_t d[4] = {static_cast<uint32_t>(4 * i), static_cast<uint32_t>(4 * i + 1),
                             static_cast<uint32_t>(4 * i + 2), static_cast<uint32_t>(4 * i + 3)};
            if (share) d[0] = 0;
            uint64_t code = pack_code(100 + 10 * static_cast<int>(i), 100, 200, 0);
            quads.push_back({code, lengths[i], 0, 0, 0, 0,
                             {&stars[d[0]], &stars[d[1]], &stars[d[2]], &stars[d[3]]}});
            index.quads.push_back({code, 1.0f, {d[0], d[1], d[2], d[3]}});
        }
        index.build(1.0f);
    }
};

TEST(QuadMatch, VoteAndScaleFilter) {
    struct Case {
        const char* what;
        std::vector<float> lengths;
        uint32_t kept;
        const char* vote_line;
    };
    const Case cases[] = {
        {"0.9 % apart: both kept", {100.0f, 100.9f}, 2, "1 votes for scale 100"},
        {"third at 1.5 % dropped", {100.0f, 100.9f, 101.5f}, 2, "2 votes for scale 100"},
        {"ties go to the earliest", {101.5f, 100.0f, 100.9f}, 2, "2 votes for scale 101.5"},
    };
    Matcher m;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VoteFixture f(c.lengths);
        engine_test::LogCapture log;
        uint32_t kept = kestil_solver_match_quads(f.quads.data(),
                                                  static_cast<uint32_t>(f.quads.size()),
                                                  &f.index.file, m.buffer.get(), nullptr);
        EXPECT_EQ(c.kept, kept);
        EXPECT_TRUE(log.contains(std::string("kestil_solver_match_quads: ") + c.vote_line));
        char line[96];
        snprintf(line, sizeof line, "kestil_solver_match_quads: %u quads matched by scale (tolerance 0.01)", kept);
        EXPECT_TRUE(log.contains(line));
    }
}

TEST(QuadMatch, DisjointMatchesGetNoVote) {
    VoteFixture f({100.0f, 100.0f}, false);
    Matcher m;
    engine_test::LogCapture log;
    EXPECT_EQ(0u, kestil_solver_match_quads(f.quads.data(), 2, &f.index.file, m.buffer.get(), nullptr));
    EXPECT_TRUE(log.contains("kestil_solver_match_quads: 2 quads matched by hash"));
    EXPECT_TRUE(log.contains("0 votes for scale 0"));
}

TEST(QuadMatch, ConeFlagsAndBadStarIndexesSkipQuads) {
    VoteFixture f({100.0f, 100.0f});
    Matcher m;
    IndexFile view = f.index.file;
    uint8_t flags[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    view.in_cone = flags;
    EXPECT_EQ(2u, kestil_solver_match_quads(f.quads.data(), 2, &view, m.buffer.get(), nullptr));
    flags[5] = 0;  // a star of the second quad leaves the cone
    engine_test::LogCapture log;
    EXPECT_EQ(0u, kestil_solver_match_quads(f.quads.data(), 2, &view, m.buffer.get(), nullptr));
    EXPECT_TRUE(log.contains("1 quads matched by hash"));
    // A star index beyond star_count is skipped, not read.
    view.in_cone = nullptr;
    view.star_count = 6;
    EXPECT_EQ(0u, kestil_solver_match_quads(f.quads.data(), 2, &view, m.buffer.get(), nullptr));
}

TEST(QuadMatch, StopsOnDeadlineAndRequest) {
    VoteFixture f({100.0f, 100.0f});
    Matcher m;
    SolveControl late{1e-9, nullptr, false, nullptr};
    EXPECT_EQ(0u, kestil_solver_match_quads(f.quads.data(), 2, &f.index.file, m.buffer.get(), &late));
    EXPECT_TRUE(late.aborted);
    EXPECT_STREQ("CPU time limit exceeded", late.message);

    volatile uint8_t request = 1;
    SolveControl asked{0, &request, false, nullptr};
    EXPECT_TRUE(solver_check_abort(&asked));
    EXPECT_STREQ("Aborted", asked.message);
    asked.message = "latched";
    EXPECT_TRUE(solver_check_abort(&asked));  // once aborted, stays aborted without re-testing
    EXPECT_STREQ("latched", asked.message);

    SolveControl none{0, nullptr, false, nullptr};
    EXPECT_FALSE(solver_check_abort(&none));
    EXPECT_FALSE(solver_check_abort(nullptr));
    EXPECT_EQ(2u, kestil_solver_match_quads(f.quads.data(), 2, &f.index.file, m.buffer.get(), &none));
}

}  // namespace
