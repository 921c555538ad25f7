// The cluster at a glance and the diagnose bundle's manifest, on a real
// three-node cluster of which node 2 is down and does not answer a ping:
// chsctl status (text and JSON), an export that finishes without node 2 and
// says so, a bundle over its size budget, the SHA-256 check of a download and
// the refusal of a tampered bundle.
#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/sim_cluster.h"
#include "tests/support/temp_dir.h"
#include "tools/cluster_layout.h"

namespace {

using chs_test::ReadText;
using chs_test::RunProgram;
using chs_test::RunResult;
using chs_test::TempDir;
using chs_test::WriteText;

constexpr int kNodes = 3;
constexpr int kDown = 2;

Json::Value ParseJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string error;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &error)) << error << "\n"
                                                                                       << text;
    return value;
}

class ClusterStatusTest : public ::testing::Test {
  protected:
    // Nodes 0 and 1 run; node 2 never starts, and a ping reaches no node.
    void StartCluster() {
        mkdir((sim.Dir() + "/bin").c_str(), 0755);
        WriteText(sim.Dir() + "/bin/ping", "#!/bin/sh\nexit 1\n");
        chmod((sim.Dir() + "/bin/ping").c_str(), 0755);
        for (int node = 0; node < kNodes; ++node) {
            if (node != kDown) {
                ASSERT_TRUE(sim.StartNode(node)) << sim.DaemonLog(node);
            }
        }
        ASSERT_EQ(Chsctl(0, {"switch", "set", "on"}).exitCode, 0);
    }

    RunResult Chsctl(int node, const std::vector<std::string>& args) { return sim.Chsctl(node, args, 60); }
    std::string Name(int node) { return chs_tools::SimulatedControllerName(static_cast<uint16_t>(node)); }
    RunResult Shell(const std::string& line) {
        return RunProgram({"/bin/sh", "-c", "cd " + dir.path() + " && " + line});
    }

    TempDir dir;
    chs_test::SimCluster sim{dir, kNodes, {}, "\"12345\": \"admin\""};
};

