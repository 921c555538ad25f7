// The export frame in a simulated three-node cluster with a real CCDB: the
// admission checks of diagnose and log exports, the space table, the set-up
// of the export record and the single-run wrapper answering real requests.
#include "export/export_frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "collector/collect_file_handoff.h"
#include "control/collector_ccdb.h"
#include "control/collector_switch.h"
#include "export/msg_single_run.h"
#include "infra/detached_tasks.h"
#include "infra/chs_log.h"
#include "msg/msg_process.h"
#include "platform/om_ccdb.h"
#include "platform/platform_state.h"
#include "tests/support/export_test_util.h"
#include "tests/support/log_capture.h"

namespace {

using chs_test::LogCapture;
using chs_test::TempDir;

constexpr uint32_t kSingleRunProbe = 0x70003015;

int64_t Now() { return static_cast<int64_t>(time(nullptr)); }

void PutTask(uint32_t taskId, int64_t createTime, int64_t endTime, int64_t lastSent = 0) {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    row.taskId = taskId;
    row.createTime = static_cast<uint64_t>(createTime);
    row.i_taskendtime = static_cast<uint64_t>(endTime);
    row.paramValue2 = static_cast<uint64_t>(lastSent);
    ASSERT_EQ(CCDB_COMM::ResetRemoteTaskToDB(g_collectorCcdbId, row), 0u);
}

class ExportFrameTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        chs_test::MakeDirs(s_dir->Join("node0/VXA/coffer_data/omm/chs"));
        chs_test::AttachHandMadeCluster(s_dir->path(), R"({"nodes": [{"id": 0, "name": "CTE0.A"},
            {"id": 1, "name": "CTE0.B"}, {"id": 2, "name": "CTE1.A"}]})");
        ASSERT_FALSE(HasFailure());
        SetModuleID(CHS_COLLECTOR_PID);
        CCDB_COMM::g_uiCcdbUpgradePollMs = 0;
        ASSERT_EQ(COLLECTOR_CCDB::Init(), 0u);
        InitExportErrorCodeDesc();
    }
    void SetUp() override {
        chs_test::ResetStates();
        for (uint32_t kind :
             {REMOTE_TASK_LOG_EXPORT, REMOTE_TASK_DIAGNOSE_EXPORT, REMOTE_TASK_DIAGNOSE_UPLOAD}) {
            CCDB_COMM::DeleteRemoteTask(g_collectorCcdbId, kind);
        }
        ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch(CHS_SWITCH_ON), 0u);
        g_updateCCDBType = UPDATE_CCDB_UNCHECKED;
    }
    void TearDown() override { platform::state::ClearAll(); }
    static void TearDownTestSuite() {
        // The cluster directory goes once nothing started here can use it.
        if (WaitDetachedTasksIdle(60000)) {
            delete s_dir;
            s_dir = nullptr;
        }
    }

    static inline TempDir* s_dir = nullptr;
};

TEST_F(ExportFrameTest, VerdictsAndTypes) {
    // Platform codes pass as they are; anything unknown is the general failure.
    const std::pair<uint32_t, uint32_t> translated[] = {
        {0, 0}, {1005, 0x40E05B0D}, {1007, 1007}, {1008, 0x4000C963}, {1009, 0x40E05B0C},
        {1012, 0x03000003}, {1015, 0x4040324E}, {0xFFFFFFFF, 0x4040324E},
        {0x40E05B0B, 0x40E05B0B}, {0x4000C963, 0x4000C963}};
    for (const auto& [verdict, code] : translated) {
        EXPECT_EQ(transExpFileRetValue(verdict, 5), code) << verdict;
    }

    LogCapture log;
    EXPECT_EQ(checkExportFileAllowed(6), 1012u);
    EXPECT_TRUE(log.Contains("Type(6) is not supported."));
    EXPECT_EQ(transExpFileRetValue(checkExportFileAllowed(7), 7), 0x03000003u);
    ASSERT_EQ(exportFilePreHandle(41), 0u);
    EXPECT_EQ(g_astExportFileCfg.ExportType, 5u) << "41 is the download type";
    EXPECT_EQ(g_astExportFileCfg.ExportOpcode, 0x70003015u);
}

