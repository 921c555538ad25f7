#include "core/chs_init.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/trace_point.h"
#include "infra/timer_drv.h"
#include "platform/fdsa.h"
#include "control/ccdb_comm.h"
#include "control/collector_switch.h"
#include "platform/om_cluster.h"
#include "platform/platform_state.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/log_capture.h"
#include "tests/support/node_root.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::LogCapture;
using chs_test::TempDir;

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
