// The cluster file as it is loaded, and the cluster facts as the daemon sees
// them through omlib, over a real cluster directory: presence locks held by
// real processes, state override files, the node root mapping.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <tuple>

#include "core/omlib.h"
#include "platform/cluster_config.h"
#include "platform/etcd_presence.h"
#include "platform/om_cluster.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/etcd_server.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::MakeDirs;
using chs_test::TempDir;
using chs_test::WriteText;

class OmClusterTest : public ::testing::Test {
protected:
    void SetUp() override {
        MakeDirs(dir.Join("node1"));
        MakeDirs(dir.Join("node3"));
        chs_test::AttachHandMadeCluster(dir.path(), R"({"serialNumber": "2102351234567890", "nodes": [
            {"id": 0, "name": "CTE0.A", "internalIps": ["127.0.0.1", "10.0.0.1"]},
            {"id": 1, "name": "CTE0.B", "internalIps": ["127.0.0.2"]},
            {"id": 3, "name": "CTE1.B"}]})");
    }
    void TearDown() override {
        platform::state::ClearAll();
        platform::DetachCluster();
    }

    // A process that holds node `id`'s presence until it is killed.
    pid_t StartNode(uint16_t id) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            platform::DetachCluster();
            std::string error;
            bool ok = platform::AttachCluster(dir.Join("cluster.json"), id, dir.Join("node" + std::to_string(id)),
                                              true, error);
            char result = ok ? '1' : '0';
            if (write(ready[1], &result, 1) != 1) {
                _exit(2);
            }
            pause();
            _exit(0);
        }
        close(ready[1]);
        char result = '0';
        EXPECT_EQ(read(ready[0], &result, 1), 1);
        close(ready[0]);
        EXPECT_EQ(result, '1');
        return pid;
    }
    static void StopNode(pid_t pid) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    TempDir dir;
};

TEST_F(OmClusterTest, IdentityNamesSerialAndAddresses) {
    EXPECT_EQ(omlib::getLocalNidInUser(), 0);
    EXPECT_EQ(omlib::GetClusterCfgNodesNum(), 3u);
    EXPECT_EQ(omlib::getConfigNodeNum(), 3u);
    std::string name;
    ASSERT_EQ(omlib::getControllerName(3, name), 0);
    EXPECT_EQ(name, "CTE1.B");
    EXPECT_NE(omlib::getControllerName(2, name), 0);
    uint16_t id = 0;
    ASSERT_EQ(omlib::getControllerID("CTE0.B", id), 0);
    EXPECT_EQ(id, 1);
    EXPECT_NE(omlib::getControllerID("CTE9.A", id), 0);
    std::string serial;
    ASSERT_EQ(omlib::getProductSN(serial), 0);
    EXPECT_EQ(serial, "2102351234567890");
    char small[8];
    EXPECT_NE(omlib::getProductSN(small, sizeof(small)), 0) << "a buffer too small is refused, not overrun";

    std::vector<std::string> ips;
    ASSERT_EQ(omlib::getInternalMgmtIPByNID(0, ips), 0);
    EXPECT_EQ(ips, (std::vector<std::string>{"127.0.0.1", "10.0.0.1"}));
    std::string joined;
    ASSERT_EQ(omlib::getInternalMgmtIPByNID(0, joined), 0);
    EXPECT_EQ(joined, "127.0.0.1,10.0.0.1");
    EXPECT_EQ(omlib::getInternalMgmtIPByNID(3, ips), -1) << "a node without addresses";
    EXPECT_EQ(omlib::getInternalMgmtIPByNID(7, joined), -1) << "an unknown node";
}