TEST_F(ExportFrameTest, UploadIntervals) {
    LogCapture log;
    EXPECT_EQ(checkExportFileAllowed(3), 0u);
    EXPECT_TRUE(log.Contains("There is no task to send nexhub"));
    // Type 3 waits an hour after the last upload, type 4 a day, a download
    // not at all; a last upload in the future does not block.
    struct Case {
        int64_t sentAgo;
        uint32_t type, verdict;
    };
    for (const Case& c : {Case{600, 3, 1015}, Case{600, 4, 1015}, Case{600, 5, 0}, Case{3660, 3, 0},
                          Case{3660, 4, 1015}, Case{86401, 4, 0}, Case{-3600, 3, 0}, Case{-3600, 4, 0}}) {
        PutTask(REMOTE_TASK_DIAGNOSE_UPLOAD, 0, 0, Now() - c.sentAgo);
        EXPECT_EQ(checkExportFileAllowed(c.type), c.verdict) << "type " << c.type << ", " << c.sentAgo << " s";
    }
    EXPECT_TRUE(log.Contains("Diagnoseinfo has sended to nexhub in one hour"));
    EXPECT_TRUE(log.Contains("Diagnoseinfo has sended to nexhub in 24 hour"));

    // The interval is a tunable.
    PutTask(REMOTE_TASK_DIAGNOSE_UPLOAD, 0, 0, Now() - 10);
    DIAGNOSE_INFO_ALARM_TASK_INTERVAL = 5;
    EXPECT_EQ(checkExportFileAllowed(3), 0u);
    DIAGNOSE_INFO_ALARM_TASK_INTERVAL = 3600;
    EXPECT_EQ(checkExpfileSendAllowed(5), 0xFFFFFFFFu) << "no interval rule for other types";
}

TEST_F(ExportFrameTest, SwitchOffRefusesUploadsOnlyAndIsLoggedOncePerHour) {
    LogCapture log;
    ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch(CHS_SWITCH_OFF), 0u);
    EXPECT_EQ(checkExportFileAllowed(3), 1007u);
    EXPECT_EQ(checkExportFileAllowed(4), 1007u);
    EXPECT_EQ(log.Count("Switch is off, can not export file."), 1u);
    EXPECT_EQ(checkExportFileAllowed(5), 0u);
    EXPECT_EQ(exportFilePreHandle(3), 1007u);
    EXPECT_EQ(exportFilePreHandle(3), 1007u);
    EXPECT_EQ(log.Count("It does not allow to export file."), 1u);
}

TEST_F(ExportFrameTest, RunningDiagnoseTaskBlocksAndMissingRowClearsTheRecord) {
    ASSERT_EQ(exportFilePreHandle(5), 0u);
    PutTask(REMOTE_TASK_DIAGNOSE_EXPORT, Now(), 0);
    LogCapture log;
    EXPECT_EQ(exportFilePreHandle(5), 1009u);
    EXPECT_TRUE(log.Contains("The task of exporting file is running."));
    EXPECT_EQ(g_astExportFileCfg.ExportType, 5u) << "the running export's record is left alone";

    CCDB_COMM::DeleteRemoteTask(g_collectorCcdbId, REMOTE_TASK_DIAGNOSE_EXPORT);
    EXPECT_EQ(CheckExportFileStatus(), 0u);
    EXPECT_EQ(g_updateCCDBType.load(), 0u);
    EXPECT_EQ(g_astExportFileCfg.ExportType, 8u) << "the record left by the unfinished task is cleared";
    EXPECT_EQ(g_astExportFileCfg.iGatherResult, 255);
    EXPECT_EQ(g_astExportFileCfg.astNode[0].ucSelected, 0);
    EXPECT_TRUE(g_astExportFileCfg.astNode[0].strPkgName.empty());
}

// Without the CCDB the switch applied last stands in for the stored one, and
// no task row can guard a task: only a download may go on.
TEST_F(ExportFrameTest, UnreachableCcdbFallsBackToTheLastSwitchAndAdmitsDownloadsOnly) {
    platform::state::Set("ccdb_unreachable", "1");
    LogCapture log;
    for (const char* lastSwitch : {CHS_SWITCH_OFF, CHS_SWITCH_ON}) {
        SCOPED_TRACE(lastSwitch);
        SetLastKnownCollectorSwitch(lastSwitch);
        uint32_t refused = std::string(lastSwitch) == CHS_SWITCH_ON ? EXPORT_TASK_RUNNING : EXPORT_SWITCH_OFF;
        EXPECT_EQ(checkExportFileAllowed(5), 0u);
        EXPECT_EQ(g_updateCCDBType.load(), UPDATE_CCDB_ABNORMAL);
        // An upload is refused as a task that may be running, not for an interval it cannot read.
        EXPECT_EQ(checkExportFileAllowed(3), refused);
        EXPECT_EQ(checkExportFileAllowed(4), refused);
        EXPECT_EQ(checkExportAllowed(0), refused) << "a log export";
    }
    EXPECT_TRUE(log.Contains("CCDB is abnormal,but it allows to export diagnose info"));
}

