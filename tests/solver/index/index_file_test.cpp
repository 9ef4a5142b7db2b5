// tests/solver/index/index_file_test.cpp - index names, header check, map_index rules, writer
#include "solver/index/index_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "index_test_support.hpp"

using namespace index_test;

namespace {

SolverSettings settings_with_dir(const char* dir) {
    SolverSettings settings{};
    snprintf(settings.index_dir, sizeof settings.index_dir, "%s", dir);
    return settings;
}

void put_u32(std::vector<unsigned char>& bytes, size_t at, uint32_t value) {
    memcpy(bytes.data() + at, &value, 4);
}
void put_u64(std::vector<unsigned char>& bytes, size_t at, uint64_t value) {
    memcpy(bytes.data() + at, &value, 8);
}
uint64_t get_u64(const std::vector<unsigned char>& bytes, size_t at) {
    uint64_t value;
    memcpy(&value, bytes.data() + at, 8);
    return value;
}

// The zero-star, zero-quad index built by hand: a header whose five sections all start at 64,
// followed by a zero-filled bucket table of 1002002 entries.
std::vector<unsigned char> empty_index_by_hand() {
    std::vector<unsigned char> bytes(64 + 4008008, 0);
    memcpy(bytes.data(), "ZEPH", 4);
    put_u32(bytes, 4, 2);
    const float scale = 5.0f;
    memcpy(bytes.data() + 8, &scale, 4);
    put_u32(bytes, 20, 1001);
    for (size_t at = 24; at < 64; at += 8) put_u64(bytes, at, 64);
    return bytes;
}

}  // namespace

