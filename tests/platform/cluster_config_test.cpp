#include "platform/cluster_config.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

using chs_test::TempDir;
using chs_test::WriteText;
using platform::ClusterConfig;

TEST(ClusterConfigTest, LoadsNodesAndSettings) {
    TempDir dir;
    WriteText(dir.Join("cluster.json"), R"({
        "serialNumber": "2102351234", "master": 1, "logLevel": 7, "dns": true,
        "profile": {"sudoPrefix": "", "resetProgram": "/bin/false"},
        "nodes": [{"id": 0, "name": "CTE0.A", "internalIps": ["127.0.0.1", "127.0.1.1"]},
                  {"id": 1, "name": "CTE0.B"}]})");
    ClusterConfig config;
    std::string error;
    ASSERT_TRUE(ClusterConfig::Load(dir.Join("cluster.json"), config, error)) << error;
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
    ClusterConfig config;
    std::string error;
    EXPECT_FALSE(ClusterConfig::Load(dir.Join("missing.json"), config, error));
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
        EXPECT_FALSE(ClusterConfig::Load(dir.Join("cluster.json"), config, why)) << json;
        EXPECT_NE(why.find(reason), std::string::npos) << json << ": " << why;
    }
}

}  // namespace
