#include "infra/chs_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "infra/log_rate_limit.h"
#include "modules/lib/capi/stub_cframe.h"
#include "platform/dplog.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::LogCapture;
using chs_test::ReadText;
using chs_test::TempDir;

TEST(ChsLogTest, FormatLimitIs1024Characters) {
    LogCapture log;
    std::string fits(CHS_LOG_MAX_LEN, 'a');
    std::string over(CHS_LOG_MAX_LEN + 1, 'b');
    EXPECT_TRUE(chsLog(1, LOGID_INFRA, "f", 1, "%s", fits.c_str()));
    EXPECT_FALSE(chsLog(1, LOGID_INFRA, "f", 1, "%s", over.c_str())) << "too long: dropped whole, not cut";
    EXPECT_EQ(log.Count(fits), 1u);
    EXPECT_EQ(log.Count("bbbb"), 0u);
    // The stream-style door has no such limit.
    EXPECT_TRUE(chsLogPrint(1, LOGID_INFRA, "f", 1, over));
    EXPECT_EQ(log.Count(over), 1u);
}

TEST(ChsLogTest, LevelsFollowTheModuleLevel) {
    LogCapture log(6);  // information
    EXPECT_FALSE(LogNeedPrint(0));
    EXPECT_TRUE(LogNeedPrint(1));
    EXPECT_FALSE(chsLog(0, LOGID_INFRA, "f", 1, "debug line"));
    EXPECT_TRUE(chsLog(3, LOGID_INFRA, "f", 1, "error line"));
    EXPECT_FALSE(log.Contains("debug line"));
    EXPECT_TRUE(log.Contains("[551][ERROR]"));

    LogSetLevel(2);  // warnings and errors only
    EXPECT_EQ(dpax_log_level_get(551) & 0xFF, 4u);
    EXPECT_FALSE(LogNeedPrint(1));
    EXPECT_TRUE(LogNeedPrint(2));
    EXPECT_EQ(mapChsLogLevel(4), 7u);
    EXPECT_EQ(mapChsLogLevel(99), 7u);
}

TEST(ChsLogTest, OmmPrefixGoesToModuleZeroAndFunctionBaseName) {
    LogCapture log;
    CHS_LOG(1, LOGID_CORE, "[OMM]Info collector init Done.");
    chsLog(1, LOGID_CORE, "src/core/Init", 12, "plain [OMM] inside");
    EXPECT_TRUE(log.Contains("[0][INFO]"));
    std::vector<std::string> inside = log.Matching("plain [OMM] inside");
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_NE(inside[0].find("[551][INFO]"), std::string::npos);
    EXPECT_NE(inside[0].find("[Init:12]"), std::string::npos) << "only the base name of the function";
    EXPECT_TRUE(logPrint(1, LOGID_CORE, nullptr, 3, "null function name"));
}

TEST(ChsLogTest, StreamStyleJoinsArgumentsWithoutSeparators) {
    LogCapture log;
    std::string name = "timer";
    chsLogPrint(1, LOGID_INFRA, "f", 1, "Failed to start timer ", name, " span ", 15u, " delta ", -3, " ok ", true,
                ' ', 'c');
    EXPECT_TRUE(log.Contains("Failed to start timer timer span 15 delta -3 ok 1 c"));
}

TEST(ChsLogTest, PerSiteLimiterLetsOneLinePerWindow) {
    LogCapture log;
    uint64_t windowStart = 0;
    uint32_t count = 0;
    EXPECT_TRUE(chsLogPrintLimit(windowStart, count, 3600, 1, 2, LOGID_EXPORT, "f", 1, "Switch is off, ",
                                 "can not export file."));
    EXPECT_EQ(count, 1u);
    EXPECT_FALSE(chsLogPrintLimit(windowStart, count, 3600, 1, 2, LOGID_EXPORT, "f", 1, "Switch is off, ",
                                  "can not export file."));
    EXPECT_EQ(count, 1u) << "a refused line leaves the count";
    EXPECT_EQ(log.Count("Switch is off, can not export file."), 1u);

    windowStart -= 3601;  // the window has passed
    EXPECT_TRUE(chsLogPrintLimit(windowStart, count, 3600, 1, 2, LOGID_EXPORT, "f", 1, "again"));

    uint64_t zeroStart = 0;
    uint32_t zeroCount = 5;
    EXPECT_FALSE(chsLogPrintLimit(zeroStart, zeroCount, 60, 0, 2, LOGID_EXPORT, "f", 1, "never"));
    EXPECT_EQ(zeroCount, 0u);
}

