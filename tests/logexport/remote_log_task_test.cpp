// Remote log tasks on a node of a simulated cluster with a real CCDB and
// record database: what a start or stop request is answered and what it does
// to the task row, the closing text, and the recovery at start-up.
#include "logexport/remote_log_task.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <functional>

#include "collector/collector_db.h"
#include "control/ccdb_comm.h"
#include "control/collector_ccdb.h"
#include "control/remote_task.h"
#include "export/export_frame.h"
#include "logexport/log_file_export.h"
#include "msg/chs_wire.h"
#include "platform/platform_state.h"
#include "tests/support/local_node.h"
#include "tests/support/log_capture.h"

namespace {

using chs_test::LogCapture;
using chs_test::WaitFor;
using Row = CCDB_COMM::tagDB_CHS_REMOTE_TASK_S;

chs_test::LocalNode* g_node = nullptr;

uint64_t Now() { return chs_test::NowSec(); }

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

using chs_test::LogTaskEnded;

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
