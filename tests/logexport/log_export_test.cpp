// Log tasks end to end on node 0 of a simulated cluster, with the real
// agent and alarm-log service (chs-peers) beside this process: the node's
// history-log listing, history tasks with their failure paths, alarm-log
// tasks, and a listing of 10,000 files that leaves the dispatcher free. Then,
// with chs-peers stopped, what a start or stop request is answered and what it
// does to the task row, the closing text, and the recovery at start-up.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <thread>

#include "collector/collector_db.h"
#include "control/ccdb_comm.h"
#include "control/collector_ccdb.h"
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
    // Online from its attach on, but asked only once its endpoint is registered ("ready").
    ASSERT_TRUE(WaitFor([&] { return ReadText(out) == "ready\n"; }, 20000)) << ReadText(out + ".err");
    uint32_t online = 0;
    ASSERT_EQ(omlib::getOnlineMap(online), 0);
    ASSERT_NE(online & 2u, 0u);
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

// The task requests themselves; this suite shares the node, without chs-peers.
using chs_test::LogCapture;

// The kind-1 row as a test places it.
void PutTask(const char* id, uint64_t type, uint64_t created, uint64_t ended, uint64_t runNode = 0,
             uint64_t status = 1) {
    Row row{};
    row.taskId = REMOTE_TASK_LOG_EXPORT;
    row.taskType = static_cast<uint32_t>(type);
    snprintf(row.taskIdText, sizeof(row.taskIdText), "%s", id);
    row.createTime = created;
    row.i_taskendtime = ended;
    row.i_taskrunnode = runNode;
    row.i_taskstatus = status;
    ASSERT_EQ(CCDB_COMM::ResetRemoteTaskToDB(g_collectorCcdbId, row), 0u);
}

Row ReadTask() {
    Row row = chs_test::LogTask();
    EXPECT_NE(row.taskId, 0u) << "no task row";
    return row;
}

struct Answer {
    uint64_t ulRecord = 0;
    int64_t llResult = -2;
};

Answer Send(uint32_t opcode, MsgRecord* record) {
    InnerMsg request = chs_test::LocalRequest(opcode, record, 20);
    InnerMsg answer;
    Answer out;
    if (request.SendSyncMsg(answer) && !answer.GetBody().empty()) {
        out.ulRecord = answer.GetBody()[0].GetCode();
        const CTLVCell* cell = answer.GetBody()[0].find(MSG_TAG_ERROR_CODE);
        out.llResult = cell != nullptr ? cell->GetInt64() : 0;
    }
    return out;
}

MsgRecord* StartRecord(const std::string& id, int64_t mode, uint64_t beginMs, uint64_t endMs) {
    MsgRecord* record = new MsgRecord(chs_wire::OPCODE_REMOTE_LOG_COLLECT);
    record->appendInner(CTLVCell::NewString(chs_wire::REMOTE_LOG_TAG_TASK_ID, id));
    record->appendInner(CTLVCell::NewInt32(chs_wire::REMOTE_LOG_TAG_MODE, static_cast<int32_t>(mode)));
    record->appendInner(CTLVCell::NewUInt64(chs_wire::REMOTE_LOG_TAG_BEGIN, beginMs));
    record->appendInner(CTLVCell::NewUInt64(chs_wire::REMOTE_LOG_TAG_END, endMs));
    return record;
}

Answer Stop(const std::string& id) {
    MsgRecord* record = new MsgRecord(chs_wire::OPCODE_REMOTE_LOG_STOP);
    record->appendInner(CTLVCell::NewString(chs_wire::REMOTE_LOG_STOP_TAG_TASK_ID, id));
    return Send(chs_wire::OPCODE_REMOTE_LOG_STOP, record);
}

class RemoteLogTaskTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (g_node == nullptr) {
            g_node = new chs_test::LocalNode(2, false);
        }
        g_uiLogWaitUnitMs = 20;
        g_uiAlmLogRoundMs = 20;
    }
    void SetUp() override {
        chs_test::ResetLogTasks();
    }
    void TearDown() override {
        platform::state::ClearAll();
        // A task a test started must end before the next test replaces its row.
        EXPECT_TRUE(WaitFor(chs_test::LogTaskSettled, 20000));
    }
};

