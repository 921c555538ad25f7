// The collector switch requests as the management side meets them: this test
// process is the collector (551) of node 0 in a two-node cluster with the real
// configuration database, the real chs-peers of node 0 answering the user
// query (567), recording operation-log entries (561) and switch notices (550),
// and a recording input driver in the engine.
#include "control/collector_switch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "collector/collect_file_handoff.h"
#include "collector/collector_db.h"
#include "collector/collector_msg_handler.h"
#include "control/collector_ccdb.h"
#include "include/infocollector/engine.h"
#include "infra/chs_log.h"
#include "msg/msg_api.h"
#include "platform/om_ccdb.h"
#include "platform/om_cluster.h"
#include "platform/platform_state.h"
#include "tests/support/export_test_util.h"
#include "tests/support/json_lines.h"
#include "tests/support/log_capture.h"
#include "tests/support/msg_test_util.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace chs_test;

constexpr uint32_t kSession = 12;         // "admin" in peers.json
constexpr uint32_t kUnknownSession = 99;  // not in peers.json
constexpr unsigned int kWaitMs = 15000;
constexpr const char* kNotified = "Succeed in notify nodes that the switch has changed";
using Stored = std::vector<std::string>;  // collector switch, OEM switch, syslog user

std::atomic<int> g_starts{0};
std::atomic<int> g_stops{0};

class RecordingDriver : public InputDriverBase {
  public:
    int32_t Start() override { return ++g_starts, 0; }
    int32_t Stop() override { return ++g_stops, 0; }
};

class CollectorSwitchTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_cluster = MakeCluster(*s_dir, 2);
        WriteText(s_cluster + "/peers.json", R"({"sessions": {"12": "admin"}})");
        AttachAs(s_cluster, 0, true);
        SetModuleID(CHS_COLLECTOR_PID);
        ASSERT_EQ(COLLECTOR_CCDB::Init(), 0u);
        ASSERT_EQ(RecoverDb(), 0);
        ASSERT_EQ(CollectorDbOper(""), 0);
        s_peers = StartPeersAgent(s_cluster, 0, s_dir->Join("peers.out"));
        ASSERT_EQ(InitInfoCollectMsgHandler(), 0);
        std::string name = "switch_test_driver";
        ASSERT_EQ(InfoCollectEngineClass::instance()->AddInputDriver(name, new RecordingDriver()), 0);
    }
    static void TearDownTestSuite() {
        s_peers.reset();
    }

    void SetUp() override {
        platform::state::ClearAll();
        ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("off"), 0u);
        ASSERT_EQ(COLLECTOR_CCDB::SetOemSwitch("off"), 0u);
        ASSERT_EQ(COLLECTOR_CCDB::SetSyslogUser(""), 0u);
        SetAreaId("site-1");
        SetPluginsRunning(false);  // as after start-up with the switch "off"
        g_starts = 0;
        g_stops = 0;
        fs::remove(AlarmFile());
        fs::remove(AgentEventFile());
        log.Clear();
    }
    void TearDown() override {
        platform::state::ClearAll();
        ASSERT_TRUE(s_peers != nullptr && s_peers->Running()) << "chs-peers died";
    }

    static void SetAreaId(const std::string& areaId) {
        CCDB_COMM::tagDB_CHS_RELAYD_CFG_S row{};
        row.serviceid = 1;
        strncpy(row.areaId, areaId.c_str(), sizeof(row.areaId) - 1);
        ASSERT_EQ(
            OM_CCDB_DelAndInsert(g_collectorCcdbId, CCDB_COMM::CHS_RELAYD_CFG_TABLE, "1", &row, sizeof(row)),
            0);
    }
    static Stored ReadStored() {
        Stored stored(3);
        EXPECT_EQ(COLLECTOR_CCDB::GetCollectorSwitch(stored[0]), 0u);
        EXPECT_EQ(COLLECTOR_CCDB::GetOemSwitch(stored[1]), 0u);
        EXPECT_EQ(CCDB_COMM::GetSyslogUserFromDB(g_collectorCcdbId, stored[2]), 0u);
        return stored;
    }
    static void SetPluginsRunning(bool running) {
        std::lock_guard<std::mutex> lock(g_mutexSwitchStatus);
        PLUGIN_SWITCH_STATUS = running;
    }
    static bool PluginsRunning() {
        std::lock_guard<std::mutex> lock(g_mutexSwitchStatus);
        return PLUGIN_SWITCH_STATUS;
    }

    static std::string AlarmFile() { return s_cluster + "/remote/alarm/node0.jsonl"; }
    static std::string AgentEventFile() { return s_cluster + "/run/peers0.log"; }
    // The operation-log entries so far, as "<id> <parameter text>".
    static std::vector<std::string> OpLogs() {
        std::vector<std::string> entries;
        for (const Json::Value& line : JsonLines(AlarmFile())) {
            std::string text = line["id"].asString();
            EXPECT_EQ(line["entryType"].asUInt64(), 3u);
            EXPECT_EQ(line["senderPid"].asUInt(), 551u);
            for (const Json::Value& cell : line["cells"]) {
                if (cell["tag"].asUInt() == 2) {
                    text += " " + cell["value"].asString();
                }
            }
            entries.push_back(text);
        }
        return entries;
    }
    static bool WaitOpLogs(size_t count) {
        return WaitFor([count] { return JsonLines(AlarmFile()).size() >= count; }, kWaitMs);
    }
    static size_t AgentSwitchNotices() {
        size_t count = 0;
        for (const Json::Value& line : JsonLines(AgentEventFile())) {
            count += line["event"].asString() == "switch-change" ? 1 : 0;
        }
        return count;
    }

    static InnerMsg Request(uint32_t opCode, MsgRecord* record, uint32_t sessionKey = kSession) {
        InnerMsg request = LocalRequest(opCode, record);
        request.GetMsgInfo().uiSessionKey = sessionKey;
        return request;
    }
    static MsgRecord* SwitchRecord(unsigned long long code, std::initializer_list<CTLVCell*> cells = {}) {
        MsgRecord* record = RecordOf(code, {CTLVCell::NewEnum(0, CHS_SWITCH_QUALIFIER)});
        for (CTLVCell* cell : cells) {
            record->appendInner(cell);
        }
        return record;
    }
    // A set request with `cells` after the qualifier; the result code of its
    // answer, which must be one 4-byte integer cell 4095 alone.
    static uint32_t Set(std::initializer_list<CTLVCell*> cells, uint32_t sessionKey = kSession) {
        InnerMsg answer;
        EXPECT_TRUE(Request(MSG_OPCODE_GENERAL, SwitchRecord(CHS_RECORD_SET_SWITCH, cells), sessionKey)
                        .SendSyncMsg(answer));
        if (answer.GetBody().size() != 1) {
            ADD_FAILURE() << answer.GetBody().size() << " records in the answer";
            return 0xDEADu;
        }
        const MsgRecord& reply = answer.GetBody()[0];
        const CTLVCell* result = reply.find(MSG_TAG_ERROR_CODE);
        if (reply.GetCode() != CHS_RECORD_SET_SWITCH || reply.count() != 1 || result == nullptr ||
            result->GetType() != CTLVCell::TLV_INTEGER || result->GetLength() != 4) {
            ADD_FAILURE() << "not a set answer: " << ::testing::PrintToString(CellTexts(reply));
            return 0xDEADu;
        }
        return static_cast<uint32_t>(result->GetUInt64());
    }
    static CTLVCell* Collector(const std::string& value) {
        return CTLVCell::NewString(CHS_SWITCH_TAG_COLLECTOR, value);
    }
    static CTLVCell* Oem(const std::string& value) { return CTLVCell::NewString(CHS_SWITCH_TAG_OEM, value); }
    static uint32_t SetCollector(const std::string& value, uint32_t sessionKey = kSession) {
        return Set({Collector(value)}, sessionKey);
    }

    static inline TempDir* s_dir = nullptr;
    static inline std::string s_cluster;
    static inline std::unique_ptr<Process> s_peers;
    LogCapture log;
};

