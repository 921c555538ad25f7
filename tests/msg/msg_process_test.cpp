// The dispatcher's keying, queueing and processing, driven directly on a
// private instance (no transport, no task threads).
#include "msg/msg_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "control/capi_alarm.h"
#include "infra/chs_log.h"
#include "msg/inner_msg.h"
#include "msg/msg_adapter.h"
#include "msg/msg_api.h"
#include "platform/om_cluster.h"
#include "platform/transport_message.h"
#include "platform/transport_runtime.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/log_capture.h"
#include "tests/support/msg_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::LogCapture;
using Recorder = chs_test::CountingCall;

InnerMsg* Request(uint32_t opCode, uint16_t type = MSG_TYPE_REQUEST) {
    InnerMsg* message = new InnerMsg();
    message->GetMsgInfo().uiMsgOPCode = opCode;
    message->GetMsgInfo().usMsgType = type;
    return message;
}

int g_handled = 0;
uint32_t g_lastOpCode = 0;
void Handler(InnerMsg& message) {
    ++g_handled;
    g_lastOpCode = message.GetMsgInfo().uiMsgOPCode;
}

class MsgProcessTest : public ::testing::Test {
protected:
    void SetUp() override { g_handled = 0; }
    MsgProcessClass engine;
    LogCapture log;
};

TEST_F(MsgProcessTest, KeyOfAGeneralCommandComesFromTheBody) {
    InnerMsg* message = Request(MSG_OPCODE_GENERAL);
    message->GetBody().append(chs_test::RecordOf(0xD00002000ULL, {CTLVCell::NewEnum(0, 0xE05C)}));
    EXPECT_EQ(engine.GetMsgKey(*message), 0xDE05C2000ULL);

    InnerMsg* plain = Request(MSG_OPCODE_GENERAL);
    plain->GetBody().append(new MsgRecord(0x2FB));
    EXPECT_EQ(engine.GetMsgKey(*plain), 0x2FBu) << "not a general command: the record code alone";
    InnerMsg* empty = Request(MSG_OPCODE_GENERAL);
    EXPECT_EQ(engine.GetMsgKey(*empty), 0u);
    InnerMsg* other = Request(0x70003014);
    other->GetBody().append(new MsgRecord(0xD00002000ULL));
    EXPECT_EQ(engine.GetMsgKey(*other), 0x70003014u) << "any other request: its operation code";

    engine.AddHandlerHelper(new MsgHandleWrapper(Handler, MSG_PRI_2), 0xD00002000ULL, 0xE05C);
    EXPECT_EQ(engine.MsgPri(*message), MSG_PRI_2);
    EXPECT_EQ(engine.MsgPri(*plain), MSG_PRI_1) << "no handler: priority 1";
    for (InnerMsg* m : {message, plain, empty, other}) {
        delete m;
    }
}

TEST_F(MsgProcessTest, RegistrationReplacesAndRefusesNull) {
    EXPECT_EQ(engine.AddHandler(0, 5, nullptr), 0u);
    EXPECT_EQ(engine.AddHandler(0, 5, new MsgHandleWrapper(Handler, 0)), 1u);
    EXPECT_EQ(engine.AddHandler(0, 5, new MsgHandleWrapper(Handler, 2)), 1u);
    EXPECT_TRUE(log.Contains("The message type does exist."));
    ASSERT_NE(engine.SearchHander(5), nullptr);
    EXPECT_EQ(engine.SearchHander(5)->GetPriority(), 2u);
    engine.AddHandlerHelper(nullptr, 6, 0);
    EXPECT_EQ(engine.SearchHander(6), nullptr);
}

