// The gathering side of the diagnose export in a simulated two-node cluster
// with a real CCDB and the real diagnostic script: the request entry, the
// gathering thread with an offline and a pingable node, the handling of node
// answers, the package build and its guards.
#include "export/diagnose_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "collector/collect_file_handoff.h"
#include "control/collector_ccdb.h"
#include "control/collector_switch.h"
#include "control/remote_task.h"
#include "export/diagnose_globals.h"
#include "export/export_frame.h"
#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "msg/msg_process.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"
#include "tests/support/export_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/export_record.h"

namespace {

using chs_test::LogCapture;
using chs_test::TempDir;

// The command runner of the tests: pings answer as `g_pingResult` says, the
// rest runs for real unless `g_override` takes it. Every command is recorded.
chs_test::CommandLog g_commands;
std::atomic<int32_t> g_pingResult{2};
std::mutex g_overrideMutex;
std::function<bool(const std::string&, int32_t&)> g_override;

int32_t TestExec(const std::string& cmd, uint32_t timeoutMs) {
    g_commands.Add(cmd, timeoutMs);
    if (cmd.find("ping ") != std::string::npos) {
        return g_pingResult;
    }
    std::function<bool(const std::string&, int32_t&)> override;
    {
        std::lock_guard<std::mutex> lock(g_overrideMutex);
        override = g_override;
    }
    int32_t result = 0;
    return override && override(cmd, result) ? result : chs_execCmdWithoutOutput(cmd, timeoutMs);
}

// Takes over every "export_command" run while it lives: each ends with
// `result`, and with `block` only once the gate opens.
struct ScriptStandIn {
    ScriptStandIn(int32_t result, bool block) {
        if (!block) {
            gate.Open();
        }
        std::lock_guard<std::mutex> lock(g_overrideMutex);
        g_override = [this, result](const std::string& cmd, int32_t& ended) {
            if (cmd.find(" export_command ") == std::string::npos) {
                return false;
            }
            gate.Pass();
            ended = result;
            return true;
        };
    }
    ~ScriptStandIn() {
        gate.Open();
        std::lock_guard<std::mutex> lock(g_overrideMutex);
        g_override = nullptr;
    }
    chs_test::Gate gate;
};

// An export request (0x70003014) whose type cell is `typeCell`; the answer's code, -1 without one.
int64_t SendExport(CTLVCell* typeCell) {
    MsgRecord* record = new MsgRecord(0x70003014);
    record->appendInner(CTLVCell::NewString(0, "test-task"));
    record->appendInner(typeCell);
    record->appendInner(CTLVCell::NewNumber(CTLVCell::TLV_INTEGER, 2, 0, 8));
    record->appendInner(CTLVCell::NewInt32(3, 0));
    InnerMsg request = chs_test::LocalRequest(0x70003014, record, 30);
    InnerMsg answer;
    if (!request.SendSyncMsg(answer) || answer.GetBody().size() == 0) {
        return -1;
    }
    return answer.GetBody()[0][MSG_TAG_ERROR_CODE].GetInt64();
}

int64_t SendExportOfType(int32_t type) { return SendExport(CTLVCell::NewInt32(1, type)); }

bool WaitGatherEnd() {
    return chs_test::WaitExportRecord([](const auto& record) { return record.iGatherResult != EXPORT_GATHER_RUNNING; });
}

class DiagnoseExportTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        std::string root = s_dir->Join("node0");
        std::string script = root + "/VXA/script/chs_diagnostic.py";
        chs_test::PutFile(script, chs_test::ReadText(std::string(CHS_SOURCE_DIR) + "/scripts/chs_diagnostic.py"));
        chmod(script.c_str(), 0755);
        for (const char* sub : {"/VXA/conf", "/VXA/coffer_data/omm/chs"}) {
            chs_test::MakeDirs(root + sub);
        }
        chs_test::AttachHandMadeCluster(s_dir->path(), R"({"serial": "SN-EXP", "nodes": [
            {"id": 0, "name": "CTE0.A", "internalIps": ["127.0.0.1"]},
            {"id": 1, "name": "CTE0.B", "internalIps": ["127.0.0.2", "127.0.0.12"]}]})");
        ASSERT_FALSE(HasFailure());
        SetModuleID(CHS_COLLECTOR_PID);
        CCDB_COMM::g_uiCcdbUpgradePollMs = 0;
        ASSERT_EQ(COLLECTOR_CCDB::Init(), 0u);
        InitExportErrorCodeDesc();
        ASSERT_EQ(MsgProcessClass::Instance()->Init(CHS_COLLECTOR_PID), 0u);
        MsgProcessClass::Instance()->AddHandlerHelper(new MsgHandleWrapper(handleExportFile, MSG_PRI_1), 0x70003014,
                                                      0);
        g_pfnExportExec = TestExec;
        g_uiExportGatherPollMs = 20;
    }
    static void TearDownTestSuite() {
        // Every export thread has ended (TearDown waits for them).
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        chs_test::ResetStates();
        (void)DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT);
        (void)DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_UPLOAD);
        ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch(CHS_SWITCH_ON), 0u);
        g_updateCCDBType = UPDATE_CCDB_UNCHECKED;
        g_pingResult = 2;
        g_commands.Clear();
    }
    void TearDown() override {
        EXPECT_TRUE(WaitDetachedTasksIdle(60000)) << "an export thread outlived the test";
        platform::state::ClearAll();
    }
    static std::string Real(const std::string& systemPath) { return platform::RealPath(systemPath); }

    static inline TempDir* s_dir = nullptr;
};