// A second daemon of a node is refused in daemon_startup_test.
TEST_F(OmClusterTest, LivenessFollowsPresenceAndOverrides) {
    uint32_t map = 0xFFFFFFFF;
    ASSERT_EQ(omlib::getOnlineMap(map), 0);
    EXPECT_EQ(map, 0x1u);
    uint16_t master = 99;
    ASSERT_EQ(omlib::getMasterNid(master), 0);
    EXPECT_EQ(master, 0);

    pid_t node1 = StartNode(1);
    ASSERT_EQ(omlib::getOnlineMap(map), 0);
    EXPECT_EQ(map, 0x3u);
    platform::state::Set("node0_offline", "1");
    ASSERT_EQ(omlib::getOnlineMap(map), 0);
    EXPECT_EQ(map, 0x2u);
    ASSERT_EQ(omlib::getMasterNid(master), 0);
    EXPECT_EQ(master, 1) << "the master is the lowest online node";
    platform::state::Clear("node0_offline");

    StopNode(node1);
    ASSERT_EQ(omlib::getOnlineMap(map), 0);
    EXPECT_EQ(map, 0x1u) << "a node whose daemon died is offline";
}

// With the configuration database in etcd, liveness comes from leases: a node
// whose daemon stops renewing drops out within the lease time, and while etcd
// is away the node still counts itself.
TEST(EtcdPresenceTest, LeasesMakeTheOnlineMapAndTheMaster) {
    chs_test::EtcdServer etcd;
    TempDir dir;
    chs_test::AttachHandMadeCluster(dir.path(), R"({"serialNumber": "SN-LEASE", "ccdb": {"backend": "etcd",
        "endpoints": [")" + etcd.Endpoint() + R"("]}, "nodes": [
        {"id": 0, "name": "CTE0.A"}, {"id": 1, "name": "CTE0.B"}, {"id": 2, "name": "CTE0.C"}]})",
                                    2);
    platform::CcdbConfig config{platform::CcdbBackendKind::kEtcd, {etcd.Endpoint()}};
    auto map = [] {
        uint32_t bits = 0;
        EXPECT_EQ(omlib::getOnlineMap(bits), 0);
        return bits;
    };
    EXPECT_TRUE(chs_test::WaitFor([&] { return map() == 0x4u; }, 3000)) << map();

    platform::EtcdPresence node1(config, "SN-LEASE");
    node1.Hold(1);
    EXPECT_TRUE(chs_test::WaitFor([&] { return map() == 0x6u; }, 3000)) << map();
    uint16_t master = 99;
    ASSERT_EQ(omlib::getMasterNid(master), 0);
    EXPECT_EQ(master, 1) << "the lowest online node";

    auto cut = std::chrono::steady_clock::now();
    node1.Abandon();
    EXPECT_TRUE(chs_test::WaitFor([&] { return map() == 0x4u; }, (platform::kLeaseTtlSec + 3) * 1000)) << map();
    EXPECT_GE(std::chrono::steady_clock::now() - cut, std::chrono::seconds(platform::kLeaseTtlSec - 2))
        << "it dropped out when its lease expired, not before";

    {
        platform::EtcdPresence again(config, "SN-LEASE");
        again.Hold(1);
        EXPECT_TRUE(chs_test::WaitFor([&] { return map() == 0x6u; }, 3000)) << "back with a new lease";
    }
    EXPECT_TRUE(chs_test::WaitFor([&] { return map() == 0x4u; }, 3000)) << "a revoked lease ends at once";

    etcd.Stop();
    EXPECT_EQ(map(), 0x4u) << "etcd away: the node still counts itself";
    platform::DetachCluster();
}