TEST_F(CollectorSwitchTest, SwitchingOnAndOffReachesEveryPartOnce) {
    EXPECT_EQ(SetCollector("on"), 0u);
    EXPECT_EQ(ReadStored(), (Stored{"on", "off", "admin"}));
    EXPECT_TRUE(log.Contains("User name is admin"));
    EXPECT_EQ(log.Count(kNotified), 1u);
    // The node asked starts its own plugins before it answers; the broadcast
    // that reaches it too finds nothing left to do.
    ASSERT_TRUE(WaitFor([] { return g_starts == 1; }, kWaitMs));
    EXPECT_TRUE(PluginsRunning());
    ASSERT_TRUE(WaitOpLogs(1));
    EXPECT_EQ(OpLogs(), (std::vector<std::string>{"0x200fe05c0009 12,on"}));
    EXPECT_EQ(AgentSwitchNotices(), 0u) << "only switching off tells the agent";

    EXPECT_EQ(SetCollector("off"), 0u);
    EXPECT_EQ(ReadStored()[0], "off");
    EXPECT_EQ(log.Count(kNotified), 2u);
    ASSERT_TRUE(WaitFor([] { return g_stops == 1; }, kWaitMs));
    EXPECT_TRUE(WaitFor([] { return AgentSwitchNotices() == 1; }, kWaitMs));
    ASSERT_TRUE(WaitOpLogs(2));

    // Already off: no broadcast, but the agent still hears of it.
    EXPECT_EQ(SetCollector("off"), 0u);
    EXPECT_EQ(log.Count(kNotified), 2u);
    EXPECT_TRUE(WaitFor([] { return AgentSwitchNotices() == 2; }, kWaitMs));
    ASSERT_TRUE(WaitOpLogs(3));
    EXPECT_EQ(OpLogs(), (std::vector<std::string>{"0x200fe05c0009 12,on", "0x200fe05c0009 12,off",
                                                  "0x200fe05c0009 12,off"}));
    EXPECT_EQ(g_starts, 1);
    EXPECT_EQ(g_stops, 1);
}

TEST_F(CollectorSwitchTest, BadSetRequestsAreAnsweredAndChangeNothing) {
    const Stored before = ReadStored();
    struct Case {
        const char* pcName;
        CTLVCell* pCell;  // null: no switch cell
        uint32_t uiCode;
        const char* pcOpLog;  // null: no operation-log entry
    };
    std::vector<Case> cases = {
        {"no switch cell", nullptr, 0x03000003, nullptr},
        {"switch cell not text", CTLVCell::NewUInt32(CHS_SWITCH_TAG_COLLECTOR, 1), 0x03000003, nullptr},
        {"wrong case", Collector("On"), 0x4000C958, "0x200fe05c000a 12,On,0x4000c958"},
        {"blank", Collector("on "), 0x4000C958, "0x200fe05c000a 12,on ,0x4000c958"},
        {"separator in the value", Collector("on,x&y"), 0x4000C958,
         "0x200fe05c000a 12,on&#44;x&#38;y,0x4000c958"},
        {"empty", Collector(""), 0x4000C958, "0x200fe05c000a 12,,0x4000c958"},
        {"illegal OEM value", Oem("ON"), 0x4000C958, "0x2fe05c0002 12,ON,0x4000c958"},
    };
    std::vector<std::string> expected;
    for (Case& item : cases) {
        SCOPED_TRACE(item.pcName);
        EXPECT_EQ(item.pCell == nullptr ? Set({}) : Set({item.pCell}), item.uiCode);
        if (item.pcOpLog != nullptr) {
            expected.push_back(item.pcOpLog);
            ASSERT_TRUE(WaitOpLogs(expected.size()));
        }
        EXPECT_EQ(ReadStored(), before);
    }
    EXPECT_EQ(OpLogs(), expected);
    EXPECT_EQ(log.Count("Failed to extract parameter, return 50331651."), 2u);
    EXPECT_GE(log.Count("An exception occurred during getting the collector switch from the reqMsg."), 2u);
    EXPECT_EQ(log.Count("The switch value is illegal"), 5u);
    EXPECT_EQ(log.Count("Failed to check oem switch, return 1073793368."), 1u);
    EXPECT_FALSE(log.Contains("Succeed in notify nodes"));

    // A body without records cannot be routed by the engine; the handler
    // still refuses it (and has nobody to answer).
    InnerMsg empty;
    HandleSetSwitch(empty);
    EXPECT_EQ(log.Count("Obj count is zero."), 2u) << "once for the OEM cell, once for the switch cell";
    EXPECT_TRUE(log.Contains("Failed to post ack msg."));
    std::string value = "kept";
    EXPECT_EQ(ExtractSetCollectorSwitchMsg(empty, value, CHS_SWITCH_TAG_COLLECTOR), 0x03000003u);
    EXPECT_EQ(ReadStored(), before);
    EXPECT_EQ(g_starts + g_stops, 0);
}

