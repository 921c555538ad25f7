// Sending the log files of a remote log task to the remote support service.
//
// History logs: the run node asks every online node to list (and copy into
// its collector message/ directory) its log files of the task's time range,
// records the list in the record database (tbl_log_record) and hands the
// files one by one to the local agent, marking each sent file collected so
// that an interrupted task resumes with what is left. Two passes: the second
// retries what the first could not send.
//
// Alarm logs: the alarm-log service of the run node (561) packs the alarm log
// of every node; the transfer polls its per-node status every round, hands
// each finished package to the agent, tells the service to clear it and
// counts it.
//
// Both end by closing the task row (remote_log_task.h). One transfer runs at a
// time, on one detached thread. The per-node lists and the pending-answer count
// are guarded by a mutex, since list answers arrive on message threads; the
// send outcome is written by the agent's answer callback with atomic builtins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export/export_frame.h"
#include "msg/inner_msg.h"

constexpr uint32_t LOG_SEND_FILE_TYPE_HISTORY = 1;
constexpr uint32_t LOG_SEND_FILE_TYPE_ALARM = 2;
constexpr uint32_t HIS_LOG_LIST_TIMEOUT_SEC = 10;     // answer time-out of one list query
constexpr uint32_t HIS_LOG_LIST_WAIT_ROUNDS = 10;     // one-second waits for the answers
constexpr uint32_t HIS_LOG_SEND_TIMEOUT_SEC = 120;    // one history file
constexpr uint64_t HIS_LOG_TASK_LIMIT_SEC = 7200;     // a whole history task
constexpr uint32_t ALM_LOG_SEND_TIMEOUT_SEC = 1800;   // one alarm-log package
constexpr uint64_t ALM_LOG_TASK_LIMIT_SEC = 5400;     // package waits of an alarm task
constexpr uint32_t ALM_LOG_WAIT_ROUNDS = 180;         // status rounds of an alarm task

// Pause between two status rounds of an alarm task (20000 ms) and the unit of
// the list and package waits (1000 ms); tests lower them.
extern uint32_t g_uiAlmLogRoundMs;
extern uint32_t g_uiLogWaitUnitMs;

// The outcome of the file in flight: pluginSendLogFileCB records the agent's
// answer (or the transport's time-out answer) and wakes the waiting thread.
void ResetLogSendOutcome();
// Waits at most `ms` for the answer; true when it came.
bool WaitLogSendOutcome(uint32_t ms);
// The answer's result: 0 when the file was sent.
int32_t LogSendFailure();

// ---- History logs ----
// The detached thread of a history task of [begin, end] (seconds).
void SendHisLogByTimeSeg(uint64_t begin, uint64_t end);
void SendHisLogByTimeSegHandler(uint64_t begin, uint64_t end);
// Lists the files of every online node. 0, or the task result to close with.
uint32_t GetLogFileListByTimeSeg(uint64_t begin, uint64_t end);
// Posts the list query to `node`. 0 when posted.
int32_t GetHisLogByMsg(uint16_t node, uint64_t begin, uint64_t end);
// Records the listed files and the count in the task row. 0, 1002 when no
// node listed a file, or all ones.
uint32_t updateHisLogFileInfo();
// Sends what the row and the lists hold, in up to two passes, and closes the
// task.
void SendLogFileList();
// One pass over the lists. 0, or the result that ends the task (1004, 1005,
// 1006).
uint32_t SendLogFileSingleCircle(uint64_t& sent, uint64_t taskStart);
// Asks every node to delete its copies (never answered).
void notifyDelLogFile();
// Appends the files not yet sent to the per-node lists. 0 or -1.
int32_t GetExportLogFileListFromDb();
// The not-yet-sent files per node (node id -> paths in order). 0 or -1.
int32_t ReadUncollectedLogFiles(std::vector<std::vector<std::string>>& lists);
int getLogFileFromQueryResult(void* context, char** table, int rows, int columns, const char* errorText);
void logFileListClean();
// Answer callbacks of the list query and of a sent file.
void reponseHisLogList(InnerMsg& answer);
void pluginSendLogFileCB(InnerMsg& answer);
// A copy of the per-node lists, taken under their lock.
std::vector<std::vector<std::string>> LogFileListSnapshot();

// ---- Alarm logs ----
// Starts the alarm-log export of `logType` and its transfer thread. 0, or the
// code that closes the task.
int32_t handleExportLogFile(uint32_t logType);
// Task row: status 2 and the configured node count. 0 or all ones.
int32_t updateAlmLogFileInfo();
void WaitAndSendLogFile(uint32_t logType);
void WaitAndSendLogFileHandler(uint32_t logType);
// Sends every ready package of `status`; `goOn` drops to 0 when a package is
// still packing or a step failed.
void FetchLogFileToSend(const tagEXPORT_FILE_STATUS& status, uint32_t logType, int32_t& goOn,
                        uint64_t taskStart);
// Hands `file` of this node to the agent for `address` and waits for the
// answer, once more on failure. 0 or all ones.
int32_t SendAlmLogFile(const std::string& file, const std::string& address, void (*callback)(InnerMsg&),
                       uint32_t timeoutSec, uint64_t taskStart);
// Waits for the done flag, once a second, at most `count` times; sets the
// timed-out flag when the task is older than `limitSec`. 0 when sent.
int32_t waitSendAlmLogFileFinish(uint32_t count, uint64_t taskStart, uint64_t limitSec);
