// The diagnose export and the remote log tasks across a real three-node
// cluster (chs-peers and the daemon on every node), driven by chsctl as an
// operator or the remote support side would: export start on node 1, wait,
// status from another node, download, the bundle's content, clear, then the
// same with node 2's daemon stopped; history and alarm log tasks, a restart
// of their run node, and the packaging of node files; the collector switch
// set through node 1 for every node.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>

#include "msg/inner_msg.h"
#include "msg/msg_api.h"
#include "platform/dplog.h"
#include "platform/om_cluster.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/msg_test_util.h"
#include "tests/support/process.h"
#include "tests/support/sim_cluster.h"
#include "tests/support/temp_dir.h"
#include "tools/cluster_layout.h"

namespace {

namespace fs = std::filesystem;
using chs_test::ReadText;
using chs_test::RunProgram;
using chs_test::RunResult;
using chs_test::SplitLines;
using chs_test::TempDir;
using chs_test::WaitFor;
using chs_test::WriteText;

constexpr int kNodes = 3;
constexpr const char* kDiagnoseDir = "/VXA/coffer_data/omm/export_import/chs/export/diagnoseinfo";
constexpr const char* kFinalFile = "/VXA/coffer_data/omm/export_import/DiagnoseInfo.tgz";

std::string Now(long offset = 0) { return std::to_string(static_cast<long>(time(nullptr)) + offset); }

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
        std::vector<std::string> members = SplitLines(listing.out);
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
                                      AlarmEventFile(1), kRunningDataFile, "manifest.json"};
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
    EXPECT_NE(started.out.find("diagnose export done, 2 of 3 nodes\n  missing: node 2 (" + Name(2) + "): fallback"),
              std::string::npos)
        << started.out;
    EXPECT_EQ(started.out.find("\nnode 2 (" + Name(2) + "): built"), std::string::npos)
        << "node 2 built nothing: " << started.out;
    std::string log = DaemonLog(0);
    EXPECT_NE(log.find("Infocollector collect file(5) finished, result(0)"), std::string::npos) << log;
    EXPECT_EQ(log.find("because the node(id 2)"), std::string::npos) << log;

    std::string bundle = dir.Join("partial.tgz");
    RunResult download = Chsctl(0, {"export", "download", "-o", bundle});
    ASSERT_EQ(download.exitCode, 0) << download.err << DaemonLog(0);
    EXPECT_NE(DaemonLog(0).find("DiagnoseInfo_minisystem.tgz) of node (2)"), std::string::npos) << DaemonLog(0);
    std::vector<std::string> expected{"DiagnoseInfo_" + Name(0) + "_MAIN_LOCAL.tgz",
                                      "DiagnoseInfo_" + Name(1) + ".tgz", AlarmEventFile(0), kRunningDataFile,
                                      "manifest.json"};
    std::sort(expected.begin(), expected.end());
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
                                      AlarmEventFile(1), kRunningDataFile, "manifest.json"};
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

constexpr int kRunNode = 1;
constexpr const char* kCollectDb = "/VXA/coffer_data/omm/export_import/chs/collector/db/collect.dat";

// The same cluster, with the run node of the log tasks fixed.
class ClusterRemoteLogTest : public ClusterExportTest {
protected:
    RunResult Chsctl(const std::vector<std::string>& args, unsigned timeoutSec = 120) {
        return sim.Chsctl(kRunNode, args, timeoutSec);
    }
    std::string Remote(int node) { return sim.Dir() + "/remote/" + Name(node) + "/"; }
    void State(const std::string& name, const std::string& value) { WriteText(sim.Dir() + "/state/" + name, value); }

    // Log files of every node for the task: `count` small files of known
    // content, last written a minute ago.
    void PutLogs(int count) {
        for (int node = 0; node < kNodes; ++node) {
            std::string dir = sim.Root(node) + "/var/log/chs/t/";
            fs::create_directories(dir);
            for (int i = 0; i < count; ++i) {
                std::string path = dir + "f" + std::to_string(i) + ".log";
                WriteText(path, "node " + std::to_string(node) + " file " + std::to_string(i) + "\n");
                time_t when = time(nullptr) - 60;
                utimbuf times{when, when};
                ASSERT_EQ(utime(path.c_str(), &times), 0);
            }
        }
    }

