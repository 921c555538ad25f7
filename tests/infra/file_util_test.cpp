// Path and file helpers and the last-record file stack, on real files.
#include "infra/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>

#include "infra/byte_order.h"
#include "infra/json_util.h"
#include "infra/process_placement.h"
#include "infra/string_util.h"
#include "infra/sys_util.h"
#include "infra/time_util.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
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

// Resource checks, process placement and time texts: the
// helpers that read facts of the system rather than of their arguments.
using chs_test::TempDir;

constexpr char kCoffer[] = "/VXA/coffer_data";

// Every case starts from the real facts and the root "/", and leaves them so.
class ResourceCheckTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        platform::state::ClearAll();
        platform::state::SetDir("");
        platform::SetProfile(platform::Profile());
    }
    void UseRoot(const std::string& root) {
        platform::Profile profile;
        profile.strRoot = root;
        platform::SetProfile(profile);
    }
    static unsigned long long AvailableMB(const std::string& path) {
        struct statvfs st {};
        EXPECT_EQ(statvfs(path.c_str(), &st), 0) << path;
        return static_cast<unsigned long long>(st.f_bavail) * st.f_frsize / (1024 * 1024);
    }
};

TEST_F(ResourceCheckTest, MemoryCheckUsesAValidOverrideElseTheRealFigure) {
    platform::state::Set("free_mem_mb", "512");
    EXPECT_EQ(CHS_CheckSysAvailMem(512), 0u);
    EXPECT_EQ(CHS_CheckSysAvailMem(513), CHS_CHECK_ERR);

    platform::state::Set("free_mem_mb", "-3");  // no free memory at all
    EXPECT_EQ(CHS_CheckSysAvailMem(0), 0u);
    EXPECT_EQ(CHS_CheckSysAvailMem(1), CHS_CHECK_ERR);

    // An override file of the cluster's state directory works the same way.
    platform::state::Clear("free_mem_mb");
    TempDir state;
    chs_test::WriteText(state.Join("free_mem_mb"), "64\n");
    platform::state::SetDir(state.path());
    EXPECT_EQ(CHS_CheckSysAvailMem(64), 0u);
    EXPECT_EQ(CHS_CheckSysAvailMem(65), CHS_CHECK_ERR);

    platform::state::SetDir("");
    platform::state::Set("free_mem_mb", "not a number");  // ignored: the real figure counts
    EXPECT_EQ(CHS_CheckSysAvailMem(0), 0u);
    EXPECT_EQ(CHS_CheckSysAvailMem(1), 0u) << "less than 1 MB free on the test machine?";
    EXPECT_EQ(CHS_CheckSysAvailMem(0xFFFFFFFE), CHS_CHECK_ERR);
}

TEST_F(ResourceCheckTest, DiskCheckMapsTheSystemPathBelowTheNodeRoot) {
    TempDir root;
    UseRoot(root.path());
    // Not created yet: no file system to ask.
    EXPECT_EQ(CHS_CheckDiskCofferMem(kCoffer, 0), CHS_CHECK_ERR);

    chs_test::MakeDirs(root.Join("VXA/coffer_data"));
    unsigned long long available = AvailableMB(root.path());
    EXPECT_EQ(CHS_CheckDiskCofferMem(kCoffer, static_cast<unsigned int>(available / 2)), 0u);
    // A gigabyte of margin keeps other writers on the machine from flipping the result.
    EXPECT_EQ(CHS_CheckDiskCofferMem(kCoffer, static_cast<unsigned int>(available + 1024)), CHS_CHECK_ERR);
}