TEST(ChsLogTest, CurrentTimeText) {
    EXPECT_TRUE(std::regex_match(GetLogCurTime(), std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})")))
        << GetLogCurTime();
}

TEST(ChsLogTest, PlatformAdapters) {
    LogCapture log;
    for (const auto& [level, mapped] : std::map<unsigned int, unsigned int>{{0, 7}, {1, 6}, {2, 4}, {3, 3}, {4, 6}}) {
        EXPECT_EQ(MapLogLevelDf2Dbg_(level), mapped) << level;
    }
    std::string longText(400, 'z');
    DF_LogOmm(3, 0, 9, "libfunc", 0x77, "%s", longText.c_str());
    std::vector<std::string> lines = log.Matching("[libfunc:9]");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(std::string(255, 'z')), std::string::npos);
    EXPECT_EQ(lines[0].find(std::string(256, 'z')), std::string::npos) << "cut at 255 characters";

    DF_SetLogLevel(4711, 2);
    EXPECT_EQ(dpax_log_level_get(4711) & 0xFF, 4u);
}

TEST(ChsLogTest, CloseStdOutRedirectsBothStreams) {
    chs_test::TempDir dir;
    std::string outPath = dir.Join("out.txt");
    pid_t pid = fork();
    if (pid == 0) {
        FILE* out = freopen(outPath.c_str(), "w", stdout);
        if (out == nullptr || dup2(fileno(stdout), STDERR_FILENO) < 0) {
            _exit(2);
        }
        SetModuleID(551);
        dpax_log_level_set(551, 7);
        platform::LogOpen(dir.Join("child.log"));
        chsLogCloseStdOut();
        printf("to stdout\n");
        fflush(stdout);
        fprintf(stderr, "to stderr\n");
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(chs_test::ReadText(outPath), "");
    std::string log = chs_test::ReadText(dir.Join("child.log"));
    EXPECT_NE(log.find("Close stdout out, result:1."), std::string::npos) << log;
    EXPECT_NE(log.find("Close stderr out, result:2."), std::string::npos) << log;
}

time_t g_fakeNow = 0;
time_t FakeNow() { return g_fakeNow; }

class RateLimitTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetModuleID(551);
        dpax_log_level_set(551, 6);
        g_fakeNow = 1700000000 - 1700000000 % 3600;  // the start of an hour
        log_rate_limit::SetTimeSource(FakeNow);
    }
    void TearDown() override { log_rate_limit::SetTimeSource(nullptr); }

    // Lines let through for `logId` out of `tries` at the current fake time.
    static int Passed(unsigned int logId, int tries, unsigned int* lastDropped = nullptr) {
        int passed = 0;
        for (int i = 0; i < tries; ++i) {
            unsigned int dropped = 0;
            if (log_rate_limit::RateCheck(1, logId, dropped)) {
                ++passed;
            } else if (lastDropped != nullptr) {
                *lastDropped = dropped;
            }
        }
        return passed;
    }
    // Fills the table past its limit with fresh ids from `base` on.
    static void Overfill(unsigned int base) {
        unsigned int dropped = 0;
        for (unsigned int id = 0; id <= log_rate_limit::kMaxItems + 1 &&
                                  log_rate_limit::ItemCount() <= log_rate_limit::kMaxItems;
             ++id) {
            log_rate_limit::RateCheck(1, base + id, dropped);
        }
        ASSERT_GT(log_rate_limit::ItemCount(), log_rate_limit::kMaxItems);
    }
};

TEST_F(RateLimitTest, ThreePerCalendarMinute) {
    EXPECT_EQ(Passed(100, 4), 3) << "the fourth line of the minute is dropped";
    g_fakeNow += 59;
    EXPECT_EQ(Passed(100, 1), 0) << "still the same calendar minute";
    g_fakeNow += 1;
    EXPECT_EQ(Passed(100, 4), 3) << "the next minute starts afresh";
    EXPECT_EQ(Passed(101, 3), 3) << "log ids are counted apart";
}