    RunResult StartHistory(const std::string& id, bool wait) {
        std::vector<std::string> args{"remote-log", "start", "--mode", "2", "--from", Now(-3600), "--to", Now(600),
                                      "--task-id", id};
        if (wait) {
            args.push_back("--wait");
        }
        return Chsctl(args, 180);
    }

    std::string Show() { return Chsctl({"remote-log", "show"}).out; }

    // Rows of the run node's log records: "node|file|is_collect".
    std::vector<std::string> LogRecords() {
        RunResult rows = RunProgram({"/usr/bin/sqlite3", sim.Root(kRunNode) + kCollectDb,
                                     "select node_id, file_name, is_collect from tbl_log_record order by id;"});
        EXPECT_EQ(rows.exitCode, 0) << rows.err;
        return SplitLines(rows.out);
    }

    // Deliveries of copied history logs by the run node's agent, per node and path.
    std::map<std::string, int> HistoryDeliveries() {
        std::map<std::string, int> count;
        for (const std::string& line : SplitLines(ReadText(sim.Dir() + "/run/peers" + std::to_string(kRunNode) + ".log"))) {
            if (line.find("\"delivered\"") != std::string::npos && line.find("/message/") != std::string::npos) {
                size_t at = line.find("\"path\":\"");
                size_t node = line.find("\"sourceNode\":");
                ++count[line.substr(node + 13, line.find_first_of(",}", node) - node - 13) + ":" +
                        line.substr(at + 8, line.find('"', at + 8) - at - 8)];
            }
        }
        return count;
    }

    // Every listed file reached remote/ of its node; the planted ones byte
    // for byte.
    void ExpectEveryListedFileDelivered() {
        std::vector<std::string> rows = LogRecords();
        ASSERT_GE(rows.size(), 3u * kNodes);
        for (const std::string& row : rows) {
            size_t bar = row.find('|');
            int node = std::stoi(row.substr(0, bar));
            std::string file = row.substr(bar + 1, row.rfind('|') - bar - 1);
            std::string name = file.substr(file.rfind('/') + 1);
            EXPECT_EQ(row.substr(row.rfind('|') + 1), "1") << row;
            ASSERT_TRUE(fs::exists(Remote(node) + name)) << row;
            if (name.rfind("chs_t_f", 0) == 0) {
                std::string source = sim.Root(node) + "/var/log/chs/t/" + name.substr(6);
                EXPECT_EQ(ReadText(Remote(node) + name), ReadText(source)) << name;
            }
        }
    }
};

TEST_F(ClusterRemoteLogTest, AHistoryTaskOfAllNodesSendsEveryListedFile) {
    PutLogs(3);
    RunResult started = StartHistory("hist-all", true);
    EXPECT_EQ(started.exitCode, 0) << started.out << started.err;
    std::string shown = Show();
    EXPECT_NE(shown.find("succeeded"), std::string::npos) << shown;
    ExpectEveryListedFileDelivered();
    for (const auto& [path, times] : HistoryDeliveries()) {
        EXPECT_EQ(times, 1) << path;
    }
}

