// tests/solver/index/index_selection_test.cpp - order of the indexes to try, labels, the table,
// the index cache
#include "solver/index/index_selection.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "index_test_support.hpp"
#include "solver/index/index_cache.h"
#include "solver/index/index_file.h"
#include "solver/index/published_indexes.h"

using namespace index_test;

namespace {

const std::vector<float> all_scales = {0.2f, 0.5f, 1, 2, 5, 10, 20};

SolveRequest settings_for(const TempDir& dir, const std::vector<float>& selected) {
    SolveRequest settings{};
    snprintf(settings.index_dir, sizeof settings.index_dir, "%s", dir.path().c_str());
    for (float s : selected) settings.scales[settings.scale_count++] = s;
    return settings;
}

// Installation is only a readable file; its contents do not matter to the selection.
void install(const SolveRequest& settings, const std::vector<float>& scales) {
    for (float s : scales) {
        char path[SOLVER_PATH_SIZE];
        kestil_solver_index_path(path, sizeof path, settings.index_dir, s);
        ASSERT_TRUE(write_file(path, {'x'}));
    }
}

}  // namespace

TEST(ListIndexScales, OrderWithAndWithoutHint) {
    struct Case {
        const char* what;
        std::vector<float> selected, installed;
        double hint;
        int width, height;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {"no hint, all", all_scales, all_scales, 0, 3000, 2000, {20, 10, 5, 2, 1, 0.5f, 0.2f}},
        {"no hint, three", all_scales, {0.5f, 2, 10}, 0, 3000, 2000, {10, 2, 0.5f}},
        {"negative hint", all_scales, all_scales, -0.001, 3000, 2000, {20, 10, 5, 2, 1, 0.5f, 0.2f}},
        // field 3 x 2 degrees, target 0.7 * sqrt(6) = 1.7146 degrees; |ln(s / target)| is
        // 0.154 (2), 0.539 (1), 1.070 (5), 1.232 (0.5), 1.763 (10), 2.148 (0.2), 2.457 (20)
        {"3000 x 2000 at 0.001", all_scales, all_scales, 0.001, 3000, 2000,
         {2, 1, 5, 0.5f, 10, 0.2f, 20}},
        // target 0.7 * 10 = 7 degrees: 5 (0.336) before 10 (0.357), 2 last of the installed
        {"1000 x 1000 at 0.01, some selected", {2, 10, 5}, all_scales, 0.01, 1000, 1000, {5, 10, 2}},
        {"none installed", {5, 1}, {}, 0.001, 3000, 2000, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const SolveRequest settings = settings_for(dir, c.selected);
        install(settings, c.installed);
        float scales[SOLVER_SCALE_COUNT] = {};
        LogCapture log(1);
        const int count = list_index_scales(&settings, c.hint, c.width, c.height, scales);
        EXPECT_EQ(c.expected, std::vector<float>(scales, scales + count));
    }
}

TEST(ListIndexScales, VerboseMissingLinesAndSelectionLog) {
    TempDir dir;
    SolveRequest settings = settings_for(dir, {5, 1});
    std::string progress;
    settings.progress = [](void* context, const char* line) {
        *static_cast<std::string*>(context) += line;
    };
    settings.progress_context = &progress;
    float scales[SOLVER_SCALE_COUNT];
    EXPECT_EQ(0, list_index_scales(&settings, 0.0, 100, 100, scales));
    EXPECT_EQ("Index " + dir.path() + "/index-05deg-tyc2.zeph is not installed\n" + "Index " +
                  dir.path() + "/index-01deg-tyc2.zeph is not installed\n",
              progress);

    SolveRequest all = settings_for(dir, all_scales);
    install(all, all_scales);
    LogCapture log(3);
    ASSERT_EQ(7, list_index_scales(&all, 0.001, 3000, 2000, scales));
    EXPECT_EQ("kestil_solver_select_index: field 3.00° x 2.00°, using " + dir.path() +
                  "/index-02deg-tyc2.zeph\n",
              log.text());
}

TEST(SelectIndex, NothingReadable) {
    TempDir dir;
    const float candidates[2] = {1, 2};
    struct Case { const char* dir; std::string expected; };
    const Case cases[] = {
        {"", "the working directory"},
        {"/nonexistent/indexes", "/nonexistent/indexes"},
    };
    for (const Case& c : cases) {
        char path[SOLVER_PATH_SIZE] = "untouched";
        float selected = -1;
        LogCapture log(1);
        EXPECT_FALSE(kestil_solver_select_index(c.dir, candidates, 2, 0.05f, 0.05f, path,
                                                &selected));
        EXPECT_EQ("kestil_solver_select_index: no index-*deg-*.zeph index file found in " +
                      c.expected + "\n",
                  log.text());
        EXPECT_STREQ("untouched", path);
        EXPECT_EQ(-1, selected);
    }
}

TEST(IndexLabel, PublishedAndOtherScales) {
    struct Case { float scale; const char* expected; };
    const Case cases[] = {
        {0.2f, "0.2° Gaia DR3 (FOV 0.2° - 0.45°)"}, {0.5f, "0.5° Gaia DR3 (FOV 0.45° - 1°)"},
        {1, "1° Tycho-2 (FOV 1° - 2°)"},            {2, "2° Tycho-2 (FOV 2° - 4.5°)"},
        {5, "5° Tycho-2 (FOV 4.5° - 10°)"},         {10, "10° Tycho-2 (FOV 10° - 20°)"},
        {20, "20° Tycho-2 (FOV > 20°)"},            {3, "3° Tycho-2"},
        {0.3f, "0.3° Gaia DR3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        char label[SOLVER_LABEL_SIZE];
        EXPECT_EQ(static_cast<int>(strlen(c.expected)), index_label(c.scale, label));
        EXPECT_STREQ(c.expected, label);
    }
    // The degree sign is the two UTF-8 bytes C2 B0.
    char label[SOLVER_LABEL_SIZE];
    index_label(1, label);
    EXPECT_EQ('\xc2', label[1]);
    EXPECT_EQ('\xb0', label[2]);
}

// The index cache: one mapping per file while it stays the same, a new one when the file is
// replaced (the old one still readable by the solves that hold it), nothing for a missing or
// broken file; and lookups from several threads at once get the same mapping.
TEST(IndexCache, KeepsMappingsAndFollowsReplacedFiles) {
    TempDir dir;
    const std::string path = dir.path() + "/index-05deg-tyc2.zeph";
    const std::vector<unsigned char> first = small_index(5.0f, 5, 7);
    ASSERT_TRUE(write_file(path, std::string(first.begin(), first.end())));
    SolverIndexCache* cache = kestil_solver_index_cache_create();
    ASSERT_NE(nullptr, cache);

    const IndexFile* a = kestil_solver_cached_index(cache, path.c_str());
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(7u, a->quad_count);
    std::vector<const IndexFile*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t)
        threads.emplace_back([&, t] { seen[t] = kestil_solver_cached_index(cache, path.c_str()); });
    for (std::thread& t : threads) t.join();
    for (const IndexFile* s : seen) EXPECT_EQ(a, s);

    // Replaced by another file (written aside and renamed, as the downloader does).
    const std::vector<unsigned char> second = small_index(5.0f, 6, 9);
    ASSERT_TRUE(write_file(path + ".new", std::string(second.begin(), second.end())));
    ASSERT_EQ(0, rename((path + ".new").c_str(), path.c_str()));
    const IndexFile* b = kestil_solver_cached_index(cache, path.c_str());
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    EXPECT_EQ(9u, b->quad_count);
    EXPECT_EQ(7u, a->quad_count);  // the old mapping is still there

    LogCapture log(1);
    EXPECT_EQ(nullptr, kestil_solver_cached_index(cache, (dir.path() + "/missing.zeph").c_str()));
    ASSERT_TRUE(write_file(dir.path() + "/broken.zeph", "not an index"));
    EXPECT_EQ(nullptr, kestil_solver_cached_index(cache, (dir.path() + "/broken.zeph").c_str()));
    kestil_solver_index_cache_release(cache);
}