TEST_F(CollectorSwitchTest, SwitchingOnNeedsSiteIdAndKnownUser) {
    SetAreaId("");
    EXPECT_EQ(SetCollector("on"), 0x40E05B24u);
    EXPECT_TRUE(log.Contains("Site id not set."));
    EXPECT_EQ(ReadStored(), (Stored{"off", "off", ""}));
    ASSERT_TRUE(WaitOpLogs(1));

    // The user query fails: the switch goes back to its old value.
    SetAreaId("site-1");
    EXPECT_EQ(SetCollector("on", kUnknownSession), 0x4000C960u);
    EXPECT_EQ(ReadStored(), (Stored{"off", "off", ""}));
    EXPECT_TRUE(log.Contains(" Failed to query device info from cfg"));
    EXPECT_TRUE(log.Contains("Failed to save user information, return 1073793376."));
    ASSERT_TRUE(WaitOpLogs(2));
    EXPECT_EQ(OpLogs(), (std::vector<std::string>{"0x200fe05c000a 12,on,0x40e05b24",
                                                  "0x200fe05c000a 99,on,0x4000c960"}));
    EXPECT_FALSE(log.Contains("Succeed in notify nodes"));

    // The same with the switch already on: it stays on.
    ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("on"), 0u);
    EXPECT_EQ(SetCollector("on", kUnknownSession), 0x4000C960u);
    EXPECT_EQ(ReadStored()[0], "on");
    EXPECT_EQ(g_starts + g_stops, 0);
}

TEST_F(CollectorSwitchTest, OemSwitchAndOemMode) {
    EXPECT_EQ(Set({Oem("on")}), 0u);
    EXPECT_EQ(ReadStored(), (Stored{"off", "on", ""}));
    ASSERT_TRUE(WaitOpLogs(1));
    EXPECT_EQ(OpLogs(), (std::vector<std::string>{"0x2fe05c0001 12,on"}));
    EXPECT_FALSE(log.Contains("Succeed in notify nodes")) << "the OEM switch is not broadcast";
    EXPECT_EQ(Set({Collector("on"), Oem("off")}), 0u) << "cell 73 wins over cell 64";
    EXPECT_EQ(ReadStored(), (Stored{"off", "off", ""}));
    ASSERT_TRUE(WaitOpLogs(2));

    // An OEM device whose OEM switch is off refuses the collector switch
    // without touching anything or logging an operation.
    platform::state::Set("oem_mode", "1");
    EXPECT_EQ(SetCollector("on"), 0xFFFFFFFFu);
    EXPECT_EQ(SetCollector("bogus"), 0xFFFFFFFFu);
    EXPECT_EQ(log.Count("The OEM device doesn's support Call Home Service."), 2u);
    EXPECT_EQ(ReadStored(), (Stored{"off", "off", ""}));
    EXPECT_EQ(JsonLines(AlarmFile()).size(), 2u);
    ASSERT_EQ(COLLECTOR_CCDB::SetOemSwitch("on"), 0u);
    EXPECT_EQ(SetCollector("on"), 0u) << "with its OEM switch on, the same device serves the request";
    EXPECT_EQ(ReadStored(), (Stored{"on", "on", "admin"}));
}

TEST_F(CollectorSwitchTest, QueryReportsStoredTextsAsTheyAre) {
    ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("on"), 0u);
    ASSERT_EQ(COLLECTOR_CCDB::SetOemSwitch("ON"), 0u);
    InnerMsg answer;
    ASSERT_TRUE(Request(MSG_OPCODE_GENERAL, SwitchRecord(CHS_RECORD_QUERY_SWITCH)).SendSyncMsg(answer));
    ASSERT_EQ(answer.GetBody().size(), 1u);
    EXPECT_EQ(answer.GetBody()[0].GetCode(), CHS_RECORD_QUERY_SWITCH);
    EXPECT_EQ(CellTexts(answer.GetBody()[0]),
              (std::vector<std::string>{"{0,8,E:57436}", "{64,3,S:on}", "{73,3,S:ON}", "{4095,4,I:0}"}));
    EXPECT_TRUE(log.Contains("recice query switch msg."));
    EXPECT_TRUE(log.Contains("The switch is illegal. switch(on) oemswitch(ON)"));
}

