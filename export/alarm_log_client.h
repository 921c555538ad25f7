// The daemon's side of the alarm-log service (endpoint 561 of the run node):
// start an export of one log type, query its per-node status, get where a
// node's package lies, clear a package, stop the export, and fetch the
// alarm-log list of the master. The alarm-log tasks and the alarm-and-event
// part of a diagnose export are built on these calls.
//
// Every call sends one synchronous request from this node's daemon and may
// run on any thread; none keeps state.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "export/export_frame.h"
#include "msg/inner_msg.h"

// Time-outs of the requests, in seconds.
constexpr uint32_t ALM_LOG_REQUEST_TIMEOUT = 10;
constexpr uint32_t ALM_LOG_PACKAGE_TIMEOUT = 60;

// Log type of a remote task's mode (0 -> 8, 1 -> 2); other modes pass through.
uint32_t GetAlmLogType(uint32_t mode);
// Clear type of a log type (8 -> 8, 2 -> 1, 1 -> 0); other values pass through.
uint32_t GetAlmClearLogType(uint32_t logType);

// Starts the export of `logType`. 0, the service's failure code, or all ones
// when the request cannot be sent.
int32_t notifyExportFile(uint32_t logType);

// Queries the export of `logType` into `status` (cleared first). 0, or a
// failure: all ones when no answer came, else the service's code; the
// overall state is filled in also when the service reports a failure.
uint32_t queryExportStatus(uint32_t logType, tagEXPORT_FILE_STATUS& status);
// Reads a status answer into `status`; the code in cell 4095 of its first
// record (0 when none).
uint32_t ExtractExportStatus(const InnerMsg& answer, tagEXPORT_FILE_STATUS& status);

// Asks where the package of `nodeName` lies: "address:path" into `location`.
// 0 or -1.
int32_t notifyDownloadLogFile(uint32_t logType, const std::string& nodeName, std::string& location);
// Splits "address:path" at the first ':'. 0, or -1 when there is no ':' or
// either side is empty.
int32_t ParseLogFilePath(const std::string& location, std::string& address, std::string& file);

// Asks the service to delete the package of `nodeName`. 0 or -1.
int32_t ClearNodeLogFile(uint32_t logType, const std::string& nodeName);
// Stops the running export. 0 or -1.
int32_t notifyStopExportFile();

// Pauses up to `roundMs` between two status rounds of the export of
// `logType`, asking the service meanwhile (after 50 ms, then twice as long
// each time up to g_uiAlmStatusPollMs): the
// pause ends early when the export no longer runs or a node's package is
// ready that was not ready in `last`, the status of the round just done. A round then costs what the work needs,
// not a fixed 20 s, while an export that stays as it is still waits the whole
// round, so the callers' round limits keep their length.
void PauseExportRound(uint32_t logType, uint32_t roundMs, const tagEXPORT_FILE_STATUS& last);
extern uint32_t g_uiAlmStatusPollMs;  // 1000 ms

// The alarm-log list of the master: (node name, path) pairs. 0 or -1.
int32_t GetAlmLogFileList(std::vector<std::pair<std::string, std::string>>& list);
int32_t ExtractAlarmLoglistMsg(const InnerMsg& answer, std::vector<std::pair<std::string, std::string>>& list);
