#include "platform/cluster_config.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

using chs_test::TempDir;
using chs_test::WriteText;
using platform::ClusterConfig;

std::string LoadError(const TempDir& dir, const std::string& json) {
    WriteText(dir.Join("cluster.json"), json);
    ClusterConfig config;
    std::string error;
    EXPECT_FALSE(ClusterConfig::Load(dir.Join("cluster.json"), config, error)) << json;
    return error;
}

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

    EXPECT_NE(LoadError(dir, "{ not json").find("not valid JSON"), std::string::npos);
    EXPECT_NE(LoadError(dir, "[1, 2]").find("JSON object"), std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"nodes": []})").find("1 to 16 nodes"), std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"nodes": [{"id": 16, "name": "A"}]})").find("0 to 15"), std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"nodes": [{"id": -1, "name": "A"}]})").find("0 to 15"), std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"nodes": [{"id": 0, "name": "NINEBYTES"}]})").find("1 to 8 bytes"),
              std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"nodes": [{"id": 0, "name": "A"}, {"id": 0, "name": "B"}]})").find("twice"),
              std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"nodes": [{"id": 0, "name": "A"}, {"id": 1, "name": "A"}]})").find("twice"),
              std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"nodes": [{"id": 0, "name": "A", "internalIps": ["1234567890123456"]}]})")
                  .find("internalIps"),
              std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"master": 3, "nodes": [{"id": 0, "name": "A"}]})").find("master"),
              std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"logLevel": 8, "nodes": [{"id": 0, "name": "A"}]})").find("logLevel"),
              std::string::npos);
    EXPECT_NE(LoadError(dir, R"({"serialNumber": 5, "nodes": [{"id": 0, "name": "A"}]})").find("serialNumber"),
              std::string::npos);
}

}  // namespace