TEST_F(ResourceCheckTest, DiskOverrideAndCheckSpaceNeedingDiskAndMemory) {
    TempDir root;
    UseRoot(root.path());
    platform::state::Set("free_disk_mb", "100");
    EXPECT_EQ(CHS_CheckDiskCofferMem(kCoffer, 100), 0u);  // the override needs no directory
    EXPECT_EQ(CHS_CheckDiskCofferMem(kCoffer, 101), CHS_CHECK_ERR);
    EXPECT_EQ(CHS_CheckDiskCofferMem("", 0), CHS_CHECK_ERR);

    platform::state::Set("free_mem_mb", "50");
    EXPECT_TRUE(CHS_CheckSpace(50, 100, kCoffer));
    EXPECT_FALSE(CHS_CheckSpace(51, 100, kCoffer));
    EXPECT_FALSE(CHS_CheckSpace(50, 101, kCoffer));
    EXPECT_FALSE(CHS_CheckSpace(0, 0, ""));
}

// A fake omm_cgroup.sh, named by the profile (in a directory with a blank),
// that writes one argument per line; PATH does not lead to it.
class CGroupTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_record = m_dir.Join("args");
        std::string script = m_dir.Join("cgroup bin/omm_cgroup.sh");
        chs_test::MakeDirs(m_dir.Join("cgroup bin"));
        chs_test::WriteText(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + m_record + "'\n");
        ASSERT_EQ(chmod(script.c_str(), 0755), 0);
        platform::Profile profile;
        profile.strCgroupProgram = script;
        platform::SetProfile(profile);
    }
    void TearDown() override { platform::SetProfile(platform::Profile()); }

    TempDir m_dir;
    std::string m_record;
};

TEST_F(CGroupTest, RunsTheScriptWithNameAndProcessIdOnlyForAValidName) {
    EXPECT_EQ(CGroup_Init(nullptr), -1);
    EXPECT_EQ(CGroup_Init(std::string(300, 'N').c_str()), -1);
    EXPECT_NE(access(m_record.c_str(), F_OK), 0) << "the script ran for a refused name";

    EXPECT_EQ(CGroup_Init("INFOCOLLECTOR"), 0);
    EXPECT_EQ(chs_test::ReadText(m_record), "-m\nINFOCOLLECTOR\n" + std::to_string(getpid()) + "\n");

    // A name is one argument, whatever it holds.
    EXPECT_EQ(CGroup_Init("A B;'x'"), 0);
    EXPECT_EQ(chs_test::ReadText(m_record), "-m\nA B;'x'\n" + std::to_string(getpid()) + "\n");
}

TEST(ThreadStrategyTest, RefusesBeforeReachingThePlatformAndHandsOnValidRequests) {
    chs_test::LogCapture log;
    EXPECT_EQ(ThreadStrategyInit(5, 0, nullptr), -1);
    EXPECT_EQ(ThreadStrategyInit(6, 0, "*/DEFAULT"), -1);
    EXPECT_EQ(ThreadStrategyInit(0, -1, "*/DEFAULT"), -1);
    EXPECT_EQ(ThreadStrategyInit(0, 1, "*/DEFAULT"), -1);
    EXPECT_EQ(ThreadStrategyInit(0, 0, std::string(64, 'n').c_str()), -1);  // no room for its NUL
    EXPECT_FALSE(log.Contains("Thread strategy accepted"));
    EXPECT_FALSE(log.Contains("selected"));
    EXPECT_EQ(ThreadStrategyInit(0, 0, std::string(63, 'n').c_str()), 0);

    EXPECT_EQ(ThreadStrategyInit(5, 0, "*/DEFAULT"), 0);
    EXPECT_TRUE(log.Contains("policy 0, priority 0, cpu set */DEFAULT"));
    EXPECT_TRUE(log.Contains("Thread strategy 5 selected"));
    for (int policy : {-10, -15, -18}) {
        EXPECT_EQ(ThreadStrategyInit(0, policy, "cpu"), 0) << policy;
    }
}

TEST(TimeTextTest, CurrentTimeIsUtcDigits) {
    time_t before = time(nullptr);
    std::string text = getCurrentTime();
    time_t after = time(nullptr);
    ASSERT_TRUE(std::regex_match(text, std::regex("[0-9]{14}")));
    tm parsed{};
    ASSERT_NE(strptime(text.c_str(), "%Y%m%d%H%M%S", &parsed), nullptr);
    time_t read = timegm(&parsed);
    EXPECT_GE(read, before);
    EXPECT_LE(read, after);
}