TEST_F(DiagnoseExportTest, OfflineNodeIsMarkedAndTheRunNodeBuildsItsPackage) {
    LogCapture log;
    // A diagnose directory left with another mode is brought back to 750.
    std::string diagnoseDir = Real(strDiagnoseInfoPath);
    chs_test::MakeDirs(diagnoseDir);
    ASSERT_EQ(chmod(diagnoseDir.c_str(), 0700), 0);
    ASSERT_EQ(SendExportOfType(41), 0) << "41 is the download type";
    ASSERT_TRUE(WaitGatherEnd());
    struct stat dirStat {};
    ASSERT_EQ(stat(diagnoseDir.c_str(), &dirStat), 0);
    EXPECT_EQ(dirStat.st_mode & 07777, 0750u);
    EXPECT_EQ(g_astExportFileCfg.ExportType, 5u);
    EXPECT_EQ(g_astExportFileCfg.iGatherResult, 0) << "a partial export still succeeds";
    EXPECT_EQ(getExportResult(0xFFFFFFFF), 2u);

    const tagCOLLECOR_EXPORT_NODE_INFO_S& offline = g_astExportFileCfg.astNode[1];
    EXPECT_EQ(offline.uiCollectStatus, EXPORT_STATUS_INIT);
    EXPECT_EQ(offline.uiAnswered, EXPORT_ANSWERED_YES);
    EXPECT_TRUE(log.Contains("Notify node to export failed, because the node(id 1) can not ping."));
    // Both addresses were tried, each quoted.
    EXPECT_EQ(g_commands.Count("ping '127.0.0.2' -c 2 | grep 'ttl=' && exit 0 || exit 2 "), 1u);
    EXPECT_EQ(g_commands.Count("ping '127.0.0.12' -c 2"), 1u);

    const tagCOLLECOR_EXPORT_NODE_INFO_S& local = g_astExportFileCfg.astNode[0];
    EXPECT_EQ(local.uiCollectStatus, EXPORT_STATUS_READY);
    EXPECT_EQ(local.strPkgName, "DiagnoseInfo_CTE0.A_MAIN_LOCAL.tgz");
    EXPECT_EQ(local.strPkgPath, strDiagnoseInfoPath);
    EXPECT_EQ(g_uiMasterNid.load(), 0u);
    std::string package = Real(strDiagnoseInfoPath + local.strPkgName);
    EXPECT_EQ(local.uiPkgSize, chs_test::SizeOf(package));
    EXPECT_EQ(chs_test::Members(package).count("DiagnoseInfo_CTE0.A_MAIN_LOCAL/summary.txt"), 1u);

    // The script ran with the package directory quoted, as master.
    auto build = g_commands.With(" export_command 100 master current ");
    ASSERT_EQ(build.size(), 1u);
    EXPECT_NE(build[0].first.find("'" + Real(strDiagnoseInfoPath) + "DiagnoseInfo_CTE0.A_MAIN_LOCAL/'"),
              std::string::npos)
        << build[0].first;
    EXPECT_EQ(g_commands.Count(" export_node 100 "), 1u);

    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    ASSERT_EQ(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 0u);
    EXPECT_EQ(row.taskType, 5u);
    EXPECT_EQ(row.i_taskrunnode, 0u);
    EXPECT_TRUE(log.Contains("Infocollector collect file(5) finished, result(0)"));

    // While that task row stands, a second export is refused.
    EXPECT_EQ(SendExportOfType(5), static_cast<int64_t>(0x40E05B0C));
}

