#include "core/chs_init.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "core/trace_point.h"
#include "infra/timer_drv.h"
#include "platform/fdsa.h"
#include "control/ccdb_comm.h"
#include "control/collector_switch.h"
#include "platform/om_cluster.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/log_capture.h"
#include "tests/support/node_root.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::LogCapture;
using chs_test::TempDir;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Leaves the process a few MiB of address space: small allocations still
// succeed, a thread's stack does not.
void LimitAddressSpace() {
    std::ifstream statm("/proc/self/statm");
    unsigned long pages = 0;
    statm >> pages;
    rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (4u << 20);
    struct rlimit bound = {limit, limit};
    setrlimit(RLIMIT_AS, &bound);
}

// Runs `body` in a child process: its result, 3 when it threw, -1 when the
// child did not exit normally.
template <typename Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        int code = 3;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ChsInitTest : public ::testing::Test {
protected:
    void SetUp() override {
        chs_test::MakeDirs(dir.Join("node0/VXA/coffer_data/omm/chs"));
        chs_test::InstallScript(dir.Join("node0"), "collector_db_init.sh");
        chs_test::AttachHandMadeCluster(dir.path(), R"({"nodes": [{"id": 0, "name": "CTE0.A"}]})");
        g_uiSupervisionPeriodMs = 1;
        g_uiTpCpuMaxMs = 20;
    }
    void TearDown() override { platform::DetachCluster(); }
    TempDir dir;
    LogCapture log;
};

// First in the file: start-up must not have run in this process before.
TEST_F(ChsInitTest, AThreadThatDoesNotStartFailsStartUpInsteadOfAborting) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizers reserve address space of their own; no limit fits them";
    }
    int timer = InChild([] {
        LimitAddressSpace();
        return (new TimerDrvClass())->Init(2) ? 1 : 0;  // not destroyed: threads may have started
    });
    EXPECT_EQ(timer, 0) << "Init answers false (1: it started the threads, 3: it threw)";

    int init = InChild([&] {  // attached as the fixture left it
        LogCapture log;
        LimitAddressSpace();
        int32_t result = CHS_Init();
        return result == -1 && log.Contains("Info collector init failed") ? 0 : 1;
    });
    EXPECT_EQ(init, 0) << "CHS_Init returns -1 with a log line (3: it threw)";
}

// Threads that are still running when the process exits (message tasks polling
// their trace points) must find what they read alive while the exit handlers
// run. A sanitized build (./chs test --sanitize address,undefined) reports the
// use after free in the child, which then does not exit with 0.
TEST(ExitLifetimeTest, TracePointPollingThroughExitFindsTheProfile) {
    EXPECT_EXIT(
        {
            platform::Profile profile;
            // Long enough to live on the heap rather than inside the string.
            profile.strRoot = "/tmp/chs-exit-lifetime-node-root-that-no-test-creates";
            platform::SetProfile(profile);
            for (int i = 0; i < 2; ++i) {
                std::thread([] {
                    for (;;) {
                        ChsTpCheckPoint("TP_MON_CHS_MsgTask_Sleep2H");
                    }
                }).detach();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// Master and alive-node checks walk the cluster's node list and read the state
// directory's flags; a 2-node cluster keeps that list on the heap.
TEST(ExitLifetimeTest, NodeChecksThroughExitFindTheClusterAndItsState) {
    chs_test::TempDir dir;
    EXPECT_EXIT(
        {
            chs_test::AttachHandMadeCluster(dir.path(),
                                            R"({"nodes": [{"id": 0, "name": "CTE0.A"}, {"id": 1, "name": "CTE0.B"}]})");
            for (int i = 0; i < 2; ++i) {
                std::thread([] {
                    for (;;) {
                        uint32_t alive = 0;
                        OMLIB_getAliveNodeBitMap(&alive);
                    }
                }).detach();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ChsInitTest, InitBringsUpTheInfrastructureAndSaysSoUnderModuleZero) {
    ASSERT_EQ(CHS_Init(), 0);
    std::vector<std::string> done = log.Matching("[OMM]Info collector init Done.");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_NE(done[0].find("[0][INFO]"), std::string::npos);
    EXPECT_EQ(GetLastKnownCollectorSwitch(), "off");
    EXPECT_FALSE(log.Contains("Init info collector fdsa_agent failed."));
    // The timers' recycler runs: its name is taken.
    EXPECT_FALSE(TimerStart([](TimerHelperClass&) {}, TimerDrvClass::kRecycleTimerName, true, 1000));
}

TEST_F(ChsInitTest, AnUnreachableConfigurationDatabaseFailsStartUp) {
    platform::state::Set("ccdb_unreachable", "1");
    CCDB_COMM::g_uiCcdbUpgradePollMs = 1;
    EXPECT_EQ(CHS_Init(), -1);
    platform::state::Clear("ccdb_unreachable");
    EXPECT_TRUE(log.Contains("Info collector init failed."));
    EXPECT_FALSE(log.Contains("Info collector init Done."));
}

TEST_F(ChsInitTest, SupervisionRunsTheMarkersOfEachCycle) {
    chs_test::WriteText(TracePointPath("TP_MON_COLLECTOR_Main_HighCPU"), "cpu#5$");
    chs_test::WriteText(TracePointPath("TP_MON_COLLECTOR_Main_MallocHugeMem"), "");
    CHS_SupervisionLoop(2);
    EXPECT_EQ(log.Count("Keep cpu busy for 5 ms."), 2u) << "once per cycle";
    EXPECT_EQ(log.Count("(CHECK PARA FAILURE) (nullptr == arg) is false"), 2u)
        << "an empty marker runs its handler without an argument";
    EXPECT_EQ(log.Count("Trace Point: "), 4u);
}

}  // namespace