TEST(TimeTextTest, LocalTimeFollowsAZoneChangeAtOnce) {
    const char* saved = getenv("TZ");
    std::string savedTz = saved != nullptr ? saved : "";
    long noon = 12 * 3600;
    tm local{};

    setenv("TZ", "UTC0", 1);
    ASSERT_TRUE(CHS_localtime_r(&noon, &local));
    EXPECT_EQ(local.tm_hour, 12);
    setenv("TZ", "XXX-3", 1);  // the daemon's zone changed while it runs
    ASSERT_TRUE(CHS_localtime_r(&noon, &local));
    EXPECT_EQ(local.tm_hour, 15);
    EXPECT_EQ(local.tm_year, 70);

    EXPECT_TRUE(CHS_GetCurrentTimeInfo(&local));
    EXPECT_FALSE(CHS_localtime_r(nullptr, &local));
    EXPECT_FALSE(CHS_localtime_r(&noon, nullptr));
    EXPECT_FALSE(CHS_GetCurrentTimeInfo(nullptr));

    if (saved != nullptr) {
        setenv("TZ", savedTz.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

// String, number-text, JSON-text and byte-order helpers.
using Pieces = std::vector<std::string>;
const std::map<char, char> kQuotes{{'"', '"'}, {'(', ')'}};

Pieces Cut(void (*split)(const std::string&, const std::string&, Pieces&, bool), const std::string& text,
           const std::string& separator, bool keepEmpty = false) {
    Pieces out;
    split(text, separator, out, keepEmpty);
    return out;
}

Pieces CutQuoted(const std::string& text, const std::string& separators, bool keepEmpty = false) {
    Pieces out;
    SplitIgnore(text, separators, out, kQuotes, keepEmpty);
    return out;
}

TEST(SplitTest, KeepsEmptyPiecesOnlyWhenAsked) {
    EXPECT_EQ(Cut(Split, "a,,b", ","), (Pieces{"a", "b"}));
    EXPECT_EQ(Cut(Split, "a,,b,", ",", true), (Pieces{"a", "", "b", ""}));
    EXPECT_EQ(Cut(Split, "k1::k2::::k3", "::"), (Pieces{"k1", "k2", "k3"}));
    EXPECT_EQ(Cut(SplitSet, "a b\tc  d", " \t"), (Pieces{"a", "b", "c", "d"}));
    EXPECT_EQ(Cut(SplitSet, "a  b", " ", true), (Pieces{"a", "", "b"}));
    EXPECT_TRUE(Cut(Split, "", ",", true).empty());
    EXPECT_TRUE(Cut(Split, "a,b", "", true).empty());
    EXPECT_TRUE(Cut(SplitSet, "a,b", "", true).empty());

    Pieces out{"kept"};
    Split("x", ",", out);
    EXPECT_EQ(out, (Pieces{"kept", "x"}));  // appends
}

TEST(SplitTest, StopsAt1024Elements) {
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text += std::to_string(i) + ",";
    }
    Pieces out = Cut(Split, text, ",");
    ASSERT_EQ(out.size(), 1024u);
    EXPECT_EQ(out.back(), "1023");
    EXPECT_EQ(CutQuoted(text, ",").size(), 1024u);

    // The limit counts what the vector already held.
    Pieces prefilled(1000, "old");
    SplitSet(text, ",;", prefilled);
    ASSERT_EQ(prefilled.size(), 1024u);
    EXPECT_EQ(prefilled.back(), "23");
}

TEST(SplitTest, SplitIgnoreKeepsQuotedRunsWhole) {
    EXPECT_EQ(CutQuoted(R"(one,"two, still two",three)", ","),
              (Pieces{"one", R"("two, still two")", "three"}));
    EXPECT_EQ(CutQuoted("f(a,b),g(c) h", ", "), (Pieces{"f(a,b)", "g(c)", "h"}));
    // A closing character opens nothing; an unterminated run lasts to the end.
    EXPECT_EQ(CutQuoted(R"(a),b,"c,d)", ","), (Pieces{"a)", "b", R"("c,d)"}));
    EXPECT_EQ(CutQuoted(R"(,"",)", ",", true), (Pieces{"", R"("")", ""}));
}

