// Collected-file hand-off in a simulated two-node cluster: this process is the
// collector (endpoint 551) of node 0; the agent (550) is either an endpoint of
// this process that records what it receives, or the real chs-peers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "collector/collect_file_handoff.h"
#include "collector/collector_msg_handler.h"
#include "control/collector_ccdb.h"
#include "core/omlib.h"
#include "infra/chs_log.h"
#include "infra/file_util.h"
#include "msg/msg_api.h"
#include "msg/msg_process.h"
#include "platform/dpax_time.h"
#include "platform/om_cluster.h"
#include "platform/om_file_copy.h"
#include "tests/support/export_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/msg_test_util.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace chs_test;

constexpr uint32_t kAckProbe = 0x7E10;    // a test request answered by CollectorPostAckMsg
constexpr uint32_t kAgentProbe = 0x7E11;  // any answer tells that the agent is reachable

// What the recording agent endpoint received, and the answers the callback saw.
std::mutex g_mutex;
std::condition_variable g_cond;
std::vector<InnerMsg> g_received;
std::vector<unsigned int> g_answers;  // TryGetErrorCode of each answer

// A file named "refuse*" is answered with code 0x03000012, "garble*" with
// bytes that are no body, "silent*" not at all; any other with 0.
int RecordingAgent(void* transportMessage) {
    InnerMsg request;
    if (request.Decode(static_cast<unsigned char*>(transportMessage), 0) == 0xFFFFFFFF) {
        return 0;
    }
    const CTLVCell* cell =
        request.GetBody().empty() ? nullptr : request.GetBody()[0].find(SEND_FILE_TAG_FILE_NAME);
    std::string name = cell != nullptr ? cell->toString() : "";
    if (name.rfind("garble", 0) == 0) {
        void* garbage = msg_api::AllocMsg(4);
        memset(garbage, 0xFF, 4);
        msg_api::PostAckMsg(transportMessage, garbage, 4);
    } else if (name.rfind("silent", 0) != 0) {
        request.PostSimpleAckMsg(name.rfind("refuse", 0) == 0 ? 0x03000012 : 0, "");
    }
    if (request.GetMsgInfo().uiMsgOPCode != CHS_OPCODE_SEND_FILE) {
        return 0;  // a probe
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_received.push_back(request);
    g_cond.notify_all();
    return 0;
}

void OnAnswer(InnerMsg& answer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_answers.push_back(answer.TryGetErrorCode());
    g_cond.notify_all();
}

template <typename Done>
bool WaitState(Done done) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_cond.wait_for(lock, std::chrono::seconds(20), done);
}

// Records "context file outcome code" of each result.
std::vector<std::string> g_results;
void OnResult(const std::string& file, PluginSendOutcome outcome, uint32_t code, void* context) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_results.push_back(std::string(static_cast<const char*>(context)) + " " + baseName(file) + " " +
                        std::to_string(outcome) + " " + std::to_string(code));
    g_cond.notify_all();
}

// Answers the probe with the code and result its cells 0 and 1 ask for.
void AckProbe(InnerMsg& request) {
    const MsgRecord& record = request.GetBody()[0];
    CollectorPostAckMsg(request, record[0].GetUInt64(), static_cast<int>(record[1].GetInt64()));
}

class FileHandoffTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_cluster = MakeCluster(*s_dir, 2);
        AttachAs(s_cluster, 0, true);
        SetModuleID(CHS_COLLECTOR_PID);
        g_uiHandoffPollMs = 10;
    }
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_received.clear();
        g_answers.clear();
        g_results.clear();
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
        msg_api::UnRegisterPID(CHS_RELAYD_PID);  // a failed test must not keep 550 from the next
    }

    // Until the agent answers: after another 550 of this cluster went away,
    // the transport may still hold a connection to it, and a request posted
    // on that connection is lost.
    static bool AgentAnswers() {
        return WaitFor(
            [] {
                InnerMsg probe;
                probe.GetMsgInfo().uiMsgOPCode = kAgentProbe;
                probe.GetMsgInfo().usReceiverPID = CHS_RELAYD_PID;
                probe.GetMsgInfo().uiMsgTimeout = 1;
                probe.GetBody().append(new MsgRecord(0));
                InnerMsg answer;
                return probe.SendSyncMsg(answer) && answer.GetResult() == MSG_STATE_SUCCESS;
            },
            15000);
    }

    static void SetZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    static std::string Serial() {
        std::string serial;
        EXPECT_EQ(omlib::getProductSN(serial), 0);
        EXPECT_FALSE(serial.empty());
        return serial;
    }
    static void StartEngine() { ASSERT_EQ(MsgProcessClass::Instance()->Init(CHS_COLLECTOR_PID), 0u); }
    static void StartRecordingAgent() {
        StartEngine();
        ASSERT_EQ(msg_api::RegisterPID(CHS_RELAYD_PID, RecordingAgent), 0);
        ASSERT_TRUE(AgentAnswers());
    }
    // The answer of this process's own endpoint (551) to `record`.
    static InnerMsg Ask(uint32_t opCode, MsgRecord* record) {
        InnerMsg answer;
        EXPECT_TRUE(LocalRequest(opCode, record, 10).SendSyncMsg(answer));
        return answer;
    }
    static std::string NodeFile(uint16_t node, const std::string& name, const std::string& text) {
        std::string dir = s_cluster + "/node" + std::to_string(node) + "/VXA/coffer_data/omm/chs/";
        chs_test::MakeDirs(dir);
        WriteText(dir + name, text);
        return dir + name;
    }

    static inline TempDir* s_dir = nullptr;
    static inline std::string s_cluster;
};

