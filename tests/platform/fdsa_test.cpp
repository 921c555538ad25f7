#include "platform/fdsa.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

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

// Places of ended brackets are reused; the handles of the ended brackets must
// not reach the brackets that reuse them.
TEST(FdsaTest, StaleHandlesAreRefusedAfterTheirPlaceIsReused) {
    FDSA_FLOW_PARA_S para{1, 3600};
    uint32_t openBefore = platform::FdsaOpenFlows();
    FDSA_FLOW_HANDLE first = FDSA_FlowMonitorStartSub(550, 2, &para, 0);
    ASSERT_NE(first, 0u);
    ASSERT_EQ(FDSA_FlowMonitorEndSub(first), 0);
    std::set<FDSA_FLOW_HANDLE> seen{first};
    FDSA_FLOW_HANDLE current = 0;
    for (int i = 0; i < 5; ++i) {
        current = FDSA_FlowMonitorStartSub(550, 2, &para, 0);
        ASSERT_NE(current, 0u);
        EXPECT_TRUE(seen.insert(current).second) << "a handle is never handed out twice";
        EXPECT_EQ(FDSA_FlowMonitorEndSub(first), -1);
        EXPECT_EQ(platform::FdsaOpenFlows(), openBefore + 1) << "a stale end closed the bracket in its place";
        if (i < 4) {
            ASSERT_EQ(FDSA_FlowMonitorEndSub(current), 0);
            first = current;
        }
    }
    EXPECT_EQ(FDSA_FlowMonitorEndSub(0), -1);
    EXPECT_EQ(FDSA_FlowMonitorEndSub(current + 1000), -1) << "no such place";
    EXPECT_EQ(FDSA_FlowMonitorEndSub(current ^ (uint64_t{1} << 40)), -1) << "wrong generation";
    EXPECT_EQ(FDSA_FlowMonitorEndSub(current), 0);
    EXPECT_EQ(platform::FdsaOpenFlows(), openBefore);
}

// More brackets open at once than the table first holds, from several
// threads: every one gets its own handle, the agent's limit holds, and each
// ends exactly once.
TEST(FdsaTest, ManyOpenBracketsFromSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;
    ASSERT_EQ(FDSA_AgentInitSub(779), 0);
    ASSERT_EQ(FDSA_AgentMonitorInitSub(779, kThreads * kPerThread, 60), 0);
    FDSA_FLOW_PARA_S para{1, 3600};
    uint32_t openBefore = platform::FdsaOpenFlows();
    std::vector<std::vector<FDSA_FLOW_HANDLE>> handles(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&handles, &para, t] {
            for (int round = 0; round < 20; ++round) {
                // Open and close some to churn the free places, keep the rest.
                FDSA_FLOW_HANDLE churn = FDSA_FlowMonitorStartSub(779, 1, &para, 0);
                FDSA_FlowMonitorEndSub(churn);
            }
            for (int i = 0; i < kPerThread; ++i) {
                handles[t].push_back(FDSA_FlowMonitorStartSub(779, 1, &para, 0));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<FDSA_FLOW_HANDLE> distinct;
    for (const auto& list : handles) {
        for (FDSA_FLOW_HANDLE handle : list) {
            EXPECT_NE(handle, 0u);
            distinct.insert(handle);
        }
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(platform::FdsaOpenFlows(), openBefore + kThreads * kPerThread);
    EXPECT_EQ(FDSA_FlowMonitorStartSub(779, 1, &para, 0), 0u) << "the agent's limit counts every open bracket";
    EXPECT_EQ(FDSA_FlowMonitorStartSub(779, 1, nullptr, 0), 0u);
    EXPECT_NE(FDSA_AgentMonitorInitSub(778, 2, 60), 0) << "no agent for that module";
    // An ended bracket frees its place.
    ASSERT_EQ(FDSA_FlowMonitorEndSub(*distinct.begin()), 0);
    FDSA_FLOW_HANDLE again = FDSA_FlowMonitorStartSub(779, 1, &para, 0);
    EXPECT_NE(again, 0u);
    distinct.erase(distinct.begin());
    distinct.insert(again);
    for (FDSA_FLOW_HANDLE handle : distinct) {
        EXPECT_EQ(FDSA_FlowMonitorEndSub(handle), 0);
        EXPECT_EQ(FDSA_FlowMonitorEndSub(handle), -1);
    }
    EXPECT_EQ(platform::FdsaOpenFlows(), openBefore);
}

}  // namespace
