// The two cluster-wide files of a diagnose export: the running data, which
// the synchronisation service (569) of the master produces, and the
// alarm-and-event file, which the alarm-log service (561) of this node packs
// with log type 1. The gathering thread starts both right after notifying the
// nodes; each runs on a detached thread of its own, copies its file into the
// diagnose directory (strDiagnoseInfoPath) and records the outcome in its
// block of g_astExportFileCfg: status 1 while it runs, 0 when the file lies
// there (strFilePath its full system path, strFileName its name, uiFileSize
// its size), 0x4040324C when it failed. The gathering loop waits while either
// block is 1.
//
// Files: running_data_export.cpp and alarm_event_export.cpp; the checked
// copying is export/data_file_copy.h, the peer delete request
// export/diagnose_peer_files.h.
//
// Thread safety: each thread writes only its own block, its status last. An
// export cleared (or replaced) while a thread still runs is recognised by the
// record's generation (g_uiExportGeneration): the late thread removes its copy
// and leaves the record alone. The tunables are set before use (tests lower
// them) and only read afterwards.
#pragma once

#include <cstdint>
#include <string>

#include "export/export_frame.h"
#include "msg/inner_msg.h"

// Pause between two status queries of the alarm-and-event export (20000 ms).
extern uint32_t DIAGNOSE_INFO_WAIT_ROUND_MS;

// Largest files taken: running data is cut to this, an alarm-and-event file
// above its limit is refused.
constexpr uint32_t RUNNING_DATA_LIMIT_SIZE = 0x1E00000;  // 30 MB
constexpr uint32_t EVENT_FILE_LIMIT_SIZE = 0xA00000;     // 10 MB

// Flow monitor and trace point of the alarm-and-event wait.
constexpr uint32_t EVENT_WAIT_FLOW_MODULE = 551;
constexpr uint32_t EVENT_WAIT_FLOW_TYPE = 11;
constexpr uint32_t EVENT_WAIT_FLOW_LIMIT_SEC = 700;
constexpr const char* TP_WAIT_EXPORT_ALM_AND_EVENT = "TP_MON_Collector_WaitExportAlmAndEventFile_Sleep2H";

// ---------------------------------------------------------- running data

// Starts exportRunningDataFile on a detached thread (block status 1 first).
void NotifyExportRunningData();
// Asks the master's synchronisation service for the running data, waiting
// DIAGNOSE_INFO_EXPORT_RUNNING_DATA_TIMEOUT seconds, and brings the file in.
// 0 or -1; the block says the same.
int32_t exportRunningDataFile();
// Brings the file the answer names into the diagnose directory: fetched from
// the master (one retry) or read on this node, cut to 30 MB. 0 or -1.
int32_t fetchRunningDataFile(uint16_t master, const InnerMsg& answer);
// Removes this node's partial copies and asks the master, when it is another
// node and online, to delete `path` (its system path of the running data).
void ClearRunningDataFile(const std::string& path);
// Cuts the regular file `realPath` (not followed when a link) to `limit`
// bytes when it is longer. 0, or all ones.
uint32_t truncateTheFile(const std::string& realPath, uint32_t limit);
// Splits a system path into directory (with its '/') and file name. 0, or -1
// when either is empty.
int32_t GetFileNameByAddress(const std::string& path, std::string& dir, std::string& name);

// ----------------------------------------------------- alarm and events

// Starts the alarm-log export of log type 1 and the thread that waits for it.
void NotifyExportAlmAndEvent();
// The waiting thread: flow monitor, trace point, handler.
void WaitExportAlmAndEventFile(uint32_t type);
void WaitExportAlmAndEventFileHandler(uint32_t type);
// Copies the package of every node entry of `status` into the diagnose
// directory and has the service clear it. 0, or -1 when an entry is not
// ready, a copy fails, or there was nothing to copy.
int32_t fetchAlarmAndEventFile(const tagEXPORT_FILE_STATUS& status, uint32_t type);
