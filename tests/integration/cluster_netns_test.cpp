// Three nodes in three network namespaces, talking TCP with mutual TLS, with
// the configuration database and liveness in etcd: `./chs cluster up
// --backend etcd --transport tcp --netns` with the binaries of this build,
// through a cut link and a frozen etcd.
// Needs root (namespaces, links); skipped elsewhere.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/etcd_client.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::ReadText;
using chs_test::RunProgram;
using chs_test::RunResult;
using chs_test::WaitFor;

class NetnsCluster {
  public:
    NetnsCluster() : m_dir(m_tmp.Join("c")), m_script(std::string(CHS_SOURCE_DIR) + "/chs") {}
    ~NetnsCluster() { Chs({"cluster", "down", "--dir", m_dir}, 60000); }

    RunResult Chs(std::vector<std::string> args, unsigned int ms) const {
        args.insert(args.begin(), {"/bin/bash", m_script});
        return RunProgram(args, {"CHS_BUILD_DIR=" + std::string(CHS_BINARY_DIR), "CHS_COLLECT_INTERVAL=5"}, ms);
    }
    RunResult Ctl(int node, std::vector<std::string> args) const {
        args.insert(args.begin(), {std::string(CHS_BINARY_DIR) + "/tools/chsctl", "--cluster", m_dir, "--node",
                                   std::to_string(node), "--timeout", "60"});
        return RunProgram(args, {}, 120000);
    }
    RunResult Ip(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{"/usr/sbin/ip"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv);
    }
    std::string Link(int node) const {
        return ReadText(m_dir + "/run/netns").substr(0, 6) + "v" + std::to_string(node);
    }

    // Whether node `node`'s lease key is live in etcd.
    bool Live(int node) const {
        Json::Value cluster;
        std::string errors;
        std::string text = ReadText(m_dir + "/cluster.json");
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        if (!reader->parse(text.data(), text.data() + text.size(), &cluster, &errors)) {
            return false;
        }
        std::string key = "/chs/" + platform::etcd::Escape(cluster["serialNumber"].asString()) + "/nodes/" +
                          std::to_string(node);
        RunResult range = RunProgram({"/usr/bin/curl", "-fsS", "-m", "2", "-X", "POST", "-d",
                                      "{\"key\":\"" + platform::etcd::Base64(key) + "\",\"count_only\":true}",
                                      cluster["ccdb"]["endpoints"][0].asString() + "/v3/kv/range"});
        return range.exitCode == 0 && range.out.find("\"count\":\"1\"") != std::string::npos;
    }

    const std::string& Dir() const { return m_dir; }

  private:
    chs_test::TempDir m_tmp;
    std::string m_dir;
    std::string m_script;
};

