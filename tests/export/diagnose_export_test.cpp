// The gathering side of the diagnose export in a simulated two-node cluster
// with a real CCDB and the real diagnostic script: the request entry, the
// gathering thread with an offline and a pingable node, the handling of node
// answers, the package build and its guards.
#include "export/diagnose_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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
#include "platform/om_cluster.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::LogCapture;
using chs_test::TempDir;

// The command runner of the tests: pings answer as `g_pingResult` says, the
// rest runs for real unless `g_override` takes it. Every command is recorded.
std::mutex g_execMutex;
std::vector<std::string> g_commands;
std::atomic<int32_t> g_pingResult{2};
std::function<bool(const std::string&, int32_t&)> g_override;

int32_t TestExec(const std::string& cmd, uint32_t timeoutMs) {
    std::function<bool(const std::string&, int32_t&)> override;
    {
        std::lock_guard<std::mutex> lock(g_execMutex);
        g_commands.push_back(cmd);
        override = g_override;
    }
    if (cmd.find("ping ") != std::string::npos) {
        return g_pingResult;
    }
    int32_t result = 0;
    if (override && override(cmd, result)) {
        return result;
    }
    return chs_execCmdWithoutOutput(cmd, timeoutMs);
}

std::vector<std::string> Commands(const std::string& containing) {
    std::lock_guard<std::mutex> lock(g_execMutex);
    std::vector<std::string> out;
    for (const std::string& cmd : g_commands) {
        if (cmd.find(containing) != std::string::npos) {
            out.push_back(cmd);
        }
    }
    return out;
}

InnerMsg ExportRequest(CTLVCell* typeCell) {
    InnerMsg request;
    tagMsgInfo& info = request.GetMsgInfo();
    info.usSenderBID = 0;
    info.usSenderPID = 0;
    info.usReceiverBID = 0;
    info.usReceiverPID = CHS_COLLECTOR_PID;
    info.uiMsgOPCode = 0x70003014;
    info.uiMsgTimeout = 30;
    info.usMsgType = MSG_TYPE_REQUEST;
    MsgRecord* record = new MsgRecord(0x70003014);
    request.GetBody().append(record);
    record->appendInner(CTLVCell::NewString(0, "test-task"));
    record->appendInner(typeCell);
    record->appendInner(CTLVCell::NewNumber(CTLVCell::TLV_INTEGER, 2, 0, 8));
    record->appendInner(CTLVCell::NewInt32(3, 0));
    return request;
}

int64_t SendExport(InnerMsg request) {
    InnerMsg answer;
    if (!request.SendSyncMsg(answer) || answer.GetBody().size() == 0) {
        return -1;
    }
    return answer.GetBody()[0][MSG_TAG_ERROR_CODE].GetInt64();
}

int64_t SendExportOfType(int32_t type) { return SendExport(ExportRequest(CTLVCell::NewInt32(1, type))); }

bool WaitGatherEnd() {
    for (int i = 0; i < 600; ++i) {
        if (g_astExportFileCfg.iGatherResult != EXPORT_GATHER_RUNNING) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

class DiagnoseExportTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        chs_test::WriteText(s_dir->Join("cluster.json"), R"({"serial": "SN-EXP", "nodes": [
            {"id": 0, "name": "CTE0.A", "internalIps": ["127.0.0.1"]},
            {"id": 1, "name": "CTE0.B", "internalIps": ["127.0.0.2", "127.0.0.12"]}]})");
        std::string root = s_dir->Join("node0");
        for (const char* sub : {"VXA/script", "VXA/conf", "VXA/coffer_data/omm/chs", "var/log/chs"}) {
            chs_test::MakeDirs(root + "/" + sub);
        }
        std::string script = root + "/VXA/script/chs_diagnostic.py";
        chs_test::WriteText(script, chs_test::ReadText(std::string(CHS_SOURCE_DIR) + "/scripts/chs_diagnostic.py"));
        chmod(script.c_str(), 0755);
        chs_test::MakeDirs(s_dir->Join("state"));
        std::string error;
        ASSERT_TRUE(platform::AttachCluster(s_dir->Join("cluster.json"), 0, root, true, error)) << error;
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
    void SetUp() override {
        platform::state::ClearAll();
        platform::state::Set("free_disk_mb", "100000");
        platform::state::Set("free_mem_mb", "100000");
        (void)DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT);
        (void)DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_UPLOAD);
        ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch(CHS_SWITCH_ON), 0u);
        g_updateCCDBType = UPDATE_CCDB_UNCHECKED;
        g_pingResult = 2;
        std::lock_guard<std::mutex> lock(g_execMutex);
        g_commands.clear();
        g_override = nullptr;
    }
    void TearDown() override {
        platform::state::ClearAll();
        std::lock_guard<std::mutex> lock(g_execMutex);
        g_override = nullptr;
    }
    static std::string Real(const std::string& systemPath) { return platform::RealPath(systemPath); }

    static TempDir* s_dir;
};
TempDir* DiagnoseExportTest::s_dir = nullptr;

