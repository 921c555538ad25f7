// Plugins that misbehave in a real daemon: a Start that throws is named in the
// switch answer, a Stop that blocks is left behind while the other drivers
// stop at once, and SIGTERM stops every driver and ends the daemon with 0.
// A plugin that faults in a cluster run by ./chs: the supervisor restarts the
// daemon, which comes back without it until it is released.
// The test plugins note what they did in a journal file.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cluster_setup.h"
#include "tests/support/process.h"
#include "tests/support/sim_cluster.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace chs_test;
using Clock = std::chrono::steady_clock;

constexpr int kLimitSec = 2;  // the driver call limit the tests configure

class PluginLifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The daemons inherit the environment: the plugins find the journal
        // and the file that releases the blocked Stop.
        setenv("CHS_TEST_PLUGIN_JOURNAL", dir.Join("journal").c_str(), 1);
        setenv("CHS_TEST_PLUGIN_RELEASE", dir.Join("release").c_str(), 1);
        cluster = std::make_unique<SimCluster>(dir, 1, std::vector<std::string>{}, "\"12345\": \"admin\"");
    }
    void TearDown() override {
        WriteText(dir.Join("release"), "");  // no plugin thread outlives the test blocked
        cluster.reset();
    }

    void UsePlugins(const std::vector<std::string>& libraries) {
        std::string text = "{\"driver_call_limit_sec\": " + std::to_string(kLimitSec) + ", \"plugin\": [";
        for (size_t i = 0; i < libraries.size(); ++i) {
            text += std::string(i == 0 ? "" : ", ") + "{\"plugin_type\": \"input\", \"name\": \"p" +
                    std::to_string(i) + "\", \"plugin_lib_path\": \"" + libraries[i] + "\"}";
        }
        WriteText(cluster->Root(0) + "/VXA/conf/InfoCollector.txt", text + "]}\n");
    }
    std::vector<std::string> Journal() {
        std::vector<std::string> lines;
        std::istringstream in(ReadText(dir.Join("journal")));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    size_t Noted(const std::string& line) {
        std::vector<std::string> lines = Journal();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    bool LogHas(const std::string& text) { return cluster->DaemonLog(0).find(text) != std::string::npos; }
    RunResult Switch(const std::string& value) { return cluster->Chsctl(0, {"--json", "switch", "set", value}, 60); }

    TempDir dir;
    std::unique_ptr<SimCluster> cluster;
};

TEST_F(PluginLifecycleTest, ThrowingStartIsNamedAndBlockedStopIsLeftBehind) {
    UsePlugins({CHS_TEST_STEADY_PLUGIN, CHS_TEST_STUCK_PLUGIN, CHS_TEST_THROWING_PLUGIN});
    ASSERT_TRUE(cluster->StartNode(0)) << cluster->DaemonLog(0);
    EXPECT_TRUE(LogHas("Loaded plugin " + std::string(CHS_TEST_STEADY_PLUGIN) + ", drivers: steady (input)."));
    EXPECT_TRUE(LogHas("Each Start and Stop of an input driver may take 2000 ms."));

    RunResult on = Switch("on");
    EXPECT_EQ(on.exitCode, 1) << on.out << on.err;
    EXPECT_NE(on.err.find("0x4000C970"), std::string::npos) << on.err;
    EXPECT_NE((on.out + on.err).find("driver boom failed to start"), std::string::npos) << on.out << on.err;
    EXPECT_TRUE(Noted("steady:start:steady"));
    EXPECT_TRUE(Noted("stuck:start"));
    RunResult get = cluster->Chsctl(0, {"switch", "get"});
    EXPECT_NE(get.out.find("collector switch: on"), std::string::npos) << get.out << get.err;

    // The blocked Stop holds up neither the others nor the answer.
    Clock::time_point asked = Clock::now();
    RunResult off = Switch("off");
    double tookSec = std::chrono::duration<double>(Clock::now() - asked).count();
    EXPECT_LT(tookSec, kLimitSec + 5.0);
    EXPECT_EQ(off.exitCode, 1) << off.out << off.err;
    EXPECT_NE((off.out + off.err).find("drivers boom, stuck failed to stop"), std::string::npos)
        << off.out << off.err;
    EXPECT_TRUE(Noted("steady:stop:steady"));
    EXPECT_TRUE(Noted("stuck:stop:begin"));
    EXPECT_FALSE(Noted("stuck:stop:end"));
    EXPECT_TRUE(LogHas("Input driver(stuck) is stuck: its Stop did not return within 2000 ms"));

    // While it is stuck nothing else reaches it; once it returns it is
    // brought to what was asked last ("on" now: started again).
    on = Switch("on");
    EXPECT_NE((on.out + on.err).find("drivers boom, stuck failed to start"), std::string::npos) << on.out << on.err;
    EXPECT_EQ(Noted("steady:start:steady"), 2u);
    WriteText(dir.Join("release"), "");
    ASSERT_TRUE(WaitFor([&] { return LogHas("Input driver(stuck) returned from its Stop after"); }, 10000));
    EXPECT_TRUE(WaitFor([&] { return Journal().back() == "stuck:start"; }, 5000)) << Journal().back();
}

TEST_F(PluginLifecycleTest, SigtermStopsEveryDriverAndExitsWithZero) {
    UsePlugins({CHS_TEST_STEADY_PLUGIN, CHS_TEST_STUCK_PLUGIN});
    ASSERT_TRUE(cluster->StartNode(0)) << cluster->DaemonLog(0);
    ASSERT_EQ(Switch("on").exitCode, 0);
    cluster->StopDaemon(0, SIGKILL);

    // Started again with the switch stored "on": start-up starts the drivers.
    Process daemon({BinaryPath("core/infocollector"), "-m", "INFOCOLLECTOR", cluster->Dir() + "/cluster.json", "0",
                    "-r", cluster->Root(0)},
                   {"PATH=" + cluster->Dir() + "/bin:/usr/sbin:/usr/bin:/sbin:/bin"}, dir.Join("daemon.out"));
    ASSERT_TRUE(WaitFor([&] { return SimCluster::Count(cluster->DaemonLog(0), "Info collector init Done.") == 2; },
                        20000));
    ASSERT_TRUE(WaitFor([&] { return Noted("stuck:start") == 2; }, 5000));

    Clock::time_point asked = Clock::now();
    int status = daemon.Stop(SIGTERM);
    double tookSec = std::chrono::duration<double>(Clock::now() - asked).count();
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(tookSec, kLimitSec + 3.0) << "the blocked Stop is left behind";
    EXPECT_TRUE(Noted("steady:stop:steady"));
    EXPECT_TRUE(Noted("stuck:stop:begin"));
    EXPECT_TRUE(LogHas("SIGTERM received: stopping every input driver, then exiting."));
    EXPECT_TRUE(LogHas("1 input drivers failed or did not stop in time; exiting without them."));
    EXPECT_TRUE(LogHas("[OMM]Info collector exits on SIGTERM."));
    // The presence lock went with the process: another daemon may take the node.
    EXPECT_TRUE(cluster->StartDaemon(0)) << cluster->DaemonLog(0);
}

// A one-node cluster run by ./chs cluster up with the binaries of this build:
// node_facts, which collects, and the plugin "crasher", whose driver thread
// faults while the marker file exists.
class SupervisedClusterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cluster = MakeCluster(dir, 1, {"--collect-interval", "1"});
        WriteText(
            cluster + "/node0/VXA/conf/InfoCollector.txt",
            "{\"plugin\": [{\"name\": \"node_facts\", \"plugin_type\": \"input\", \"plugin_lib_path\": \"" +
                BinaryPath("plugins/libnode_facts.so") +
                "\", \"parameters\": [{\"interval_sec\": [\"1\"]}]}, {\"name\": \"crasher\", "
                "\"plugin_type\": \"input\", \"plugin_lib_path\": \"" CHS_TEST_CRASHING_PLUGIN "\"}]}\n");
    }
    void TearDown() override { Chs({"down"}); }

    RunResult Chs(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"/bin/bash", std::string(CHS_SOURCE_DIR) + "/chs", "cluster"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"--dir", cluster});
        return RunProgram(
            argv,
            {"CHS_BUILD_DIR=" + std::string(CHS_BINARY_DIR), "CHS_TEST_CRASH_MARKER=" + Marker(),
             "CHS_TEST_PLUGIN_JOURNAL=" + dir.Join("journal")},
            60000);
    }
    RunResult Chsctl(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {BinaryPath("tools/chsctl"), "--cluster", cluster, "--node", "0"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, {}, 30000);
    }
    Json::Value Status() {
        Json::Value document;
        std::istringstream(Chsctl({"--json", "status"}).out) >> document;
        return document["nodes"][0];
    }
    std::string Restarts() { return ReadText(cluster + "/run/infocollector0.restarts"); }
    std::string Log() { return ReadText(cluster + "/node0/var/log/chs/infocollector.log"); }
    std::string Marker() { return dir.Join("crash-marker"); }

    TempDir dir;
    std::string cluster;
};

