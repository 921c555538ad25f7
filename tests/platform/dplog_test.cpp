#include "platform/dplog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace {

using chs_test::ReadText;
using chs_test::TempDir;

class DplogTest : public ::testing::Test {
protected:
    void TearDown() override { platform::LogClose(); }
    TempDir dir;
};

TEST_F(DplogTest, WritesWholeLinesFilteredByModuleLevel) {
    std::string path = dir.Join("sub/dir/node.log");
    ASSERT_TRUE(platform::LogOpen(path)) << "the log directory is created";
    ASSERT_EQ(dpax_log_level_set(4242, 4), 0);
    EXPECT_EQ(dpax_log_level_get(4242) & 0xFF, 4u);
    dplog_standard(4242, 3, "Handler", 77, 0x1234, "value %d", 5);
    dplog_standard(4242, 6, "Handler", 78, 0x1234, "too verbose for level 4");
    std::string text = ReadText(path);
    EXPECT_NE(text.find("[4242][ERROR]"), std::string::npos) << text;
    EXPECT_NE(text.find("[Handler:77][0x01234] value 5\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("too verbose"), std::string::npos);

    EXPECT_EQ(dpax_log_level_set(4242, 8), -1);
    EXPECT_EQ(dpax_log_level_set(70000, 3), -1);
    EXPECT_EQ(dpax_log_level_get(4242) & 0xFF, 4u);
}

TEST_F(DplogTest, RotatesAndKeepsTheNewestFiles) {
    std::string path = dir.Join("node.log");
    ASSERT_TRUE(platform::LogOpen(path, 1000, 2));
    dpax_log_level_set(4243, 7);
    std::string filler(200, 'x');
    for (int i = 0; i < 30; ++i) {
        dplog_standard(4243, 6, "f", 1, 0, "line %02d %s", i, filler.c_str());
    }
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LT(st.st_size, 1300);
    EXPECT_EQ(stat((path + ".1").c_str(), &st), 0);
    EXPECT_EQ(stat((path + ".2").c_str(), &st), 0);
    EXPECT_NE(stat((path + ".3").c_str(), &st), 0) << "only two old files are kept";
    EXPECT_NE(ReadText(path).find("line 29"), std::string::npos) << "the newest line is in the current file";
}

}  // namespace
