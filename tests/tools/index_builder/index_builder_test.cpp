// Tests of the index builder: quad codes and star order by the rules of the image quads, sizes,
// the cone, determinism, the written file; and the synthetic deep catalogue.
#include "tools/index_builder/index_builder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "framework/angles.h"
#include "solver/engine/image_quads.h"
#include "tools/catalog/catalog_csv.h"
#include "tools/deep_catalog/deep_catalog.h"

namespace {

double separation(double ra1, double dec1, double ra2, double dec2) {
    double h = std::pow(std::sin((dec1 - dec2) / 2), 2) +
               std::cos(dec1) * std::cos(dec2) * std::pow(std::sin((ra1 - ra2) / 2), 2);
    return 2 * std::asin(std::sqrt(h));
}

// Gnomonic projection (radians), written independently of the builder.
void gnomonic(double ra0, double dec0, double ra, double dec, double* xi, double* eta) {
    double c = std::sin(dec0) * std::sin(dec) + std::cos(dec0) * std::cos(dec) * std::cos(ra - ra0);
    *xi = std::cos(dec) * std::sin(ra - ra0) / c;
    *eta = (std::cos(dec0) * std::sin(dec) - std::sin(dec0) * std::cos(dec) * std::cos(ra - ra0)) / c;
}

// Random stars in a cone, magnitudes 4 to 12, in file order.
std::vector<CsvStar> random_catalog(double ra0, double dec0, double radius, int count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<CsvStar> stars;
    while (static_cast<int>(stars.size()) < count) {
        double dec = dec0 + (2 * u(random) - 1) * radius;
        double ra = ra0 + (2 * u(random) - 1) * radius / std::cos(dec * rad_per_deg);
        ra = std::fmod(ra + 360, 360);
        if (separation(ra * rad_per_deg, dec * rad_per_deg, ra0 * rad_per_deg, dec0 * rad_per_deg) >
            radius * rad_per_deg)
            continue;
        stars.push_back({ra, dec, 4 + 8 * u(random)});
    }
    return stars;
}

struct Built {
    CatalogStar* stars = nullptr;
    uint32_t star_count = 0;
    CatalogQuad* quads = nullptr;
    uint32_t quad_count = 0;
    int32_t levels = 0;
    Built() = default;
    Built(const Built&) = delete;
    Built& operator=(const Built&) = delete;
    ~Built() {
        free(stars);
        free(quads);
    }
};

IndexBuildOptions options_for(float scale, double ra, double dec, double radius) {
    IndexBuildOptions o{};
    o.scale = scale;
    o.ra = ra;
    o.dec = dec;
    o.radius = radius;
    return o;
}

int field(uint64_t code, int shift) { return static_cast<int16_t>(code >> shift & 0xFFFF); }

TEST(IndexBuilder, QuadsFollowTheImageQuadRules) {
    std::vector<CsvStar> catalog = random_catalog(200, -20, 8, 3000, 1);
    IndexBuildOptions o = options_for(2.0f, 200, -20, 6);
    Built b;
    const char* message = nullptr;
    ASSERT_TRUE(build_index_content(catalog.data(), catalog.size(), &o, &b.stars, &b.star_count,
                                    &b.quads, &b.quad_count, &b.levels, &message)) << message;
    ASSERT_GT(b.quad_count, 1000u);
    std::mt19937 random(2);
    std::uniform_real_distribution<double> u(0, 1);
    for (uint32_t q = 0; q < b.quad_count; q += 7) {
        const CatalogQuad& quad = b.quads[q];
        const CatalogStar* s[4];
        for (int a = 0; a < 4; ++a) {
            ASSERT_LT(quad.stars[a], b.star_count);
            s[a] = &b.stars[quad.stars[a]];
        }
        // Size: the angular separation of the base stars. The builder measures it on the
        // catalogue's double positions, these are the stored floats: each off by up to half an
        // ulp of 3.5 rad (1.2e-7), so the two sizes may differ by 2.4e-7 and a little more.
        double base = separation(s[0]->ra, s[0]->dec, s[1]->ra, s[1]->dec);
        ASSERT_NEAR(base, quad.size, 4e-7);
        // As an image would show them: projected about a point 0.5 degree away, turned, scaled
        // and mirrored. The code and the order must come out the same, to within one unit of a
        // field where a value sits near a rounding edge (the projections differ by about 1e-5).
        double ra0 = s[0]->ra + 0.5 * rad_per_deg, dec0 = s[0]->dec - 0.3 * rad_per_deg;
        double turn = two_pi * u(random), zoom = 1e4 * (1 + u(random));
        bool mirror = u(random) < 0.5;
        ImageStar image[4];
        for (int a = 0; a < 4; ++a) {
            double xi, eta;
            gnomonic(ra0, dec0, s[a]->ra, s[a]->dec, &xi, &eta);
            if (mirror) xi = -xi;
            image[a] = {1.0f, static_cast<float>(zoom * (xi * std::cos(turn) - eta * std::sin(turn)) + 500),
                        static_cast<float>(zoom * (xi * std::sin(turn) + eta * std::cos(turn)) + 500)};
        }
        // Present the stars in another order: the canonical form must restore it.
        ImageQuad seen{};
        make_image_quad(&image[3], &image[1], &image[0], &image[2], &seen);
        // The builder keeps only quads whose canonical form is clear of ties by 1 %, so the
        // order never flips here.
        for (int shift : {48, 32, 16, 0})
            ASSERT_LE(std::abs(field(seen.code, shift) - field(quad.code, shift)), 1) << q;
        for (int a = 0; a < 4; ++a) ASSERT_EQ(&image[a], seen.stars[a]) << q;
    }
}

TEST(IndexBuilder, ConeDeterminismAndTheWrittenFile) {
    std::vector<CsvStar> catalog = random_catalog(10, 60, 10, 3000, 3);
    IndexBuildOptions o = options_for(5.0f, 10, 60, 7);
    Built first, second;
    const char* message = nullptr;
    ASSERT_TRUE(build_index_content(catalog.data(), catalog.size(), &o, &first.stars,
                                    &first.star_count, &first.quads, &first.quad_count,
                                    &first.levels, &message));
    ASSERT_TRUE(build_index_content(catalog.data(), catalog.size(), &o, &second.stars,
                                    &second.star_count, &second.quads, &second.quad_count,
                                    &second.levels, &message));
    ASSERT_EQ(first.star_count, second.star_count);
    ASSERT_EQ(first.quad_count, second.quad_count);
    EXPECT_EQ(0, memcmp(first.stars, second.stars, first.star_count * sizeof(CatalogStar)));
    EXPECT_EQ(0, memcmp(first.quads, second.quads, first.quad_count * sizeof(CatalogQuad)));
    for (uint32_t i = 0; i < first.star_count; ++i)
        ASSERT_LE(separation(first.stars[i].ra, first.stars[i].dec, 10 * rad_per_deg,
                             60 * rad_per_deg),
                  7 * rad_per_deg + 1e-6);
    // Every quad is used once: no two quads share the same four stars.
    std::vector<std::array<uint32_t, 4>> sets;
    for (uint32_t q = 0; q < first.quad_count; ++q) {
        std::array<uint32_t, 4> k{first.quads[q].stars[0], first.quads[q].stars[1],
                                  first.quads[q].stars[2], first.quads[q].stars[3]};
        std::sort(k.begin(), k.end());
        sets.push_back(k);
    }
    std::sort(sets.begin(), sets.end());
    EXPECT_EQ(sets.end(), std::adjacent_find(sets.begin(), sets.end()));

    char pattern[] = "/tmp/builder_test_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    std::string a = std::string(pattern) + "/a.zeph", bpath = std::string(pattern) + "/b.zeph";
    IndexBuildReport report{};
    ASSERT_TRUE(build_index_file(catalog.data(), catalog.size(), &o, a.c_str(), &report, &message));
    ASSERT_TRUE(build_index_file(catalog.data(), catalog.size(), &o, bpath.c_str(), nullptr, &message));
    EXPECT_EQ(first.star_count, report.star_count);
    EXPECT_EQ(first.quad_count, report.quad_count);
    EXPECT_EQ(std::filesystem::file_size(a), report.file_size);
    auto bytes = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(bytes(a), bytes(bpath));
    IndexFile index{};
    ASSERT_TRUE(kestil_solver_load_index(a.c_str(), &index));
    EXPECT_EQ(5.0f, index.scale);
    EXPECT_EQ(first.quad_count, index.quad_count);
    // Stored in bucket order, each bucket holding the codes of its x1 and y1.
    for (uint32_t q = 0; q < index.quad_count; q += 13) {
        uint32_t bucket = static_cast<uint32_t>(field(index.codes[q], 48)) * INDEX_GRID +
                          static_cast<uint32_t>(field(index.codes[q], 32));
        ASSERT_GE(q, index.buckets[bucket]);
        ASSERT_LT(q, index.buckets[bucket + 1]);
    }
    kestil_solver_release_index(&index);
    std::filesystem::remove_all(pattern);
}

// The stars of a level are shared out among threads in pieces; the content must not depend on
// how many, and the progress reports must climb to the whole work.
TEST(IndexBuilder, SameContentOnAnyNumberOfThreads) {
    std::vector<CsvStar> catalog = random_catalog(300, 45, 6, 40000, 11);
    struct Progress { uint64_t done = 0, total = 0; int calls = 0; bool climbing = true; };
    auto report = [](void* context, uint64_t done, uint64_t total) {
        auto* p = static_cast<Progress*>(context);
        p->climbing = p->climbing && done >= p->done && done <= total && (!p->calls || total == p->total);
        p->done = done;
        p->total = total;
        ++p->calls;
    };
    Built one;
    const char* message = nullptr;
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        // Scale 0.2: cells of 0.072 degrees, so the finest level holds most of the 40,000 stars,
        // more than one batch.
        IndexBuildOptions o = options_for(0.2f, 300, 45, 6);
        o.threads = threads;
        Progress progress;
        o.progress_callback = report;
        o.progress_context = &progress;
        Built b;
        ASSERT_TRUE(build_index_content(catalog.data(), catalog.size(), &o, &b.stars, &b.star_count,
                                        &b.quads, &b.quad_count, &b.levels, &message)) << message;
        EXPECT_TRUE(progress.climbing);
        EXPECT_GT(progress.calls, b.levels + 1);  // the plan, and more than a batch per level
        EXPECT_EQ(progress.total, progress.done);
        if (threads == 1) {
            std::swap(one.stars, b.stars);
            std::swap(one.quads, b.quads);
            one.star_count = b.star_count;
            one.quad_count = b.quad_count;
            continue;
        }
        ASSERT_EQ(one.star_count, b.star_count);
        ASSERT_EQ(one.quad_count, b.quad_count);
        EXPECT_EQ(0, memcmp(one.stars, b.stars, b.star_count * sizeof(CatalogStar)));
        for (uint32_t q = 0; q < b.quad_count; ++q) {  // field by field: padding is not content
            ASSERT_EQ(one.quads[q].code, b.quads[q].code) << q;
            ASSERT_EQ(one.quads[q].size, b.quads[q].size) << q;
            ASSERT_EQ(0, memcmp(one.quads[q].stars, b.quads[q].stars, 16)) << q;
        }
    }
}