TEST_F(DiagnoseExportTest, PingableNodeOutOfTheMapGetsAFallbackEntry) {
    g_pingResult = 0;
    ASSERT_EQ(SendExportOfType(5), 0);
    ASSERT_TRUE(WaitGatherEnd());
    const tagCOLLECOR_EXPORT_NODE_INFO_S& node = g_astExportFileCfg.astNode[1];
    EXPECT_EQ(node.uiCollectStatus, EXPORT_STATUS_ABNORMAL);
    EXPECT_EQ(node.strPkgName, "DiagoseInfo_CTE0.B.tgz");
    EXPECT_EQ(node.uiPkgSize, 0x1E00000u);
    EXPECT_EQ(node.strPkgPath, strDiagnoseExportPath);
    EXPECT_EQ(g_commands.Count("ping '127.0.0.12'"), 0u) << "the first address that answers is enough";
    EXPECT_EQ(getExportResult(0xFFFFFFFF), 2u);
    EXPECT_EQ(g_astExportFileCfg.iGatherResult, 0);
}

TEST_F(DiagnoseExportTest, NothingBuiltFailsTheGatherAndDropsTheTaskRow) {
    ScriptStandIn script(1, false);
    LogCapture log;
    ASSERT_EQ(SendExportOfType(5), 0);
    ASSERT_TRUE(WaitGatherEnd());
    EXPECT_EQ(g_astExportFileCfg.iGatherResult, EXPORT_GATHER_FAILED);
    EXPECT_EQ(g_astExportFileCfg.astNode[0].uiCollectStatus, EXPORT_STATUS_FAILED);
    EXPECT_TRUE(log.Contains("Run export_command cmd return 1."));
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    EXPECT_NE(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 0u) << "a failed gather deletes its task row";
}

TEST_F(DiagnoseExportTest, BadRequestsAreAnsweredWithACodeAndStartNothing) {
    LogCapture log;
    EXPECT_EQ(SendExport(CTLVCell::NewString(1, "five")), static_cast<int64_t>(0x4040324E));
    EXPECT_TRUE(log.Contains("An exception occurred during getting the info from the reqMsg."));
    EXPECT_EQ(SendExportOfType(6), static_cast<int64_t>(0x03000003));
    EXPECT_EQ(SendExport(CTLVCell::NewUInt64(1, 0x100000005ULL)), static_cast<int64_t>(0x03000003))
        << "a 64-bit type is not cut to 5";
    platform::state::Set("free_disk_mb", "10");
    EXPECT_EQ(SendExportOfType(5), static_cast<int64_t>(0x4000C963));
    platform::state::Set("free_disk_mb", "100000");
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    EXPECT_NE(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 0u) << "a refused export writes no task row";
    // Without the CCDB an upload has no task row to guard it.
    platform::state::Set("ccdb_unreachable", "1");
    SetLastKnownCollectorSwitch(CHS_SWITCH_ON);
    EXPECT_EQ(SendExportOfType(3), static_cast<int64_t>(0x40E05B0C));
    EXPECT_EQ(g_commands.Count("ping ") + g_commands.Count(" export_command "), 0u)
        << "a refused export pings and builds nothing";
    EXPECT_FALSE(g_bGathering.load());

    // A download goes on without a task row; the run node comes with the notification.
    ASSERT_EQ(SendExportOfType(5), 0);
    EXPECT_EQ(g_updateCCDBType.load(), UPDATE_CCDB_ABNORMAL);
    ASSERT_TRUE(WaitGatherEnd());
    EXPECT_EQ(g_astExportFileCfg.astNode[0].strPkgName, "DiagnoseInfo_CTE0.A_MAIN_LOCAL.tgz");
}

