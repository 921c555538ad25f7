// The running-data and alarm-and-event parts of a diagnose export in a
// simulated two-node cluster over the real transport. This process is node
// 1, the run node, with an alarm service (561) and a synchronisation service
// (569) of its own registered in-process; node 0, the master, is this binary
// started with CHS_DATA_PEER: it serves its files, the peer delete request
// and a synchronisation service of its own. What the two synchronisation
// services answer is set through state overrides, which both processes read.
#include "export/data_export.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "collector/collect_file_handoff.h"
#include "core/omlib.h"
#include "export/alarm_log_client.h"
#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/diagnose_globals.h"
#include "export/diagnose_peer_files.h"
#include "infra/chs_log.h"
#include "msg/chs_wire.h"
#include "msg/msg_api.h"
#include "msg/msg_process.h"
#include "platform/om_cluster.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"
#include "tests/support/export_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/export_record.h"

namespace {

using chs_test::Entries;
using chs_test::LogCapture;
using chs_test::MakeDirs;
using chs_test::ReadText;
using chs_test::SizedFile;
using chs_test::SizeOf;
using chs_test::WaitFor;
using chs_test::WriteText;
namespace fs = std::filesystem;

constexpr uint32_t kMB = 1u << 20;
const std::string kRunningData = "/VXA/coffer_data/omm/export_import/running_data/running_data.json";
const std::string kEventFile = "/VXA/coffer_data/omm/export_import/alarm_log/alarm_event_CTE0.B.tgz";

// ------------------------------------------------------------ the services

// Synchronisation service: state "fake569" = ok | fail | silent, the answered
// location in "fake569_location"; "fake569_then_offline" reports its node
// offline before answering.
int FakeSync(void* transportMessage) {
    InnerMsg request;
    if (request.Decode(static_cast<unsigned char*>(transportMessage), 0) == 0xFFFFFFFF) {
        return 0;
    }
    std::string mode = platform::state::Get("fake569").value_or("ok");
    if (mode == "silent") {
        return 0;
    }
    if (platform::state::IsSet("fake569_then_offline")) {
        WriteText(platform::state::Dir() + "/node" + std::to_string(omlib::getLocalNidInUser()) + "_offline", "1");
    }
    MsgObject body;
    MsgRecord* record = new MsgRecord(chs_wire::RECORD_RUNNING_DATA);
    body.append(record);
    record->appendInner(CTLVCell::NewInt32(chs_wire::TAG_RESULT, mode == "fail" ? 5 : 0));
    record->appendInner(CTLVCell::NewString(chs_wire::RUNNING_DATA_TAG_LOCATION,
                                            platform::state::Get("fake569_location").value_or("")));
    request.PostAckMsg(body);
    return 0;
}

// Alarm service of the run node: answers as g_alarm says and records what it saw.
struct AlarmScript {
    int32_t startCode = 0;
    std::vector<uint32_t> totals{chs_wire::ALM_TOTAL_DONE};  // the last one repeats
    bool nodeEntry = true;
    int32_t exportState = chs_wire::ALM_NODE_READY;
    std::string location;
    uint32_t queries = 0;
    std::vector<std::string> clears;  // "clear type:node name"
};
std::mutex g_alarmMutex;
AlarmScript g_alarm;

int FakeAlarm(void* transportMessage) {
    InnerMsg request;
    if (request.Decode(static_cast<unsigned char*>(transportMessage), 0) == 0xFFFFFFFF ||
        request.GetBody().empty()) {
        return 0;
    }
    const MsgRecord& asked = request.GetBody()[0];
    MsgObject body;
    MsgRecord* record = new MsgRecord(asked.GetCode());
    body.append(record);
    std::lock_guard<std::mutex> lock(g_alarmMutex);
    switch (asked.GetCode()) {
        case chs_wire::RECORD_ALM_EXPORT_START:
            record->appendInner(CTLVCell::NewInt32(chs_wire::TAG_RESULT, g_alarm.startCode));
            break;
        case chs_wire::RECORD_ALM_EXPORT_STATUS: {
            size_t index = std::min<size_t>(g_alarm.queries++, g_alarm.totals.size() - 1);
            record->appendInner(CTLVCell::NewUInt32(chs_wire::ALM_TAG_TOTAL_STATUS, g_alarm.totals[index]));
            if (g_alarm.nodeEntry) {
                record->appendInner(CTLVCell::NewString(chs_wire::ALM_TAG_NODE_NAME, "CTE0.B"));
                record->appendInner(CTLVCell::NewUInt32(chs_wire::ALM_TAG_PKG_STATUS, 0));
                record->appendInner(CTLVCell::NewInt32(chs_wire::ALM_TAG_EXPORT_STATUS, g_alarm.exportState));
            }
            break;
        }
        case chs_wire::RECORD_ALM_EXPORT_PKG:
            record->appendInner(CTLVCell::NewString(chs_wire::ALM_TAG_LOCATION, g_alarm.location));
            break;
        case chs_wire::RECORD_ALM_EXPORT_CLEAR:
            g_alarm.clears.push_back(std::to_string(asked[chs_wire::ALM_TAG_LOG_TYPE].GetUInt64()) + ":" +
                                     asked[chs_wire::ALM_TAG_CLEAR_NODE].toString());
            break;
        default:
            break;
    }
    request.PostAckMsg(body);
    return 0;
}

// Node 0: "<cluster.json> <root>".
int RunPeer(const char* args) {
    char clusterFile[512] = {0}, root[512] = {0};
    if (sscanf(args, "%511s %511s", clusterFile, root) != 2) {
        return 2;
    }
    return chs_test::ServeAsPeer(clusterFile, "0", root, {{EXPORT_OPCODE_DELETE_FILE, processDelFileFromPeer}},
                                 [] { return msg_api::RegisterPID(chs_wire::PID_SYNC, FakeSync) == 0; });
}

class DataExportTest : public ::testing::Test {
  public:
    // After the last test: node 0 stops and the cluster directory goes.
    static void RemoveCluster() {
        s_peer.reset();
        delete s_dir;
        s_dir = nullptr;
    }

