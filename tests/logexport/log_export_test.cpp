// Log tasks end to end on node 0 of a simulated cluster, with the real
// agent and alarm-log service (chs-peers) beside this process: the node's
// history-log listing, history tasks with their failure paths, alarm-log
// tasks, and a listing of 10,000 files that leaves the dispatcher free.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <thread>

#include "collector/collector_db.h"
#include "control/remote_task.h"
#include "core/omlib.h"
#include "export/export_frame.h"
#include "logexport/log_file_export.h"
#include "logexport/log_list_service.h"
#include "logexport/remote_log_task.h"
#include "msg/chs_wire.h"
#include "platform/om_cluster.h"
#include "platform/platform_state.h"
#include "tests/support/local_node.h"
#include "tests/support/log_capture.h"

namespace fs = std::filesystem;

namespace {

using chs_test::ReadText;
using chs_test::WaitFor;
using chs_test::WriteText;
using Row = CCDB_COMM::tagDB_CHS_REMOTE_TASK_S;

chs_test::LocalNode* g_node = nullptr;

using chs_test::LogTask;
using chs_test::LogTaskEnded;
uint64_t Now() { return chs_test::NowSec(); }

int64_t Start(const std::string& id, int32_t mode, uint64_t beginSec, uint64_t endSec) {
    MsgRecord* record = new MsgRecord(chs_wire::OPCODE_REMOTE_LOG_COLLECT);
    record->appendInner(CTLVCell::NewString(chs_wire::REMOTE_LOG_TAG_TASK_ID, id));
    record->appendInner(CTLVCell::NewInt32(chs_wire::REMOTE_LOG_TAG_MODE, mode));
    record->appendInner(CTLVCell::NewUInt64(chs_wire::REMOTE_LOG_TAG_BEGIN, beginSec * 1000));
    record->appendInner(CTLVCell::NewUInt64(chs_wire::REMOTE_LOG_TAG_END, endSec * 1000));
    InnerMsg request = chs_test::LocalRequest(chs_wire::OPCODE_REMOTE_LOG_COLLECT, record);
    InnerMsg answer;
    if (!request.SendSyncMsg(answer) || answer.GetBody().empty()) {
        return -2;
    }
    return answer.GetBody()[0].GetCode() == chs_wire::RECORD_REMOTE_TASK_ADDED
               ? answer.GetBody()[0][MSG_TAG_ERROR_CODE].GetInt64()
               : -3;
}

std::string LogDir() { return g_node->Real(0, "/var/log/chs/"); }
std::string CopyDir() { return g_node->Real(0, chs_wire::HIS_LOG_COPY_DIR); }
std::string Delivered(const std::string& name) {
    std::string controller;
    omlib::getControllerName(0, controller);
    return g_node->Cluster() + "/remote/" + controller + "/" + name;
}

// A log file of node 0 last written `age` seconds ago.
void PutLog(const std::string& name, const std::string& text, uint64_t age) {
    std::string path = LogDir() + name;
    WriteText(path, text);
    utimbuf times{static_cast<time_t>(Now() - age), static_cast<time_t>(Now() - age)};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
}

size_t FilesIn(const std::string& dir) {
    std::error_code ec;
    size_t count = 0;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); ++it) {
        ++count;
    }
    return count;
}

class LogExportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (g_node == nullptr) {
            g_node = new chs_test::LocalNode(2, true);
        }
        g_uiLogWaitUnitMs = 50;
        g_uiAlmLogRoundMs = 20;
    }
    // The node stays for the process (its threads may still run), its peers do not.
    static void TearDownTestSuite() { g_node->StopPeers(); }
    void SetUp() override {
        chs_test::ResetLogTasks();
        std::error_code ec;
        fs::remove_all(LogDir() + "t", ec);
        fs::remove_all(g_node->Cluster() + "/remote", ec);
        fs::create_directories(LogDir() + "t");
    }
    void TearDown() override {
        platform::state::ClearAll();
        g_node->ClearStates();
        EXPECT_TRUE(WaitFor(chs_test::LogTaskSettled, 60000));
        EXPECT_TRUE(g_node->PeersRunning());
    }
};

TEST_F(LogExportTest, AHistoryTaskSendsEveryLogOfItsRangeOnce) {
    PutLog("t/a.log", "first file\n", 60);
    PutLog("t/b.log", std::string(200000, 'b'), 120);
    PutLog("t/old.log", "long ago\n", 10 * 86400);
    ASSERT_EQ(Start("hist", 2, Now() - 3600, Now() + 60), 0);
    ASSERT_TRUE(WaitFor(LogTaskEnded, 60000));
    Row row = LogTask();
    EXPECT_EQ(row.i_taskstatus, 3u) << row.sv_taskreturn2;
    EXPECT_EQ(row.i_taskresult, 0u);
    EXPECT_EQ(row.i_taskprogress, row.i_tasksubitems);
    EXPECT_GE(row.i_tasksubitems, 2u);
    EXPECT_STREQ(row.sv_taskreturn2, "Export success!");
    EXPECT_EQ(ReadText(Delivered("chs_t_a.log")), "first file\n");
    EXPECT_EQ(ReadText(Delivered("chs_t_b.log")), std::string(200000, 'b'));
    EXPECT_FALSE(fs::exists(Delivered("chs_t_old.log"))) << "outside the range";
    EXPECT_TRUE(WaitFor([] { return FilesIn(CopyDir()) == 0; }, 5000)) << "the copies are deleted at the end";
}

