// Tests of star matching: votes per pair, one-to-one thinning, the pair limit, the deadline.
#include "solver/engine/star_match.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine_test_support.hpp"

namespace {

struct Fixture {
    std::vector<ImageStar> image = std::vector<ImageStar>(2000);
    std::vector<CatalogStar> catalog = std::vector<CatalogStar>(2000);
    std::vector<ImageQuad> quads;
    std::vector<QuadMatch> matches;

    // Adds a quad match stating the pairs (image[s[a]], catalog[c[a]]).
    void add(std::initializer_list<int> s, std::initializer_list<int> c) {
        ImageQuad q{};
        QuadMatch m{};
        for (int a = 0; a < 4; ++a) {
            q.stars[a] = &image[static_cast<size_t>(s.begin()[a])];
            m.catalog_stars[a] = &catalog[static_cast<size_t>(c.begin()[a])];
        }
        quads.push_back(q);
        matches.push_back(m);
    }
    uint32_t count() const { return static_cast<uint32_t>(matches.size()); }
    void link() {
        for (size_t i = 0; i < matches.size(); ++i) matches[i].quad = &quads[i];
    }
};

TEST(StarMatch, VotesAndThinning) {
    Fixture f;
    f.quads.reserve(8);
    // (5,17) three times; (1,1) three times, (1,2) and (2,1) twice each.
    f.add({5, 1, 10, 11}, {17, 1, 20, 21});
    f.add({5, 1, 12, 13}, {17, 1, 22, 23});
    f.add({5, 1, 2, 14}, {17, 1, 1, 24});
    f.add({1, 2, 15, 16}, {2, 1, 25, 26});
    f.link();
    engine_test::LogCapture log;
    StarMatch pairs[SOLVER_MAX_STAR_MATCHES];
    int32_t kept = kestil_solver_match_stars(f.matches.data(), f.count(), pairs, nullptr);
    // Distinct pairs: (5,17) (1,1) (10,20) (11,21) (12,22) (13,23) (2,1) (14,24) (1,2) (15,25)
    // (16,26) = 11.
    EXPECT_TRUE(log.contains("kestil_solver_match_stars: 11 stars matched"));
    ASSERT_EQ(9, kept);  // (2,1) and (1,2) lose to (1,1)
    EXPECT_TRUE(log.contains("kestil_solver_match_stars: 9 stars matched by votes"));
    EXPECT_EQ(&f.image[5], pairs[0].image_star);
    EXPECT_EQ(&f.catalog[17], pairs[0].catalog_star);
    EXPECT_EQ(3, pairs[0].votes);
    EXPECT_EQ(&f.image[1], pairs[1].image_star);
    EXPECT_EQ(&f.catalog[1], pairs[1].catalog_star);
    EXPECT_EQ(3, pairs[1].votes);
    for (int p = 2; p < kept; ++p) {
        EXPECT_EQ(1, pairs[p].votes);
        EXPECT_NE(&f.image[1], pairs[p].image_star);
        EXPECT_NE(&f.image[2], pairs[p].image_star);  // (2,1) lost its catalogue star
        EXPECT_NE(&f.catalog[1], pairs[p].catalog_star);
        EXPECT_NE(&f.catalog[2], pairs[p].catalog_star);
    }
    // Equal votes keep the order of first appearance (stable sort).
    EXPECT_EQ(&f.image[10], pairs[2].image_star);
    EXPECT_EQ(&f.image[11], pairs[3].image_star);
}

TEST(StarMatch, EqualVotesConflictFirstSeenWins) {
    Fixture f;
    f.quads.reserve(2);
    f.add({1, 3, 4, 5}, {9, 3, 4, 5});
    f.add({1, 6, 7, 8}, {8, 6, 7, 8});  // (1,8) one vote like (1,9), seen later
    f.link();
    StarMatch pairs[SOLVER_MAX_STAR_MATCHES];
    int32_t kept = kestil_solver_match_stars(f.matches.data(), f.count(), pairs, nullptr);
    ASSERT_EQ(7, kept);
    EXPECT_EQ(&f.catalog[9], pairs[0].catalog_star);
}

TEST(StarMatch, PairLimitKeepsTheFirstThousand) {
    Fixture f;
    f.quads.reserve(300);
    for (int j = 0; j < 300; ++j) f.add({4 * j, 4 * j + 1, 4 * j + 2, 4 * j + 3},
                                        {4 * j, 4 * j + 1, 4 * j + 2, 4 * j + 3});
    f.link();
    engine_test::LogCapture log;
    std::vector<StarMatch> pairs(SOLVER_MAX_STAR_MATCHES + 1, StarMatch{nullptr, nullptr, -7});
    int32_t kept = kestil_solver_match_stars(f.matches.data(), f.count(), pairs.data(), nullptr);
    EXPECT_EQ(1000, kept);
    EXPECT_TRUE(log.contains("kestil_solver_match_stars: 1000 stars matched"));
    EXPECT_EQ(&f.image[999], pairs[999].image_star);
    EXPECT_EQ(-7, pairs[1000].votes);  // never written past the capacity
}

TEST(StarMatch, NothingAndDeadline) {
    StarMatch pairs[4];
    engine_test::LogCapture log;
    EXPECT_EQ(0, kestil_solver_match_stars(nullptr, 0, pairs, nullptr));
    EXPECT_TRUE(log.contains("kestil_solver_match_stars: 0 stars matched"));
    EXPECT_TRUE(log.contains("kestil_solver_match_stars: 0 stars matched by votes"));

    Fixture f;
    f.add({1, 2, 3, 4}, {1, 2, 3, 4});
    f.link();
    SolveControl control{1e-9, nullptr, false, nullptr};  // a deadline long past
    StarMatch out[SOLVER_MAX_STAR_MATCHES];
    EXPECT_EQ(0, kestil_solver_match_stars(f.matches.data(), 1, out, &control));
    EXPECT_TRUE(control.aborted);
    EXPECT_STREQ("CPU time limit exceeded", control.message);
}

}  // namespace