// The seventh minute gets only what is left of the hour's 20.
TEST_F(RateLimitTest, TwentyPerCalendarHour) {
    std::vector<int> perMinute;
    for (int minute = 0; minute < 10; ++minute) {
        perMinute.push_back(Passed(200, 3));
        g_fakeNow += 60;
    }
    EXPECT_EQ(perMinute, (std::vector<int>{3, 3, 3, 3, 3, 3, 2, 0, 0, 0}));
    g_fakeNow = g_fakeNow - g_fakeNow % 3600 + 3600;
    EXPECT_EQ(Passed(200, 3), 3) << "the next hour starts afresh";
}

TEST_F(RateLimitTest, DropReportAfterThousandAndOneDrops) {
    Passed(400, 3);
    unsigned int dropped = 0;
    EXPECT_EQ(Passed(400, 1001, &dropped), 0);
    EXPECT_EQ(dropped, 1001u);
    EXPECT_EQ(log_rate_limit::ResetDropedNum(400), 1001u);
    EXPECT_EQ(log_rate_limit::ResetDropedNum(400), 0u);
    EXPECT_EQ(log_rate_limit::ResetDropedNum(987654), 0u) << "unknown id";

    // Through the syslog door: the 1001st drop writes the report and restarts the count.
    for (int i = 0; i < 1000; ++i) {
        EXPECT_FALSE(log_rate_limit::LogToSyslog(2, 400, "f", 1, "noisy"));
    }
    EXPECT_FALSE(log_rate_limit::LogToSyslog(2, 400, "f", 1, "noisy"));
    EXPECT_EQ(log_rate_limit::ResetDropedNum(400), 0u) << "the report took the count back";
    EXPECT_FALSE(log_rate_limit::LogToSyslog(5, 401, "f", 1, "level above 4 is never written"));
}

TEST_F(RateLimitTest, DebugAndDebugModuleLevelAreNotCounted) {
    size_t before = log_rate_limit::ItemCount();
    unsigned int dropped = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(log_rate_limit::RateCheck(0, 500, dropped));
    }
    dpax_log_level_set(551, 7);
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(log_rate_limit::RateCheck(3, 501, dropped));
    }
    EXPECT_EQ(log_rate_limit::ItemCount(), before) << "no item is created";
}

TEST_F(RateLimitTest, TableIsClearedOnlyPast4096Items) {
    // Start from an empty table whatever the earlier cases left.
    Overfill(100000);
    log_rate_limit::ClearLogID();
    unsigned int dropped = 0;
    ASSERT_EQ(log_rate_limit::ItemCount(), 0u);

    for (unsigned int id = 0; id < 4096; ++id) {
        log_rate_limit::RateCheck(1, 200000 + id, dropped);
    }
    EXPECT_EQ(log_rate_limit::ClearLogID(), 0u) << "exactly 4096 items stay";
    EXPECT_EQ(Passed(200000, 3), 2) << "the item kept its minute count";
    log_rate_limit::RateCheck(1, 300000, dropped);
    EXPECT_EQ(log_rate_limit::ClearLogID(), 4097u);
    EXPECT_EQ(Passed(200000, 3), 3) << "after clearing, a line of any id starts fresh";
}

TEST_F(RateLimitTest, CheckLogIdNumsClearsEveryEleventhCall) {
    chs_test::LogCapture log(6);  // at level 7 nothing would be counted
    Overfill(400000);
    int callsUntilCleared = 0;
    while (log_rate_limit::ItemCount() != 0 && callsUntilCleared < 30) {
        CheckLogIdNums();
        ++callsUntilCleared;
    }
    EXPECT_GE(callsUntilCleared, 1);
    EXPECT_LE(callsUntilCleared, 11);
    EXPECT_TRUE(log.Contains("Clear log id number is 4097."));
    // The counter restarted: ten more calls clear nothing, the eleventh does.
    Overfill(500000);
    for (int i = 0; i < 10; ++i) {
        CheckLogIdNums();
    }
    EXPECT_GT(log_rate_limit::ItemCount(), 0u);
    CheckLogIdNums();
    EXPECT_EQ(log_rate_limit::ItemCount(), 0u);
}

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