TEST_F(DiagnoseExportTest, NodeAnswers) {
    ASSERT_EQ(exportFilePreHandle(5), 0u);
    auto answer = [](int32_t result, const char* name, uint32_t state = 0) {
        InnerMsg msg;
        msg.GetMsgInfo().uiMsgState = state;
        MsgRecord* record = new MsgRecord(0x70003015);
        msg.GetBody().append(record);
        record->appendInner(CTLVCell::NewInt32(0, result));
        record->appendInner(CTLVCell::NewString(1, name));
        record->appendInner(CTLVCell::NewUInt32(2, 4096));
        record->appendInner(CTLVCell::NewString(3, strDiagnoseInfoPath));
        return msg;
    };
    tagCOLLECOR_EXPORT_NODE_INFO_S& node = g_astExportFileCfg.astNode[1];
    // A refusal, a late answer and an empty one fail the node.
    for (InnerMsg bad : {answer(5, "DiagnoseInfo_CTE0.B.tgz"),
                         answer(0, "DiagnoseInfo_CTE0.B.tgz", MSG_STATE_TIMEOUT), InnerMsg()}) {
        node.uiCollectStatus = EXPORT_STATUS_COLLECTING;
        node.uiAnswered = EXPORT_ANSWERED_NO;
        EXPECT_EQ(exportHandleAck(bad, 1), -1);
        EXPECT_EQ(node.uiCollectStatus, EXPORT_STATUS_FAILED);
        EXPECT_EQ(node.uiAnswered, EXPORT_ANSWERED_YES);
    }

    InnerMsg good = answer(0, "DiagnoseInfo_CTE0.B_MAIN.tgz");
    EXPECT_EQ(exportHandleAck(good, 16), -1) << "no node 16";
    EXPECT_EQ(exportHandleAck(good, 1), 0);
    EXPECT_EQ(node.uiCollectStatus, EXPORT_STATUS_READY);
    EXPECT_EQ(node.uiPkgSize, 4096u);
    EXPECT_EQ(node.strPkgName, "DiagnoseInfo_CTE0.B_MAIN.tgz");
    EXPECT_EQ(g_uiMasterNid.load(), 1u);
    ClearExportStrategy();
}

TEST_F(DiagnoseExportTest, OneNodeBuildsOnePackageAtATime) {
    ScriptStandIn script(0, true);
    // The run node comes with the request when the CCDB is abnormal.
    std::thread first([] { (void)exportDiagnoseFileProc(5, UPDATE_CCDB_ABNORMAL, 1); });
    ASSERT_TRUE(script.gate.WaitArrived());
    LogCapture log;
    EXPECT_EQ(exportDiagnoseFileProc(5, UPDATE_CCDB_ABNORMAL, 1), static_cast<int32_t>(0x40E05B0C));
    EXPECT_TRUE(log.Contains("Current node is exporting diagnostic file."));
    script.gate.Open();
    first.join();
    EXPECT_EQ(strDiagnoseExportName, "DiagnoseInfo_CTE0.A_MAIN.tgz") << "another node runs the task";
    EXPECT_EQ(exportDiagnoseFileProc(6, UPDATE_CCDB_ABNORMAL, 1), -1);
    EXPECT_TRUE(log.Contains("The type(6) is wrong."));
}

TEST_F(DiagnoseExportTest, WithoutTheCcdbASecondExportWaitsForTheGathering) {
    platform::state::Set("ccdb_unreachable", "1");
    ScriptStandIn script(0, true);
    ASSERT_EQ(SendExportOfType(5), 0);
    ASSERT_TRUE(script.gate.WaitArrived());
    EXPECT_EQ(SendExportOfType(5), static_cast<int64_t>(0x40E05B0C)) << "no task row, but a gathering runs";
    EXPECT_EQ(g_astExportFileCfg.astNode[0].ucSelected, 1) << "the running export's record is untouched";
    script.gate.Open();
    ASSERT_TRUE(WaitGatherEnd());
    EXPECT_EQ(g_astExportFileCfg.iGatherResult, 0);
    EXPECT_TRUE(chs_test::WaitFor([] { return !g_bGathering.load(); }, 5000));
    EXPECT_EQ(SendExportOfType(5), 0) << "the next export once it is over";
    ASSERT_TRUE(WaitGatherEnd());
}

}  // namespace