TEST(ClusterNetnsTest, SwitchFilesExportAndACutLinkOverTlsAndEtcd) {
    const std::string probe = "chs-probe-" + std::to_string(getpid());
    bool namespaces = geteuid() == 0 && RunProgram({"/usr/sbin/ip", "netns", "add", probe}).exitCode == 0;
    if (namespaces) {
        RunProgram({"/usr/sbin/ip", "netns", "del", probe});
    }
    if (!namespaces || access("/usr/bin/etcd", X_OK) != 0) {
        GTEST_SKIP() << "needs root with network namespaces, and etcd";
    }
    NetnsCluster cluster;
    RunResult up = cluster.Chs({"cluster", "up", "--nodes", "3", "--dir", cluster.Dir(), "--no-build", "--backend",
                                "etcd", "--transport", "tcp", "--netns"},
                               180000);
    ASSERT_EQ(up.exitCode, 0) << up.out << up.err;
    for (int node = 0; node < 3; ++node) {
        std::string ns = ReadText(cluster.Dir() + "/run/netns").substr(0, 6) + "-n" + std::to_string(node);
        EXPECT_NE(cluster.Ip({"netns", "pids", ns}).out.find(ReadText(cluster.Dir() + "/run/infocollector" +
                                                                      std::to_string(node) + ".pid")),
                  std::string::npos)
            << "node " << node << " runs in its namespace";
    }

    ASSERT_EQ(cluster.Ctl(1, {"switch", "set", "on"}).exitCode, 0);
    for (const char* name : {"CTE0.A", "CTE0.B", "CTE1.A"}) {
        EXPECT_TRUE(WaitFor([&] { return !chs_test::Entries(cluster.Dir() + "/remote/" + name).empty(); }, 60000))
            << "files of " << name;
    }
    RunResult started = cluster.Ctl(0, {"export", "start", "--wait"});
    EXPECT_EQ(started.exitCode, 0) << started.out << started.err;
    RunResult download = cluster.Ctl(0, {"export", "download", "-o", cluster.Dir() + "/DiagnoseInfo.tgz"});
    ASSERT_EQ(download.exitCode, 0) << download.err;
    EXPECT_FALSE(ReadText(cluster.Dir() + "/DiagnoseInfo.tgz").empty());
    ASSERT_EQ(cluster.Ctl(0, {"export", "clear"}).exitCode, 0);

    // Node 2's link cut: its lease runs out, the next export marks it and ends with the others.
    ASSERT_EQ(cluster.Ip({"link", "set", cluster.Link(2), "down"}).exitCode, 0);
    auto cut = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitFor([&] { return !cluster.Live(2); }, 15000)) << "node 2 stays in the online map";
    EXPECT_LE(std::chrono::steady_clock::now() - cut, std::chrono::seconds(10)) << "dropped out within the lease";
    EXPECT_TRUE(cluster.Live(0) && cluster.Live(1));
    started = cluster.Ctl(0, {"export", "start", "--wait"});
    EXPECT_EQ(started.exitCode, 0) << started.out << started.err;
    EXPECT_NE(ReadText(cluster.Dir() + "/node0/var/log/chs/infocollector.log").find("node(id 2) can not ping"),
              std::string::npos);
    ASSERT_EQ(cluster.Ctl(0, {"export", "clear"}).exitCode, 0);

    ASSERT_EQ(cluster.Ip({"link", "set", cluster.Link(2), "up"}).exitCode, 0);
    EXPECT_TRUE(WaitFor([&] { return cluster.Live(2); }, 15000)) << "node 2 comes back";
    // A node reads the online map at most once a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    started = cluster.Ctl(0, {"export", "start", "--wait"});
    EXPECT_NE(started.out.find("node 2 (CTE1.A): built"), std::string::npos) << started.out;

    // etcd frozen: a request that needs the configuration database fails within
    // its time-out, collection goes on; thawed, all works again without a restart.
    pid_t etcd = static_cast<pid_t>(atoi(ReadText(cluster.Dir() + "/run/etcd.pid").c_str()));
    ASSERT_GT(etcd, 0);
    ASSERT_EQ(kill(etcd, SIGSTOP), 0);
    size_t files = chs_test::Entries(cluster.Dir() + "/remote/CTE0.B").size();
    auto asked = std::chrono::steady_clock::now();
    EXPECT_NE(cluster.Ctl(1, {"switch", "get"}).exitCode, 0);
    EXPECT_LE(std::chrono::steady_clock::now() - asked, std::chrono::seconds(20));
    EXPECT_TRUE(WaitFor([&] { return chs_test::Entries(cluster.Dir() + "/remote/CTE0.B").size() > files; }, 30000))
        << "collection stopped with etcd";
    ASSERT_EQ(kill(etcd, SIGCONT), 0);
    EXPECT_TRUE(WaitFor([&] { return cluster.Ctl(1, {"switch", "get"}).exitCode == 0; }, 30000));

    std::string tag = ReadText(cluster.Dir() + "/run/netns").substr(0, 6);
    RunResult down = cluster.Chs({"cluster", "down", "--dir", cluster.Dir()}, 60000);
    EXPECT_EQ(down.exitCode, 0) << down.err;
    EXPECT_EQ(cluster.Ip({"netns", "list"}).out.find(tag), std::string::npos) << "down removes the namespaces";
    EXPECT_EQ(cluster.Ip({"link", "show"}).out.find(tag), std::string::npos) << "and the links and bridge";
}

}  // namespace