TEST(SplitTest, SplitKvCutsAtTheFirstSeparator) {
    std::string key = "k0";
    std::string value = "v0";
    EXPECT_TRUE(SplitKv("name=a=b", "=", key, value));
    EXPECT_EQ(key + "|" + value, "name|a=b");
    key = "k0";
    EXPECT_FALSE(SplitKv("no separator", "=", key, value));
    EXPECT_FALSE(SplitKv("a=b", "", key, value));
    EXPECT_EQ(key, "k0");
}

TEST(TrimTest, RemovesTheSetAtBothEnds) {
    std::string text = "\r\n  12 34 \r\n";
    Trim(text, " \r\n");
    EXPECT_EQ(text, "12 34");
    text = "\r\n\r\n";
    Trim(text, "\r\n");
    EXPECT_EQ(text, "");
}

std::string ReplacedAll(std::string text, const std::string& from, const std::string& to) {
    ReplaceStringAll(text, from, to);
    return text;
}

TEST(ReplaceTest, ReplacesWithoutRescanningInsertedText) {
    std::string text = "a.b.c";
    ReplaceString(text, ".", "::");
    EXPECT_EQ(text, "a::b.c");
    ReplaceString(text, "", "x");
    EXPECT_EQ(text, "a::b.c");

    EXPECT_EQ(ReplacedAll("aaa", "a", "aa"), "aaaaaa");
    EXPECT_EQ(ReplacedAll("xabab", "ab", "b"), "xbb");
    EXPECT_EQ(ReplacedAll("%%%", "%%", "%"), "%%");
    EXPECT_EQ(ReplacedAll("same", "", "x"), "same");
}

TEST(ResetTest, WipesTheBufferInPlaceAndEmptiesTheString) {
    for (auto reset : {&ResetString, &ResetPwdStr}) {
        std::string secret(64, 'S');  // beyond the small-string buffer
        const char* buffer = secret.data();
        reset(secret);
        EXPECT_TRUE(secret.empty());
        ASSERT_EQ(secret.data(), buffer);  // not reallocated, so the old bytes are these
        EXPECT_EQ(std::string(buffer, 64), std::string(64, '\0'));
    }
}

TEST(NumberTextTest, ToStrToHexStrItoStr) {
    EXPECT_EQ(ToStr(7, false, 2, '0'), "07");
    EXPECT_EQ(ToStr(255, true, 4, ' '), "  ff");
    EXPECT_EQ(ToStr(123456, false, 3, '0'), "123456");
    EXPECT_EQ(ToHexStr(255, true), "0xFF");
    EXPECT_EQ(ToHexStr(0xabcdef), "0xabcdef");
    EXPECT_EQ(ItoStr(-9223372036854775807LL - 1), "-9223372036854775808");
}

TEST(NumberTextTest, ToLReadsWhatAStreamReads) {
    EXPECT_EQ(ToL("0X1f"), 31);
    EXPECT_EQ(ToL("0012"), 12);
    EXPECT_EQ(ToL("-5"), -5);
    EXPECT_EQ(ToL("12a"), 12);
    EXPECT_EQ(ToL("0x"), 0);  // two characters: decimal, reads the 0
    EXPECT_EQ(ToL("abc"), 0);
    EXPECT_EQ(ToL("9223372036854775807"), 9223372036854775807LL);
    EXPECT_EQ(ToL("9223372036854775808"), 0);  // out of range reads as nothing
}

