// Tests of the device access tokens: slots, the master token, the access-control-list file.
#include "framework/io/tokens.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/files.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

class TokensTest : public ::testing::Test {
protected:
    void SetUp() override {
        kestil_clear_device_tokens();
        kestil_set_master_token(0);
    }
    void TearDown() override {
        kestil_clear_device_tokens();
        kestil_set_master_token(0);
    }
    std::string write_file(const std::string& name, const std::string& text) {
        return dir.file(name, text);
    }
    std::string path_of(const std::string& name) { return dir.file(name); }
    bool logged(const std::string& line) { return captured.contains(line); }
    test_support::TempDir dir{"tokens_test"};
    const std::string folder = dir.path();
    test_support::LogCapture captured{3};
};

TEST_F(TokensTest, AddReplacesInItsOwnSlotAndRemoveFreesIt) {
    ASSERT_TRUE(kestil_add_device_token("A", 0x1));
    ASSERT_TRUE(kestil_add_device_token("B", 0x2));
    ASSERT_TRUE(kestil_add_device_token("C", 0x3));
    ASSERT_TRUE(kestil_remove_device_token("A"));  // slot 0 free now
    ASSERT_TRUE(kestil_add_device_token("C", 0xabc));  // stays in slot 2
    EXPECT_EQ(0xabcu, kestil_get_device_token("C"));
    EXPECT_TRUE(logged("ACL: Token for 'C' = 0xabc added at slot 2"));
    ASSERT_TRUE(kestil_add_device_token("D", 0x4));     // takes the free slot 0
    EXPECT_TRUE(logged("ACL: Token for 'D' = 0x4 added at slot 0"));
    EXPECT_FALSE(kestil_remove_device_token("A"));
    EXPECT_TRUE(logged("ACL: No token for 'A' to be removed"));
    EXPECT_EQ(0u, kestil_get_device_token("A"));
    EXPECT_FALSE(kestil_add_device_token(nullptr, 1));
    EXPECT_FALSE(kestil_remove_device_token(nullptr));
}

TEST_F(TokensTest, NamesAreCutTo127Characters) {
    std::string long_name(200, 'n');
    ASSERT_TRUE(kestil_add_device_token(long_name.c_str(), 0x77));
    EXPECT_EQ(0x77u, kestil_get_device_token(std::string(127, 'n').c_str()));
    EXPECT_EQ(0u, kestil_get_device_token(std::string(126, 'n').c_str()));
}

TEST_F(TokensTest, The257thNameIsRefused) {
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(kestil_add_device_token(("device " + std::to_string(i)).c_str(), i + 1));
    captured.clear();
    EXPECT_FALSE(kestil_add_device_token("one too many", 1));
    EXPECT_TRUE(logged("ACL: No slots available."));
    EXPECT_TRUE(kestil_add_device_token("device 255", 0x999));  // an existing name still works
    EXPECT_EQ(0x999u, kestil_get_device_token("device 255"));
}

TEST_F(TokensTest, DeviceOrMasterToken) {
    struct Case { const char* device; uint64_t expected; };
    ASSERT_TRUE(kestil_add_device_token("own", 0x10));
    ASSERT_TRUE(kestil_add_device_token("zero", 0));
    const Case without_master[] = {{"own", 0x10}, {"zero", 0}, {"other", 0}, {nullptr, 0}};
    for (const Case& c : without_master)
        EXPECT_EQ(c.expected, kestil_get_device_or_master_token(c.device));
    kestil_set_master_token(0xfeed);
    EXPECT_EQ(0xfeedu, kestil_get_master_token());
    const Case with_master[] = {{"own", 0x10}, {"zero", 0xfeed}, {"other", 0xfeed}, {nullptr, 0xfeed}};
    for (const Case& c : with_master)
        EXPECT_EQ(c.expected, kestil_get_device_or_master_token(c.device));
    kestil_clear_device_tokens();  // the master token stays
    EXPECT_EQ(0xfeedu, kestil_get_device_or_master_token("own"));
}

