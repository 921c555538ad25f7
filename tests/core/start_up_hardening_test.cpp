// Start-up when the system refuses a thread, and the trace points' run limit
// under concurrent markers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "core/chs_init.h"
#include "core/trace_point.h"
#include "infra/timer_drv.h"
#include "platform/om_cluster.h"
#include "tests/support/log_capture.h"
#include "tests/support/node_root.h"
#include "tests/support/temp_dir.h"

namespace {

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

TEST(StartUpHardening, AThreadThatDoesNotStartFailsStartUpInsteadOfAborting) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizers reserve address space of their own; no limit fits them";
    }
    TempDir dir;
    chs_test::WriteText(dir.Join("cluster.json"), R"({"nodes": [{"id": 0, "name": "CTE0.A"}]})");
    chs_test::MakeDirs(dir.Join("node0/VXA/coffer_data/omm/chs"));
    chs_test::InstallScript(dir.Join("node0"), "collector_db_init.sh");

    int timer = InChild([] {
        LimitAddressSpace();
        return (new TimerDrvClass())->Init(2) ? 1 : 0;  // not destroyed: threads may have started
    });
    EXPECT_EQ(timer, 0) << "Init answers false (1: it started the threads, 3: it threw)";

    int init = InChild([&] {
        chs_test::LogCapture log;
        std::string error;
        if (!platform::AttachCluster(dir.Join("cluster.json"), 0, dir.Join("node0"), true, error)) {
            return 2;
        }
        LimitAddressSpace();
        int32_t result = CHS_Init();
        return result == -1 && log.Contains("Info collector init failed") ? 0 : 1;
    });
    EXPECT_EQ(init, 0) << "CHS_Init returns -1 with a log line (3: it threw)";
}

std::atomic<int> g_runs{0};
int CountRun(void*) {
    ++g_runs;
    return 0;
}

TEST(StartUpHardening, MarkersPassedTogetherNeverExceedTheRunLimit) {
    TempDir root;
    chs_test::UseNodeRoot(root.path());
    chs_test::MakeDirs(root.Join("VXA/coffer_data/omm/chs"));
    constexpr uint32_t kAllowed = 200;
    std::string marker = TracePointPath("TP_RACE");
    chs_test::WriteText(marker, "run#x$" + std::to_string(ChsTpRunTimes() + kAllowed));

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
    platform::SetProfile(platform::Profile());
}

}  // namespace