TEST_F(LogExportTest, HistoryFailures) {
    struct Case {
        const char* name;
        const char* state;
        const char* value;
        uint64_t result;
        const char* text;
    };
    const Case cases[] = {
        {"one file refused", "peer550_refuse_name", "chs_t_b.log", 1003, "Some files export failed!Fail log list: chs_t_b.log"},
        {"the agent refuses all", "peer550_mode", "fail:0x03000012", 1010, "There is no file to be sended successfully!"},
    };
    PutLog("t/a.log", "a\n", 60);
    PutLog("t/b.log", "b\n", 60);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(DeleteRemoteTask(REMOTE_TASK_LOG_EXPORT), 0u);
        g_node->SetState(c.state, c.value);
        ASSERT_EQ(Start("fail", 2, Now() - 90, Now() + 60), 0);
        ASSERT_TRUE(WaitFor(LogTaskEnded, 60000));
        g_node->ClearStates();
        EXPECT_EQ(LogTask().i_taskstatus, 4u);
        EXPECT_EQ(LogTask().i_taskresult, c.result);
        EXPECT_STREQ(LogTask().sv_taskreturn2, c.text);
    }
}

TEST_F(LogExportTest, ANodeThatDoesNotListItsLogsIsLeftOut) {
    // Node 1 is online, but its endpoint 551 serves nothing and never answers.
    std::string out = g_node->Cluster() + "/echo1.out";
    chs_test::Process silent({chs_test::BinaryPath("tests/echo_peer"), g_node->Cluster() + "/cluster.json", "1",
                              g_node->Root(1), "551"},
                             {}, out);
    ASSERT_TRUE(WaitFor([] { uint32_t online = 0; omlib::getOnlineMap(online); return (online & 2u) != 0; }, 20000));
    PutLog("t/a.log", "a\n", 60);
    chs_test::LogCapture log;
    ASSERT_EQ(Start("one-silent", 2, Now() - 90, Now() + 60), 0);
    ASSERT_TRUE(WaitFor(LogTaskEnded, 60000));
    EXPECT_EQ(LogTask().i_taskstatus, 3u) << LogTask().sv_taskreturn2;
    EXPECT_TRUE(log.Contains("1 node(s) did not list their history logs in time."));
    EXPECT_EQ(ReadText(Delivered("chs_t_a.log")), "a\n");
    EXPECT_FALSE(fs::exists(g_node->Cluster() + "/remote/CTE0.B")) << "nothing of node 1";
}

TEST_F(LogExportTest, AStopOrAnUpgradeEndsTheTaskBeforeItsNextFile) {
    for (int i = 0; i < 6; ++i) {
        PutLog("t/s" + std::to_string(i) + ".log", "s\n", 60);
    }
    struct Case {
        const char* name;
        void (*interrupt)();
        uint64_t result;
        const char* text;
    };
    const Case cases[] = {
        {"stop",
         [] {
             MsgRecord* record = new MsgRecord(chs_wire::OPCODE_REMOTE_LOG_STOP);
             record->appendInner(CTLVCell::NewString(0, "interrupted"));
             InnerMsg stop = chs_test::LocalRequest(chs_wire::OPCODE_REMOTE_LOG_STOP, record);
             InnerMsg answer;
             ASSERT_TRUE(stop.SendSyncMsg(answer));
             EXPECT_EQ(answer.TryGetErrorCode(), 0u);
         },
         1006, "Force stop!"},
        {"upgrade", [] { platform::state::Set("upgrade_mode", "1"); }, 1005,
         "It's not allowed to export log when upgrading!"},
    };
    g_node->SetState("peer550_mode", "delay:300");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(DeleteRemoteTask(REMOTE_TASK_LOG_EXPORT), 0u);
        ASSERT_EQ(Start("interrupted", 2, Now() - 90, Now() + 60), 0);
        ASSERT_TRUE(WaitFor([] { return LogTask().i_taskprogress >= 1; }, 30000));
        c.interrupt();
        ASSERT_TRUE(WaitFor(LogTaskEnded, 30000));
        platform::state::Clear("upgrade_mode");
        Row row = LogTask();
        EXPECT_EQ(row.i_taskstatus, 4u);
        EXPECT_EQ(row.i_taskresult, c.result);
        EXPECT_STREQ(row.sv_taskreturn2, c.text);
        EXPECT_LT(row.i_taskprogress, row.i_tasksubitems);
    }
}