TEST_F(TokensTest, StringToToken) {
    struct Case { const char* text; uint64_t expected; };
    const Case cases[] = {{"1f", 0x1f}, {"FFFFFFFFFFFFFFFF", 0xffffffffffffffffull}, {"0x10", 0x10},
                          {"  a b", 0xa}, {"zz", 0}, {"", 0}, {nullptr, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(c.expected, kestil_string_to_token(c.text));
    }
}

TEST_F(TokensTest, SaveAndLoadRoundTrip) {
    ASSERT_TRUE(kestil_add_device_token("CCD Imager", 0x1234));
    ASSERT_TRUE(kestil_add_device_token("Mount", 0xdeadbeefcafe0001ull));
    ASSERT_TRUE(kestil_add_device_token("Gone", 0x5));
    ASSERT_TRUE(kestil_add_device_token("Focuser @ host", 0x0));
    ASSERT_TRUE(kestil_remove_device_token("Gone"));
    kestil_set_master_token(0x42);  // never saved
    std::string path = path_of("acl.txt");
    ASSERT_TRUE(kestil_save_device_tokens_to_file(path.c_str()));
    EXPECT_EQ("# Device ACL saved by KESTIL\n"
              "    1234 CCD Imager\n"
              "deadbeefcafe0001 Mount\n"
              "       0 Focuser @ host\n",
              test_support::read_file(path));

    kestil_clear_device_tokens();
    kestil_set_master_token(0);
    ASSERT_TRUE(kestil_load_device_tokens_from_file(path.c_str()));
    std::string again = path_of("again.txt");
    ASSERT_TRUE(kestil_save_device_tokens_to_file(again.c_str()));
    // "Gone" left slot 2 free, so the reloaded third entry moves up: the order stays the same.
    EXPECT_EQ(test_support::read_file(path), test_support::read_file(again));
    EXPECT_EQ(0u, kestil_get_master_token());
}

TEST_F(TokensTest, LoadHandlesCommentsBlanksMasterAndTrailingWhiteSpace) {
    std::string path = write_file("acl.txt",
                                  "# comment\n"
                                  "\n"
                                  "   \t\n"
                                  "abc @\n"
                                  "10 Camera  \t\r\n"
                                  "#20 Not read\n");
    ASSERT_TRUE(kestil_load_device_tokens_from_file(path.c_str()));
    EXPECT_EQ(0xabcu, kestil_get_master_token());
    EXPECT_EQ(0x10u, kestil_get_device_token("Camera"));
    EXPECT_EQ(0u, kestil_get_device_token("Not read"));
    EXPECT_EQ(0xabcu, kestil_get_device_or_master_token("Any device"));
    EXPECT_EQ(0u, kestil_get_device_token("@"));  // the master line takes no slot
}

TEST_F(TokensTest, ABadLineStopsTheLoadWithItsNumber) {
    struct Case { const char* text; int line; uint64_t first; };
    const Case cases[] = {
        {"# c\n1 First\n2\n3 Third\n", 3, 1},   // a token without a name
        {"1 First\n\nxyz Second\n", 3, 1},     // not hexadecimal (blank lines count)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        kestil_clear_device_tokens();
        captured.clear();
        std::string path = write_file("bad.txt", c.text);
        EXPECT_FALSE(kestil_load_device_tokens_from_file(path.c_str()));
        EXPECT_TRUE(logged("ACL: Error in ACL file '" + path + "' at line " + std::to_string(c.line)));
        EXPECT_EQ(c.first, kestil_get_device_token("First"));  // entries before it stay
        EXPECT_EQ(0u, kestil_get_device_token("Third"));
    }
}

TEST_F(TokensTest, MissingFilesAreReported) {
    std::string missing = folder + "/none/acl.txt";
    EXPECT_FALSE(kestil_load_device_tokens_from_file(missing.c_str()));
    EXPECT_TRUE(logged("ACL: Can not open ACL file '" + missing + "'"));
    EXPECT_FALSE(kestil_save_device_tokens_to_file(missing.c_str()));
    EXPECT_TRUE(logged("ACL: Can not open ACL file '" + missing + "' for writing"));
}

TEST_F(TokensTest, LongLinesAreReadInPieces) {
    // 200 characters of name: the first piece holds 177 characters ("1 " and 175 of the name),
    // the other 25 make a second line of their own, which has no name and stops the load.
    std::string name(200, 'x');
    std::string path = write_file("long.txt", "1 " + name + "\n");
    EXPECT_FALSE(kestil_load_device_tokens_from_file(path.c_str()));
    EXPECT_TRUE(logged("ACL: Error in ACL file '" + path + "' at line 2"));
    EXPECT_EQ(1u, kestil_get_device_token(std::string(127, 'x').c_str()));
}

}  // namespace