TEST_F(SupervisedClusterTest, AFaultingPluginIsQuarantinedByTheRestartAndReleasedAgain) {
    WriteText(Marker(), "");
    RunResult up = Chs({"up", "--no-build"});
    ASSERT_EQ(up.exitCode, 0) << up.out << up.err;
    ASSERT_EQ(Chsctl({"switch", "set", "on"}).exitCode, 0);

    // The driver faults 300 ms after its start: the supervisor starts the daemon again.
    ASSERT_TRUE(
        WaitFor([&] { return Restarts().find("restart 1 of at most 5") != std::string::npos; }, 15000))
        << Restarts() << Log();
    EXPECT_NE(Restarts().find("ended with exit status 11: restart 1"), std::string::npos) << Restarts();
    EXPECT_NE(Log().find("fault in the code of plugin crasher: quarantined"), std::string::npos) << Log();
    ASSERT_TRUE(WaitFor([&] { return Log().find("Plugin crasher (") != std::string::npos; }, 15000)) << Log();

    // Back without the culprit; the other plugin collects and hands its files on.
    ASSERT_TRUE(WaitFor([&] { return Status()["drivers"].size() == 1; }, 15000)) << Chsctl({"status"}).out;
    Json::Value node = Status();
    EXPECT_EQ(node["drivers"][0]["name"].asString(), "node_facts");
    ASSERT_EQ(node["quarantined"].size(), 1u) << node;
    EXPECT_EQ(node["quarantined"][0]["name"].asString(), "crasher");
    EXPECT_NE(Chsctl({"status"}).out.find("quarantined: crasher (" CHS_TEST_CRASHING_PLUGIN ")"),
              std::string::npos);
    std::string handed = node["last_file"]["name"].asString();
    EXPECT_TRUE(WaitFor(
        [&] {
            return Status()["last_file"]["name"].asString().find("/node_facts_") != std::string::npos &&
                   Status()["last_file"]["name"].asString() != handed;
        },
        15000));
    EXPECT_NE(Chs({"status"}).out.find("infocollector0: running, restarted 1 time(s)"), std::string::npos)
        << Chs({"status"}).out;

    // Released, it loads and runs at once (the marker is gone), and stays.
    RunResult released = Chsctl({"plugin", "release", "crasher"});
    EXPECT_EQ(released.exitCode, 0) << released.out << released.err;
    EXPECT_TRUE(WaitFor(
        [&] { return ReadText(dir.Join("journal")).find("crashing:running") != std::string::npos; }, 5000));
    node = Status();
    EXPECT_EQ(node["quarantined"].size(), 0u) << node;
    EXPECT_EQ(node["drivers"].size(), 2u) << node;

    std::string pid = ReadText(cluster + "/run/infocollector0.pid");
    RunResult down = Chs({"down"});
    EXPECT_EQ(down.exitCode, 0) << down.err;
    EXPECT_TRUE(WaitFor([&] { return kill(atoi(pid.c_str()), 0) != 0; }, 2000)) << "the daemon outlived down";
    EXPECT_EQ(Restarts().find("restart 2"), std::string::npos) << "down is no death: " << Restarts();
}

// A daemon that can never start (another process holds the node's presence
// lock): up names each death with its status, and after five restarts within
// the minute the node stays down with the reason in status.
TEST_F(SupervisedClusterTest, ADaemonThatKeepsDyingIsGivenUpAfterFiveRestarts) {
    std::string lockFile = cluster + "/run/node0.presence";
    MakeDirs(cluster + "/run");
    int lock = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    RunResult up = Chs({"up", "--no-build"});
    close(lock);

    EXPECT_EQ(up.exitCode, 1) << up.out << up.err;
    EXPECT_NE(up.err.find("died during start-up with exit status 1: restart 1 of at most 5"),
              std::string::npos)
        << up.err;
    EXPECT_NE(up.err.find("node(s) 0 stayed down"), std::string::npos) << up.err;
    EXPECT_EQ(SimCluster::Count(Restarts(), "ended with exit status 1"), 6u) << Restarts();
    EXPECT_NE(Chs({"status"}).out.find("infocollector0: stopped: "), std::string::npos);
    EXPECT_NE(Chs({"status"}).out.find("not restarted, it was restarted 5 times within 60 s"),
              std::string::npos);
}

}  // namespace