// First in the file: it needs an engine in which nothing is registered yet
// (ctest runs every case in a process of its own anyway).
TEST_F(FileHandoffTest, EighthRegistrationFailingLeavesTheRestUnregistered) {
    LogCapture log;
    static int calls = 0;
    g_pfnCollectorHandlerFactory = [](void (*function)(InnerMsg&), uint32_t priority) -> MsgHandle* {
        return ++calls == 8 ? nullptr : NewCollectorHandler(function, priority);
    };
    EXPECT_EQ(InitInfoCollectMsgHandler(), -1);
    g_pfnCollectorHandlerFactory = NewCollectorHandler;
    EXPECT_EQ(calls, 8) << "no entry after the failing one is even built";
    MsgProcessClass* engine = MsgProcessClass::Instance();
    for (unsigned int i = 0; i < COLLECTOR_MSG_FUNC_NUM; ++i) {
        const tagCOLLECTOR_MSG_FUNC_ENTRY& entry = g_COLLECTOR_MSG_Func_Entry[i];
        MsgHandle* found = engine->SearchHander((entry.ullSubKey << 16) + entry.ullKey);
        EXPECT_EQ(found != nullptr, i < 7) << "entry " << i + 1;
        if (found != nullptr) {
            EXPECT_EQ(found->GetPriority(), entry.ullPri) << "entry " << i + 1;
        }
    }
    EXPECT_EQ(log.Count(" Failed to register collector msg"), 1u);
}

TEST_F(FileHandoffTest, AnswersReachTheirEntriesAndCarryOnlyFailures) {
    ASSERT_EQ(InitInfoCollectMsgHandler(), 0);
    // A general command reaches the entry of its record code and qualifier:
    // here the switch setter, which refuses a request without a switch cell.
    InnerMsg general = Ask(MSG_OPCODE_GENERAL, RecordOf(0xD00002000ULL, {CTLVCell::NewUInt32(0, 0xE05C)}));
    EXPECT_EQ(general.TryGetErrorCode(), 0x03000003u);
    ASSERT_EQ(general.GetBody().size(), 1u);
    EXPECT_EQ(general.GetBody()[0].GetCode(), 0xD00002000ULL);

    MsgProcessClass::Instance()->AddHandlerHelper(new MsgHandleWrapper(AckProbe, MSG_PRI_1), kAckProbe, 0);
    LogCapture log;
    for (int result : {0, 5}) {
        InnerMsg answer = Ask(
            kAckProbe, RecordOf(1, {CTLVCell::NewUInt64(0, 0xD00002000ULL), CTLVCell::NewInt32(1, result)}));
        ASSERT_EQ(answer.GetBody().size(), 1u);
        EXPECT_EQ(answer.GetBody()[0].GetCode(), 0xD00002000ULL);
        EXPECT_EQ(CellTexts(answer.GetBody()[0]),
                  result == 0 ? std::vector<std::string>{} : std::vector<std::string>{"{4095,4,I:5}"})
            << "cell 4095 only for a failure";
    }
    EXPECT_TRUE(log.Contains("Start to send ack msg: OpCode(55834583040) .ret(0)."));
    // Logged by the handler after its answer left, so possibly after it arrived.
    EXPECT_TRUE(
        WaitFor([&] { return log.Contains("Succeeded in send msg: OpCode(55834583040) .ret(5)."); }, 10000));

    InnerMsg notReceived;  // built here, so it has no sender to answer
    CollectorPostAckMsg(notReceived, 1, 0);
    EXPECT_TRUE(log.Contains("Failed to send the response message."));
}