// A full queue drops what comes next; a dropped answer still ends its callback.
TEST_F(MsgProcessTest, QueueHoldsAtMost101) {
    for (int i = 0; i < 102; ++i) {
        engine.AsyncMsg(Request(1000 + i));
    }
    EXPECT_EQ(engine.QueueLength(MSG_PRI_1), 101u) << "the 101st is queued, the 102nd is dropped";
    int answers = 0, timeouts = 0, destroyed = 0;
    InnerMsg* late = Request(0x60, MSG_TYPE_RESPONSE);
    late->SetCallBack(new Recorder(answers, timeouts, destroyed));
    engine.AsyncMsg(late);
    EXPECT_EQ(timeouts, 1);
    EXPECT_EQ(destroyed, 1);
    InnerMsg* first = engine.TakeMsg(MSG_PRI_1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->GetMsgInfo().uiMsgOPCode, 1000u) << "first in, first out";
    delete first;
}

TEST_F(MsgProcessTest, PriorityAbove2GoesToQueue0) {
    engine.AddHandlerHelper(new MsgHandleWrapper(Handler, 7), 0x700, 0);
    engine.AsyncMsg(Request(0x700));
    EXPECT_EQ(engine.QueueLength(MSG_PRI_0), 1u);
    InnerMsg* message = engine.TakeMsg(MSG_PRI_0);
    engine.SyncMsg(message);
    EXPECT_EQ(g_handled, 1);
    EXPECT_EQ(g_lastOpCode, 0x700u);
}

TEST_F(MsgProcessTest, RequestsWithoutHandlerAndUnknownTypes) {
    engine.SyncMsg(Request(0x1234));
    EXPECT_TRUE(log.Contains("The message key(4660) does not exist."));
    engine.SyncMsg(Request(0x1234, 9));
    EXPECT_TRUE(log.Contains("The message GetMsgType is not supported: 9."));
    EXPECT_EQ(g_handled, 0);

    engine.AddHandlerHelper(new MsgHandleWrapper(Handler, 1), 0x1234, 0);
    engine.SyncMsg(Request(0x1234, MSG_TYPE_REQUEST_NOACK));
    EXPECT_EQ(g_handled, 1) << "type 3 is handled like a request";
}

TEST_F(MsgProcessTest, ResponsesReachTheirCallbackOnce) {
    int answers = 0, timeouts = 0, destroyed = 0;
    InnerMsg* timedOut = Request(0x50, MSG_TYPE_RESPONSE);
    timedOut->SetResult(MSG_STATE_TIMEOUT);
    timedOut->SetCallBack(new Recorder(answers, timeouts, destroyed));
    engine.SyncMsg(timedOut);
    EXPECT_EQ(timeouts, 1);
    EXPECT_EQ(answers, 0) << "state 2 calls only timeout";
    EXPECT_EQ(destroyed, 1);

    InnerMsg* answered = Request(0x50, MSG_TYPE_RESPONSE);
    answered->SetResult(7);
    answered->SetCallBack(new Recorder(answers, timeouts, destroyed));
    engine.SyncMsg(answered);
    EXPECT_EQ(answers, 1) << "any other state is an answer";
    EXPECT_EQ(destroyed, 2);

    engine.SyncMsg(Request(0x50, MSG_TYPE_RESPONSE));
    EXPECT_TRUE(log.Contains("The response message is droped because of no callback."));
}

TEST_F(MsgProcessTest, QueueWatchWaitsForTenMinutesOfUptime) {
    for (int i = 0; i < 11; ++i) {
        engine.AsyncMsg(Request(3000 + i));
    }
    g_ulMsgQueCheckAfterMs = ~0ULL;
    engine.CheckMsgQue();
    EXPECT_FALSE(log.Contains("MsgQueue("));
    g_ulMsgQueCheckAfterMs = 0;
    engine.CheckMsgQue();
    EXPECT_TRUE(log.Contains("MsgQueue(1) length: 11 ."));
    g_ulMsgQueCheckAfterMs = 600000;
}

// The daemon's transport adapters and its client start-up: what the transport
// gets when it logs and sleeps through the daemon, and the configuration
// record StartClient hands over.
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
    chs_test::AttachAs(dir.path(), 2, false);
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

// The alarm-service client against a recording alarm endpoint (561) of this
// test process in a one-node temporary cluster: the parameter text and its
// escaping, the exact entry layout, and the results the caller sees.
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
