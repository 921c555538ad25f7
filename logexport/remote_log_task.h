// Remote log tasks: the remote support side asks one node (the run node) to
// collect the alarm logs of either kind or the history logs of a time range
// from every node and send them on. A task is the kind-1 row of the CCDB
// remote-task table: written at the start, advanced while files are sent
// (log_file_export.h), closed with a status, a result code and a text,
// stoppable by a second request and resumed after a restart of the run node's
// daemon while it is younger than its limit.
//
// One task runs at a time; the task row and the admission checks ensure it.
// The handlers run on dispatcher threads, the work on one detached thread.
// The process-wide flags below are atomic: handlers write them, the transfer
// thread reads them between files.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "msg/inner_msg.h"

// Set by a stop request, cleared when a task finishes.
extern std::atomic<bool> g_bRemoteTaskStop;
// Set when an alarm-log package wait passes its limit, cleared when a task
// finishes.
extern std::atomic<bool> g_bTransferTimeout;
// Files sent in the running task; restored from the row on recovery.
extern std::atomic<uint64_t> g_ulSentFileNum;

// Age (seconds since the row was created) from which recovery closes a task
// instead of resuming it.
constexpr uint64_t REMOTE_TASK_RECOVER_LIMIT_SEC = 7201;
// Longest failed-file list in a task's text, in characters.
constexpr size_t REMOTE_TASK_FAIL_LIST_MAX = 900;

// Request handlers (opcodes 0x70003010 and 0x70003011).
void handleRemoteLogCollect(InnerMsg& request);
void handleStopRemoteLogCollect(InnerMsg& request);

// Writes `count` into the progress column of the row of `kind` (only that
// column). The CCDB result.
uint32_t UpdateRtFileNum(uint32_t kind, uint64_t count);
// Closes the row of `kind`: end time now, `status`, `result` and the result's
// text (for 1003 followed by the files not sent). 0, or 0x03000003 when the
// text does not fit its column (the row is then left as it was). Clears the
// stop and timed-out flags either way.
uint32_t FinishRemoteTask(uint32_t kind, uint64_t status, uint64_t result);
// Resumes or closes the task this node ran before the daemon restarted.
void RecoverRemoteTask();
// Base names of the history log files not yet sent, comma-separated, at most
// REMOTE_TASK_FAIL_LIST_MAX characters; empty when they cannot be read.
std::string GetFailLogsString();
// 0 when `begin` is not later than `end`, else all ones.
int32_t checkHisLogParams(uint64_t begin, uint64_t end);
// Starts the history-log transfer of [begin, end] (seconds) on a detached
// thread. 0, or all ones when the range is refused.
int32_t handleExportHisLog(uint64_t begin, uint64_t end);