TEST_F(LogExportTest, AlarmTasks) {
    struct Case {
        const char* name;
        int32_t mode;
        const char* total;  // forced overall state, or null
        uint64_t status;
        uint64_t result;
    };
    const Case cases[] = {
        {"first kind", 0, nullptr, 3, 0},
        {"second kind", 1, nullptr, 3, 0},
        {"still running after 180 rounds", 0, "0x05000531", 4, 1004},
        {"a special end", 0, "0x4000C933", 4, 1010},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(DeleteRemoteTask(REMOTE_TASK_LOG_EXPORT), 0u);
        fs::remove_all(g_node->Cluster() + "/remote/CTE0.A");
        if (c.total != nullptr) {
            g_node->SetState("peer561_export_total", c.total);
        }
        ASSERT_EQ(Start(c.name, c.mode, 0, 0), 0);
        ASSERT_TRUE(WaitFor(LogTaskEnded, 60000));
        g_node->ClearStates();
        Row row = LogTask();
        EXPECT_EQ(row.i_taskstatus, c.status) << row.sv_taskreturn2;
        EXPECT_EQ(row.i_taskresult, c.result);
        EXPECT_EQ(row.i_tasksubitems, 2u) << "one package per configured node";
        if (c.status == 3) {
            EXPECT_EQ(row.i_taskprogress, 2u);
            EXPECT_EQ(FilesIn(g_node->Cluster() + "/remote/CTE0.A"), 2u);
        }
    }
}

TEST_F(LogExportTest, AListingOf10000FilesLeavesTheDispatcherFree) {
    std::string dir = LogDir() + "t/";
    for (int i = 0; i < 10050; ++i) {
        WriteText(dir + "m" + std::to_string(i), "x");
    }
    MsgRecord* record = new MsgRecord(0);
    record->appendInner(CTLVCell::NewUInt64(chs_wire::HIS_LOG_TAG_BEGIN, Now() - 600));
    record->appendInner(CTLVCell::NewUInt64(chs_wire::HIS_LOG_TAG_END, Now() + 600));
    InnerMsg listing = chs_test::LocalRequest(chs_wire::OPCODE_LIST_HIS_LOG, record);
    std::atomic<size_t> listed{0};
    std::atomic<bool> done{false};
    std::thread lister([&] {
        InnerMsg answer;
        if (listing.SendSyncMsg(answer)) {
            listed = answer.GetBody().size();
        }
        done = true;
    });
    // While the node copies, the dispatcher answers other requests at once.
    MsgRecord* stopRecord = new MsgRecord(chs_wire::OPCODE_REMOTE_LOG_STOP);
    stopRecord->appendInner(CTLVCell::NewString(0, "none"));
    InnerMsg stop = chs_test::LocalRequest(chs_wire::OPCODE_REMOTE_LOG_STOP, stopRecord);
    InnerMsg stopAnswer;
    EXPECT_TRUE(stop.SendSyncMsg(stopAnswer));
    EXPECT_FALSE(done.load()) << "the stop was answered while the listing still ran";
    lister.join();
    EXPECT_EQ(listed.load(), HIS_LOG_LIST_MAX_FILES) << "the listing stops at its limit";
    EXPECT_EQ(DeleteCopiedHisLogs(), HIS_LOG_LIST_MAX_FILES);
    fs::remove_all(dir);
}

TEST_F(LogExportTest, TheDeleteOfCopiesIsConfinedToTheCopyDirectory) {
    fs::create_directories(CopyDir());
    WriteText(CopyDir() + "copy.log", "c");
    WriteText(LogDir() + "t/keep.log", "k");
    fs::create_symlink(LogDir() + "t/keep.log", CopyDir() + "link.log");
    for (const char* dir : {"/var/log/chs/t/", "/VXA/coffer_data/omm/export_import/chs/collector/message/../"}) {
        MsgRecord* record = new MsgRecord(0);
        record->appendInner(CTLVCell::NewString(chs_wire::DEL_HIS_LOG_TAG_DIR, dir));
        record->appendInner(CTLVCell::NewInt32(chs_wire::DEL_HIS_LOG_TAG_FLAG, 0));
        InnerMsg notice = chs_test::LocalRequest(chs_wire::OPCODE_DEL_HIS_LOG, record);
        handleDelHisLog(notice);
    }
    EXPECT_TRUE(fs::exists(CopyDir() + "copy.log")) << "another directory named: nothing deleted";
    EXPECT_EQ(DeleteCopiedHisLogs(), 2u);
    EXPECT_EQ(ReadText(LogDir() + "t/keep.log"), "k") << "a link goes, never its target";
}

}  // namespace
