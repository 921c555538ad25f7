#include "platform/fdsa.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/dplog.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(FdsaTest, WarnsOncePerLimitForAnOpenBracketOnly) {
    chs_test::TempDir dir;
    ASSERT_TRUE(platform::LogOpen(dir.Join("fdsa.log")));
    dpax_log_level_set(550, 7);

    FDSA_FLOW_PARA_S para{2, 1};
    FDSA_FLOW_HANDLE slow = FDSA_FlowMonitorStartSub(550, 4, &para, 0);
    FDSA_FLOW_HANDLE quick = FDSA_FlowMonitorStartSub(550, 2, &para, 0);
    ASSERT_NE(slow, 0u);
    ASSERT_NE(quick, 0u);
    EXPECT_EQ(FDSA_FlowMonitorEndSub(quick), 0);
    EXPECT_EQ(FDSA_FlowMonitorEndSub(quick), -1) << "a handle ends once";

    EXPECT_EQ(platform::FdsaCheckFlows(), 0u) << "nothing is over its limit yet";
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(platform::FdsaCheckFlows(), 1u);
    EXPECT_EQ(platform::FdsaCheckFlows(), 0u) << "one warning per limit passed";
    EXPECT_NE(chs_test::ReadText(dir.Join("fdsa.log")).find("type 4"), std::string::npos);
    EXPECT_EQ(FDSA_FlowMonitorEndSub(slow), 0);
    EXPECT_EQ(platform::FdsaOpenFlows(), 0u);
    platform::LogClose();
}

TEST(FdsaTest, AgentLimitsOpenBrackets) {
    ASSERT_EQ(FDSA_AgentInitSub(777), 0);
    ASSERT_EQ(FDSA_AgentMonitorInitSub(777, 2, 60), 0);
    EXPECT_NE(FDSA_AgentMonitorInitSub(778, 2, 60), 0) << "no agent for that module";
    FDSA_FLOW_PARA_S para{1, 3600};
    FDSA_FLOW_HANDLE a = FDSA_FlowMonitorStartSub(777, 1, &para, 0);
    FDSA_FLOW_HANDLE b = FDSA_FlowMonitorStartSub(777, 1, &para, 0);
    EXPECT_EQ(FDSA_FlowMonitorStartSub(777, 1, &para, 0), 0u);
    EXPECT_EQ(FDSA_FlowMonitorStartSub(777, 1, nullptr, 0), 0u);
    FDSA_FlowMonitorEndSub(a);
    FDSA_FLOW_HANDLE c = FDSA_FlowMonitorStartSub(777, 1, &para, 0);
    EXPECT_NE(c, 0u) << "an ended bracket frees its place";
    FDSA_FlowMonitorEndSub(b);
    FDSA_FlowMonitorEndSub(c);
}

}  // namespace
