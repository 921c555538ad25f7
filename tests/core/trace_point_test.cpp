#include "core/trace_point.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform_profile.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::LogCapture;
using chs_test::MakeDirs;
using chs_test::TempDir;
using chs_test::WriteText;

int g_calls = 0;
std::string g_lastArgument;
int Recorder(void* arg) {
    ++g_calls;
    g_lastArgument = arg == nullptr ? "(null)" : static_cast<const char*>(arg);
    return 42;
}

class TracePointTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::Profile profile;
        profile.strRoot = root.path();
        profile.strResetProgram = root.Join("reset.sh");
        platform::SetProfile(profile);
        MakeDirs(root.Join("VXA/coffer_data/omm/chs"));
        MakeDirs(root.Join("VXA/coffer_data/omm/export_import/chs"));
        g_calls = 0;
        g_lastArgument.clear();
        g_uiTpHoldMs = 0;
        g_uiTpCpuMaxMs = 50;
    }
    void TearDown() override { platform::SetProfile(platform::Profile()); }

    std::string Marker(const std::string& name, const std::string& line) {
        std::string path = TracePointPath(name);
        WriteText(path, line);
        return path;
    }
    static long long ElapsedMs(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    }

    TempDir root;
    LogCapture log;
};

TEST_F(TracePointTest, MarkersLiveBelowTheNodeRoot) {
    EXPECT_EQ(TracePointPath("TP_X"), root.path() + "/VXA/coffer_data/omm/chs/TP_X");
    ChsTpCheckPoint("TP_MISSING", Recorder);
    EXPECT_EQ(g_calls, 0) << "a missing marker costs only the access test";
    // A directory passes the access test but holds no line: nothing runs.
    ASSERT_EQ(mkdir(TracePointPath("TP_DIR").c_str(), 0755), 0);
    ChsTpCheckPoint("TP_DIR", Recorder);
    EXPECT_EQ(g_calls, 0) << "a marker that cannot be read runs nothing";
    // A marker its reader may not read; root reads anything, so the check runs as nobody.
    ASSERT_EQ(chmod(Marker("TP_UNREADABLE", "x#y$").c_str(), 0), 0);
    ASSERT_EQ(chmod(root.path().c_str(), 0711), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(100);
        }
        ChsTpCheckPoint("TP_UNREADABLE", Recorder);
        _exit(g_calls);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "handler runs or status: " << status;
}

TEST_F(TracePointTest, RunLimitIsSharedByAllMarkers) {
    uint32_t start = ChsTpRunTimes();
    std::string limit = std::to_string(start + 2);
    std::string a = Marker("TP_A", "run#first$" + limit);
    std::string b = Marker("TP_B", "run#second$" + limit);
    ChsTpHandler(a, Recorder, nullptr, nullptr);
    ChsTpHandler(b, Recorder, nullptr, nullptr);
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(g_lastArgument, "second");
    ChsTpHandler(a, Recorder, nullptr, nullptr);
    ChsTpHandler(b, Recorder, nullptr, nullptr);
    EXPECT_EQ(g_calls, 2) << "the limit counts runs of every marker";
    EXPECT_EQ(ChsTpRunTimes(), start + 2);
    EXPECT_TRUE(log.Contains("strTimes: " + limit + ", runTimes: " + limit));

    std::string unlimited = Marker("TP_C", "run#third$many");
    ChsTpHandler(unlimited, Recorder, nullptr, nullptr);
    EXPECT_EQ(g_calls, 3) << "a limit that is not all digits is ignored";
    EXPECT_EQ(ChsTpRunTimes(), start + 2);
}

TEST_F(TracePointTest, SleepNeedsADigitArgument) {
    auto start = std::chrono::steady_clock::now();
    ChsTpHandler(Marker("TP_S", "sleep#120$"), Recorder, nullptr, nullptr);
    EXPECT_GE(ElapsedMs(start), 120);
    EXPECT_TRUE(log.Contains("sleep: 120MS"));

    ChsTpHandler(Marker("TP_S2", "sleep#12x$"), Recorder, nullptr, nullptr);
    ChsTpHandler(Marker("TP_S3", "sleep#120"), Recorder, nullptr, nullptr);  // no "$": argument empty
    EXPECT_EQ(log.Count("sleep: "), 1u);
    EXPECT_EQ(g_calls, 0) << "sleep never runs the handler";
}

