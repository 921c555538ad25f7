// chsctl remote-log, package and a refused switch set against a scripted stand-in for the daemon:
// this test process attaches to a temporary two-node cluster as node 0,
// serves endpoint 551 over the real transport, answers as each case scripts
// and writes the remote log task row into the cluster's configuration
// database the way the daemon does; chsctl runs as its own process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "control/ccdb_comm.h"
#include "msg/chs_wire.h"
#include "platform/om_ccdb.h"
#include "tests/support/fake_daemon.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::Process;
using chs_test::ReadText;
using chs_test::RunResult;
using chs_test::TempDir;
using chs_test::WaitFor;
using TaskRow = CCDB_COMM::tagDB_CHS_REMOTE_TASK_S;

constexpr uint32_t kStart = chs_wire::OPCODE_REMOTE_LOG_COLLECT;
constexpr uint32_t kStop = chs_wire::OPCODE_REMOTE_LOG_STOP;
constexpr uint64_t kAdded = chs_wire::RECORD_REMOTE_TASK_ADDED;
constexpr const char* kUtc = "TZ=UTC0";
constexpr uint64_t kCreated = 1796551200;  // 2026-12-06T10:00:00Z

// One scripted answer to every request: cell 4095 when `bResult`, a text in
// cell 0 (the archive path) and a reason in cell 4094 when not empty.
struct Answer {
    bool bResult = false;
    int32_t iResult = 0;
    std::string strPath;
    std::string strDetail;
    uint64_t ullRecord = 0;  // the record's id; 0: the request's opcode
};

Answer Result(int32_t result, const std::string& path = "", const std::string& detail = "",
              uint64_t record = 0) {
    return {true, result, path, detail, record};
}

// What the stand-in answers; requests come on the transport's reader threads.
std::mutex g_mutex;
Answer g_answer;
std::function<void(const std::string& taskId)> g_onStart;
int32_t g_ccdb = 0;

void WriteTask(const TaskRow& row) { ASSERT_EQ(CCDB_COMM::ResetRemoteTaskToDB(g_ccdb, row), 0u); }

TaskRow Task(const std::string& id, uint32_t mode, uint64_t status) {
    TaskRow row{};
    row.taskId = 1;
    row.taskType = mode;
    snprintf(row.taskIdText, sizeof(row.taskIdText), "%s", id.c_str());
    row.createTime = kCreated;
    row.i_taskstatus = status;
    row.i_taskrunnode = 1;
    return row;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// Writes the task row of a start first, as the daemon does before it answers.
MsgRecord* AnswerOf(const InnerMsg& request) {
    uint32_t opcode = request.GetMsgInfo().uiMsgOPCode;
    Answer answer;
    std::function<void(const std::string&)> onStart;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        answer = g_answer;
        onStart = opcode == kStart ? g_onStart : nullptr;
    }
    if (onStart && !request.GetBody().empty() && request.GetBody()[0].find(0) != nullptr) {
        onStart(static_cast<const char*>(*request.GetBody()[0].find(0)));
    }
    MsgRecord* record = new MsgRecord(answer.ullRecord != 0 ? answer.ullRecord : opcode);
    if (answer.bResult) {
        record->appendInner(CTLVCell::NewInt32(chs_wire::TAG_RESULT, answer.iResult));
    }
    if (!answer.strPath.empty()) {
        record->appendInner(CTLVCell::NewString(chs_wire::PKG_TAG_PATH, answer.strPath));
    }
    if (!answer.strDetail.empty()) {
        record->appendInner(CTLVCell::NewString(chs_wire::TAG_DESCRIPTION, answer.strDetail));
    }
    return record;
}

class ChsctlRemoteLogTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_daemon = new chs_test::FakeDaemon(*s_dir, 2, AnswerOf);
        char* argv[] = {const_cast<char*>(CCDB_COMM::CCDB_DB_ARG), nullptr};
        ASSERT_EQ(OM_CCDB_Init(CCDB_COMM::CCDB_DB_TYPE, CCDB_COMM::CCDB_DB_NAME, argv, &g_ccdb), OM_CCDB_OK);
    }
    static void TearDownTestSuite() {
        delete s_daemon;
        delete s_dir;
    }

    void SetUp() override {
        Script({true, 0, "", "", kAdded});
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_onStart = nullptr;
        }
        s_daemon->Forget();
        CCDB_COMM::DeleteRemoteTask(g_ccdb, 1);
    }

    static void Script(const Answer& answer) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_answer = answer;
    }
    static RunResult Chsctl(const std::vector<std::string>& args, const std::string& tz = kUtc) {
        return s_daemon->Chsctl(args, "0", {tz});
    }
    static size_t RequestCount() { return s_daemon->RequestCount(); }
    // Cell `tag` of the last request with `opcode`.
    static std::string Cell(uint32_t opcode, unsigned short tag) {
        return chs_test::FakeDaemon::Cell(s_daemon->Received(opcode), tag);
    }

    static inline TempDir* s_dir = nullptr;
    static inline chs_test::FakeDaemon* s_daemon = nullptr;
};

