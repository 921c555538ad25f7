// Remote log tasks and packaging on a real three-node cluster (chs-peers and
// the daemon on every node), driven by chsctl as the remote support side would
// drive them. The data files of a diagnose bundle are checked by
// cluster_export_test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <filesystem>
#include <map>
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
using chs_test::WriteText;

constexpr int kNodes = 3;
constexpr int kRunNode = 1;
constexpr const char* kCollectDb = "/VXA/coffer_data/omm/export_import/chs/collector/db/collect.dat";

std::string Now(long offset = 0) { return std::to_string(static_cast<long>(time(nullptr)) + offset); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class ClusterRemoteLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int node = 0; node < kNodes; ++node) {
            ASSERT_TRUE(sim.StartNode(node)) << sim.DaemonLog(node);
        }
        ASSERT_EQ(Chsctl({"switch", "set", "on"}).exitCode, 0);
    }

    RunResult Chsctl(const std::vector<std::string>& args, unsigned timeoutSec = 120) {
        return sim.Chsctl(kRunNode, args, timeoutSec);
    }
    std::string Name(int node) { return chs_tools::SimulatedControllerName(static_cast<uint16_t>(node)); }
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
        return Lines(rows.out);
    }

    // Deliveries of copied history logs by the run node's agent, per node and path.
    std::map<std::string, int> HistoryDeliveries() {
        std::map<std::string, int> count;
        for (const std::string& line : Lines(ReadText(sim.Dir() + "/run/peers" + std::to_string(kRunNode) + ".log"))) {
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

    TempDir dir;
    chs_test::SimCluster sim{dir, kNodes, {"--log-level", "7"}, "\"12345\": \"admin\""};
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

}  // namespace
