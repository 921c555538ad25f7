// Path and file helpers and the last-record file stack, on real files.
#include "infra/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/temp_dir.h"

namespace {

using chs_test::ReadText;
using chs_test::TempDir;
using chs_test::WriteText;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Each case works in a fresh temporary directory.
class FileTest : public ::testing::Test {
protected:
    TempDir dir;
};

TEST(PathTest, BaseNameAndDirName) {
    EXPECT_EQ(baseName("/VXA/coffer_data/a.tgz"), "a.tgz");
    EXPECT_EQ(baseName("C:\\dir\\b.log"), "b.log");
    EXPECT_EQ(baseName("plain"), "plain");
    EXPECT_EQ(baseName("/dir/"), "");
    EXPECT_EQ(dirName("/VXA/coffer_data/a.tgz"), "/VXA/coffer_data/");
    EXPECT_EQ(dirName("/a.tgz"), "/");
    EXPECT_EQ(dirName("plain"), "");
    EXPECT_EQ(dirName("dir\\file"), "");  // only '/' separates directories here
}

TEST(PathTest, ProcessFileFullPathIsThisTest) {
    std::string path = getProcessFileFullPath();
    EXPECT_EQ(baseName(path), "file_util_test");
    EXPECT_EQ(path[0], '/');
}

TEST_F(FileTest, SizeExistenceDeletionAndTruncation) {
    std::string file = dir.Join("f.bin");
    std::string missing = dir.Join("missing");
    WriteText(file, std::string(1234, 'x'));

    unsigned int size = 7;
    EXPECT_EQ(getFileSize(file, size), 0u);
    EXPECT_EQ(size, 1234u);
    size = 7;
    EXPECT_EQ(getFileSize(missing, size), CHS_FILE_ERR);
    EXPECT_EQ(getFileSize(dir.path(), size), CHS_FILE_ERR);  // a directory has no file size
    EXPECT_EQ(size, 7u);

    EXPECT_TRUE(isFileExist(file));
    EXPECT_FALSE(isFileExist(missing));
    EXPECT_EQ(deleteFile(missing), 0);
    EXPECT_EQ(deleteFile(file), 0);
    EXPECT_FALSE(Exists(file));

    WriteText(file, "0123456789");
    EXPECT_EQ(chs_ftruncate(file, 4), 0u);
    EXPECT_EQ(ReadText(file), "0123");
    EXPECT_EQ(chs_ftruncate(file, 0), 0u);
    EXPECT_EQ(ReadText(file), "");
    EXPECT_EQ(chs_ftruncate(missing, 0), CHS_FILE_ERR) << "truncation creates no file";
    EXPECT_FALSE(Exists(missing));
}

TEST_F(FileTest, ReadAndWriteWholeFiles) {
    std::string file = dir.Join("data");
    std::string binary("a\0b\r\n\xff", 6);
    ASSERT_TRUE(WriteFile(file, std::string(100, 'z')));
    ASSERT_TRUE(WriteFile(file, binary));  // truncates the longer content
    std::string text = "stale";
    ASSERT_TRUE(ReadFile(file, text));
    EXPECT_EQ(text, binary);

    EXPECT_FALSE(ReadFile(dir.Join("missing"), text));
    EXPECT_FALSE(ReadFile(dir.path(), text));
    EXPECT_FALSE(WriteFile(dir.Join("no/such/dir/file"), "x"));
}

TEST_F(FileTest, CopyPutsTheFileIntoTheDirectoryUnderItsName) {
    chs_test::MakeDirs(dir.Join("out"));
    std::string source = dir.Join("pkg.tgz");
    std::string content("\x1f\x8b payload\0more", 15);
    WriteText(source, content);
    WriteText(dir.Join("out/pkg.tgz"), std::string(1000, 'o'));

    EXPECT_EQ(copyFile(source, dir.Join("out/")), 0u);
    EXPECT_EQ(ReadText(dir.Join("out/pkg.tgz")), content);
    EXPECT_EQ(ReadText(source), content);

    // Onto itself: the data must survive.
    EXPECT_EQ(copyFile(source, dir.path() + "/"), 0u);
    EXPECT_EQ(ReadText(source), content);

    EXPECT_EQ(copyFile(dir.Join("missing"), dir.Join("out/")), CHS_FILE_ERR);
    EXPECT_FALSE(Exists(dir.Join("out/missing")));
    EXPECT_EQ(copyFile(source, dir.Join("no/such/dir/")), CHS_FILE_ERR);
}

TEST_F(FileTest, MoveTakesPathsWithShellTextLiterally) {
    // The name may hold no '/': it reaches the canary through the environment.
    std::string canary = dir.Join("canary");
    setenv("CHS_TEST_CANARY", canary.c_str(), 1);
    std::string source = dir.Join("it's a \"file\" $(touch \"$CHS_TEST_CANARY\") ; touch $CHS_TEST_CANARY");
    chs_test::MakeDirs(dir.Join("target dir"));
    std::string target = dir.Join("target dir/moved 'x'");
    WriteText(source, "content");

    EXPECT_EQ(moveFile(source, target), 0);
    EXPECT_FALSE(Exists(source));
    EXPECT_EQ(ReadText(target), "content");
    EXPECT_FALSE(Exists(canary));
    unsetenv("CHS_TEST_CANARY");

    EXPECT_NE(moveFile(dir.Join("missing"), target), 0);
    EXPECT_EQ(ReadText(target), "content");
    EXPECT_NE(moveFile(std::string("a\0b", 3), target), 0);
}

TEST_F(FileTest, MoveTakesALeadingDashAsAPath) {
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    WriteText(dir.Join("-t"), "dash");
    chs_test::MakeDirs(dir.Join("sub"));
    EXPECT_EQ(moveFile("-t", "sub/-t"), 0);
    EXPECT_EQ(ReadText(dir.Join("sub/-t")), "dash");
    ASSERT_EQ(chdir(saved), 0);
}

TEST_F(FileTest, StackPopsRecordsLastInFirstOut) {
    std::string file = dir.Join("stack");  // created by the first push
    ASSERT_EQ(fPush(file, "first-", 6), 0u);
    ASSERT_EQ(fPush(file, "second", 6), 0u);
    ASSERT_EQ(fPush(file, "", 0), 0u);

    char record[7] = {};
    EXPECT_EQ(fReadTail(file, record, 6), 0u);
    EXPECT_STREQ(record, "second");
    EXPECT_EQ(ReadText(file), "first-second");  // reading the tail changes nothing

    EXPECT_EQ(fPop(file, record, 6), 0u);
    EXPECT_STREQ(record, "second");
    EXPECT_EQ(fPop(file, record, 6), 0u);
    EXPECT_STREQ(record, "first-");
    EXPECT_EQ(ReadText(file), "");
    EXPECT_EQ(fPop(file, record, 1), CHS_FILE_ERR);
}

// A pop or tail read of more than the file holds, null buffers and missing
// files are refused and change nothing.
TEST_F(FileTest, StackRefusalsChangeNothing) {
    std::string small = dir.Join("small");
    std::string big = dir.Join("big");
    std::string missing = dir.Join("missing");
    std::string fortyEight;
    for (int i = 0; i < 48; ++i) {
        fortyEight += static_cast<char>('A' + i % 26);
    }
    WriteText(small, "0123456789");
    WriteText(big, fortyEight);

    char buffer[16];
    EXPECT_EQ(fPop(small, buffer, 16), CHS_FILE_ERR);
    EXPECT_EQ(fReadTail(small, buffer, 16), CHS_FILE_ERR);
    EXPECT_EQ(fPush(small, nullptr, 2), CHS_FILE_ERR);
    EXPECT_EQ(fPop(small, nullptr, 2), CHS_FILE_ERR);
    EXPECT_EQ(fReadTail(small, nullptr, 2), CHS_FILE_ERR);
    EXPECT_EQ(ReadText(small), "0123456789");
    EXPECT_EQ(fPop(big, buffer, 16), 0u);
    EXPECT_EQ(std::string(buffer, 16), fortyEight.substr(32));
    EXPECT_EQ(ReadText(big), fortyEight.substr(0, 32));

    EXPECT_EQ(fPop(missing, buffer, 1), CHS_FILE_ERR);
    EXPECT_EQ(fReadTail(missing, buffer, 1), CHS_FILE_ERR);
    EXPECT_FALSE(Exists(missing));
    EXPECT_EQ(fPush(dir.Join("no/such/dir"), "x", 1), CHS_FILE_ERR);
}

}  // namespace