TEST_F(FileHandoffTest, SendFileRequestsAndMissingFiles) {
    StartRecordingAgent();
    LogCapture log;
    std::string file = NodeFile(0, "node_x.tgz", "0123456789");
    std::string dir = file.substr(0, file.rfind('/') + 1);
    std::string missing = s_dir->Join("no_such.tgz");
    ASSERT_EQ(pluginSendFile(file, 7, std::string("192.0.2.1"), OnAnswer, 30), 0);
    ASSERT_EQ(pluginSendFile(file, -2, static_cast<unsigned short>(1), OnAnswer, 40), 0);
    EXPECT_EQ(pluginSendFile(missing, 1, std::string("192.0.2.1"), OnAnswer, 5), -1);
    EXPECT_EQ(pluginSendFile(missing, 1, static_cast<unsigned short>(0), OnAnswer, 5), -1)
        << "the local node";
    EXPECT_EQ(pluginSendFile(s_dir->path(), 1, std::string("192.0.2.1"), OnAnswer, 5), -1) << "a directory";
    // Node 1's file cannot be seen from here: it goes out with size 0.
    ASSERT_EQ(pluginSendFile(missing, 1, static_cast<unsigned short>(1), OnAnswer, 5), 0);
    ASSERT_TRUE(WaitState([] { return g_received.size() >= 3 && g_answers.size() >= 3; }));
    msg_api::UnRegisterPID(CHS_RELAYD_PID);
    EXPECT_EQ(log.Count("refused: no such file."), 3u);
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_answers, (std::vector<unsigned int>{0, 0, 0}))
        << "the caller's callback gets the answers, none for a refused file";
    ASSERT_EQ(g_received.size(), 3u) << "the refused requests were never queued";

    const std::string path = "{0," + std::to_string(dir.size() + 1) + ",S:" + dir + "}";
    const std::vector<std::vector<std::string>> cells = {
        {path, "{1,11,S:node_x.tgz}", "{2,4,U:10}", "{3,4,I:7}", "{4,10,S:192.0.2.1}", "{6,2,U:0}"},
        {path, "{1,11,S:node_x.tgz}", "{2,4,U:10}", "{3,4,I:-2}", "{5,2,U:1}", "{6,2,U:1}"},
        {"{0," + std::to_string(s_dir->path().size() + 2) + ",S:" + s_dir->path() + "/}",
         "{1,12,S:no_such.tgz}", "{2,4,U:0}", "{3,4,I:1}", "{5,2,U:1}", "{6,2,U:1}"},
    };
    const uint32_t timeouts[] = {30, 40, 5};
    for (size_t i = 0; i < 3; ++i) {
        const tagMsgInfo& info = g_received[i].GetMsgInfo();
        EXPECT_EQ(info.usSenderPID, 551);
        EXPECT_EQ(info.usReceiverPID, 550);
        EXPECT_EQ(info.uiMsgOPCode, 0x70001001u);
        EXPECT_EQ(info.uiMsgTimeout, timeouts[i]);
        ASSERT_EQ(g_received[i].GetBody().size(), 1u);
        EXPECT_EQ(CellTexts(g_received[i].GetBody()[0]), cells[i]) << "request " << i;
    }
}