TEST_F(CollectorSwitchTest, PluginsAndSupervisionFollowOnlyChangesOfState) {
    SetPluginsRunning(true);  // start-up has started collection itself
    EXPECT_EQ(NotifyAllPluginRegister("on"), 0u);
    EXPECT_EQ(NotifyAllPluginRegister("on"), 0u);
    EXPECT_EQ(g_starts, 0);
    EXPECT_EQ(log.Count("The Collector plugins have started."), 2u);
    EXPECT_EQ(NotifyAllPluginRegister("off"), 0u);
    EXPECT_EQ(NotifyAllPluginRegister("off"), 0u);
    EXPECT_EQ(g_stops, 1);
    EXPECT_TRUE(log.Contains("The result of stop Collector:(0)."));
    EXPECT_TRUE(log.Contains("The Collector plugins have stopped."));
    EXPECT_EQ(NotifyAllPluginRegister("on"), 0u);
    EXPECT_EQ(NotifyAllPluginRegister("on"), 0u);
    EXPECT_EQ(g_starts, 1);
    EXPECT_EQ(NotifyAllPluginRegister(""), 0xFFFFFFFFu);
    EXPECT_EQ(NotifyAllPluginRegister("Off"), 0xFFFFFFFFu);
    EXPECT_TRUE(log.Contains("The Collector switch is error:()."));
    EXPECT_TRUE(PluginsRunning());
    EXPECT_EQ(g_stops, 1);

    // The supervision step applies the stored "off" once.
    SetLastKnownCollectorSwitch("on");
    ControlPluginsBySwitch();
    EXPECT_EQ(g_stops, 2);
    EXPECT_TRUE(log.Contains("Switch changed from on to off by loop checking in main."));
    EXPECT_EQ(GetLastKnownCollectorSwitch(), "off");
    ControlPluginsBySwitch();
    EXPECT_EQ(g_stops, 2);
    EXPECT_EQ(log.Count("Switch changed from"), 1u);
    // A stored value the plugins cannot follow is reported every cycle and
    // never becomes the last-known value.
    ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("broken"), 0u);
    ControlPluginsBySwitch();
    ControlPluginsBySwitch();
    EXPECT_EQ(log.Count("Switch changed from off to broken by loop checking in main."), 2u);
    EXPECT_EQ(GetLastKnownCollectorSwitch(), "off");
}

TEST_F(CollectorSwitchTest, ChangeNoticeIsSpreadToEveryNode) {
    SetPluginsRunning(true);
    // Another module changed the stored switch and asks this node to spread it.
    InnerMsg notice = Request(CHS_OPCODE_COLLECTOR_SWITCH_CHANGE, new MsgRecord(0));
    notice.GetMsgInfo().uiMsgTimeout = 1;  // never answered
    InnerMsg answer;
    (void)notice.SendSyncMsg(answer);
    ASSERT_TRUE(WaitFor([] { return g_stops == 1; }, kWaitMs));
    EXPECT_TRUE(log.Contains(kNotified));
    EXPECT_TRUE(log.Contains("The result of stop Collector:(0)."));

    InnerMsg empty;
    HandleCollectorSwichChange(empty);
    EXPECT_TRUE(log.Contains("Obj count is zero."));
    EXPECT_EQ(log.Count(kNotified), 1u);
}

TEST_F(CollectorSwitchTest, ClearAllEmptiesBothTreesAndTheRecords) {
    std::vector<std::string> files;
    for (const char* root :
         {"/VXA/coffer_data/omm/export_import/chs/collector/", "/VXA/lun_data/omm/chs/collector/"}) {
        for (const char* sub : {"alarm/", "node/temp/", "array/", "diagnose_data/"}) {
            std::string dir = s_cluster + "/node0" + root + sub;
            MakeDirs(dir);
            files.push_back(dir + "it's $(touch pwned) a b.tgz");
            WriteText(files.back(), "collected");
        }
    }
    std::string outside = s_cluster + "/node0/VXA/coffer_data/omm/export_import/chs/keep.txt";
    WriteText(outside, "not collected");
    ASSERT_EQ(insertPluginRecord(files[0], 1), 0);
    ASSERT_EQ(insertNodeRecord(files[1], 0), 0);

    InnerMsg request = Request(CHS_OPCODE_CLEAR_ALL_COLLECTOR_FILE, new MsgRecord(0));
    HandleClearAllCollectorFile(request);
    for (const std::string& file : files) {
        EXPECT_FALSE(fs::exists(file)) << file;
        EXPECT_TRUE(fs::is_directory(fs::path(file).parent_path())) << "directories are kept";
    }
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_FALSE(
        fs::exists(s_cluster + "/node0/VXA/coffer_data/omm/export_import/chs/collector/alarm/pwned"));
    EXPECT_FALSE(fs::exists("pwned"));
    int count = -1;
    EXPECT_EQ(queryPluginRecordCount(files[0], count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(log.Contains("Finish to clear all collector file."));
    EXPECT_TRUE(WaitFor([] { return AgentSwitchNotices() == 1; }, kWaitMs));
    EXPECT_EQ(ReadStored()[0], "off") << "clearing leaves the switch alone";
}

}  // namespace