TEST_F(RemoteLogTaskTest, RefusedStartsLeaveThePreviousTaskAlone) {
    const uint64_t hour = 3600000;
    const uint64_t nowMs = Now() * 1000;
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::function<MsgRecord*()> request;
        int64_t result;
    };
    const Case cases[] = {
        {"no cells", [] {}, [] { return new MsgRecord(chs_wire::OPCODE_REMOTE_LOG_COLLECT); }, 1001},
        {"mode is text", [] {},
         [] {
             MsgRecord* r = new MsgRecord(1);
             r->appendInner(CTLVCell::NewString(0, "t"));
             r->appendInner(CTLVCell::NewString(1, "2"));
             return r;
         },
         1001},
        {"mode 3", [] {}, [&] { return StartRecord("t3", 3, 0, 0); }, 0x03000003},
        {"range the wrong way round", [] {}, [&] { return StartRecord("t", 2, nowMs, nowMs - hour); }, 0x03000003},
        {"history without a range", [] {},
         [] {
             MsgRecord* r = new MsgRecord(1);
             r->appendInner(CTLVCell::NewString(0, "t"));
             r->appendInner(CTLVCell::NewInt32(1, 2));
             return r;
         },
         1001},
        {"task id of 256 bytes", [] {}, [&] { return StartRecord(std::string(256, 'x'), 0, 0, 0); }, 0x03000003},
        {"switch off", [] { ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("off"), 0u); },
         [&] { return StartRecord("t", 0, 0, 0); }, 1007},
        {"ccdb unreachable", [] { platform::state::Set("ccdb_unreachable", "1"); },
         [&] { return StartRecord("t", 2, nowMs - hour, nowMs); }, 1009},
        {"a task runs", [] { PutTask("prev", 2, Now() - 60, 0); }, [&] { return StartRecord("t", 1, 0, 0); }, 1009},
        {"the last ended 100 s ago", [] { PutTask("prev", 2, Now() - 600, Now() - 100); },
         [&] { return StartRecord("t", 1, 0, 0); }, 1009},
        {"upgrade", [] { platform::state::Set("upgrade_mode", "1"); }, [&] { return StartRecord("t", 0, 0, 0); },
         1005},
        {"15 MB free", [] { platform::state::Set("free_disk_mb", "15"); },
         [&] { return StartRecord("t", 2, nowMs - hour, nowMs); }, 1008},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PutTask("prev", 2, Now() - 8000, Now() - 7000);
        c.arrange();
        Answer answer = Send(chs_wire::OPCODE_REMOTE_LOG_COLLECT, c.request());
        chs_test::ResetStates();
        ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("on"), 0u);
        EXPECT_EQ(answer.ulRecord, chs_wire::OPCODE_REMOTE_LOG_COLLECT);
        EXPECT_EQ(answer.llResult, c.result);
        EXPECT_STREQ(ReadTask().taskIdText, "prev") << "the task row is untouched";
    }
}

TEST_F(RemoteLogTaskTest, AnAcceptedStartIsAnsweredFirstAndClosedWithItsOutcome) {
    LogCapture log;
    // A range long past: no node keeps a log of it.
    Answer answer = Send(chs_wire::OPCODE_REMOTE_LOG_COLLECT, StartRecord("hist-1", 2, 1000000, 2000000));
    EXPECT_EQ(answer.ulRecord, chs_wire::RECORD_REMOTE_TASK_ADDED);
    EXPECT_EQ(answer.llResult, 0);
    ASSERT_TRUE(WaitFor(LogTaskEnded, 20000));
    Row row = ReadTask();
    EXPECT_STREQ(row.taskIdText, "hist-1");
    EXPECT_EQ(row.paramValue1, 1000000u);
    EXPECT_EQ(row.paramValue2, 2000000u);
    EXPECT_EQ(row.i_taskrunnode, 0u);
    EXPECT_EQ(row.i_taskstatus, 4u);
    EXPECT_EQ(row.i_taskresult, 1002u);
    EXPECT_STREQ(row.sv_taskreturn2, "There is no file to export!");
    EXPECT_TRUE(log.Contains("There is no file collected."));
}

TEST_F(RemoteLogTaskTest, Stop) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* id;
        int64_t result;
        bool stopFlag;
    };
    const Case cases[] = {
        {"no task", [] {}, "a", CCDB_RESULT_NO_ROW, false},
        {"another id", [] { PutTask("mine", 2, Now(), 0); }, "mine2", -1, false},
        {"a prefix of the id", [] { PutTask("mine", 2, Now(), 0); }, "min", -1, false},
        {"after the end", [] { PutTask("mine", 2, Now() - 100, Now() - 10); }, "mine", 0, false},
        {"while running", [] { PutTask("mine", 2, Now(), 0); }, "mine", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(DeleteRemoteTask(REMOTE_TASK_LOG_EXPORT), 0u);
        g_bRemoteTaskStop = false;
        c.arrange();
        Answer answer = Stop(c.id);
        EXPECT_EQ(answer.ulRecord, chs_wire::OPCODE_REMOTE_LOG_STOP);
        EXPECT_EQ(answer.llResult, c.result);
        EXPECT_EQ(g_bRemoteTaskStop.load(), c.stopFlag);
    }
    g_bRemoteTaskStop = false;
    PutTask("done", 2, Now() - 100, Now() - 10);
}

