// The diagnose export across a real three-node cluster (chs-peers and the
// daemon on every node), driven by chsctl as an operator would: start on
// node 1, wait, status from another node, download, the bundle's content,
// clear; then the same with node 2's daemon stopped.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/sim_cluster.h"
#include "tests/support/temp_dir.h"
#include "tools/cluster_layout.h"

namespace {

namespace fs = std::filesystem;
using chs_test::ReadText;
using chs_test::RunProgram;
using chs_test::RunResult;
using chs_test::TempDir;
using chs_test::WaitFor;

constexpr int kNodes = 3;
constexpr const char* kDiagnoseDir = "/VXA/coffer_data/omm/export_import/chs/export/diagnoseinfo";
constexpr const char* kFinalFile = "/VXA/coffer_data/omm/export_import/DiagnoseInfo.tgz";

class ClusterExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int node = 0; node < kNodes; ++node) {
            ASSERT_TRUE(sim.StartNode(node)) << sim.DaemonLog(node);
        }
        ASSERT_EQ(Chsctl(1, {"switch", "set", "on"}).exitCode, 0);
    }

    std::string Root(int node) { return sim.Root(node); }
    std::string DaemonLog(int node) { return sim.DaemonLog(node); }
    std::string Name(int node) { return chs_tools::SimulatedControllerName(static_cast<uint16_t>(node)); }
    // The cluster-wide data files the run node adds to every bundle.
    std::string AlarmEventFile(int runNode) { return "almlog_1_" + Name(runNode) + ".tgz"; }
    static constexpr const char* kRunningDataFile = "running_data.json";
    RunResult Chsctl(int node, const std::vector<std::string>& args) { return sim.Chsctl(node, args); }

    std::vector<std::string> BundleMembers(const std::string& bundle) {
        RunResult listing = RunProgram({"/bin/tar", "-tzf", bundle});
        EXPECT_EQ(listing.exitCode, 0) << listing.err;
        std::vector<std::string> members;
        std::istringstream in(listing.out);
        for (std::string line; std::getline(in, line);) {
            members.push_back(line);
        }
        std::sort(members.begin(), members.end());
        return members;
    }

    // Entries left in a node's diagnose directory and its final file.
    size_t LeftOnNode(int node) {
        size_t count = fs::exists(Root(node) + kFinalFile) ? 1 : 0;
        std::error_code ec;
        for (auto it = fs::directory_iterator(Root(node) + kDiagnoseDir, ec); !ec && it != fs::directory_iterator();
             ++it) {
            ++count;
        }
        return count;
    }

    bool DiagnoseTaskRowExists() {
        std::string sql = "SELECT COUNT(*) FROM ccdb_obj WHERE tbl = 'DB_CHS_REMOTE_TASK_S' AND key = '2';";
        RunResult count = RunProgram({"/usr/bin/sqlite3", cluster + "/ccdb.sqlite", sql});
        return count.exitCode == 0 && count.out.rfind("1", 0) == 0;
    }

    TempDir dir;
    chs_test::SimCluster sim{dir, kNodes, {"--log-level", "7"}, "\"12345\": \"admin\""};
    const std::string& cluster = sim.Dir();
};

