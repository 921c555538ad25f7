#include "infra/chs_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "modules/lib/capi/stub_cframe.h"
#include "platform/dplog.h"
#include "tests/support/log_capture.h"

namespace {

using chs_test::LogCapture;

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

}  // namespace