TEST_F(OmClusterTest, ModesAndPowerOnPhaseComeFromStateFiles) {
    EXPECT_FALSE(omlib::isUpgradeMode());
    EXPECT_FALSE(omlib::IsOemMode());
    WriteText(dir.Join("state/upgrade_mode"), "1\n");
    WriteText(dir.Join("state/oem_mode"), "1");
    EXPECT_TRUE(omlib::isUpgradeMode());
    EXPECT_TRUE(omlib::IsOemMode());
    WriteText(dir.Join("state/upgrade_mode"), "0");
    EXPECT_FALSE(omlib::isUpgradeMode());

    platform::state::Set("power_on_phase", "0");
    omlib::g_uiPowerOnPollMs = 10;
    std::atomic<bool> ready{false};
    std::thread waiter([&] {
        omlib::WaitSystemMasterReady();
        ready = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_FALSE(ready.load()) << "phase 0 keeps the daemon waiting";
    platform::state::Set("power_on_phase", "2");
    waiter.join();
    EXPECT_TRUE(ready.load());
    omlib::g_uiPowerOnPollMs = 1000;
}

// A watcher of the overrides (the LUN-status thread) sleeps until a state file
// is written or removed, or an override is set in-process: it neither returns
// at once nor waits for the once-a-second look it falls back to.
TEST_F(OmClusterTest, ChangeWaiterWakesOnStateFilesAndOverrides) {
    MakeDirs(dir.Join("state"));
    platform::state::ChangeWaiter waiter;
    // Each change makes one event: a file written in place would make several
    // (created, then closed), and the later ones would end the next wait.
    const std::function<void()> changes[] = {
        [&] {
            WriteText(dir.Join("lun_status.new"), "1");
            rename(dir.Join("lun_status.new").c_str(), dir.Join("state/lun_status").c_str());
        },
        [&] { unlink(dir.Join("state/lun_status").c_str()); },
        [] { platform::state::Set("lun_status", "2"); },
    };
    for (const auto& change : changes) {
        std::thread later([&change] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            change();
        });
        auto start = std::chrono::steady_clock::now();
        waiter.Wait();
        auto waited = std::chrono::steady_clock::now() - start;
        later.join();
        EXPECT_GE(waited, std::chrono::milliseconds(90));
        EXPECT_LT(waited, std::chrono::milliseconds(900));
    }
}

TEST_F(OmClusterTest, DiskMountAndRootMapping) {
    EXPECT_EQ(platform::RealPath("/VXA/coffer_data"), dir.Join("node0") + "/VXA/coffer_data");
    EXPECT_EQ(platform::RealPath(dir.Join("node0") + "/VXA"), dir.Join("node0") + "/VXA") << "mapped only once";
    EXPECT_EQ(platform::RealPath("relative/path"), "relative/path");

    EXPECT_NE(omlib::testDiskMount("/VXA/coffer_data"), 0) << "missing directory";
    MakeDirs(dir.Join("node0/VXA/coffer_data"));
    EXPECT_EQ(omlib::testDiskMount("/VXA/coffer_data"), 0);
    WriteText(dir.Join("state/unmounted"), "/VXA/lun_data\n/VXA/coffer_data\n");
    EXPECT_NE(omlib::testDiskMount("/VXA/coffer_data"), 0);
}

TEST_F(OmClusterTest, HostNamesResolveOnlyWithDns) {
    std::string ip;
    EXPECT_EQ(omlib::ParseHostnameToIp("192.168.10.3", ip), 0u);
    EXPECT_EQ(ip, "192.168.10.3");
    EXPECT_EQ(omlib::ParseHostnameToIp("fe80::1", ip), 0u);
    EXPECT_EQ(ip, "fe80::1");
    EXPECT_EQ(omlib::ParseHostnameToIp("localhost", ip), 0x4040CA1Cu);
    platform::state::Set("dns", "1");
    ip.clear();
    EXPECT_EQ(omlib::ParseHostnameToIp("localhost", ip), 0u);
    EXPECT_TRUE(ip == "127.0.0.1" || ip == "::1") << ip;
}

TEST(OmlibBitsTest, BitsBeyond31AreIgnored) {
    uint32_t word = 0;
    omlib::SetBit(word, 0);
    omlib::SetBit(word, 31);
    omlib::SetBit(word, 32);
    EXPECT_EQ(word, 0x80000001u);
    EXPECT_TRUE(omlib::TestBit(word, 31));
    EXPECT_FALSE(omlib::TestBit(word, 1));
    EXPECT_FALSE(omlib::TestBit(0xFFFFFFFFu, 32));
}

TEST(OmClusterInitTest, RefusesBadArgumentsWithAReason) {
    TempDir dir;
    WriteText(dir.Join("cluster.json"), R"({"nodes": [{"id": 0, "name": "CTE0.A"}]})");
    MakeDirs(dir.Join("node0"));
    const std::string path = dir.Join("cluster.json");
    const char* file = path.c_str();
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"x1", "node0", file}, {"2", "node0", file},   {"0", "nope", file},
        {"0", "node0", nullptr}, {"-0", "node0", file}};
    for (const auto& [node, root, cluster] : cases) {
        EXPECT_NE(OMClusterInit(35, 0x700010, 35, node, dir.Join(root).c_str(), cluster), 0) << node << " " << root;
    }
}