TEST_F(ChsctlRemoteLogTest, BadCommandLinesAreRefusedBeforeSending) {
    struct Case {
        std::vector<std::string> words;
        std::string why;
        std::string tz = kUtc;
    };
    const std::vector<Case> cases = {
        {Words("remote-log"), "needs an action"},
        {Words("remote-log begin"), "unknown remote-log action begin"},
        {Words("remote-log start"), "needs --mode"},
        {Words("remote-log start --mode 3"), "--mode takes 0 (alarm logs, first kind)"},
        {Words("remote-log start --mode 2"), "give --from and --to"},
        {Words("remote-log start --mode 0 --to 1700000000"), "--from and --to go together"},
        {Words("remote-log start --mode 2 --from 1700000001 --to 1700000000"), "--to lies before --from"},
        // 10:30+01:00 is 09:30Z.
        {Words("remote-log start --mode 2 --from 2026-12-06T10:00:00Z --to 2026-12-06T10:30:00+01:00"),
         "--to lies before --from"},
        {Words("remote-log start --mode 2 --from 2026-02-29T00:00:00"), "not a date of the calendar"},
        {Words("remote-log start --mode 2 --from 2026-12-06T24:00:00"), "not a time of day"},
        {Words("remote-log start --mode 2 --from 2026-12-06T10:00:00+24:00"), "offset from UTC"},
        {Words("remote-log start --mode 2 --from 1970-01-01T01:00:00"), "before 1970", "TZ=XST-2"},
        {Words("remote-log start --mode 2 --from 2026-03-29T02:30:00"),
         "does not exist in the local time zone", "TZ=CET-1CEST,M3.5.0,M10.5.0/3"},
        {Words("remote-log start --mode 2 --from 253402300800"), "past the year 9999"},
        {Words("remote-log start --mode 2 --from 2026-12-06T10:00"), "is neither"},
        {Words("remote-log start --mode 2 --from 2026-12-06T10:00:00.1234Z"), "is neither"},
        {{"remote-log", "start", "--mode", "0", "--task-id", std::string(256, 'x')},
         "has 256 bytes, at most 255"},
        {{"remote-log", "start", "--mode", "0", "--task-id", ""}, "the task id is empty"},
        {Words("remote-log start --mode 0 --wait-limit 5"), "--wait-limit goes with --wait"},
        {Words("remote-log start --mode 0 --type 5"), "does not take --type"},
        {Words("remote-log stop"), "takes the id of the task"},
        {{"remote-log", "stop", std::string(256, 'y')}, "at most 255"},
        {Words("remote-log show now"), "takes no arguments"},
        {Words("package --all"), "takes no arguments"},
    };
    for (const Case& c : cases) {
        RunResult result = Chsctl(c.words, c.tz);
        EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(c.words) << result.err;
        EXPECT_NE(result.err.find(c.why), std::string::npos) << testing::PrintToString(c.words) << result.err;
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << testing::PrintToString(c.words);
    }
    EXPECT_EQ(RequestCount(), 0u) << "a refused command line sends nothing";
}