// Code variants: a quad seen from an image centre 5 degrees away is stretched by 1/cos 5° - 1 =
// 0.4 % along that direction, more than the matching tolerance of one code unit (a thousandth)
// for many quads; with a ring of variants at that distance some code of its stars matches.
TEST(IndexBuilder, CodeVariantsMatchQuadsSeenFarFromTheImageCentre) {
    std::vector<CsvStar> catalog = random_catalog(40, 20, 25, 1500, 5);
    IndexBuildOptions o = options_for(10.0f, 40, 20, 22);
    Built base, varied;
    const char* message = nullptr;
    ASSERT_TRUE(build_index_content(catalog.data(), catalog.size(), &o, &base.stars,
                                    &base.star_count, &base.quads, &base.quad_count, &base.levels,
                                    &message)) << message;
    o.variant_rings = 1;
    o.variant_radius = 5;
    o.variant_directions = 48;  // ring points 7.5° apart: the stretch turns by 3.75° at most
    o.variant_levels = 1;
    ASSERT_TRUE(build_index_content(catalog.data(), catalog.size(), &o, &varied.stars,
                                    &varied.star_count, &varied.quads, &varied.quad_count,
                                    &varied.levels, &message)) << message;
    // The variants come after the unchanged quads and reuse their stars.
    ASSERT_EQ(base.star_count, varied.star_count);
    ASSERT_GT(varied.quad_count, base.quad_count + 100);
    ASSERT_EQ(0, memcmp(base.quads, varied.quads, base.quad_count * sizeof(CatalogQuad)));
    auto key = [](const CatalogQuad& q) {
        std::array<uint32_t, 4> k{q.stars[0], q.stars[1], q.stars[2], q.stars[3]};
        std::sort(k.begin(), k.end());
        return k;
    };
    std::vector<std::vector<uint32_t>> codes_of(base.quad_count);  // quad -> its entries
    {
        std::vector<std::pair<std::array<uint32_t, 4>, uint32_t>> sets;
        for (uint32_t q = 0; q < base.quad_count; ++q) sets.emplace_back(key(base.quads[q]), q);
        std::sort(sets.begin(), sets.end());
        for (uint32_t q = 0; q < varied.quad_count; ++q) {
            auto found = std::lower_bound(sets.begin(), sets.end(),
                                          std::make_pair(key(varied.quads[q]), 0u));
            ASSERT_TRUE(found != sets.end() && found->first == key(varied.quads[q])) << q;
            codes_of[found->second].push_back(q);
        }
    }
    std::mt19937 random(7);
    std::uniform_real_distribution<double> u(0, 1);
    int views = 0, base_hits = 0, variant_hits = 0;
    for (uint32_t q = 0; q < base.quad_count && views < 400; ++q) {
        if (codes_of[q].size() < 2) continue;  // a quad of a finer level: no variants
        ++views;
        const CatalogStar* s[4];
        double c[3] = {0, 0, 0};
        for (int a = 0; a < 4; ++a) {
            s[a] = &base.stars[base.quads[q].stars[a]];
            c[0] += std::cos(s[a]->dec) * std::cos(s[a]->ra);
            c[1] += std::cos(s[a]->dec) * std::sin(s[a]->ra);
            c[2] += std::sin(s[a]->dec);
        }
        double ra_c = std::atan2(c[1], c[0]), dec_c = std::atan2(c[2], std::hypot(c[0], c[1]));
        // An image centre 5 degrees from the quad's centre in a random direction (spherical
        // offset by position angle).
        double r = 5 * rad_per_deg, pa = two_pi * u(random);
        double dec0 = std::asin(std::sin(dec_c) * std::cos(r) + std::cos(dec_c) * std::sin(r) * std::cos(pa));
        double ra0 = ra_c + std::atan2(std::sin(pa) * std::sin(r) * std::cos(dec_c),
                                       std::cos(r) - std::sin(dec_c) * std::sin(dec0));
        ImageStar image[4];
        for (int a = 0; a < 4; ++a) {
            double xi, eta;
            gnomonic(ra0, dec0, s[a]->ra, s[a]->dec, &xi, &eta);
            image[a] = {1.0f, static_cast<float>(2e4 * xi + 500), static_cast<float>(2e4 * eta + 500)};
        }
        ImageQuad seen{};
        make_image_quad(&image[2], &image[0], &image[3], &image[1], &seen);
        auto matches = [&](const CatalogQuad& entry) {
            for (int shift : {48, 32, 16, 0})
                if (std::abs(field(seen.code, shift) - field(entry.code, shift)) > 1) return false;
            for (int a = 0; a < 4; ++a)
                if (entry.stars[a] != base.quads[q].stars[seen.stars[a] - image]) return false;
            return true;
        };
        base_hits += matches(base.quads[q]);
        bool any = false;
        for (uint32_t e : codes_of[q]) {
            if (!matches(varied.quads[e])) continue;
            any = true;
            // A variant's size is the base length on its own plane, as an image centred there
            // measures it. Codes within a unit also come from ring points a few steps away,
            // whose scale along the base differs by up to 0.6 % here (1/cos² 5° - 1 is 0.77 %
            // radially); the solver accepts 1 %.
            if (e >= base.quad_count) {
                EXPECT_NEAR(seen.length / 2e4 / varied.quads[e].size, 1.0, 6e-3) << q;
            }
        }
        variant_hits += any;
    }
    ASSERT_GE(views, 100);
    // The base code alone misses many of these views; with the variants nearly all match (a
    // variant is left out where its canonical form is near a tie, so not quite all).
    EXPECT_LT(base_hits, views * 8 / 10) << base_hits << " of " << views;
    EXPECT_GE(variant_hits, views * 98 / 100) << variant_hits << " of " << views;
}

