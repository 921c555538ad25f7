// The remote log task as the cluster's configuration database holds it: the
// kind-1 row of DB_CHS_REMOTE_TASK_S, written by the node that runs the task
// and readable from any process attached to the cluster. chsctl reads it
// through the daemon's own accessor (GetRemoteTask) and shows it in words or
// as a small JSON document.
//
// Single-threaded, like the rest of chsctl.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "control/ccdb_comm.h"

namespace chs_tools {

using TaskRow = CCDB_COMM::tagDB_CHS_REMOTE_TASK_S;

// Opens the configuration database for GetRemoteTask; the process must be
// attached to the cluster. 0 or the CCDB result (printed).
int OpenTaskStore();

// Reads the remote log task. 0 with `row` filled; OM_CCDB_NO_VALUE when the
// cluster has none (also for the placeholder row the daemon writes before
// the first task); another CCDB result when the database cannot be read.
uint32_t ReadLogTask(TaskRow& row);

// The requester's task id of `row` (the column need not be terminated).
std::string TaskIdOf(const TaskRow& row);

// "running", "file list ready", "succeeded", "failed" or "status N".
std::string TaskStatusWords(uint64_t status);

// "sent K of N".
std::string TaskProgressLine(const TaskRow& row);

// Writes the row in words, one "name: value" line per field.
void PrintTask(const TaskRow& row, FILE* out);

// The row as {"task_id", "mode", "from", "to", "status", "progress", "total",
// "result", "result_text", "text", "run_node", "created", "ended"}; times are
// ISO 8601 local or null, a result of all ones is -1.
Json::Value TaskJson(const TaskRow& row);

}  // namespace chs_tools