TEST_F(ExportFrameTest, LogExportSpacing) {
    LogCapture log;
    EXPECT_EQ(checkExportAllowed(0), 0u);
    EXPECT_TRUE(log.Contains("There is no task in exporting"));

    PutTask(REMOTE_TASK_LOG_EXPORT, Now() - 300, Now() - 100);
    EXPECT_EQ(checkExportAllowed(0), 1009u);
    EXPECT_TRUE(log.Contains("The two task interval is less than (180) second, can't export !"));
    EXPECT_TRUE(log.Contains("Log file is exporting , try again later!"));
    PutTask(REMOTE_TASK_LOG_EXPORT, Now() - 400, Now() - 200);
    EXPECT_EQ(checkExportStatus(), 0u);

    PutTask(REMOTE_TASK_LOG_EXPORT, Now() - 7000, 0);
    EXPECT_EQ(checkExportStatus(), 1u) << "still running";
    PutTask(REMOTE_TASK_LOG_EXPORT, Now() - 7381, 0);
    EXPECT_EQ(checkExportStatus(), 0u);
    EXPECT_TRUE(log.Contains("The old task is timeout, start a new task!"));

    ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch(CHS_SWITCH_OFF), 0u);
    EXPECT_EQ(checkExportAllowed(0), 1007u);
    ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch(CHS_SWITCH_ON), 0u);
    platform::state::Set("free_mem_mb", "10");
    EXPECT_EQ(checkExportAllowed(0), 1008u);
    platform::state::Set("free_mem_mb", "100000");
    platform::state::Set("upgrade_mode", "1");
    EXPECT_EQ(checkExportAllowed(0), 1005u);
}

TEST_F(ExportFrameTest, SpaceTable) {
    struct Need {
        uint32_t mode, disk, mem;
    };
    for (Need need : {Need{0, 300, 150}, Need{1, 160, 100}, Need{2, 20, 40}, Need{3, 300, 60},
                      Need{4, 300, 60}, Need{5, 300, 60}, Need{6, 90, 60}, Need{7, 240, 60}}) {
        SCOPED_TRACE(need.mode);
        LogCapture log;
        platform::state::Set("free_disk_mb", std::to_string(need.disk));
        platform::state::Set("free_mem_mb", std::to_string(need.mem));
        EXPECT_EQ(checkMemEnough(need.mode), 0u);
        platform::state::Set("free_mem_mb", std::to_string(need.mem - 1));
        EXPECT_EQ(checkMemEnough(need.mode), 0x40E05B0Bu);
        EXPECT_TRUE(
            log.Contains("System free memory is not enough, need(" + std::to_string(need.mem) + ")!"));
        platform::state::Set("free_disk_mb", std::to_string(need.disk - 1));
        EXPECT_EQ(checkMemEnough(need.mode), 0x4000C963u) << "the disk is checked first";
        EXPECT_TRUE(
            log.Contains("Coffer data space is not enough, need(" + std::to_string(need.disk) + ")!"));
    }
    LogCapture log;
    EXPECT_EQ(checkMemEnough(9), 0xFFFFFFFFu);
    EXPECT_TRUE(log.Contains("Unknown mode(9)!"));

    platform::state::Set("free_disk_mb", "299");
    EXPECT_EQ(checkExportFileAllowed(5), 0x4000C963u);
    EXPECT_TRUE(log.Contains("Export space is not enough, try again later!"));
}