TEST_F(RemoteLogTaskTest, TheFailedFileListStopsAt900Characters) {
    PutTask("many", 2, Now(), 0);
    for (int i = 0; i < 200; ++i) {
        char name[64];
        snprintf(name, sizeof(name), "/x/message/file%016d", i);  // base names of 20 characters
        ASSERT_EQ(insertLogRecord(static_cast<unsigned short>(i % 3), name), 0);
    }
    ASSERT_EQ(updateLogRecord(0, "/x/message/file0000000000000000"), 0) << "a sent file is not listed";
    g_bRemoteTaskStop = true;
    ASSERT_EQ(FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, 4, 1003), 0u);
    EXPECT_FALSE(g_bRemoteTaskStop.load()) << "finishing clears the stop flag";
    Row row = ReadTask();
    std::string text = row.sv_taskreturn2;
    const std::string head = "Some files export failed!Fail log list: ";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    std::string list = text.substr(head.size());
    EXPECT_LE(list.size(), 900u);
    EXPECT_EQ(list.size(), 42u * 21 - 1) << "42 names of 20 and their commas fit, a 43rd does not";
    EXPECT_EQ(list.compare(0, 21, "file0000000000000003,"), 0) << "node 0 first, the sent file left out";
    EXPECT_EQ(row.i_taskstatus, 4u);
    EXPECT_EQ(row.i_taskresult, 1003u);
    EXPECT_NE(row.i_taskendtime, 0u);
}

TEST_F(RemoteLogTaskTest, Recovery) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        uint64_t status;  // 0: the row stays as placed
        uint64_t result;
        const char* logged;
    };
    const Case cases[] = {
        {"no task", [] { ASSERT_EQ(DeleteRemoteTask(1), 0u); }, 0, 0, "There is no task in exporting"},
        {"another node's", [] { PutTask("x", 0, Now() - 60, 0, 1); }, 0, 0, "Task is not deal in this node, task node(1)"},
        {"finished", [] { PutTask("x", 0, Now() - 60, Now() - 30); }, 0, 0, "Remote task is finished"},
        {"2 hours old", [] { PutTask("x", 0, Now() - 7300, 0); }, 4, 1004, "Remote task is timeout, finish task"},
        // 30 minutes in: resumed from the stored progress. This binary has no
        // alarm-log service, so the resumed task ends on its status query.
        {"alarm task 30 minutes in",
         [] {
             PutTask("x", 1, Now() - 1800, 0, 0, 2);
             ASSERT_EQ(UpdateRtFileNum(1, 2), 0u);
         },
         4, 1011, "Resume the alarm log task (x) from 2 sent."},
        {"history task whose files were all sent",
         [] {
             PutTask("x", 2, Now() - 1800, 0, 0, 2);
             Row row{};
             row.taskId = 1;
             row.i_taskprogress = 1;
             row.i_tasksubitems = 1;
             ASSERT_EQ(CCDB_COMM::UpdateRemoteTaskStatusToDB(g_collectorCcdbId, row, (1u << 4) | (1u << 5)), 0u);
             ASSERT_EQ(insertLogRecord(0, "/a/message/sent.log"), 0);
             ASSERT_EQ(updateLogRecord(0, "/a/message/sent.log"), 0);
         },
         3, 0, "Resume the history log task (x) from 1 sent."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        c.arrange();
        Row before{};
        GetRemoteTask(1, before);
        RecoverRemoteTask();
        EXPECT_TRUE(log.Contains(c.logged));
        if (c.status == 0) {
            Row after{};
            GetRemoteTask(1, after);
            EXPECT_EQ(memcmp(&before, &after, sizeof(Row)), 0) << "the row is untouched";
            continue;
        }
        ASSERT_TRUE(WaitFor(LogTaskEnded, 20000));
        EXPECT_EQ(ReadTask().i_taskstatus, c.status);
        EXPECT_EQ(ReadTask().i_taskresult, c.result);
    }
}

}  // namespace