TEST_F(DiagnoseExportTest, OfflineNodeIsMarkedAndTheRunNodeBuildsItsPackage) {
    LogCapture log;
    ASSERT_EQ(SendExportOfType(41), 0) << "41 is the download type";
    ASSERT_TRUE(WaitGatherEnd());
    EXPECT_EQ(g_astExportFileCfg.ExportType, 5u);
    EXPECT_EQ(g_astExportFileCfg.iGatherResult, 0) << "a partial export still succeeds";
    EXPECT_EQ(getExportResult(0xFFFFFFFF), 2u);

    const tagCOLLECOR_EXPORT_NODE_INFO_S& offline = g_astExportFileCfg.astNode[1];
    EXPECT_EQ(offline.uiCollectStatus, EXPORT_STATUS_INIT);
    EXPECT_EQ(offline.uiAnswered, EXPORT_ANSWERED_YES);
    EXPECT_TRUE(log.Contains("Notify node to export failed, because the node(id 1) can not ping."));
    // Both addresses were tried, each quoted.
    EXPECT_EQ(Commands("ping '127.0.0.2' -c 2 | grep 'ttl=' && exit 0 || exit 2 ").size(), 1u);
    EXPECT_EQ(Commands("ping '127.0.0.12' -c 2").size(), 1u);

    const tagCOLLECOR_EXPORT_NODE_INFO_S& local = g_astExportFileCfg.astNode[0];
    EXPECT_EQ(local.uiCollectStatus, EXPORT_STATUS_READY);
    EXPECT_EQ(local.strPkgName, "DiagnoseInfo_CTE0.A_MAIN_LOCAL.tgz");
    EXPECT_EQ(local.strPkgPath, strDiagnoseInfoPath);
    EXPECT_EQ(g_uiMasterNid.load(), 0u);
    struct stat st {};
    ASSERT_EQ(stat(Real(strDiagnoseInfoPath + local.strPkgName).c_str(), &st), 0);
    EXPECT_EQ(local.uiPkgSize, static_cast<uint32_t>(st.st_size));
    chs_test::RunResult listing = chs_test::RunProgram(
        {"/bin/tar", "-tzf", Real(strDiagnoseInfoPath + local.strPkgName)});
    EXPECT_EQ(listing.exitCode, 0);
    EXPECT_NE(listing.out.find("DiagnoseInfo_CTE0.A_MAIN_LOCAL/summary.txt"), std::string::npos) << listing.out;

    // The script ran with the package directory quoted, as master.
    std::vector<std::string> build = Commands(" export_command 100 master current ");
    ASSERT_EQ(build.size(), 1u);
    EXPECT_NE(build[0].find("'" + Real(strDiagnoseInfoPath) + "DiagnoseInfo_CTE0.A_MAIN_LOCAL/'"),
              std::string::npos)
        << build[0];
    EXPECT_EQ(Commands(" export_node 100 ").size(), 1u);

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
    EXPECT_EQ(Commands("ping '127.0.0.12'").size(), 0u) << "the first address that answers is enough";
    EXPECT_EQ(getExportResult(0xFFFFFFFF), 2u);
    EXPECT_EQ(g_astExportFileCfg.iGatherResult, 0);
}

TEST_F(DiagnoseExportTest, NothingBuiltFailsTheGatherAndDropsTheTaskRow) {
    {
        std::lock_guard<std::mutex> lock(g_execMutex);
        g_override = [](const std::string& cmd, int32_t& result) {
            if (cmd.find(" export_command ") == std::string::npos) {
                return false;
            }
            result = 1;
            return true;
        };
    }
    LogCapture log;
    ASSERT_EQ(SendExportOfType(5), 0);
    ASSERT_TRUE(WaitGatherEnd());
    EXPECT_EQ(g_astExportFileCfg.iGatherResult, EXPORT_GATHER_FAILED);
    EXPECT_EQ(g_astExportFileCfg.astNode[0].uiCollectStatus, EXPORT_STATUS_FAILED);
    EXPECT_TRUE(log.Contains("Run export_command cmd return 1."));
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    EXPECT_NE(GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row), 0u) << "a failed gather deletes its task row";
}

