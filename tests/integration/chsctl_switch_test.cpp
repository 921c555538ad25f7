// chsctl's collector-control subcommands against a real daemon in a
// temporary simulated cluster, and ./chs cluster up/status/down.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "platform/om_ccdb.h"
#include "platform/om_cluster.h"
#include "tests/support/cluster_key.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace chs_test;

class ChsctlSwitchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cluster = MakeCluster(dir, 2);
    }

    // chsctl --cluster <cluster> <args...>
    RunResult Chsctl(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {BinaryPath("tools/chsctl"), "--cluster", cluster};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, {}, 20000);
    }

    // Starts node 0 (the sibling modules when asked, then the daemon) and
    // waits until the daemon answers.
    void StartNode0(bool withPeers) {
        std::vector<std::string> env = {"PATH=" + cluster + "/bin:/usr/bin:/bin"};
        if (withPeers) {
            chs_test::WriteText(cluster + "/peers.json", R"({"sessions": {"12345": "admin"}})");
            peers = StartPeersAgent(cluster, 0, dir.Join("peers.out"), env);
        }
        daemon = std::make_unique<Process>(
            std::vector<std::string>{BinaryPath("core/infocollector"), "-m", "INFOCOLLECTOR",
                                     cluster + "/cluster.json", "0", "-r", cluster + "/node0"},
            env, dir.Join("daemon.out"));
        ASSERT_TRUE(WaitFor(
            [&] {
                return !Chsctl({"--node", "0", "--timeout", "1", "--json", "switch", "get"}).out.empty();
            },
            20000))
            << ReadText(cluster + "/node0/var/log/chs/infocollector.log");
    }

    TempDir dir;
    std::string cluster;
    std::unique_ptr<Process> peers;
    std::unique_ptr<Process> daemon;
};

TEST_F(ChsctlSwitchTest, BadCommandLinesExitWithUsageStatus) {
    const std::vector<std::vector<std::string>> cases = {
        {"switch", "get"},                  // no --node
        {"--node", "16", "switch", "get"},  // no such node id
        {"--node", "0"},                    // no subcommand
        {"--node", "0", "switch"},
        {"--node", "0", "switch", "toggle"},
        {"--node", "0", "switch", "get", "extra"},
        {"--node", "0", "switch", "set"},
        {"--node", "0", "switch", "set", "on", "--bogus"},
        {"--node", "0", "clear-collected", "now"},
        {"--node", "0", "--frobnicate", "switch", "get"},
        {"--node", "0", "--timeout", "0", "switch", "get"},
    };
    for (const auto& args : cases) {
        RunResult result = Chsctl(args);
        EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(args) << result.err;
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << testing::PrintToString(args) << result.err;
    }
    // The older forms keep their own command lines.
    EXPECT_EQ(RunProgram({BinaryPath("tools/chsctl"), "send"}).exitCode, 2);
    EXPECT_EQ(RunProgram({BinaryPath("tools/chsctl"), "mkcluster"}).exitCode, 2);
}

// Node 1 has no daemon: a request that went out would end with status 3, so
// status 2 shows that chsctl refused the value without sending anything.
TEST_F(ChsctlSwitchTest, IllegalSwitchValueIsRefusedBeforeSending) {
    for (const char* value : {"On", "ON", "1", "", "on "}) {
        RunResult result = Chsctl({"--node", "1", "switch", "set", value});
        EXPECT_EQ(result.exitCode, 2) << value << result.err;
        EXPECT_NE(result.err.find("\"on\" or \"off\""), std::string::npos) << result.err;
        EXPECT_EQ(Chsctl({"--node", "1", "switch", "set", value, "--oem"}).exitCode, 2) << value;
    }
}