TEST(IndexFileName, PublishedAndOtherScales) {
    struct Case { const char* dir; float scale; const char* expected; };
    const Case cases[] = {
        {"", 0.2f, "index-00.2deg-gaia.zeph"},      {"", 0.5f, "index-00.5deg-gaia.zeph"},
        {"", 1.0f, "index-01deg-tyc2.zeph"},        {"", 2.0f, "index-02deg-tyc2.zeph"},
        {"", 5.0f, "index-05deg-tyc2.zeph"},        {"", 10.0f, "index-10deg-tyc2.zeph"},
        {"", 20.0f, "index-20deg-tyc2.zeph"},       {"", 2.5f, "index-02.5deg-tyc2.zeph"},
        {"C:/idx/", 2.0f, "C:/idx/index-02deg-tyc2.zeph"},
        {"C:/idx", 2.0f, "C:/idx/index-02deg-tyc2.zeph"},
        {"C:\\idx\\", 2.0f, "C:\\idx\\/index-02deg-tyc2.zeph"},  // only "/" counts as separator
        {"/", 0.5f, "/index-00.5deg-gaia.zeph"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const SolverSettings settings = settings_with_dir(c.dir);
        char buffer[SOLVER_PATH_SIZE];
        EXPECT_EQ(static_cast<int>(strlen(c.expected)),
                  index_file_name(buffer, sizeof buffer, &settings, c.scale));
        EXPECT_STREQ(c.expected, buffer);
    }
    char buffer[SOLVER_PATH_SIZE];
    index_file_name(buffer, sizeof buffer, nullptr, 1.0f);
    EXPECT_STREQ("index-01deg-tyc2.zeph", buffer);
    char small[8];  // cut, never overflowed; the result is the full length
    EXPECT_EQ(21, index_file_name(small, sizeof small, nullptr, 1.0f));
    EXPECT_STREQ("index-0", small);
}

TEST(IndexReadHeader, MagicVersionAndLength) {
    TempDir dir;
    const std::vector<unsigned char> good = small_index(2.0f);
    struct Case { const char* what; size_t length; size_t patch_at; uint32_t patch; bool ok; const char* err; };
    const Case cases[] = {
        {"valid", 64, 0, 0, true, ""},
        {"63 bytes", 63, 0, 0, false, "kestil_solver_index_read_header: short read\n"},
        {"bad magic", 64, 0, 0x48504558, false, "kestil_solver_index_read_header: bad magic\n"},
        {"version 1", 64, 4, 1, false,
         "kestil_solver_index_read_header: unsupported index version 1 (expected 2)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> bytes(good.begin(), good.begin() + c.length);
        if (c.patch) put_u32(bytes, c.patch_at, c.patch);
        const std::string path = dir.file("header");
        ASSERT_TRUE(write_file(path, bytes));
        IndexHeader header{};
        testing::internal::CaptureStderr();
        FILE* file = fopen(path.c_str(), "rb");
        ASSERT_NE(nullptr, file);
        EXPECT_EQ(c.ok, kestil_solver_index_read_header(file, &header));
        fclose(file);
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
        if (c.ok) {
            EXPECT_EQ(0x4850455au, header.magic);  // "ZEPH" read little-endian
            EXPECT_EQ(2u, header.version);
            EXPECT_EQ(2.0f, header.scale);
            EXPECT_EQ(5u, header.star_count);
            EXPECT_EQ(7u, header.quad_count);
        }
    }
}

TEST(MapIndex, HeaderAndBucketRules) {
    TempDir dir;
    const std::vector<unsigned char> good = small_index(5.0f, 5, 7);
    const uint64_t size = good.size();
    enum Problem { NONE, TRUNCATED, HEADER, BUCKETS, UNMAPPABLE };
    struct Case {
        const char* what;
        std::function<void(std::vector<unsigned char>&)> change;
        Problem problem;
    };
    const uint64_t buckets = get_u64(good, 32);
    const Case cases[] = {
        {"valid", [](auto&) {}, NONE},
        {"63 bytes", [](auto& b) { b.resize(63); }, TRUNCATED},
        {"empty", [](auto& b) { b.clear(); }, UNMAPPABLE},
        {"grid 1000", [](auto& b) { put_u32(b, 20, 1000); }, HEADER},
        {"stars offset misaligned", [](auto& b) { put_u64(b, 24, 66); }, HEADER},
        {"stars offset inside the header", [](auto& b) { put_u64(b, 24, 60); }, HEADER},
        {"star count beyond the file", [](auto& b) { put_u32(b, 12, 0x10000000); }, HEADER},
        {"buckets offset past the end", [=](auto& b) { put_u64(b, 32, size + 4); }, HEADER},
        {"bucket table cut by the end", [=](auto& b) { put_u64(b, 32, size - 4008004); }, HEADER},
        {"codes offset 4 mod 8", [](auto& b) { put_u64(b, 40, get_u64(b, 40) + 4); }, HEADER},
        {"sizes offset leaves no room", [=](auto& b) { put_u64(b, 48, size - 24); }, HEADER},
        {"quad stars offset misaligned", [](auto& b) { put_u64(b, 56, get_u64(b, 56) + 2); }, HEADER},
        {"quad stars offset leaves no room", [=](auto& b) { put_u64(b, 56, size - 16 * 6); }, HEADER},
        {"quad count beyond the file", [](auto& b) { put_u32(b, 16, 1000000); }, HEADER},
        {"first bucket not 0", [=](auto& b) { put_u32(b, buckets, 1); }, BUCKETS},
        {"last bucket not quad_count", [=](auto& b) { put_u32(b, buckets + 4 * 1002001, 6); }, BUCKETS},
        {"decreasing bucket", [=](auto& b) { put_u32(b, buckets + 4 * 500000, 0); }, BUCKETS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> bytes = good;
        c.change(bytes);
        const std::string path = dir.file("index-05deg-tyc2.zeph");
        ASSERT_TRUE(write_file(path, bytes));
        IndexFile index;
        memset(&index, 0x5a, sizeof index);  // must come back filled or zeroed
        LogCapture log(1);
        const bool mapped = map_index(path.c_str(), &index);
        EXPECT_EQ(c.problem == NONE, mapped);
        const char* expected[] = {"", " is truncated\n", " is corrupted (invalid header)\n",
                                  " is corrupted (invalid buckets)\n", ""};
        if (c.problem == UNMAPPABLE)
            EXPECT_EQ("Failed to get the size of " + path + "\n", log.text());
        else if (c.problem != NONE)
            EXPECT_EQ("map_index: " + path + expected[c.problem], log.text());
        else
            EXPECT_EQ("", log.text());
        if (!mapped) {
            IndexFile zero{};
            EXPECT_EQ(0, memcmp(&zero, &index, sizeof index));
            continue;
        }
        EXPECT_EQ(5.0f, index.scale);
        EXPECT_EQ(5u, index.star_count);
        EXPECT_EQ(7u, index.quad_count);
        EXPECT_EQ(size, index.mapping_size);
        EXPECT_EQ(nullptr, index.in_cone);
        kestil_solver_release_index(&index);
        EXPECT_EQ(nullptr, index.mapping);
    }
}

TEST(MapIndex, ZeroStarsZeroQuadsPasses) {
    TempDir dir;
    const std::string path = dir.file("empty.zeph");
    ASSERT_TRUE(write_file(path, empty_index_by_hand()));
    IndexFile index{};
    ASSERT_TRUE(map_index(path.c_str(), &index));
    EXPECT_EQ(0u, index.star_count);
    EXPECT_EQ(0u, index.quad_count);
    EXPECT_EQ(5.0f, index.scale);
    EXPECT_EQ(0u, index.buckets[1002001]);
    kestil_solver_release_index(&index);
}

TEST(LoadIndex, MessagesOfEachFailure) {
    TempDir dir;
    std::vector<unsigned char> version1 = small_index(1.0f);
    put_u32(version1, 4, 1);
    put_u32(version1, 20, 1000);  // map_index would object too, if it were reached
    std::vector<unsigned char> bad_grid = small_index(1.0f);
    put_u32(bad_grid, 20, 1000);
    const std::string path = dir.file("index-01deg-tyc2.zeph");
    struct Case { const char* what; std::vector<unsigned char> bytes; std::string log, err; };
    const Case cases[] = {
        {"missing", {}, "kestil_solver_load_index: failed to open " + path + "\n", ""},
        {"version 1", version1, "",
         "kestil_solver_index_read_header: unsupported index version 1 (expected 2)\n"},
        {"grid 1000", bad_grid, "map_index: " + path + " is corrupted (invalid header)\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(path.c_str());
        if (!c.bytes.empty()) {
            ASSERT_TRUE(write_file(path, c.bytes));
        }
        IndexFile index{};
        LogCapture log(1);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(kestil_solver_load_index(path.c_str(), &index));
        EXPECT_EQ(c.err + "kestil_solver: failed to load " + path + "\n",
                  testing::internal::GetCapturedStderr());
        EXPECT_EQ(c.log, log.text());
        EXPECT_EQ(nullptr, index.mapping);
    }
    ASSERT_TRUE(write_file(path, small_index(1.0f, 3, 2)));
    IndexFile index{};
    LogCapture log(3);
    ASSERT_TRUE(kestil_solver_load_index(path.c_str(), &index));
    EXPECT_EQ("kestil_solver_load_index: using 3 catalog stars and 2 catalog quads from " + path +
                  " (1°)\n",
              log.text());
    kestil_solver_release_index(&index);
}

TEST(WriteIndex, RoundTripSortsByBucketThenCode) {
    TempDir dir;
    const CatalogStar stars[3] = {{0.5f, -0.25f}, {1.0f, 0.125f}, {6.0f, 1.5f}};
    auto code = [](uint64_t x1, uint64_t y1, uint64_t x2, int16_t y2) {
        return x1 << 48 | y1 << 32 | x2 << 16 | static_cast<uint16_t>(y2);
    };
    // Buckets: 1000 * 1001 + 1000 = 1002000 (the last), 0, 3 * 1001 + 4 = 3007 twice, 0 again;
    // within a bucket the quads go by code.
    const CatalogQuad quads[5] = {
        {code(1000, 1000, 0, -1000), 0.5f, {0, 1, 2, 0}},
        {code(0, 0, 7, 8), 0.25f, {1, 1, 1, 1}},
        {code(3, 4, 1000, 1000), 0.125f, {2, 1, 0, 2}},
        {code(3, 4, 1, -1), 0.0625f, {0, 0, 0, 1}},
        {code(0, 0, 9, 9), 1.5f, {2, 2, 2, 2}},
    };
    const unsigned expected_order[5] = {1, 4, 3, 2, 0};
    const std::string path = dir.file("index-02deg-tyc2.zeph");
    const char* message = nullptr;
    ASSERT_TRUE(kestil_solver_write_index(path.c_str(), 2.0f, stars, 3, quads, 5, &message));
    EXPECT_EQ((std::vector<std::string>{"index-02deg-tyc2.zeph"}), dir.entries());
    // 64 header + 24 stars + 4008008 buckets = 4008096 (8-aligned) + 40 codes + 20 sizes + 80
    EXPECT_EQ(4008236u, read_bytes(path).size());
    IndexFile index{};
    ASSERT_TRUE(map_index(path.c_str(), &index));
    EXPECT_EQ(2.0f, index.scale);
    ASSERT_EQ(3u, index.star_count);
    ASSERT_EQ(5u, index.quad_count);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(stars[i].ra, index.stars[i].ra);
        EXPECT_EQ(stars[i].dec, index.stars[i].dec);
    }
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const CatalogQuad& q = quads[expected_order[i]];
        EXPECT_EQ(q.code, index.codes[i]);
        EXPECT_EQ(q.size, index.sizes[i]);
        for (int j = 0; j < 4; ++j) EXPECT_EQ(q.stars[j], index.quad_stars[4 * i + j]);
    }
    struct Bucket { uint32_t k, first, next; };
    const Bucket buckets[] = {{0, 0, 2}, {1, 2, 2}, {3007, 2, 4}, {3008, 4, 4}, {1002000, 4, 5}};
    for (const Bucket& b : buckets) {
        SCOPED_TRACE(b.k);
        EXPECT_EQ(b.first, index.buckets[b.k]);
        EXPECT_EQ(b.next, index.buckets[b.k + 1]);
    }
    kestil_solver_release_index(&index);

    // Deterministic: the same input gives the same bytes; a second write replaces the first.
    const std::vector<unsigned char> first = read_bytes(path);
    ASSERT_TRUE(kestil_solver_write_index(path.c_str(), 2.0f, stars, 3, quads, 5, &message));
    EXPECT_EQ(first, read_bytes(path));
}

TEST(WriteIndex, RefusesBadQuadsAndLeavesNothing) {
    TempDir dir;
    const CatalogStar stars[2] = {{0, 0}, {0, 0}};
    struct Case { const char* what; CatalogQuad quad; const char* message; };
    const Case cases[] = {
        {"star index = star_count", {0, 0, {0, 1, 2, 0}}, "a quad star index is out of range"},
        {"x1 1001", {uint64_t{1001} << 48, 0, {0, 0, 0, 0}}, "a quad code is out of range"},
        {"y1 1001", {uint64_t{1001} << 32, 0, {0, 0, 0, 0}}, "a quad code is out of range"},
        {"y2 -1001", {0xfc17u, 0, {0, 0, 0, 0}}, "a quad code is out of range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const char* message = nullptr;
        EXPECT_FALSE(kestil_solver_write_index(dir.file("x.zeph").c_str(), 1.0f, stars, 2, &c.quad,
                                               1, &message));
        EXPECT_STREQ(c.message, message);
        EXPECT_TRUE(dir.entries().empty());
    }
}

TEST(WriteIndex, FullDiskLeavesTheOldFileAlone) {
    TempDir dir;
    const std::string path = dir.file("index-10deg-tyc2.zeph");
    const std::vector<unsigned char> old = {'o', 'l', 'd'};
    ASSERT_TRUE(write_file(path, old));
    const ChildRun run = run_in_child([&] {
        // A file size limit of 1 MB stands for a full disk; the index needs 4 MB.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1 << 20, 1 << 20};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
        const char* message = nullptr;
        const CatalogStar star{0, 0};
        if (kestil_solver_write_index(path.c_str(), 10.0f, &star, 1, nullptr, 0, &message)) return 4;
        return strcmp(message, "the index file can't be written") == 0 ? 0 : 5;
    });
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ(old, read_bytes(path));
    EXPECT_EQ((std::vector<std::string>{"index-10deg-tyc2.zeph"}), dir.entries());
}