TEST_F(ExportFrameTest, SetUpSelectsOnlyConfiguredNodes) {
    std::string exportDir = s_dir->Join("node0/VXA/coffer_data/omm/export_import/");
    std::string stale = exportDir + "chs/export/diagnoseinfo/DiagnoseInfo_CTE0.A/summary.txt";
    chs_test::PutFile(stale, "left by an earlier export");
    chs_test::WriteText(exportDir + "DiagnoseInfo.tgz", "left by an earlier export");
    ASSERT_EQ(exportFilePreHandle(4), 0u);
    EXPECT_FALSE(chs_test::Exists(stale)) << "stale diagnose data go before the space check";
    EXPECT_FALSE(chs_test::Exists(exportDir + "DiagnoseInfo.tgz"));
    const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg = g_astExportFileCfg;
    EXPECT_EQ(cfg.ExportType, 4u);
    EXPECT_EQ(cfg.stAlarmEvent.uiStatus, 0x4000C929u);
    const char* names[] = {"CTE0.A", "CTE0.B", "CTE1.A"};
    for (uint32_t id = 0; id < EXPORT_MAX_NODE_NUM; ++id) {
        SCOPED_TRACE(id);
        const tagCOLLECOR_EXPORT_NODE_INFO_S& node = cfg.astNode[id];
        bool configured = id < 3;
        EXPECT_EQ(node.uiAnswered, 2u);
        EXPECT_EQ(node.ucSelected, configured ? 1 : 0);
        EXPECT_EQ(node.uiCollectStatus, configured ? 1u : 0x4000C929u);
        if (configured) {
            EXPECT_EQ(node.strPkgName, std::string("DiagnoseInfo_") + names[id] + ".tgz");
            EXPECT_EQ(node.strNodeName, names[id]);
        }
    }
}

// The handler behind the single-run wrapper: answers once the test opens the gate.
chs_test::Gate g_gate;
std::atomic<int> g_runs{0};

void BlockingHandler(InnerMsg& msg) {
    g_gate.Pass();
    ExpDiagPostAckMsg(msg, kSingleRunProbe, 0x40E05B0C);
}

void ThrowingHandler(InnerMsg&) {
    ++g_runs;
    throw std::runtime_error("handler failed");
}

InnerMsg Probe() { return chs_test::LocalRequest(kSingleRunProbe, nullptr, 30); }

TEST_F(ExportFrameTest, SecondConcurrentRequestIsAnsweredBusy) {
    ASSERT_EQ(MsgProcessClass::Instance()->Init(CHS_COLLECTOR_PID), 0u);
    MsgProcessClass::Instance()->AddHandlerHelper(
        new MsgHandleWrapper(MsgSingleRun<BlockingHandler>, MSG_PRI_1), kSingleRunProbe, 0);
    InnerMsg firstAnswer;
    bool firstSent = false;
    std::thread first([&] {
        InnerMsg request = Probe();
        firstSent = request.SendSyncMsg(firstAnswer);
    });
    EXPECT_TRUE(g_gate.WaitArrived());
    InnerMsg request = Probe();
    InnerMsg busy;
    EXPECT_TRUE(request.SendSyncMsg(busy));
    EXPECT_EQ(busy.TryGetErrorCode(), 0xFFFFFFFFu);
    g_gate.Open();
    first.join();
    ASSERT_TRUE(firstSent);
    ASSERT_EQ(firstAnswer.GetBody().size(), 1u);
    const MsgRecord& record = firstAnswer.GetBody()[0];
    EXPECT_EQ(record.GetCode(), kSingleRunProbe);
    ASSERT_NE(record.find(MSG_TAG_ERROR_CODE), nullptr);
    EXPECT_EQ(record[MSG_TAG_ERROR_CODE].GetType(), CTLVCell::TLV_INTEGER);
    EXPECT_EQ(record[MSG_TAG_ERROR_CODE].GetInt64(), static_cast<int32_t>(0x40E05B0C));
}

TEST_F(ExportFrameTest, SingleRunGuardsSurviveAThrowingHandler) {
    using State = SingleRunState<ThrowingHandler, SINGLE_RUN_BUSY>;
    MsgSingleRunInner<ThrowingHandler>(new InnerMsg(), &State::running);
    EXPECT_EQ(g_runs.load(), 1);
    EXPECT_FALSE(State::running.load());
    EXPECT_EQ(State::guard.load(), 0);
    MsgSingleRunInner<ThrowingHandler>(new InnerMsg(), &State::running);
    EXPECT_EQ(g_runs.load(), 2) << "the next request is served";

    // A request that slipped past the running flag is refused by the guard.
    State::guard = 1;
    MsgSingleRunInner<ThrowingHandler>(new InnerMsg(), &State::running);
    EXPECT_EQ(g_runs.load(), 2);
    EXPECT_EQ(State::guard.load(), 1) << "the running worker's guard is not released by the refused one";
    State::guard = 0;

    LogCapture log;
    InnerMsg notReceived;
    ExpDiagPostAckMsg(notReceived, kSingleRunProbe, 0);
    EXPECT_TRUE(log.Contains("Failed to post ack msg."));
}

}  // namespace
