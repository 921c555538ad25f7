// The daemon's transport adapters and its client start-up: what the transport
// gets when it logs and sleeps through the daemon, and the configuration
// record StartClient hands over.
#include "msg/msg_api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <utility>

#include "infra/chs_log.h"
#include "msg/msg_adapter.h"
#include "platform/om_cluster.h"
#include "platform/transport_message.h"
#include "platform/transport_runtime.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(MsgAdapterTest, TransportLevelsMapOntoDaemonLevels) {
    const std::pair<uint32_t, uint32_t> levels[] = {{1, 3}, {2, 3}, {3, 2}, {4, 1},
                                                     {0, 0}, {5, 0}, {7, 0}, {0xFFFFFFFFu, 0}};
    for (const auto& [transport, daemon] : levels) {
        EXPECT_EQ(msgAdpLogLevel(transport), daemon) << transport;
    }

    chs_test::LogCapture log(7);
    msgAdpLog(0, 1, "TransportFn", 12, 0x2000, "connection %d to %s lost", 7, "node1");
    msgAdpLog(0, 3, "TransportFn", 13, 0x2000, "slow peer");
    msgAdpLog(0, 4, "TransportFn", 14, 0x2000, "endpoint up");
    auto lines = log.Matching("TransportFn");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("[ERROR]"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("connection 7 to node1 lost"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("[WARN]"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("[INFO]"), std::string::npos) << lines[2];
    EXPECT_NE(lines[0].find("[551]"), std::string::npos) << "written under the daemon's module";
}

TEST(MsgAdapterTest, SleepCountsTenMillisecondUnits) {
    auto start = std::chrono::steady_clock::now();
    msgAdpSleep(5);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

int g_answered = 0;
int EchoEntry(void* message) {
    tagMsgInfo info{};
    msg_api::GetMsgInfo(message, &info);
    void* answer = msg_api::CopyMsg(message);
    ++g_answered;
    return msg_api::PostAckMsg(message, answer, info.uiMsgLength);
}

class StartClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chs_test::WriteText(dir.Join("cluster.json"), R"({"serialNumber": "1", "nodes": [
            {"id": 0, "name": "CTE0.A"}, {"id": 2, "name": "CTE0.C"}]})");
        chs_test::MakeDirs(dir.Join("node2"));
    }
    void TearDown() override {
        msg_api::ClientExit();
        platform::DetachCluster();
        platform::transport::ResetRegistrations();
    }
    chs_test::TempDir dir;
};

TEST_F(StartClientTest, HandsOverTheConfigurationRecordAndStarts) {
    std::string error;
    ASSERT_TRUE(platform::AttachCluster(dir.Join("cluster.json"), 2, dir.Join("node2"), false, error))
        << error;
    EXPECT_EQ(msgAdpLocalnid(), 2);
    ASSERT_EQ(msg_api::StartClient(), 0);

    tagMSG_CLIENT_CFG_S config;
    uint32_t maxLength = 0;
    ASSERT_TRUE(platform::transport::ClientConfig(config, maxLength));
    const uint8_t expected[24] = {0x8D, 0x13, 0, 0, 2,    0, 0, 0, 100, 0, 0, 0,
                                  100,  0,    0, 0, 0x2C, 1, 0, 0, 0,   0, 0, 0};
    EXPECT_EQ(memcmp(&config, expected, sizeof(expected)), 0);
    EXPECT_EQ(maxLength, 131072u);
    platform::transport::AdapterSet adapters = platform::transport::Adapters();
    EXPECT_EQ(adapters.log, &msgAdpLog);
    EXPECT_EQ(adapters.createThread, &msgAdpCreateThread);
    EXPECT_EQ(adapters.malloc, &msgAdpAlloc);

    // The transport now runs on the adapters: a request to this process's own
    // endpoint travels through buffers and threads they provide.
    ASSERT_EQ(msg_api::RegisterPID(551, EchoEntry), 0);
    tagMsgInfo info;
    ASSERT_EQ(msg_api::InitMsgInfo(&info), 0);
    EXPECT_EQ(info.usSenderPID, 551);
    EXPECT_EQ(info.usSenderBID, 2);
    info.usReceiverPID = 551;
    info.uiMsgOPCode = 1;
    info.uiMsgLength = 3;
    void* request = msg_api::AllocMsg(3);
    memcpy(request, "abc", 3);
    void* answer = nullptr;
    ASSERT_EQ(msg_api::SendSyncMsg(request, &info, &answer), 0);
    EXPECT_EQ(std::string(static_cast<char*>(answer), 3), "abc");
    EXPECT_EQ(g_answered, 1);
    msg_api::FreeMsg(answer);
    msg_api::FreeMsg(nullptr);
}

TEST_F(StartClientTest, FailsWithoutACluster) {
    EXPECT_EQ(static_cast<unsigned int>(msg_api::StartClient()), 0xFFFFFFFFu);
    EXPECT_EQ(msg_api::RegInfoCheck(), 0) << "the adapters and the record were registered all the same";
}

}  // namespace