TEST_F(ChsctlRemoteLogTest, StartSendsTheTaskIdModeAndRangeInMilliseconds) {
    struct Case {
        std::string extra, tz;
        std::string cells;  // cells 1, 2 and 3
    };
    const std::vector<Case> cases = {
        {"--mode 2 --from 2026-12-06T10:00:00Z --to 2026-12-06T12:30:00.25+01:00", kUtc,
         "4/4:2 3/8:1796551200000 3/8:1796556600250"},
        {"--mode 2 --from 2026-12-06T10:00:00 --to 2026-12-06T10:00:00", "TZ=XST-2",
         "4/4:2 3/8:1796544000000 3/8:1796544000000"},
        {"--mode 2 --from 1709251199 --to 2024-03-01T00:00:00-00:30", kUtc,
         "4/4:2 3/8:1709251199000 3/8:1709253000000"},
        {"--mode 0", kUtc, "4/4:0 3/8:0 3/8:0"},
        {"--mode 1 --from 1700000000 --to 1700003600", kUtc, "4/4:1 3/8:1700000000000 3/8:1700003600000"},
    };
    for (const Case& c : cases) {
        RunResult result = Chsctl(Words("remote-log start --task-id T-1 " + c.extra), c.tz);
        EXPECT_EQ(result.exitCode, 0) << c.extra << result.err;
        EXPECT_EQ(result.out, "remote log task T-1 started on node 0\n");
        EXPECT_EQ(Cell(kStart, 0), "2/4:T-1");
        EXPECT_EQ(Cell(kStart, 1) + " " + Cell(kStart, 2) + " " + Cell(kStart, 3), c.cells) << c.extra;
    }
    RunResult generated = Chsctl({"--json", "remote-log", "start", "--mode", "0"});
    EXPECT_EQ(generated.exitCode, 0) << generated.err;
    std::smatch id;
    const std::string cell = Cell(kStart, 0);
    ASSERT_TRUE(std::regex_match(cell, id, std::regex("2/21:(chsctl-[0-9]{13})"))) << cell;
    EXPECT_EQ(generated.out, "{\"started\":true,\"task_id\":\"" + id[1].str() + "\"}\n");
}