TEST_F(ClusterStatusTest, StatusShowsEveryNodeAndTheOneThatIsDown) {
    StartCluster();
    RunResult text = Chsctl(0, {"--timeout", "5", "status"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("node 0 (" + Name(0) + "): online, up "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("node 2 (" + Name(2) + "): offline ("), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("collector on, OEM "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("dispatcher queues: high 0"), std::string::npos) << text.out;

    RunResult json = Chsctl(1, {"--json", "--timeout", "5", "status"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    Json::Value doc = ParseJson(json.out);
    ASSERT_TRUE(doc["nodes"].isArray());
    ASSERT_EQ(doc["nodes"].size(), 3u) << json.out;
    for (int node = 0; node < kNodes; ++node) {
        const Json::Value& entry = doc["nodes"][node];
        EXPECT_EQ(entry["node"].asInt(), node);
        EXPECT_EQ(entry["name"].asString(), Name(node));
        EXPECT_EQ(entry["online"].asBool(), node != kDown) << json.out;
        if (node == kDown) {
            EXPECT_TRUE(entry["reason"].isString()) << json.out;
            continue;
        }
        EXPECT_TRUE(entry["uptime_s"].isUInt64());
        EXPECT_EQ(entry["collector_switch"].asString(), "on");
        EXPECT_TRUE(entry["oem_switch"].isString());
        EXPECT_TRUE(entry["drivers"].isArray());
        for (const char* queue : {"high", "middle", "low"}) {
            EXPECT_TRUE(entry["queues"][queue].isUInt()) << queue << " " << json.out;
        }
        EXPECT_TRUE(entry["last_file"].isNull() || entry["last_file"]["name"].isString()) << json.out;
        EXPECT_TRUE(entry["task"].isNull()) << json.out;
        EXPECT_GT(entry["coffer_free_bytes"].asUInt64(), 0u) << json.out;
    }
}

// A budget of 1 byte: the master's package comes first and uses it up, so
// the run node's own package and both data files are left out, and say so.
TEST_F(ClusterStatusTest, ExportWithANodeDownAndOverItsBudgetHasAManifestThatVerifies) {
    setenv("CHS_DIAGNOSE_BUDGET", "1", 1);
    StartCluster();
    unsetenv("CHS_DIAGNOSE_BUDGET");

    RunResult started = Chsctl(1, {"export", "start", "--wait"});
    ASSERT_EQ(started.exitCode, 0) << started.out << started.err << sim.DaemonLog(1);
    EXPECT_NE(started.out.find("diagnose export done, 2 of 3 nodes"), std::string::npos) << started.out;
    EXPECT_NE(started.out.find("missing: node 2 (" + Name(2) + "): offline"), std::string::npos)
        << started.out;

    RunResult status = Chsctl(0, {"--json", "export", "status"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    Json::Value states = ParseJson(status.out);
    EXPECT_EQ(states["status"].asString(), "partial") << status.out;
    ASSERT_EQ(states["nodes"].size(), 3u) << status.out;
    EXPECT_EQ(states["nodes"][0]["state"].asString(), "built");
    EXPECT_GT(states["nodes"][0]["bytes"].asUInt64(), 0u);
    EXPECT_EQ(states["nodes"][2]["state"].asString(), "offline");

    // The finished export was not cleared: a new start says what to do.
    RunResult again = Chsctl(0, {"export", "start"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("has not been cleared"), std::string::npos) << again.err;
    EXPECT_NE(again.err.find("export download"), std::string::npos) << again.err;
    EXPECT_NE(again.err.find("export clear"), std::string::npos) << again.err;

    RunResult download = Chsctl(1, {"export", "download", "-o", dir.Join("bundle.tgz")});
    ASSERT_EQ(download.exitCode, 0) << download.err << sim.DaemonLog(1);
    EXPECT_NE(download.out.find("verified " + dir.Join("bundle.tgz") + ": 1 member(s) match"),
              std::string::npos)
        << download.out;
    EXPECT_NE(download.out.find("node 2 (" + Name(2) + "): offline"), std::string::npos) << download.out;
    EXPECT_NE(download.out.find("left out:"), std::string::npos) << download.out;

    ASSERT_EQ(Shell("mkdir x && tar -xzf bundle.tgz -C x").exitCode, 0);
    Json::Value manifest = ParseJson(ReadText(dir.Join("x/manifest.json")));
    EXPECT_EQ(manifest["export"]["type"].asUInt(), 5u);
    EXPECT_EQ(manifest["export"]["run_node"].asUInt(), 1u);
    EXPECT_FALSE(manifest["export"]["start"].asString().empty());
    EXPECT_FALSE(manifest["export"]["end"].asString().empty());
    EXPECT_EQ(manifest["budget"]["bytes"].asUInt64(), 1u);
    const Json::Value& master = manifest["nodes"][0];
    EXPECT_EQ(master["status"].asString(), "built");
    ASSERT_TRUE(master["in_bundle"].asBool()) << master;
    // The manifest's checksum is the member's, as an independent tool sees it.
    RunResult sum = Shell("sha256sum x/" + master["package"].asString());
    EXPECT_EQ(sum.out.substr(0, 64), master["sha256"].asString());
    // The node package carries the daemon's own figures beside the script's.
    RunResult figures = Shell("tar -xzOf x/" + master["package"].asString() + " --wildcards '*/collector_status.txt'");
    EXPECT_NE(figures.out.find("dispatcher queue high: "), std::string::npos) << figures.out << figures.err;
    EXPECT_NE(figures.out.find("collector switch: on"), std::string::npos) << figures.out;
    const Json::Value& own = manifest["nodes"][1];
    EXPECT_EQ(own["status"].asString(), "built");
    EXPECT_FALSE(own["in_bundle"].asBool());
    EXPECT_NE(own["reason"].asString().find("budget"), std::string::npos) << own;
    EXPECT_EQ(manifest["nodes"][2]["status"].asString(), "offline");
    EXPECT_TRUE(manifest["nodes"][2]["sections"].isNull());
    EXPECT_FALSE(manifest["running_data"]["in_bundle"].asBool());
    EXPECT_EQ(manifest["budget"]["left_out"].size(), 3u) << manifest["budget"];

    // One byte of the master's package changed: the bundle is refused, the member named.
    std::string member = master["package"].asString();
    ASSERT_EQ(Shell("cd x && printf X >> " + member + " && tar -czf ../tampered.tgz -- *").exitCode, 0);
    RunResult tampered = Chsctl(1, {"export", "verify", dir.Join("tampered.tgz")});
    EXPECT_EQ(tampered.exitCode, 1);
    EXPECT_NE(tampered.err.find("member " + member + " does not match its SHA-256"), std::string::npos)
        << tampered.err;
    RunResult good = Chsctl(1, {"--json", "export", "verify", dir.Join("bundle.tgz")});
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_TRUE(ParseJson(good.out)["verified"].asBool()) << good.out;

    RunResult cleared = Chsctl(1, {"--json", "export", "clear"});
    EXPECT_EQ(cleared.exitCode, 0) << cleared.err;
    EXPECT_EQ(ParseJson(cleared.out)["status"].asString(), "cleared");
}

// A secret of the cluster that no masking rule knows (the internal SFTP
// password, written bare into a log line) reaches a node package; the run
// node finds it in the merged bundle and refuses the download: nothing is
// handed out, and the log names the member, never the value.
TEST_F(ClusterStatusTest, BundleHoldingAKnownSecretIsRefused) {
    const std::string secret = "Xq7plantedSftpPw";
    for (int node = 0; node < kNodes; ++node) {
        RunResult set = RunProgram({"/bin/sh", "-c",
                                    "printf '%s\\n' " + secret + " | " + sim.Root(node) +
                                        "/VXA/script/os_transfer_file_lib.sh set_ibc_password"});
        ASSERT_EQ(set.exitCode, 0) << set.err;
    }
    WriteText(sim.Root(0) + "/var/log/chs/planted.log", "session to the sftp peer opened with " + secret + "\n");
    StartCluster();

    RunResult started = Chsctl(1, {"export", "start", "--wait"});
    ASSERT_EQ(started.exitCode, 0) << started.out << started.err;
    RunResult download = Chsctl(1, {"export", "download", "-o", dir.Join("bundle.tgz")});
    EXPECT_EQ(download.exitCode, 1) << download.out;
    EXPECT_NE(download.err.find("a known secret of the cluster is in the bundle"), std::string::npos)
        << download.err;
    struct stat info {};
    EXPECT_NE(stat(dir.Join("bundle.tgz").c_str(), &info), 0);
    std::string log = sim.DaemonLog(1);
    EXPECT_NE(log.find("The diagnose bundle is refused and removed"), std::string::npos) << log;
    EXPECT_EQ(log.find(secret), std::string::npos);
}

}  // namespace