TEST_F(DiagnoseExportTest, BadRequestsAreAnsweredWithACode) {
    LogCapture log;
    EXPECT_EQ(SendExport(ExportRequest(CTLVCell::NewString(1, "five"))), static_cast<int64_t>(0x4040324E));
    EXPECT_TRUE(log.Contains("An exception occurred during getting the info from the reqMsg."));
    EXPECT_EQ(SendExportOfType(6), static_cast<int64_t>(0x03000003));

    platform::state::Set("free_disk_mb", "10");
    EXPECT_EQ(SendExportOfType(5), static_cast<int64_t>(0x4000C963));
    platform::state::Set("free_disk_mb", "100000");

    // The CCDB state is unknown only before the first admission check; an
    // unreachable CCDB lets a download go on without a task row.
    platform::state::Set("ccdb_unreachable", "1");
    SetLastKnownCollectorSwitch(CHS_SWITCH_ON);  // the switch applied last stands in for the stored one
    EXPECT_EQ(SendExportOfType(3), static_cast<int64_t>(0x40E05B0C)) << "an upload needs its task row";
    ASSERT_EQ(SendExportOfType(5), 0);
    EXPECT_EQ(g_updateCCDBType.load(), UPDATE_CCDB_ABNORMAL);
    ASSERT_TRUE(WaitGatherEnd());
    EXPECT_EQ(g_astExportFileCfg.astNode[0].strPkgName, "DiagnoseInfo_CTE0.A_MAIN_LOCAL.tgz")
        << "without the CCDB the run node comes with the notification";
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

    InnerMsg wrong = answer(5, "DiagnoseInfo_CTE0.B.tgz");
    EXPECT_EQ(exportHandleAck(wrong, 1), -1);
    EXPECT_EQ(node.uiCollectStatus, EXPORT_STATUS_FAILED);
    EXPECT_EQ(node.uiAnswered, EXPORT_ANSWERED_YES);

    node.uiCollectStatus = EXPORT_STATUS_COLLECTING;
    InnerMsg late = answer(0, "DiagnoseInfo_CTE0.B.tgz", MSG_STATE_TIMEOUT);
    EXPECT_EQ(exportHandleAck(late, 1), -1);
    EXPECT_EQ(node.uiCollectStatus, EXPORT_STATUS_FAILED);

    node.uiCollectStatus = EXPORT_STATUS_COLLECTING;
    InnerMsg empty;
    EXPECT_EQ(exportHandleAck(empty, 1), -1);
    EXPECT_EQ(node.uiCollectStatus, EXPORT_STATUS_FAILED);

    InnerMsg good = answer(0, "DiagnoseInfo_CTE0.B_MAIN.tgz");
    EXPECT_EQ(exportHandleAck(good, 16), -1) << "no node 16";
    EXPECT_EQ(exportHandleAck(good, 1), 0);
    EXPECT_EQ(node.uiCollectStatus, EXPORT_STATUS_READY);
    EXPECT_EQ(node.uiPkgSize, 4096u);
    EXPECT_EQ(node.strPkgName, "DiagnoseInfo_CTE0.B_MAIN.tgz");
    EXPECT_EQ(g_uiMasterNid.load(), 1u);
    ClearExportStrategy();
}

// Holds every "export_command" run until Release.
class BlockingScript {
  public:
    BlockingScript() {
        std::lock_guard<std::mutex> lock(g_execMutex);
        g_override = [this](const std::string& cmd, int32_t& result) {
            if (cmd.find(" export_command ") == std::string::npos) {
                return false;
            }
            std::unique_lock<std::mutex> wait(m_mutex);
            m_entered = true;
            m_cond.notify_all();
            m_cond.wait(wait, [this] { return m_release; });
            result = 0;
            return true;
        };
    }
    ~BlockingScript() {
        Release();
        std::lock_guard<std::mutex> lock(g_execMutex);
        g_override = nullptr;
    }
    bool WaitEntered() {
        std::unique_lock<std::mutex> wait(m_mutex);
        return m_cond.wait_for(wait, std::chrono::seconds(30), [this] { return m_entered; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_release = true;
        m_cond.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_entered = false;
    bool m_release = false;
};

TEST_F(DiagnoseExportTest, OneNodeBuildsOnePackageAtATime) {
    BlockingScript script;
    // The run node comes with the request when the CCDB is abnormal.
    std::thread first([] { (void)exportDiagnoseFileProc(5, UPDATE_CCDB_ABNORMAL, 1); });
    ASSERT_TRUE(script.WaitEntered());
    LogCapture log;
    EXPECT_EQ(exportDiagnoseFileProc(5, UPDATE_CCDB_ABNORMAL, 1), static_cast<int32_t>(0x40E05B0C));
    EXPECT_TRUE(log.Contains("Current node is exporting diagnostic file."));
    script.Release();
    first.join();
    EXPECT_EQ(strDiagnoseExportName, "DiagnoseInfo_CTE0.A_MAIN.tgz") << "another node runs the task";
    EXPECT_EQ(exportDiagnoseFileProc(6, UPDATE_CCDB_ABNORMAL, 1), -1);
    EXPECT_TRUE(log.Contains("The type(6) is wrong."));
}

TEST_F(DiagnoseExportTest, WithoutTheCcdbASecondExportWaitsForTheGathering) {
    platform::state::Set("ccdb_unreachable", "1");
    BlockingScript script;
    ASSERT_EQ(SendExportOfType(5), 0);
    ASSERT_TRUE(script.WaitEntered());
    EXPECT_EQ(SendExportOfType(5), static_cast<int64_t>(0x40E05B0C)) << "no task row, but a gathering runs";
    EXPECT_EQ(g_astExportFileCfg.astNode[0].ucSelected, 1) << "the running export's record is untouched";
    script.Release();
    ASSERT_TRUE(WaitGatherEnd());
    EXPECT_EQ(g_astExportFileCfg.iGatherResult, 0);
    EXPECT_TRUE(chs_test::WaitFor([] { return !g_bGathering.load(); }, 5000));
    EXPECT_EQ(SendExportOfType(5), 0) << "the next export once it is over";
    ASSERT_TRUE(WaitGatherEnd());
}

}  // namespace