TEST_F(TracePointTest, EmptyLineOrMissingHashRunsTheHandlerBareAndModifyFormOverridesTheResult) {
    ChsTpHandler(Marker("TP_E", ""), ChsTpMallocCallback, nullptr, nullptr);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) (nullptr == arg) is false, return(RETURN_ERR)."));

    int result = 0;
    ChsTpHandler(Marker("TP_H", "no separators at all"), Recorder, nullptr, &result);
    EXPECT_EQ(g_lastArgument, "(null)");
    EXPECT_EQ(result, 42) << "the handler's result goes to the slot";
    EXPECT_TRUE(log.Contains("pCallback"));

    g_calls = 0;
    result = -1;
    ChsTpHandler(Marker("TP_M", "verdict%7"), Recorder, nullptr, &result);
    EXPECT_EQ(result, 7);
    EXPECT_EQ(g_calls, 0);
    EXPECT_TRUE(log.Contains("ChsTpModifyValue: 7"));

    std::string tooBig = "v%99999999999";
    EXPECT_NE(ChsTpModifyValue(tooBig, &result), 0);
    EXPECT_EQ(result, 7) << "an out-of-range value changes nothing";
    std::string noSlot = "v%3";
    EXPECT_NE(ChsTpModifyValue(noSlot, nullptr), 0);
}

TEST_F(TracePointTest, ResetRunsThePlatformResetProgram) {
    WriteText(root.Join("reset.sh"), "#!/bin/sh\necho \"args=$* home=${HOME:-none}\" > " + root.Join("reset.out") + "\n");
    chmod(root.Join("reset.sh").c_str(), 0755);
    ChsTpHandler(Marker("TP_R", "resetOS#$"), Recorder, nullptr, nullptr);
    EXPECT_TRUE(log.Contains("ChsResetLocalBoard"));
    std::string out = chs_test::ReadText(root.Join("reset.out"));
    EXPECT_EQ(out, "args=-f home=none\n") << "forced, with an empty environment";
}

TEST_F(TracePointTest, Handlers) {
    auto call = [](int (*handler)(void*), std::string arg) { return handler(arg.data()); };
    EXPECT_EQ(call(ChsTpMallocCallback, ""), -1);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) strMemSize.empty() is false, return(RETURN_ERR)."));
    EXPECT_EQ(call(ChsTpMallocCallback, "0"), -1);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) (uiMemSize < 1) is false, return(RETURN_ERR)."));
    EXPECT_EQ(call(ChsTpMallocCallback, "12a"), -1);
    EXPECT_EQ(call(ChsTpMallocCallback, "4096"), 0);
    EXPECT_TRUE(log.Contains("malloc size:4096 successed. the last byte is 0x55."));

    EXPECT_EQ(call(ChsTpCpuCallback, ""), -1);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) strCpuLoop.empty() is false, return(RETURN_ERR)."));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(ChsTpCpuCallback, "100000"), 0);
    EXPECT_GE(ElapsedMs(start), 50);
    EXPECT_LT(ElapsedMs(start), 5000) << "the busy period is bounded";

    EXPECT_EQ(call(ChsTpHandlerCallback, ""), -1);
    EXPECT_TRUE(log.Contains("(CHECK PARA FAILURE) strHandlerNum.empty() is false, return(RETURN_ERR)."));
    EXPECT_EQ(call(ChsTpHandlerCallback, "3"), 0);
    EXPECT_TRUE(log.Contains("Opened 3 of 3 handler test files."));
    struct stat st {};
    EXPECT_NE(stat(root.Join("VXA/coffer_data/omm/export_import/chs/chs_handler_test0").c_str(), &st), 0)
        << "the test files are removed";
}

std::atomic<int> g_runs{0};
int CountRun(void*) {
    ++g_runs;
    return 0;
}

TEST_F(TracePointTest, MarkersPassedTogetherNeverExceedTheRunLimit) {
    constexpr uint32_t kAllowed = 200;
    Marker("TP_RACE", "run#x$" + std::to_string(ChsTpRunTimes() + kAllowed));

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (uint32_t i = 0; i < kAllowed; ++i) {
                ChsTpCheckPoint("TP_RACE", CountRun);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(g_runs.load(), static_cast<int>(kAllowed));
}

}  // namespace