  protected:
    static void SetUpTestSuite() {
        if (s_dir != nullptr) {
            return;
        }
        s_dir = new chs_test::TempDir();
        s_cluster = chs_test::MakeCluster(*s_dir, 2);
        std::string clusterFile = s_cluster + "/cluster.json";
        s_peer = chs_test::StartSelf("CHS_DATA_PEER=" + clusterFile + " " + Root(0), s_dir->Join("peer.out"));
        ASSERT_FALSE(HasFailure());
        ASSERT_EQ(OMClusterInit(35, 0, 35, "1", Root(1).c_str(), clusterFile.c_str()), 0);
        SetModuleID(CHS_COLLECTOR_PID);
        ASSERT_EQ(MsgProcessClass::Instance()->Init(CHS_COLLECTOR_PID), 0u);
        ASSERT_EQ(msg_api::RegisterPID(chs_wire::PID_SYNC, FakeSync), 0);
        ASSERT_EQ(msg_api::RegisterPID(chs_wire::PID_ALARM, FakeAlarm), 0);
        DIAGNOSE_INFO_WAIT_ROUND_MS = 20;
        DIAGNOSE_INFO_WAIT_TIMES = 4;
        DIAGNOSE_INFO_EXPORT_RUNNING_DATA_TIMEOUT = 1;
        g_uiExportGatherPollMs = 20;
    }

    // Also run between the cases of one test: the previous case's thread ends first.
    void SetUp() override {
        EXPECT_TRUE(WaitDetachedTasksIdle(60000)) << "an export thread outlived the case";
        chs_test::ResetStates();
        for (const char* name : {"fake569", "fake569_location", "fake569_then_offline", "node0_offline"}) {
            Shared(name, "");
        }
        for (int node : {0, 1}) {
            fs::remove_all(DiagDir(node));
            MakeDirs(DiagDir(node));
        }
        std::lock_guard<std::mutex> lock(g_alarmMutex);
        g_alarm = AlarmScript();
        g_alarm.location = "127.0.0.2:" + kEventFile;
        InitExportRunningAndEventStatus();
    }
    void TearDown() override {
        EXPECT_TRUE(WaitDetachedTasksIdle(60000)) << "an export thread outlived the test";
        EXPECT_TRUE(s_peer && s_peer->Running()) << "node 0 died";
    }