TEST_F(ClusterRemoteLogTest, AFileThatFailsToSendIsNamedInTheTaskText) {
    PutLogs(3);
    State("peer550_refuse_name", "chs_t_f1.log");
    RunResult started = StartHistory("hist-fail", true);
    EXPECT_EQ(started.exitCode, 1) << started.out << started.err;
    RunResult shown = Chsctl({"--json", "remote-log", "show"});
    EXPECT_NE(shown.out.find("\"status\":\"failed\""), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\"result\":1003"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Fail log list: chs_t_f1.log,chs_t_f1.log,chs_t_f1.log"), std::string::npos)
        << "the refused file of each of the three nodes: " << shown.out;
}

TEST_F(ClusterRemoteLogTest, ARestartedRunNodeFinishesTheTaskFromItsProgress) {
    PutLogs(4);
    State("peer550_mode", "delay:300");
    ASSERT_EQ(StartHistory("hist-kill", false).exitCode, 0);
    auto progress = [&] {
        std::string shown = Chsctl({"--json", "remote-log", "show"}).out;
        size_t at = shown.find("\"progress\":");
        return at == std::string::npos ? 0 : std::stoi(shown.substr(at + 11));
    };
    ASSERT_TRUE(WaitFor([&] { return progress() >= 3; }, 60000)) << Show();
    sim.StopDaemon(kRunNode, SIGKILL);
    int sentBefore = progress();
    ASSERT_TRUE(sim.StartDaemon(kRunNode)) << sim.DaemonLog(kRunNode);
    ASSERT_TRUE(WaitFor([&] { return Show().find("succeeded") != std::string::npos; }, 120000)) << Show();
    EXPECT_NE(sim.DaemonLog(kRunNode).find("Resume the history log task (hist-kill) from"), std::string::npos);
    ExpectEveryListedFileDelivered();
    // Files recorded as sent before the kill are never sent again; only the
    // one in flight at the kill may have reached the agent twice.
    int twice = 0;
    int total = 0;
    for (const auto& [path, times] : HistoryDeliveries()) {
        EXPECT_LE(times, 2) << path;
        twice += times == 2 ? 1 : 0;
        total += times;
    }
    EXPECT_LE(twice, 1);
    EXPECT_EQ(static_cast<size_t>(total - twice), LogRecords().size());
    EXPECT_GE(sentBefore, 3);
}

TEST_F(ClusterRemoteLogTest, AnAlarmLogTaskAndThePackagingOfNodeFiles) {
    RunResult started = Chsctl({"remote-log", "start", "--mode", "0", "--task-id", "alarm-1", "--wait"}, 180);
    EXPECT_EQ(started.exitCode, 0) << started.out << started.err;
    std::string shown = Show();
    EXPECT_NE(shown.find("succeeded"), std::string::npos) << shown;
    size_t packages = 0;
    for (const auto& entry : fs::directory_iterator(Remote(kRunNode))) {
        packages += entry.path().extension() == ".tgz" && entry.path().filename().string().rfind("almlog", 0) == 0;
    }
    EXPECT_EQ(packages, static_cast<size_t>(kNodes)) << "one package per node";

    std::string nodeDir = sim.Root(0) + "/VXA/coffer_data/omm/export_import/chs/collector/node/";
    fs::create_directories(nodeDir);
    WriteText(nodeDir + "node_a_test.tgz", "a");
    WriteText(nodeDir + "node_b_test.tgz", "b");
    RunResult packed = sim.Chsctl(0, {"package"});
    ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
    std::string archive = sim.Root(0) + "/VXA/coffer_data/omm/export_import/chs/export/collector_chs_file_" +
                          Name(0) + ".tgz";
    RunResult members = RunProgram({"/bin/tar", "-tzf", archive});
    EXPECT_NE(members.out.find("node_a_test.tgz"), std::string::npos) << members.out << members.err;
    EXPECT_NE(members.out.find("node_b_test.tgz"), std::string::npos) << members.out;
}

// The collector switch across a real three-node cluster: every node runs
// chs-peers and the daemon; a set request through node 1 starts the sample
// plugin on every node, whose files reach the cluster's remote/ folder
// through the agent; switching off stops them; the alarm service records the
// operation-log entries; a restarted daemon applies the stored switch.

constexpr uint32_t kSessionKey = 424242;

class ClusterSwitchTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int node = 0; node < kNodes; ++node) {
            ASSERT_TRUE(sim.StartNode(node)) << sim.DaemonLog(node);
        }
        chs_test::AttachAs(sim.Dir(), 1, false);
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
