// Tests of the framework log: level gating, line splitting, continuation prefixes, the hook.
#include "framework/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/log_capture.hpp"

namespace {

class LogTest : public ::testing::Test {
protected:
    test_support::LogCapture captured;
};

TEST_F(LogTest, LevelsGateTheFunctions) {
    struct Case { int process_level; int expected_lines; };
    const Case cases[] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.process_level);
        captured.clear();
        kestil_set_log_level(c.process_level);
        kestil_error("e");
        kestil_log("i");
        kestil_debug("d");
        kestil_trace_bus("b");
        kestil_trace("t");
        EXPECT_EQ(c.expected_lines, static_cast<int>(captured.entries().size()));
    }
    captured.clear();
    kestil_set_log_level(1);
    kestil_debug("hidden");
    EXPECT_TRUE(captured.entries().empty());
}

TEST_F(LogTest, LinesAndContinuationPrefixes) {
    struct Case { const char* message; std::vector<std::string> lines; };
    const Case cases[] = {
        {"a\n\nb", {"a", "b"}},                                  // the empty line is skipped
        {"dev -> prop\nz", {"dev -> prop", "dev -> z"}},        // prefix repeated
        {"dev <- prop\nz\ny", {"dev <- prop", "dev <- z", "dev <- y"}},
        {"0123456789012345678901234567 -> x\nz", {"0123456789012345678901234567 -> x", "z"}},
        {"012345678901234567890123456 -> x\nz",
         {"012345678901234567890123456 -> x", "012345678901234567890123456 -> z"}},
        {"\n\n", {}},
    };
    kestil_set_log_level(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        captured.clear();
        kestil_error("%s", c.message);
        const std::vector<std::string> got = captured.lines();
        EXPECT_EQ(c.lines, got);
        ASSERT_NE(nullptr, kestil_last_message);
        EXPECT_STREQ(c.message, kestil_last_message);
    }
}

TEST_F(LogTest, LevelSignPassesThroughAndDriverLogForms) {
    kestil_set_log_level(2);
    kestil_log_on_level(-2, "signed");
    kestil_log_on_level(3, "too verbose");
    ASSERT_EQ(1u, captured.entries().size());
    EXPECT_EQ(-2, captured.entries()[0].level);

    captured.clear();
    kestil_driver_log(2, "drv", "file.c", 12, "x=%d", 5);
    kestil_driver_log(1, "drv", "file.c", 12, "y");
    kestil_driver_log(3, "drv", "file.c", 12, "not written");
    ASSERT_EQ(2u, captured.entries().size());
    EXPECT_EQ("drv: x=5", captured.entries()[0].line);
    EXPECT_EQ("drv[file.c:12]: y", captured.entries()[1].line);
}

TEST_F(LogTest, ContinuationLinesToTheHookAreCutAt127) {
    kestil_set_log_level(1);
    std::string tail(300, 'z');
    kestil_error("d -> first\n%s", tail.c_str());
    ASSERT_EQ(2u, captured.entries().size());
    EXPECT_EQ(127u, captured.entries()[1].line.size());
    EXPECT_EQ("d -> zzz", captured.entries()[1].line.substr(0, 8));
}

TEST(LogStderr, LineFormatWithoutHook) {
    kestil_log_message_handler = nullptr;
    kestil_set_log_level(1);
    testing::internal::CaptureStderr();
    kestil_error("dev -> one\ntwo");
    std::string err = testing::internal::GetCapturedStderr();
    // "HH:MM:SS.mmm000 Application: dev -> one\n" then the continuation line
    ASSERT_GE(err.size(), 16u);
    EXPECT_EQ(':', err[2]);
    EXPECT_EQ('.', err[8]);
    EXPECT_EQ("000 Application: dev -> one\n", err.substr(12, 28));
    EXPECT_NE(std::string::npos, err.find("Application: dev -> two\n"));
    int major = 0, minor = 0, build = 0;
    kestil_get_version(&major, &minor, &build);
    EXPECT_EQ(3, major);
    EXPECT_EQ(0, minor);
    EXPECT_EQ(11, build);
    kestil_get_version(nullptr, nullptr, nullptr);
}

}  // namespace