// Exactly one result per queued request, with the caller's context, whichever
// way the agent answers; none for a request that was not queued.
TEST_F(FileHandoffTest, ResultsOfHandedOffFiles) {
    StartRecordingAgent();
    auto send = [](const std::string& file, const char* context, PluginSendResultFunc onResult) {
        return pluginSendFileWithResult(file, 3, std::string("192.0.2.1"), onResult,
                                        const_cast<char*>(context), 1);
    };
    for (const char* name : {"deliver.tgz", "refuse.tgz", "garble.tgz", "silent.tgz"}) {
        ASSERT_EQ(send(NodeFile(0, name, "x"), "address", OnResult), 0);
    }
    ASSERT_EQ(pluginSendFileWithResult(s_dir->Join("deliver_node.tgz"), 3, static_cast<unsigned short>(1),
                                       OnResult, const_cast<char*>("node"), 1),
              0);
    EXPECT_EQ(send(s_dir->Join("missing.tgz"), "missing", OnResult), -1);
    EXPECT_EQ(send(NodeFile(0, "deliver.tgz", "x"), "no function", nullptr), -1);
    ASSERT_TRUE(WaitState([] { return g_results.size() >= 5; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for a wrong extra call
    std::lock_guard<std::mutex> lock(g_mutex);
    std::sort(g_results.begin(), g_results.end());
    EXPECT_EQ(g_results,
              (std::vector<std::string>{"address deliver.tgz 0 0", "address garble.tgz 1 4294967295",
                                        "address refuse.tgz 1 50331666", "address silent.tgz 2 0",
                                        "node deliver_node.tgz 0 0"}));
}

TEST_F(FileHandoffTest, TheAgentDeliversTheFile) {
    StartEngine();
    std::unique_ptr<Process> peers = StartPeersAgent(s_cluster, 0, s_dir->Join("peers.out"));
    ASSERT_TRUE(AgentAnswers());
    std::string file = NodeFile(0, "node_a b.tgz", "collected bytes");
    NodeFile(1, "node_1.tgz", "bytes of node 1");
    std::string onNode1 = s_cluster + "/node0/VXA/coffer_data/omm/chs/node_1.tgz";

    ASSERT_EQ(pluginSendFile(file, 0, std::string("192.0.2.1"), OnAnswer, 20), 0);
    ASSERT_EQ(pluginSendFile(onNode1, 0, static_cast<unsigned short>(1), OnAnswer, 20), 0);
    ASSERT_TRUE(WaitState([] { return g_answers.size() == 2; }));
    EXPECT_EQ(g_answers, (std::vector<unsigned int>{0, 0}));

    std::string name0;
    std::string name1;
    ASSERT_EQ(omlib::getControllerName(0, name0), 0);
    ASSERT_EQ(omlib::getControllerName(1, name1), 0);
    EXPECT_EQ(ReadText(s_cluster + "/remote/" + name0 + "/node_a b.tgz"), "collected bytes");
    EXPECT_EQ(ReadText(s_cluster + "/remote/" + name1 + "/node_1.tgz"), "bytes of node 1");

    NotifyRelaydCollectorSwichChange();
    EXPECT_TRUE(WaitFor(
        [&] { return ReadText(s_cluster + "/run/peers0.log").find("switch-change") != std::string::npos; },
        10000));
}

TEST_F(FileHandoffTest, FileNamesAndTimeZones) {
    SetZone("<+0530>-5:30");
    std::string serial = Serial();
    std::string name;
    ASSERT_EQ(GenCollectorFileName(1, "20261206101500", "diagnoseinfo_", ".tgz", name), 0);
    EXPECT_EQ(name, "diagnoseinfo_" + serial + "_20261206101500UTC+05300.tgz");
    ASSERT_EQ(GenCollectorFileName(0, "20261206101500", "diagnoseinfo_", ".tgz", name), 0);
    EXPECT_EQ(name, "diagnoseinfo_" + serial + "_SP0_20261206101500UTC+05300.tgz");
    ASSERT_EQ(GenCollectorFileNameByNodeId(0, "20261206101500", "node_", ".tgz", 13, name), 0);
    EXPECT_EQ(name, "node_" + serial + "_SP13_20261206101500UTC+05300.tgz");

    SetZone("<-0330>3:30");
    ASSERT_EQ(GenCollectorFileName(1, "20260101000000", "", "", name), 0);
    EXPECT_EQ(name, serial + "_20260101000000UTC-03300");

    // Standard time +10, summer time +11 from October to April.
    SetZone("<+10>-10<+11>,M10.1.0,M4.1.0/3");
    char zone[DPAX_TIME_TZ_LEN];
    ASSERT_EQ(dpax_time_gettz(zone, sizeof(zone)), DPAX_TIME_OK);
    EXPECT_STREQ(zone, "UTC+10:00") << "the zone is named by its standard offset all year";
    DPAX_TIME_DST_S dst{};
    ASSERT_EQ(dpax_time_query_dstforregion(zone, &dst), DPAX_TIME_OK);
    time_t now = time(nullptr);
    tm local{};
    ASSERT_NE(localtime_r(&now, &local), nullptr);
    EXPECT_EQ(dst.iDstInEffect, local.tm_isdst > 0 ? 1 : 0);
    EXPECT_EQ(dst.iDstObserved, 1);
    EXPECT_EQ(dst.iDstShiftMin, 60);
    std::string text;
    ASSERT_EQ(getTimeZoneInfo(text), 0);
    EXPECT_EQ(text, std::string("UTC+1000") + (local.tm_isdst > 0 ? "1" : "0"));

    EXPECT_EQ(dpax_time_query_dstforregion("UTC+01:00", &dst), DPAX_TIME_ERR) << "only the own zone is known";
    char small[9];
    EXPECT_EQ(dpax_time_gettz(small, sizeof(small)), DPAX_TIME_ERR);

    SetZone("UTC0");
    ASSERT_EQ(getTimeZoneInfo(text), 0);
    EXPECT_EQ(text, "UTC+00000");
}

TEST_F(FileHandoffTest, CollectMinutes) {
    LogCapture log;
    for (int minute = 0; minute < 60; ++minute) {
        EXPECT_EQ(IsCollectMinute("collect_array", minute), minute % 5 == 0) << minute;
        EXPECT_EQ(IsCollectMinute("collect_node", minute), minute % 5 == 2) << minute;
    }
    EXPECT_EQ(log.Count("Function get a wrong timer name."), 0u);
    EXPECT_TRUE(IsCollectMinute("collect_nodes", 3));
    EXPECT_TRUE(isNodeOrArrayOnCollectTime(""));
    EXPECT_EQ(log.Count("Function get a wrong timer name."), 2u);

    // The public form reads the local clock: compare within one minute.
    for (int attempt = 0; attempt < 3; ++attempt) {
        time_t before = time(nullptr);
        bool node = isNodeOrArrayOnCollectTime("collect_node");
        time_t after = time(nullptr);
        tm local{};
        localtime_r(&before, &local);
        if (before / 60 == after / 60) {
            EXPECT_EQ(node, local.tm_min % 5 == 2);
            break;
        }
    }
}

// What each wait saw when it returned, read before the signalling thread is
// joined: a wait that returned early would see the flag unset or answers
// outstanding; one that missed the signal would poll 1000 s, past the time-out.
TEST_F(FileHandoffTest, WaitsEndWhenACallbackSignals) {
    bool done = false;
    unsigned int pending = 3;
    std::thread callbacks([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        __atomic_store_n(&done, true, __ATOMIC_RELEASE);
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            __atomic_fetch_sub(&pending, 1u, __ATOMIC_RELEASE);
        }
    });
    waitSendFileFinish(done, 100000);
    bool doneSeen = __atomic_load_n(&done, __ATOMIC_ACQUIRE);
    waitAllNodeResponse(pending, 100000);
    unsigned int pendingSeen = __atomic_load_n(&pending, __ATOMIC_ACQUIRE);
    callbacks.join();
    EXPECT_TRUE(doneSeen);
    EXPECT_EQ(pendingSeen, 0u);

    // Without a signal each gives up after its polls.
    bool never = false;
    unsigned int stuck = 1;
    waitSendFileFinish(never, 3);
    waitAllNodeResponse(stuck, 0);
    EXPECT_FALSE(never);
    EXPECT_EQ(stuck, 1u);
}

TEST_F(FileHandoffTest, GetFileOfTheLocalNodeAndOfAnother) {
    LogCapture log;
    std::string file = NodeFile(0, "local.txt", "local bytes");
    std::string target = s_dir->Join("fetched");
    chs_test::MakeDirs(target);
    EXPECT_EQ(pluginGetFile(0, file, target), 0) << "a directory given without its '/'";
    EXPECT_EQ(ReadText(target + "/local.txt"), "local bytes");
    EXPECT_EQ(pluginGetFile(0, s_dir->Join("missing.txt"), target + "/"), -1);

    // Node 1 runs no daemon here, so its file service cannot be reached.
    EXPECT_EQ(pluginGetFile(1, "/VXA/coffer_data/remote.txt", target), -1);
    EXPECT_TRUE(
        log.Contains("Failed to get node(1) file, ret:" + std::to_string(OM_FILE_ERR_UNREACHABLE) + "."));
    EXPECT_FALSE(log.Contains("Success in get node:1"));
}

TEST_F(FileHandoffTest, CollectSwitchIsOnlyExactlyOn) {
    ASSERT_EQ(COLLECTOR_CCDB::Init(), 0u);
    for (const auto& [value, on] :
         std::vector<std::pair<std::string, bool>>{{"on", true}, {"off", false}, {"On", false}}) {
        ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch(value), 0u);
        EXPECT_EQ(checkCollectSwitch(), on) << value;
    }
}

}  // namespace