TEST_F(ChsctlSwitchTest, NodeWithoutDaemonIsUnreachable) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--node", "1", "switch", "get"},
                                               {"--node", "1", "--json", "switch", "set", "off"},
                                               {"--node", "1", "clear-collected"}}) {
        RunResult result = Chsctl(args);
        EXPECT_EQ(result.exitCode, 3) << testing::PrintToString(args) << result.err;
        EXPECT_NE(result.err.find("node 1 endpoint 551 is not reachable"), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
}

// Without the sibling modules the user who switches cannot be resolved, so
// switching collection on fails: the daemon answers with its code.
TEST_F(ChsctlSwitchTest, GetInJsonPrintsADocumentAndARefusedSetItsResultInHexadecimal) {
    StartNode0(false);
    RunResult result = Chsctl({"--node", "0", "switch", "get", "--json"});
    ASSERT_TRUE(result.exitCode == 0 || result.exitCode == 1) << result.err;
    Json::Value root;
    ASSERT_TRUE(Json::Reader().parse(result.out, root)) << result.out;
    // A refused query is still a document; its exit status says it failed.
    EXPECT_EQ(root.isMember("result"), result.exitCode == 1) << result.out;
    EXPECT_EQ(root["collector_switch"].isString(), result.exitCode == 0) << result.out;
    if (result.exitCode == 1) {
        EXPECT_NE(result.err.find("failed: result 0x"), std::string::npos) << result.err;
    }

    RunResult set = Chsctl({"--node", "0", "switch", "set", "on"});
    EXPECT_EQ(set.exitCode, 1) << set.out << set.err;
    EXPECT_TRUE(std::regex_search(set.err, std::regex("^failed: result 0x[0-9A-F]{8}\n$"))) << set.err;
    EXPECT_TRUE(set.out.empty()) << set.out;
}

TEST_F(ChsctlSwitchTest, SetOnIsSeenByGetAndClearEmptiesTheCollectorTree) {
    StartNode0(true);
    RunResult before = Chsctl({"--node", "0", "switch", "get"});
    ASSERT_EQ(before.exitCode, 0) << before.err;
    EXPECT_TRUE(
        std::regex_match(before.out, std::regex("collector switch: (on|off), OEM switch: (on|off)\n")))
        << before.out;

    RunResult set = Chsctl({"--node", "0", "switch", "set", "on"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(set.out, "collector switch set to on\n");
    RunResult on = Chsctl({"--node", "0", "switch", "get"});
    EXPECT_EQ(on.exitCode, 0) << on.err;
    EXPECT_EQ(on.out.rfind("collector switch: on, ", 0), 0u) << on.out;

    RunResult oem = Chsctl({"--node", "0", "switch", "set", "on", "--oem"});
    EXPECT_EQ(oem.exitCode, 0) << oem.err;
    EXPECT_EQ(oem.out, "OEM switch set to on\n");
    EXPECT_EQ(Chsctl({"--node", "0", "switch", "get"}).out, "collector switch: on, OEM switch: on\n");

    EXPECT_EQ(Chsctl({"--node", "0", "switch", "set", "off"}).exitCode, 0);
    EXPECT_EQ(Chsctl({"--node", "0", "switch", "get"}).out, "collector switch: off, OEM switch: on\n");

    std::string leftover =
        cluster + "/node0/VXA/coffer_data/omm/export_import/chs/collector/node/leftover.tgz";
    chs_test::WriteText(leftover, "x");
    RunResult cleared = Chsctl({"--node", "0", "clear-collected"});
    EXPECT_EQ(cleared.exitCode, 0) << cleared.err;
    EXPECT_EQ(cleared.out, "all collected files cleared\n");
    EXPECT_TRUE(WaitFor([&] { return access(leftover.c_str(), F_OK) != 0; }, 5000));
}

// ./chs cluster up/status/down with the binaries of this build, nothing rebuilt.
TEST(ChsClusterScriptTest, UpStatusDown) {
    TempDir dir;
    std::string clusterDir = dir.Join("c");
    std::string script = std::string(CHS_SOURCE_DIR) + "/chs";
    std::vector<std::string> env = {"CHS_BUILD_DIR=" + std::string(CHS_BINARY_DIR)};
    RunResult up =
        RunProgram({"/bin/bash", script, "cluster", "up", "--nodes", "2", "--dir", clusterDir, "--no-build"},
                   env, 60000);
    RunResult status = RunProgram({"/bin/bash", script, "cluster", "status", "--dir", clusterDir}, env);
    std::vector<pid_t> pids;
    for (const char* name : {"infocollector0", "infocollector1", "chs-peers0", "chs-peers1"}) {
        pids.push_back(static_cast<pid_t>(atoi(ReadText(clusterDir + "/run/" + name + ".pid").c_str())));
    }
    RunResult down = RunProgram({"/bin/bash", script, "cluster", "down", "--dir", clusterDir}, env, 30000);

    EXPECT_EQ(up.exitCode, 0) << up.out << up.err;
    EXPECT_NE(ReadText(clusterDir + "/peers.json").find("\"12345\": \"admin\""), std::string::npos);
    for (const char* line : {"infocollector0: running", "infocollector1: running", "chs-peers0: running",
                             "chs-peers1: running"}) {
        EXPECT_NE(status.out.find(line), std::string::npos) << status.out;
    }
    EXPECT_EQ(down.exitCode, 0) << down.err;
    for (pid_t pid : pids) {
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(WaitFor([&] { return kill(pid, 0) != 0; }, 2000))
            << "pid " << pid << " outlived cluster down";
    }
    RunResult after = RunProgram({"/bin/bash", script, "cluster", "status", "--dir", clusterDir}, env);
    EXPECT_NE(after.out.find("no processes started in"), std::string::npos) << after.out;

    RunResult bad = RunProgram(
        {"/bin/bash", script, "cluster", "up", "--nodes", "x;true", "--dir", clusterDir, "--no-build"}, env);
    EXPECT_EQ(bad.exitCode, 2) << bad.err;
}

// The cluster key and the transfer library script laid out by `chsctl mkcluster`.
using namespace chs_test;

std::string KeyPath(const std::string& cluster, int node) {
    return cluster + "/node" + std::to_string(node) + "/VXA/conf/kmca/cluster.key";
}

RunResult MakeCluster(const std::string& cluster, int nodes) {
    return RunProgram({BinaryPath("tools/chsctl"), "mkcluster", cluster, "--nodes", std::to_string(nodes)});
}

TEST(ChsctlMkclusterTest, EveryNodeGetsTheSameOwnerOnlyKeyAndTheTransferScript) {
    TempDir dir;
    std::string cluster = dir.Join("c");
    RunResult made = MakeCluster(cluster, 3);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    std::string key = ReadText(KeyPath(cluster, 0));
    for (int node = 0; node < 3; ++node) {
        EXPECT_EQ(ReadText(KeyPath(cluster, node)), key) << node;
        EXPECT_EQ(ModeOf(KeyPath(cluster, node)), 0600u);
        EXPECT_EQ(ModeOf(cluster + "/node" + std::to_string(node) + "/VXA/conf/kmca"), 0700u);
        EXPECT_NE(
            ModeOf(cluster + "/node" + std::to_string(node) + "/VXA/script/os_transfer_file_lib.sh") & 0100,
            0u);
    }

    // The installed script keeps its password under the installed key.
    std::string script = cluster + "/node1/VXA/script/os_transfer_file_lib.sh";
    RunResult set = RunProgram({"/bin/sh", "-c", "printf 'Pa ss\\n' | " + script + " set_ibc_password"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(RunProgram({script, "get_ibc_password"}).out, "Pa ss\n");

    RunResult again = MakeCluster(cluster, 3);
    EXPECT_NE(again.exitCode, 0);
    EXPECT_EQ(ReadText(KeyPath(cluster, 1)), key) << "a second layout leaves the key alone";
}

// A directory left by an unfinished layout: the key one node root holds may
// have encrypted data already, so it is kept; two different keys are refused.
TEST(ChsctlMkclusterTest, KeepsAKeyLeftInANodeRootAndRefusesTwoDifferentOnes) {
    TempDir dir;
    std::string cluster = dir.Join("c");
    UseNodeRootWithKey(cluster + "/node1");
    UseNodeRoot("/");
    std::string kept = ReadText(KeyPath(cluster, 1));
    RunResult made = MakeCluster(cluster, 2);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(ReadText(KeyPath(cluster, 0)), kept);
    EXPECT_EQ(ReadText(KeyPath(cluster, 1)), kept);

    std::string other = dir.Join("d");
    UseNodeRootWithKey(other + "/node0");
    UseNodeRootWithKey(other + "/node1");
    UseNodeRoot("/");
    std::string first = ReadText(KeyPath(other, 0));
    RunResult refused = MakeCluster(other, 2);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("different cluster keys"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadText(KeyPath(other, 0)), first);
}

// The configuration database holds the proxy password and the site id,
// peers.json session keys: owner and group only, even under umask 0; wider
// files are reported by chsctl and the database is narrowed when opened.
TEST(ChsctlMkclusterTest, SecretFilesAreNeverReadableByOthers) {
    TempDir dir;
    std::string cluster = dir.Join("c");
    mode_t saved = umask(0);
    RunResult made = MakeCluster(cluster, 1);
    umask(saved);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    std::string db = cluster + "/ccdb.sqlite";
    EXPECT_EQ(ModeOf(db), 0640u);

    chmod(db.c_str(), 0666);
    WriteText(db + "-wal", "");
    chmod((db + "-wal").c_str(), 0644);
    WriteText(cluster + "/peers.json", "{}");
    chmod((cluster + "/peers.json").c_str(), 0644);
    chmod(KeyPath(cluster, 0).c_str(), 0640);
    RunResult used = RunProgram({BinaryPath("tools/chsctl"), "--cluster", cluster, "--node", "0", "--timeout", "1",
                                 "switch", "get"});
    for (const std::string& warning :
         {db + " holds secrets and has mode 0666; chmod 0640 " + db, db + "-wal holds secrets and has mode 0644",
          cluster + "/peers.json holds secrets and has mode 0644; chmod 0640",
          KeyPath(cluster, 0) + " holds secrets and has mode 0640; chmod 0600"}) {
        EXPECT_NE(used.err.find("chsctl: warning: " + warning), std::string::npos) << used.err;
    }

    chs_test::AttachAs(cluster, 0, false);
    std::string type = "--dbType=modes";
    char* argv[] = {&type[0], nullptr};
    int32_t handle = 0;
    EXPECT_EQ(OM_CCDB_Init(35, "modes", argv, &handle), OM_CCDB_OK);
    platform::CcdbCloseAll();
    platform::DetachCluster();
    EXPECT_EQ(ModeOf(db), 0640u);
    struct stat info {};
    if (lstat((db + "-wal").c_str(), &info) == 0) {
        EXPECT_EQ(info.st_mode & 07777, 0640u);
    }
}

}  // namespace