    static std::string Root(int node) { return s_cluster + "/node" + std::to_string(node); }
    static std::string Real(int node, const std::string& path) { return Root(node) + path; }
    static std::string DiagDir(int node) { return Real(node, strDiagnoseInfoPath); }
    // A state override both processes see; an empty value removes it.
    static void Shared(const std::string& name, const std::string& value) {
        std::string path = s_cluster + "/state/" + name;
        if (value.empty()) {
            unlink(path.c_str());
        } else {
            WriteText(path, value);
        }
    }
    static void MasterIsThisNode() { platform::state::Set("node0_offline", "1"); }
    static void AnswerLocation(const std::string& path) { Shared("fake569_location", "127.0.0.1:" + path); }
    static void Script(const std::function<void(AlarmScript&)>& change) {
        std::lock_guard<std::mutex> lock(g_alarmMutex);
        change(g_alarm);
    }
    static AlarmScript Seen() {
        std::lock_guard<std::mutex> lock(g_alarmMutex);
        return g_alarm;
    }

    static inline chs_test::TempDir* s_dir = nullptr;
    static inline std::string s_cluster;
    static inline std::unique_ptr<chs_test::Process> s_peer;
};

TEST_F(DataExportTest, RunningDataIsCutToThirtyMegabytesAndCopied) {
    struct Case {
        bool local;
        uint64_t size;
    };
    for (const Case& c : {Case{false, 50ull * kMB}, Case{true, 50ull * kMB}, Case{false, 1024}, Case{true, 10}}) {
        SCOPED_TRACE(std::string(c.local ? "local" : "remote") + " master, " + std::to_string(c.size) + " bytes");
        SetUp();
        if (c.local) {
            MasterIsThisNode();
        }
        int master = c.local ? 1 : 0;
        SizedFile(Real(master, kRunningData), c.size);
        AnswerLocation(kRunningData);
        LogCapture log;
        ASSERT_EQ(exportRunningDataFile(), 0);
        const tagCOLLECOR_EXPORT_DATA_S& block = g_astExportFileCfg.stRunningData;
        uint64_t expected = std::min<uint64_t>(c.size, 0x1E00000);
        EXPECT_EQ(block.uiStatus, EXPORT_STATUS_READY);
        EXPECT_EQ(block.iNodeId, master);
        EXPECT_EQ(block.uiFileSize, expected);
        EXPECT_EQ(block.strFileName, "running_data.json");
        EXPECT_EQ(block.strFilePath, strDiagnoseInfoPath + "running_data.json");
        EXPECT_EQ(Entries(DiagDir(1)), std::set<std::string>{"running_data.json"}) << "no staging file is left";
        EXPECT_EQ(SizeOf(DiagDir(1) + "running_data.json"), expected);
        EXPECT_EQ(ReadText(DiagDir(1) + "running_data.json").substr(0, 4), "head");
        EXPECT_EQ(SizeOf(Real(master, kRunningData)), c.size) << "the service's own file is never cut";
        EXPECT_EQ(log.Contains("Success to truncate the file("), c.size > 0x1E00000);
    }
}

TEST_F(DataExportTest, RunningDataFromAnUntrustedLocationIsRefused) {
    const std::string inside = "/VXA/coffer_data/omm/export_import/running_data/";
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* logged;
    };
    const Case cases[] = {
        {"parent components", [&] { AnswerLocation(inside + "../../../../../../etc/hostname"); }, "Refuse"},
        {"outside the coffer tree", [&] { AnswerLocation("/etc/hostname"); }, "Refuse"},
        {"no location", [] {}, "The file path is null."},
        {"a package name", [&] { AnswerLocation(inside + "DiagnoseInfo.tgz"); }, "Refuse"},
        {"a failed answer", [&] { Shared("fake569", "fail"); }, "Received a failed response from om_sync."},
        {"a link on this node",
         [&] {
             MasterIsThisNode();
             MakeDirs(Real(1, inside));
             WriteText(s_dir->Join("secret"), "secret");
             unlink(Real(1, inside + "link.json").c_str());
             ASSERT_EQ(symlink(s_dir->Join("secret").c_str(), Real(1, inside + "link.json").c_str()), 0);
             AnswerLocation(inside + "link.json");
         },
         "Refuse the file"},
        {"a missing file on the master", [&] { AnswerLocation(inside + "missing.json"); },
         "Get the running data from"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.arrange();
        LogCapture log;
        EXPECT_EQ(exportRunningDataFile(), -1);
        EXPECT_EQ(g_astExportFileCfg.stRunningData.uiStatus, EXPORT_STATUS_FAILED);
        EXPECT_TRUE(Entries(DiagDir(1)).empty());
        EXPECT_TRUE(log.Contains(c.logged));
    }
}

TEST_F(DataExportTest, ASilentSynchronisationServiceFailsTheRunningData) {
    Shared("fake569", "silent");
    auto start = std::chrono::steady_clock::now();
    NotifyExportRunningData();
    {
        ExportCfgLock lock(ExportCfgMutex());
        EXPECT_EQ(g_astExportFileCfg.stRunningData.uiStatus, EXPORT_STATUS_COLLECTING) << "running before the thread";
    }
    ASSERT_TRUE(chs_test::WaitExportRecord(
        [](const auto& record) { return record.stRunningData.uiStatus != EXPORT_STATUS_COLLECTING; }, 20000));
    EXPECT_EQ(g_astExportFileCfg.stRunningData.uiStatus, 0x4040324Cu);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(DataExportTest, AFailedCopyAsksAnOnlineMasterToDeleteItsFile) {
    for (bool offline : {false, true}) {
        SCOPED_TRACE(offline ? "master gone offline" : "master online");
        SetUp();
        SizedFile(Real(0, kRunningData), 100);
        AnswerLocation(kRunningData);
        Shared("fake569_then_offline", offline ? "1" : "");
        // The name is taken in the diagnose directory: the copy must not replace it.
        WriteText(DiagDir(1) + "running_data.json", "not the running data");
        LogCapture log;
        EXPECT_EQ(exportRunningDataFile(), -1);
        EXPECT_EQ(ReadText(DiagDir(1) + "running_data.json"), "not the running data");
        EXPECT_EQ(Entries(DiagDir(1)), std::set<std::string>{"running_data.json"});
        if (offline) {
            EXPECT_TRUE(log.Contains("The export master nid is not online."));
            EXPECT_TRUE(fs::exists(Real(0, kRunningData)));
        } else {
            EXPECT_TRUE(WaitFor([&] { return !fs::exists(Real(0, kRunningData)); }, 10000));
        }
    }
}

TEST_F(DataExportTest, AlarmAndEventFile) {
    const uint32_t running = chs_wire::ALM_TOTAL_RUNNING;
    struct Case {
        const char* name;
        std::function<void(AlarmScript&)> script;
        uint64_t size;
        bool ready;
        const char* logged;
    };
    const Case cases[] = {
        {"done at once", [](AlarmScript&) {}, 1024, true, "Collector export event finished, ret 0."},
        {"done after two rounds", [&](AlarmScript& s) { s.totals = {running, running, 0}; }, 10 * kMB, true,
         "Collector export event finished, ret 0."},
        {"11 MB", [](AlarmScript&) {}, 11 * kMB, false, ") is over the limit size."},
        {"never done", [&](AlarmScript& s) { s.totals = {running}; }, 1024, false,
         "Collector export event failed status 83887409, ret 0."},
        {"the node failed", [](AlarmScript& s) { s.exportState = 3; }, 1024, false, "Collector export event failed 1."},
        {"no node", [](AlarmScript& s) { s.nodeEntry = false; }, 1024, false, "Collector export event failed"},
        {"start refused", [](AlarmScript& s) { s.startCode = 5; }, 1024, false,
         "Notify export event failed, error(5)"},
        {"a path outside", [](AlarmScript& s) { s.location = "127.0.0.2:/etc/hostname"; }, 1024, false,
         "Get the event file size failed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Script(c.script);
        SizedFile(Real(1, kEventFile), c.size);
        LogCapture log;
        NotifyExportAlmAndEvent();
        const tagCOLLECOR_EXPORT_DATA_S& block = g_astExportFileCfg.stAlarmEvent;
        ASSERT_TRUE(chs_test::WaitExportRecord(
            [](const auto& record) { return record.stAlarmEvent.uiStatus != EXPORT_STATUS_COLLECTING; }, 20000));
        AlarmScript seen = Seen();
        EXPECT_TRUE(WaitFor([&] { return log.Contains(c.logged); }, 5000)) << c.logged;
        // A round's query, and one more in each pause between rounds.
        EXPECT_LE(seen.queries, 2 * DIAGNOSE_INFO_WAIT_TIMES - 1);
        if (c.ready) {
            EXPECT_EQ(block.uiStatus, EXPORT_STATUS_READY);
            EXPECT_EQ(block.strFilePath, strDiagnoseInfoPath + "alarm_event_CTE0.B.tgz");
            EXPECT_EQ(block.uiFileSize, c.size);
            EXPECT_EQ(SizeOf(DiagDir(1) + block.strFileName), c.size);
            EXPECT_EQ(Entries(DiagDir(1)).size(), 1u);
        } else {
            EXPECT_EQ(block.uiStatus, EXPORT_STATUS_FAILED);
            EXPECT_TRUE(Entries(DiagDir(1)).empty());
        }
        // Whatever was fetched or refused, the service clears it (clear type 0).
        bool asked = seen.queries > 0 && seen.totals.back() != running && seen.nodeEntry;
        EXPECT_EQ(seen.clears, asked ? std::vector<std::string>{"0:CTE0.B"} : std::vector<std::string>{});
    }
}

TEST_F(DataExportTest, GatheringWaitsForBothFilesAndAFailedOneMakesItPartial) {
    for (uint64_t eventSize : {uint64_t{2048}, uint64_t{11ull * kMB}}) {
        bool good = eventSize <= 0xA00000;
        SCOPED_TRACE(eventSize);
        SetUp();
        Script([](AlarmScript& s) { s.totals = {chs_wire::ALM_TOTAL_RUNNING, chs_wire::ALM_TOTAL_RUNNING, 0}; });
        SizedFile(Real(1, kEventFile), eventSize);
        SizedFile(Real(0, kRunningData), 4096);
        AnswerLocation(kRunningData);
        ClearExportStrategy();
        getExportFileStrategy(EXPORT_TYPE_DIAGNOSE_DOWNLOAD);
        ASSERT_EQ(FreshExportBitMapStatus(), 0u);
        g_astExportFileCfg.astNode[0].ucSelected = 0;  // node 0 builds no package here
        g_updateCCDBType = UPDATE_CCDB_ABNORMAL;
        gatherAllNodesFileThread(EXPORT_TYPE_DIAGNOSE_DOWNLOAD, "");

        EXPECT_EQ(g_astExportFileCfg.iGatherResult, 0);
        EXPECT_EQ(g_astExportFileCfg.stRunningData.uiStatus, EXPORT_STATUS_READY);
        EXPECT_EQ(g_astExportFileCfg.stAlarmEvent.uiStatus, good ? EXPORT_STATUS_READY : EXPORT_STATUS_FAILED);
        EXPECT_EQ(getExportResult(0xFFFFFFFF), good ? 0u : 2u);
        // The run node's own build left the copies in place.
        std::set<std::string> entries = Entries(DiagDir(1));
        EXPECT_EQ(entries.count("running_data.json"), 1u);
        EXPECT_EQ(entries.count("alarm_event_CTE0.B.tgz"), good ? 1u : 0u);
        EXPECT_EQ(entries.count("DiagnoseInfo_CTE0.B_LOCAL.tgz"), 1u);
    }
    ClearExportStrategy();
}

TEST_F(DataExportTest, ClearLastExportFileDeletesWhatUnansweredNodesBuilt) {
    ClearExportStrategy();
    getExportFileStrategy(EXPORT_TYPE_DIAGNOSE_DOWNLOAD);
    ASSERT_EQ(FreshExportBitMapStatus(), 0u);
    WriteText(DiagDir(0) + "marker", "node 0");
    WriteText(DiagDir(1) + "marker", "node 1");
    ClearLastExportFile();
    EXPECT_EQ(g_astExportFileCfg.astNode[0].uiAnswered, EXPORT_ANSWERED_YES);
    EXPECT_EQ(g_astExportFileCfg.astNode[1].uiAnswered, EXPORT_ANSWERED_NO) << "this node asks nobody";
    EXPECT_TRUE(Entries(DiagDir(1)).empty());
    EXPECT_TRUE(WaitFor([&] { return Entries(DiagDir(0)).empty(); }, 10000));
    ClearExportStrategy();
}

}  // namespace

int main(int argc, char** argv) {
    return chs_test::RunTestsOrPeer(argc, argv, "CHS_DATA_PEER", RunPeer, DataExportTest::RemoveCluster);
}