TEST(IndexBuilder, RefusesTooFewStarsAndKnowsTheFieldRanges) {
    std::vector<CsvStar> catalog = {{1, 1, 5}, {1.1, 1, 6}, {1, 1.1, 7}};
    IndexBuildOptions o = options_for(1.0f, 0, 0, 0);
    Built b;
    const char* message = nullptr;
    EXPECT_FALSE(build_index_content(catalog.data(), catalog.size(), &o, &b.stars, &b.star_count,
                                     &b.quads, &b.quad_count, &b.levels, &message));
    EXPECT_STREQ("fewer than 4 catalogue stars in the area", message);
    struct Case { float scale; double low, high; };
    const Case cases[] = {{0.2f, 0.2, 0.45}, {0.5f, 0.45, 1}, {1, 1, 2}, {2, 2, 4.5},
                          {5, 4.5, 10}, {10, 10, 20}, {20, 20, 30}, {3, 3, 6}};
    for (const Case& c : cases) {
        double low = 0, high = 0;
        index_field_range(c.scale, &low, &high);
        EXPECT_EQ(c.low, low) << c.scale;
        EXPECT_EQ(c.high, high) << c.scale;
    }
}

TEST(DeepCatalog, DensityCountAndDeterminism) {
    // About 45 stars per square degree to magnitude 12, as in the bright-star catalogue.
    EXPECT_NEAR(45.0, deep_star_density(12.0), 1e-9);
    EXPECT_GT(deep_star_density(18.0), 3000.0);
    EXPECT_LT(deep_star_density(18.0), 10000.0);
    char pattern[] = "/tmp/deep_test_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    std::string a = std::string(pattern) + "/a.csv", b = std::string(pattern) + "/b.csv",
                c = std::string(pattern) + "/c.csv";
    size_t count = 0;
    const char* message = nullptr;
    ASSERT_TRUE(write_deep_catalog(359.5, 10, 1.0, 6, 15, 7, a.c_str(), &count, &message));
    size_t again = 0;
    ASSERT_TRUE(write_deep_catalog(359.5, 10, 1.0, 6, 15, 7, b.c_str(), &again, &message));
    ASSERT_TRUE(write_deep_catalog(359.5, 10, 1.0, 6, 15, 8, c.c_str(), &again, &message));
    double area = two_pi * (1 - std::cos(rad_per_deg)) / (rad_per_deg * rad_per_deg);
    double expected = area * (deep_star_density(15) - deep_star_density(6));
    EXPECT_NEAR(expected, static_cast<double>(count), 5 * std::sqrt(expected));  // Poisson, 5 sigma
    CsvCatalog read{};
    ASSERT_TRUE(read_catalog_csv(a.c_str(), INFINITY, &read, nullptr, &message)) << message;
    ASSERT_EQ(count, read.count);
    for (size_t i = 0; i < read.count; ++i) {
        const CsvStar& s = read.stars[i];
        ASSERT_GE(s.ra, 0.0);
        ASSERT_LT(s.ra, 360.0);
        // Across RA 0: positions wrap, and stay within the cone (7-decimal rounding).
        ASSERT_LE(separation(s.ra * rad_per_deg, s.dec * rad_per_deg, 359.5 * rad_per_deg,
                             10 * rad_per_deg),
                  rad_per_deg + 1e-8);
        ASSERT_GE(s.mag, 6.0 - 1e-3);
        ASSERT_LE(s.mag, 15.0 + 1e-3);
        if (i > 0) {
            ASSERT_LE(read.stars[i - 1].mag, s.mag);
        }
    }
    free_catalog_csv(&read);
    auto text = [](const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(text(a), text(b));
    EXPECT_NE(text(a), text(c));
    EXPECT_FALSE(write_deep_catalog(0, 0, 0, 6, 15, 1, a.c_str(), &count, &message));
    std::filesystem::remove_all(pattern);
}

}  // namespace
