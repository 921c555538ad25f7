// The alarm-service client against a recording alarm endpoint (561) of this
// test process in a one-node temporary cluster: the parameter text and its
// escaping, the exact entry layout, and the results the caller sees.
#include "control/capi_alarm.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "infra/chs_log.h"
#include "msg/inner_msg.h"
#include "msg/msg_api.h"
#include "platform/om_cluster.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/msg_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::TempDir;

std::mutex g_mutex;
std::vector<InnerMsg> g_entries;
uint32_t g_answerCode = 0;

int RecordingAlarmService(void* transportMessage) {
    InnerMsg request;
    if (request.Decode(static_cast<unsigned char*>(transportMessage), 0) == 0xFFFFFFFF) {
        return 0;
    }
    uint32_t code = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_entries.push_back(request);
        code = g_answerCode;
    }
    request.PostSimpleAckMsg(code, "");
    return 0;
}

class CapiAlarmTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        chs_test::AttachHandMadeCluster(s_dir->path(), R"({"serialNumber": "2102351234567890", "nodes": [
            {"id": 0, "name": "CTE0.A"}]})");
        SetModuleID(551);
        ASSERT_EQ(msg_api::StartClient(), 0);
        // Held as the daemon holds it: the transport believes only the sender pids a process holds.
        ASSERT_EQ(msg_api::RegisterPID(551, [](void*) { return 0; }), 0);
    }
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_entries.clear();
        g_answerCode = 0;
    }
    void TearDown() override { msg_api::UnRegisterPID(capi_alarm::CHS_ALARM_SERVICE_PID); }

    // Sends one entry to the recording service; the entry as it arrived.
    static InnerMsg SendAndReceive(const std::string& parameters, uint32_t result,
                                   int32_t expectedReturn = 0) {
        EXPECT_EQ(msg_api::RegisterPID(capi_alarm::CHS_ALARM_SERVICE_PID, RecordingAlarmService), 0);
        EXPECT_EQ(capi_alarm::CHS_SendAlarm(551, 0x200FE05C0009ULL, 3, parameters, result), expectedReturn);
        std::lock_guard<std::mutex> lock(g_mutex);
        EXPECT_EQ(g_entries.size(), 1u);
        return g_entries.empty() ? InnerMsg() : g_entries.back();
    }

    static inline TempDir* s_dir = nullptr;
};

TEST(ParaFormatTest, JoinsEscapedArgumentsInTheirDefaultForm) {
    EXPECT_EQ(capi_alarm::ParaFormat(12u, std::string("on")), "12,on");
    EXPECT_EQ(capi_alarm::ParaFormat("a,b&c"), "a&#44;b&#38;c");
    // An escape already in the text is escaped again, so it reads back as typed.
    EXPECT_EQ(capi_alarm::ParaFormat("&#44;"), "&#38;#44;");
    EXPECT_EQ(capi_alarm::ParaFormat(",", "&"), "&#44;,&#38;");
    EXPECT_EQ(capi_alarm::ParaFormat(-3, static_cast<uint8_t>(7), 0xFFFFFFFFu, 'x'), "-3,7,4294967295,x");
    // Empty parameters keep their places.
    EXPECT_EQ(capi_alarm::ParaFormat("a", "", "b"), "a,,b");
    EXPECT_EQ(capi_alarm::ParaFormat("a", ""), "a,");
    EXPECT_EQ(capi_alarm::ParaFormat(""), "");
}

// The cells in their order: entry id, level, module and the parameter text,
// which carries a failed result in hex and is left out for empty parameters
// of a success.
TEST_F(CapiAlarmTest, EntryCarriesHeaderAndCellsInOrder) {
    const struct {
        std::string parameters;
        uint32_t result;
        std::string text;  // the text cell; empty: none
    } cases[] = {
        {capi_alarm::ParaFormat(12u, "on"), 0, "{2,6,S:12,on}"},
        {capi_alarm::ParaFormat(12u, "On"), 0x4000C958, "{2,17,S:12,On,0x4000c958}"},
        {"", 5, "{2,4,S:0x5}"},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TearDown();
        SetUp();
        InnerMsg entry = SendAndReceive(c.parameters, c.result);
        const tagMsgInfo& info = entry.GetMsgInfo();
        EXPECT_EQ(info.usSenderBID, 0u);
        EXPECT_EQ(info.usSenderPID, 551u);
        EXPECT_EQ(info.usReceiverPID, 561u);
        EXPECT_EQ(info.uiMsgOPCode, 259u);
        EXPECT_EQ(info.uiMsgTimeout, 10u);
        ASSERT_EQ(entry.GetBody().size(), 1u);
        EXPECT_EQ(entry.GetBody()[0].GetCode(), 0xD00C900A5ULL);
        std::vector<std::string> expected = {"{0,8,U:35252560723977}", "{1,4,U:3}", "{3,4,U:57435}"};
        if (!c.text.empty()) {
            expected.push_back(c.text);
        }
        EXPECT_EQ(chs_test::CellTexts(entry.GetBody()[0]), expected);
    }
}

TEST_F(CapiAlarmTest, ServiceRefusalAndAbsenceReachTheCaller) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_answerCode = 0x03000016;
    }
    SendAndReceive("x", 0, 0x03000016);
    msg_api::UnRegisterPID(capi_alarm::CHS_ALARM_SERVICE_PID);
    // Nobody serves 561: the send fails at once.
    EXPECT_EQ(capi_alarm::CHS_SendAlarm(551, 1, 3, "x", 0), static_cast<int32_t>(0xFFFFFFFF));
}

}  // namespace