TEST(ClusterConfigTest, LoadsNodesAndSettings) {
    TempDir dir;
    WriteText(dir.Join("cluster.json"), R"({
        "serialNumber": "2102351234", "master": 1, "logLevel": 7, "dns": true,
        "profile": {"sudoPrefix": "", "resetProgram": "/bin/false"},
        "nodes": [{"id": 0, "name": "CTE0.A", "internalIps": ["127.0.0.1", "127.0.1.1"]},
                  {"id": 1, "name": "CTE0.B"}]})");
    platform::ClusterConfig config;
    std::string error;
    ASSERT_TRUE(platform::ClusterConfig::Load(dir.Join("cluster.json"), config, error)) << error;
    EXPECT_EQ(config.strDir, dir.path());
    EXPECT_EQ(config.strSerialNumber, "2102351234");
    EXPECT_EQ(config.iMaster, 1);
    EXPECT_EQ(config.uiLogLevel, 7u);
    EXPECT_TRUE(config.bDns);
    EXPECT_EQ(config.strResetProgram, "/bin/false");
    ASSERT_EQ(config.nodes.size(), 2u);
    ASSERT_NE(config.FindNode("CTE0.A"), nullptr);
    EXPECT_EQ(config.FindNode("CTE0.A")->vecInternalIps.size(), 2u);
    EXPECT_EQ(config.FindNode(static_cast<uint16_t>(1))->strName, "CTE0.B");
    EXPECT_EQ(config.FindNode(static_cast<uint16_t>(2)), nullptr);
}

TEST(ClusterConfigTest, RefusesWhatCannotBeTrusted) {
    TempDir dir;
    platform::ClusterConfig config;
    std::string error;
    EXPECT_FALSE(platform::ClusterConfig::Load(dir.Join("missing.json"), config, error));
    EXPECT_NE(error.find("cannot read"), std::string::npos);

    const std::pair<const char*, const char*> cases[] = {
        {"{ not json", "not valid JSON"},
        {"[1, 2]", "JSON object"},
        {R"({"nodes": []})", "1 to 16 nodes"},
        {R"({"nodes": [{"id": 16, "name": "A"}]})", "0 to 15"},
        {R"({"nodes": [{"id": -1, "name": "A"}]})", "0 to 15"},
        {R"({"nodes": [{"id": 0, "name": "NINEBYTES"}]})", "1 to 8 bytes"},
        {R"({"nodes": [{"id": 0, "name": "A"}, {"id": 0, "name": "B"}]})", "twice"},
        {R"({"nodes": [{"id": 0, "name": "A"}, {"id": 1, "name": "A"}]})", "twice"},
        {R"({"nodes": [{"id": 0, "name": "A", "internalIps": ["1234567890123456"]}]})", "internalIps"},
        {R"({"master": 3, "nodes": [{"id": 0, "name": "A"}]})", "master"},
        {R"({"logLevel": 8, "nodes": [{"id": 0, "name": "A"}]})", "logLevel"},
        {R"({"serialNumber": 5, "nodes": [{"id": 0, "name": "A"}]})", "serialNumber"},
    };
    for (const auto& [json, reason] : cases) {
        WriteText(dir.Join("cluster.json"), json);
        std::string why;
        EXPECT_FALSE(platform::ClusterConfig::Load(dir.Join("cluster.json"), config, why)) << json;
        EXPECT_NE(why.find(reason), std::string::npos) << json << ": " << why;
    }
}

}  // namespace
