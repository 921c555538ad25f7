// Threads that are still running when the process exits (message tasks polling
// their trace points) must find what they read alive while the exit handlers
// run. A sanitized build (./chs test --sanitize address,undefined) reports the
// use after free in the child, which then does not exit with 0.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/trace_point.h"
#include "platform/om_cluster.h"
#include "platform/platform_profile.h"
#include "tests/support/cluster_setup.h"

namespace {

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

}  // namespace
