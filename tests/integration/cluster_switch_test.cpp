// The collector switch across a real three-node cluster: every node runs
// chs-peers and the daemon; a set request through node 1 starts the sample
// plugin on every node, whose files reach the cluster's remote/ folder
// through the agent; switching off stops them; the alarm service records the
// operation-log entries; a restarted daemon applies the stored switch.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "msg/inner_msg.h"
#include "msg/msg_api.h"
#include "platform/dplog.h"
#include "platform/om_cluster.h"
#include "tests/support/msg_test_util.h"
#include "tests/support/process.h"
#include "tests/support/sim_cluster.h"
#include "tests/support/temp_dir.h"
#include "tools/cluster_layout.h"

namespace {

namespace fs = std::filesystem;
using chs_test::ReadText;
using chs_test::TempDir;
using chs_test::WaitFor;

constexpr uint32_t kSessionKey = 424242;
constexpr int kNodes = 3;

class ClusterSwitchTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int node = 0; node < kNodes; ++node) {
            ASSERT_TRUE(sim.StartNode(node)) << sim.DaemonLog(node);
        }
        std::string error;
        ASSERT_TRUE(platform::AttachCluster(sim.Dir() + "/cluster.json", 1, sim.Root(1), false, error)) << error;
        platform::LogOpen(dir.Join("test.log"));
        ASSERT_EQ(msg_api::StartClient(), 0);
    }

    // Sets the collector switch through node 1; the answer's error code.
    uint32_t SetSwitch(const std::string& value) {
        InnerMsg request;
        tagMsgInfo& info = request.GetMsgInfo();
        info.uiMsgOPCode = MSG_OPCODE_GENERAL;
        info.usReceiverBID = 1;
        info.usReceiverPID = 551;
        info.usMsgType = MSG_TYPE_REQUEST;
        info.uiMsgTimeout = 20;
        info.uiSessionKey = kSessionKey;
        request.GetBody().append(
            chs_test::RecordOf(0xD00002000ULL, {CTLVCell::NewEnum(0, 0xE05C), CTLVCell::NewString(64, value)}));
        InnerMsg answer;
        return request.SimpleSyncMsg(answer);
    }

    // Sample-plugin files delivered for the controller of `node`.
    size_t Delivered(int node) {
        fs::path folder = fs::path(sim.Dir()) / "remote" / chs_tools::SimulatedControllerName(node);
        size_t count = 0;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            count += entry.path().filename().string().rfind("node_facts_", 0) == 0 ? 1 : 0;
        }
        return count;
    }

    TempDir dir;
    chs_test::SimCluster sim{dir, kNodes, {"--log-level", "7", "--collect-interval", "1"},
                             "\"" + std::to_string(kSessionKey) + "\": \"op,er&1\""};
};

TEST_F(ClusterSwitchTest, SwitchStartsAndStopsEveryNodeAndSurvivesARestart) {
    ASSERT_EQ(SetSwitch("on"), 0u);
    for (int node = 0; node < kNodes; ++node) {
        EXPECT_TRUE(WaitFor([&] { return Delivered(node) >= 1; }, 30000))
            << "node " << node << ": " << sim.DaemonLog(node);
    }

    ASSERT_EQ(SetSwitch("off"), 0u);
    for (int node = 0; node < kNodes; ++node) {
        EXPECT_TRUE(WaitFor([&] { return sim.DaemonLog(node).find("Stop input driver: node_facts.") != std::string::npos; },
                            20000)) << sim.DaemonLog(node);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a file in flight may still land
    size_t stopped[kNodes];
    for (int node = 0; node < kNodes; ++node) {
        stopped[node] = Delivered(node);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    for (int node = 0; node < kNodes; ++node) {
        EXPECT_EQ(Delivered(node), stopped[node]) << "node " << node << " still collects";
    }

    // An illegal value is refused and its operation-log entry carries the
    // parameters escaped.
    EXPECT_EQ(SetSwitch("a,b&c"), 0x4000C958u);
    std::string entries;
    EXPECT_TRUE(WaitFor([&] {
        entries = ReadText(sim.Dir() + "/remote/alarm/node0.jsonl");
        return entries.find("a&#44;b&#38;c") != std::string::npos;
    }, 10000)) << entries;
    EXPECT_NE(entries.find(std::to_string(kSessionKey) + ",a&#44;b&#38;c"), std::string::npos)
        << "the session that switched and the value, escaped";

    // A daemon that comes back applies the stored switch.
    ASSERT_EQ(SetSwitch("on"), 0u);
    sim.StopDaemon(2, SIGKILL);
    size_t before = Delivered(2);
    ASSERT_TRUE(sim.StartDaemon(2)) << sim.DaemonLog(2);
    EXPECT_TRUE(WaitFor([&] { return Delivered(2) > before + 1; }, 30000)) << sim.DaemonLog(2);
    ASSERT_EQ(SetSwitch("off"), 0u);
}

}  // namespace