TEST_F(ClusterExportTest, ExportStatusDownloadAndClearAcrossThreeNodes) {
    RunResult started = Chsctl(1, {"export", "start", "--wait"});
    ASSERT_EQ(started.exitCode, 0) << started.out << started.err << DaemonLog(1);
    EXPECT_NE(started.out.find("diagnose export started on node 1 (type 5)"), std::string::npos) << started.out;
    for (int node = 0; node < kNodes; ++node) {
        EXPECT_NE(started.out.find("node " + std::to_string(node) + " (" + Name(node) + "): built"), std::string::npos)
            << started.out;
    }
    EXPECT_TRUE(DiagnoseTaskRowExists());

    // Node 2 does not run the export: it asks node 1.
    RunResult status = Chsctl(2, {"export", "status"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find("diagnose export status: done"), std::string::npos) << status.out;
    EXPECT_NE(Chsctl(2, {"export", "download"}).exitCode, 0) << "only the run node merges";

    std::string bundle = dir.Join("bundle.tgz");
    RunResult download = Chsctl(1, {"export", "download", "-o", bundle});
    ASSERT_EQ(download.exitCode, 0) << download.err << DaemonLog(1);
    // Node 0 is the master (the lowest online node), node 1 ran the task.
    std::vector<std::string> expected{"DiagnoseInfo_" + Name(0) + "_MAIN.tgz",
                                      "DiagnoseInfo_" + Name(1) + "_LOCAL.tgz", "DiagnoseInfo_" + Name(2) + ".tgz",
                                      AlarmEventFile(1), kRunningDataFile};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(BundleMembers(bundle), expected);
    // Each package is a real package of its node.
    RunResult inner = RunProgram({"/bin/sh", "-c",
                                  "cd " + dir.path() + " && tar -xzf bundle.tgz DiagnoseInfo_" + Name(2) +
                                      ".tgz && tar -xzOf DiagnoseInfo_" + Name(2) + ".tgz DiagnoseInfo_" + Name(2) +
                                      "/summary.txt"});
    EXPECT_EQ(inner.exitCode, 0) << inner.err;
    EXPECT_NE(inner.out.find("slave"), std::string::npos) << inner.out;

    RunResult cleared = Chsctl(1, {"export", "clear"});
    EXPECT_EQ(cleared.exitCode, 0) << cleared.err;
    EXPECT_FALSE(DiagnoseTaskRowExists()) << "gone when the clear is answered";
    for (int node = 0; node < kNodes; ++node) {
        EXPECT_TRUE(WaitFor([&] { return LeftOnNode(node) == 0; }, 10000)) << "node " << node;
    }
    RunResult none = Chsctl(1, {"export", "status"});
    EXPECT_NE(none.err.find("0x40E05B0E"), std::string::npos) << "no export after the clear: " << none.err;

    // A new export can start as soon as the clear is answered.
    RunResult again = Chsctl(1, {"export", "start", "--wait"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(Chsctl(1, {"export", "clear"}).exitCode, 0);
}

// Node 2 is offline but answers the ping: it gets a fallback entry, not a
// failure, and the merge asks it for the fallback package where such a node
// keeps it (which nobody serves here). A gather in which some node delivered
// succeeds.
TEST_F(ClusterExportTest, StoppedDaemonGetsAFallbackEntryAndTheExportSucceedsInPart) {
    sim.StopDaemon(2, SIGKILL);
    RunResult started = Chsctl(0, {"export", "start", "--wait"});
    ASSERT_EQ(started.exitCode, 0) << started.out << started.err << DaemonLog(0);
    EXPECT_NE(started.out.find("diagnose export done"), std::string::npos) << started.out;
    EXPECT_EQ(started.out.find("node 2 ("), std::string::npos) << "node 2 built nothing";
    std::string log = DaemonLog(0);
    EXPECT_NE(log.find("Infocollector collect file(5) finished, result(0)"), std::string::npos) << log;
    EXPECT_EQ(log.find("because the node(id 2)"), std::string::npos) << log;

    std::string bundle = dir.Join("partial.tgz");
    RunResult download = Chsctl(0, {"export", "download", "-o", bundle});
    ASSERT_EQ(download.exitCode, 0) << download.err << DaemonLog(0);
    EXPECT_NE(DaemonLog(0).find("DiagnoseInfo_minisystem.tgz) of node (2)"), std::string::npos) << DaemonLog(0);
    std::vector<std::string> expected{"DiagnoseInfo_" + Name(0) + "_MAIN_LOCAL.tgz",
                                      "DiagnoseInfo_" + Name(1) + ".tgz", AlarmEventFile(0), kRunningDataFile};
    EXPECT_EQ(BundleMembers(bundle), expected);
    EXPECT_EQ(Chsctl(0, {"export", "clear"}).exitCode, 0);
    EXPECT_FALSE(DiagnoseTaskRowExists());
}

TEST_F(ClusterExportTest, UploadReachesTheRemoteServiceAndTheIntervalsHold) {
    RunResult started = Chsctl(1, {"export", "start", "--type", "3"});
    ASSERT_EQ(started.exitCode, 0) << started.err << DaemonLog(1);
    // Node 1's agent delivers the merged bundle under node 1's controller.
    fs::path delivered;
    ASSERT_TRUE(WaitFor([&] {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(fs::path(cluster) / "remote" / Name(1), ec)) {
            if (entry.path().filename().string().rfind("diagnoseinfo_", 0) == 0) {
                delivered = entry.path();
                return true;
            }
        }
        return false;
    }, 60000)) << DaemonLog(1);
    std::vector<std::string> expected{"DiagnoseInfo_" + Name(0) + "_MAIN.tgz",
                                      "DiagnoseInfo_" + Name(1) + "_LOCAL.tgz", "DiagnoseInfo_" + Name(2) + ".tgz",
                                      AlarmEventFile(1), kRunningDataFile};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(BundleMembers(delivered.string()), expected);
    // The upload ends its task and clears after itself.
    EXPECT_TRUE(WaitFor([&] { return !DiagnoseTaskRowExists(); }, 10000));
    EXPECT_TRUE(WaitFor([&] { return LeftOnNode(1) == 0; }, 10000));

    // Within the hour no other upload, of either kind; a download may go on.
    RunResult again = Chsctl(2, {"export", "start", "--type", "3"});
    EXPECT_NE(again.exitCode, 0);
    EXPECT_NE(again.err.find("0x4040324E"), std::string::npos) << again.err;
    EXPECT_NE(DaemonLog(2).find("Diagnoseinfo has sended to nexhub in one hour"), std::string::npos);
    EXPECT_NE(Chsctl(2, {"export", "start", "--type", "4"}).exitCode, 0);
    EXPECT_NE(DaemonLog(2).find("Diagnoseinfo has sended to nexhub in 24 hour"), std::string::npos);
    EXPECT_EQ(Chsctl(2, {"export", "start", "--wait"}).exitCode, 0);
    EXPECT_EQ(Chsctl(2, {"export", "clear"}).exitCode, 0);
}

}  // namespace