TEST(NumberTextTest, CheckedToLAcceptsOnlyDigits) {
    const std::map<std::string, long long> accepted{
        {"0x1F", 31}, {"0XfF", 255}, {"0012", 12}, {"", 0}, {"0x0", 0}};
    for (const auto& [text, expected] : accepted) {
        long long value = 77;
        EXPECT_TRUE(ToL(text, value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
    // The last one is made of digits only but has no 64-bit value.
    for (const char* text : {"-5", "+5", "0x1G", "12a", " 12", "0x", "x12", "1f", "99999999999999999999"}) {
        long long value = 77;
        EXPECT_FALSE(ToL(text, value)) << text;
        EXPECT_EQ(value, 0) << text;
    }
}

// Runs `printf '%s|' <word>` through the real /bin/sh: one argument comes
// back as the text followed by a single '|'.
std::string EchoThroughShell(const std::string& word) {
    return chs_test::RunProgram({"/bin/sh", "-c", "printf '%s|' " + word}).out;
}

TEST(ShellQuoteTest, EveryTextReachesTheProgramAsOneLiteralArgument) {
    chs_test::TempDir dir;
    std::string canary = dir.Join("canary");
    const std::string texts[] = {
        "plain",
        "",
        "a'b; rm -rf x $(id)",
        "'",
        "''",
        "it's a \"test\"",
        "$(touch " + canary + ")",
        "`touch " + canary + "`; touch " + canary,
        "back\\slash \\' end\\",
        "line1\nline2\t*?[a]",
        "-n",
        "$HOME ${PATH} ~ & | > " + canary,
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(EchoThroughShell(ShellQuote(text)), text + "|") << text;
    }
    EXPECT_NE(access(canary.c_str(), F_OK), 0) << "the shell ran text it was handed as data";
}

TEST(JsonTextTest, ParsesWhatItWrites) {
    Json::Value value;
    EXPECT_TRUE(JsonDeserialization(R"({"name":"node0","count":3,"list":[1,2]})", value));
    EXPECT_EQ(JsonDeserialization(JsonSerialization(value)), value);

    Json::Value untouched("keep");
    EXPECT_FALSE(JsonDeserialization("{\"a\":", untouched));
    EXPECT_EQ(untouched.asString(), "keep");
    EXPECT_TRUE(JsonDeserialization("not json").isNull());
}

TEST(JsonTextTest, FromJsonGivesTheMemberText) {
    Json::Value object =
        JsonDeserialization(R"({"s":"text","i":-12,"u":18446744073709551615,"b":true,"o":{"k":[1]}})");
    EXPECT_EQ(FromJson(object, "s"), "text");
    EXPECT_EQ(FromJson(object, "i"), "-12");
    EXPECT_EQ(FromJson(object, "u"), "18446744073709551615");
    EXPECT_EQ(FromJson(object, "b"), "true");
    EXPECT_EQ(FromJson(object, "o"), R"({"k":[1]})");
    EXPECT_EQ(FromJson(object, "missing"), "");
    EXPECT_FALSE(object.isMember("missing"));  // looking did not add it
    EXPECT_EQ(FromJson(Json::Value("scalar"), "s"), "");
}

TEST(ByteOrderTest, ConvertedValuesLieInMemoryLittleEndian) {
    EXPECT_TRUE(chs_isLittleEndianness());
    const unsigned char expected32[] = {0x78, 0x56, 0x34, 0x12};
    uint32_t wire32 = chs_convertEndianess(static_cast<uint32_t>(0x12345678u));
    EXPECT_EQ(memcmp(&wire32, expected32, sizeof(expected32)), 0);
    const unsigned char expected16[] = {0xFE, 0xFF};
    int16_t wire16 = chs_convertEndianess(static_cast<int16_t>(-2));
    EXPECT_EQ(memcmp(&wire16, expected16, sizeof(expected16)), 0);
    unsigned long long value = 0x1122334455667788ull;
    EXPECT_EQ(chs_convertEndianess(chs_convertEndianess(value)), value);
    EXPECT_EQ(chs_byteSwap64(0x0102030405060708ull), 0x0807060504030201ull);
}

}  // namespace