// Only record 0x70003008 with result 0 says that a start was taken; every
// other answer, and every answer to a stop or a package, is explained from
// its result, with the node's own reason when it gives one. The daemon
// answers a stop with 0 also when the task had ended: the row tells.
TEST_F(ChsctlRemoteLogTest, EveryAnswerIsExplained) {
    const std::string archive = "/VXA/coffer_data/omm/export_import/chs/export/collector_chs_file_CTE0.A.tgz";
    const std::string real = s_daemon->Cluster() + "/node0" + archive;
    const std::string busy =
        "failed: result 0x000003F1 (a log task is running, or the last one ended less than 180 s ago)\n";
    const std::vector<std::string> start = Words("remote-log start --mode 1 --wait");
    const std::vector<std::string> stop = Words("remote-log stop T-9");
    const std::vector<std::string> package = {"package"};
    const std::vector<std::string> jsonStart = Words("--json remote-log start --mode 1 --task-id J");
    const std::vector<std::string> jsonStop = {"--json", "remote-log", "stop", "other id"};
    const std::vector<std::string> otherStop = Words("remote-log stop T-8");
    const std::vector<std::string> jsonPackage = {"--json", "package"};
    struct Case {
        std::vector<std::string> args;
        Answer answer;
        int exitCode;
        std::string out, err;
        bool bEndedRow = false;  // the task row of T-9 has an end time
    };
    const std::vector<Case> cases = {
        {start, Result(1009), 1, "", busy},
        {start, Result(1001, "", "", kAdded), 1, "",
         "failed: result 0x000003E9 (inner error: the request could not be read or the task not recorded)\n"},
        {start, Answer(), 1, "",
         "failed: result 0x00000000 (the answer does not say that the task started)\n"},
        {start, Result(0x03000003, "", "task mode 7 is not supported"), 1, "",
         "failed: result 0x03000003 (a parameter is not valid (of an export: a type it does not serve))\n"
         "node 0 says: task mode 7 is not supported\n"},
        {start, Result(0x12345678), 1, "", "failed: result 0x12345678\n"},
        {jsonStart, Result(1009), 1,
         "{\"detail\":\"\",\"result\":1009,\"result_text\":\"a log task is running, or the last one ended "
         "less than 180 s ago\",\"started\":false,\"task_id\":\"J\"}\n",
         busy},
        {stop, Answer(), 0, "stop requested for task T-9\n", ""},
        {stop, Result(0), 0, "task T-9 had ended already: nothing to stop\n", "", true},
        {otherStop, Result(0), 0, "stop requested for task T-8\n", "", true},
        {stop, Result(-1), 1, "",
         "failed: result 0xFFFFFFFF (the task id does not match the running task)\n"},
        {stop, Result(6), 1, "", "failed: result 0x00000006 (no remote log task)\n"},
        {jsonStop, Answer(), 0, "{\"ended\":false,\"stop_requested\":true,\"task_id\":\"other id\"}\n", ""},
        {package, Result(0, archive), 0,
         "archive on node 0: " + archive + "\nin the cluster directory: " + real + "\n", ""},
        {jsonPackage, Result(0, archive), 0,
         "{\"path\":\"" + archive + "\",\"real_path\":\"" + real + "\"}\n", ""},
        {package, Result(static_cast<int32_t>(0x4000C965)), 1, "",
         "failed: result 0x4000C965 (nothing to pack)\n"},
        {package, Result(-1), 1, "",
         "failed: result 0xFFFFFFFF (packing failed: little space on the coffer disk, or tar failed)\n"},
        {package, Result(0), 1, "", "chsctl: the answer names no archive\n"},
        // A refused switch names what failed; the node's text reaches the terminal without control characters.
        {Words("switch set on"), Result(0x12345678, "", "driver d failed\x1b[2J"), 1, "",
         "failed: result 0x12345678\nnode 0 says: driver d failed?[2J\n"},
        {Words("switch set on --json"), Result(0x12345678, "", "driver d failed"), 1,
         "{\"reason\":\"driver d failed\",\"result\":305419896,\"result_text\":\"\",\"set\":false,"
         "\"switch\":\"collector\",\"value\":\"on\"}\n",
         "failed: result 0x12345678\nnode 0 says: driver d failed\n"},
    };
    for (const Case& c : cases) {
        TaskRow row = Task("T-9", 0, 4);
        row.i_taskendtime = c.bEndedRow ? kCreated + 60 : 0;
        WriteTask(row);
        Script(c.answer);
        RunResult result = Chsctl(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << testing::PrintToString(c.args) << c.err;
        EXPECT_EQ(result.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(result.err, c.err) << testing::PrintToString(c.args);
    }
    EXPECT_EQ(Cell(kStop, 0), "2/9:other id");
    RunResult unreachable = s_daemon->Chsctl({"package"}, "1");
    EXPECT_EQ(unreachable.exitCode, 3) << unreachable.err;
}

TEST_F(ChsctlRemoteLogTest, ShowReadsTheTaskRowOfTheCluster) {
    TaskRow running = Task("T-1", 2, 2);
    running.paramValue1 = 1796551200000;
    running.paramValue2 = 1796556600250;
    running.i_taskprogress = 3;
    running.i_tasksubitems = 10;
    WriteTask(running);
    RunResult shown = Chsctl({"remote-log", "show"});
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out,
              "task id:  T-1\n"
              "mode:     2, history logs from 2026-12-06T10:00:00+00:00 to 2026-12-06T11:30:00.250+00:00\n"
              "status:   file list ready\n"
              "progress: 3 of 10 files sent\n"
              "result:   0 (Export success!)\n"
              "text:     \n"
              "run node: 1\n"
              "started:  2026-12-06T10:00:00+00:00\n"
              "ended:    -\n");
    RunResult json = Chsctl({"--json", "remote-log", "show"}, "TZ=XST-2");
    EXPECT_EQ(
        json.out,
        "{\"created\":\"2026-12-06T12:00:00+02:00\",\"ended\":null,\"from\":\"2026-12-06T12:00:00+02:00\","
        "\"mode\":2,\"progress\":3,\"result\":0,\"result_text\":\"Export success!\",\"run_node\":1,"
        "\"status\":\"list_ready\",\"task_id\":\"T-1\",\"text\":\"\",\"to\":\"2026-12-06T13:30:00.250+02:"
        "00\","
        "\"total\":10}\n");

    struct Case {
        uint32_t uiMode;
        uint64_t ullResult;
        std::string strText;
        std::string mode, result, json;
    };
    const std::vector<Case> cases = {
        {0, 1006, "Force stop!", "0, alarm logs (first kind)", "1006 (Force stop!)", "\"result\":1006"},
        {1, 0xFFFFFFFF, "", "1, alarm logs (second kind)", "-1 (the task's work could not start)",
         "\"result\":-1"},
        {7, 0x4040324E, "", "7, mode 7 (not served)", "0x4040324E (general failure)",
         "\"result\":1077949006"},
    };
    for (const Case& c : cases) {
        TaskRow ended = Task("T-2", c.uiMode, 4);
        ended.i_taskresult = c.ullResult;
        ended.i_taskendtime = kCreated + 90;
        snprintf(ended.sv_taskreturn2, sizeof(ended.sv_taskreturn2), "%s", c.strText.c_str());
        WriteTask(ended);
        RunResult words = Chsctl({"remote-log", "show"});
        EXPECT_EQ(words.exitCode, 0) << words.err;
        for (const std::string& line :
             std::vector<std::string>{"mode:     " + c.mode, "status:   failed", "result:   " + c.result,
                                      "text:     " + c.strText, "ended:    2026-12-06T10:01:30+00:00"}) {
            EXPECT_NE(words.out.find(line + "\n"), std::string::npos) << line << "\n" << words.out;
        }
        RunResult doc = Chsctl({"--json", "remote-log", "show"});
        EXPECT_NE(doc.out.find(c.json), std::string::npos) << doc.out;
        EXPECT_NE(doc.out.find("\"status\":\"failed\""), std::string::npos) << doc.out;
    }

    // No row, and the row the daemon leaves before the first task ran.
    TaskRow placeholder = Task("0", 8, 0);
    placeholder.i_taskendtime = kCreated;
    for (bool withPlaceholder : {false, true}) {
        CCDB_COMM::DeleteRemoteTask(g_ccdb, 1);
        if (withPlaceholder) {
            WriteTask(placeholder);
        }
        RunResult none = Chsctl({"remote-log", "show"});
        EXPECT_EQ(none.exitCode, 1);
        EXPECT_EQ(none.err, "no remote log task\n");
        EXPECT_EQ(Chsctl({"--json", "remote-log", "show"}).out, "null\n");
    }
}

// The stand-in writes the task row when it accepts the start; each step then
// changes the row (or leaves it as written) and waits until chsctl has shown
// the step's line.
TEST_F(ChsctlRemoteLogTest, WaitFollowsTheTaskRowToItsEnd) {
    using Step = std::pair<std::function<void(TaskRow&)>, std::string>;
    // Status, result, files sent and in all; an ended task (status 3 or 4) has an end time.
    auto set = [](uint64_t status, uint64_t result, uint64_t sent, uint64_t total) {
        return [=](TaskRow& row) {
            row.i_taskstatus = status;
            row.i_taskresult = result;
            row.i_taskprogress = sent;
            row.i_tasksubitems = total;
            row.i_taskendtime = status >= 3 ? kCreated + 120 : 0;
        };
    };
    struct Case {
        std::vector<std::string> extra;
        std::vector<Step> steps;
        int exitCode;
        std::string tail;  // found in standard output or, for chsctl's own complaints, standard error
    };
    const std::vector<Case> cases = {
        {{},
         {{nullptr, ""},
          {set(2, 0, 0, 3), "sent 0 of 3"},
          {set(2, 0, 2, 3), "sent 2 of 3"},
          {set(3, 0, 3, 3), ""}},
         0,
         "remote log task W started on node 0\nsent 0 of 3\nsent 2 of 3\nsent 3 of 3\ntask id:  "
         "W\n"},
        {{},
         {{set(2, 0, 1, 4), "sent 1 of 4"}, {set(4, 1006, 1, 4), ""}},
         1,
         "result:   1006 (Force stop!)\n"},
        {{"--wait-limit", "1"}, {{nullptr, ""}}, 4, "chsctl: task W is still running after 1 s\n"},
        {{},
         {{[](TaskRow& row) { strcpy(row.taskIdText, "other"); }, ""}},
         1,
         "chsctl: task W is no longer the cluster's remote log task (now other)\n"},
    };
    for (const Case& c : cases) {
        TaskRow row;
        std::mutex rowMutex;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_onStart = [&](const std::string& id) {
                std::lock_guard<std::mutex> guard(rowMutex);
                row = Task(id, 0, 1);
                WriteTask(row);
            };
        }
        std::vector<std::string> args = Words("--timeout 5 remote-log start --mode 0 --task-id W --wait");
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        std::string out = s_dir->Join("wait.out");
        Process chsctl(s_daemon->Argv(args), {kUtc}, out);
        for (const Step& step : c.steps) {
            ASSERT_TRUE(WaitFor([&] { return RequestCount() > 0; }, 10000));
            if (step.first) {
                std::lock_guard<std::mutex> guard(rowMutex);
                step.first(row);
                WriteTask(row);
            }
            if (!step.second.empty()) {
                EXPECT_TRUE(WaitFor(
                    [&] { return ReadText(out).find(step.second + "\n") != std::string::npos; }, 5000))
                    << step.second << "\n"
                    << ReadText(out);
            }
        }
        ASSERT_TRUE(WaitFor([&] { return !chsctl.Running(); }, 10000)) << ReadText(out);
        int status = chsctl.Stop(0);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.exitCode) << ReadText(out + ".err");
        std::string text = ReadText(c.exitCode == 0 || c.tail.rfind("chsctl:", 0) != 0 ? out : out + ".err");
        EXPECT_NE(text.find(c.tail), std::string::npos) << c.tail << "\n---\n" << text;
        SetUp();
    }
}

}  // namespace
