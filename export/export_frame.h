// The shared frame of every export the daemon runs: the record of the export
// in progress (g_astExportFileCfg), the tunables, the admission checks of
// diagnose exports (types 3..5) and log exports, the translation of verdicts
// into the codes returned to requesters, the result-text table and the answer
// helpers. The single-run wrapper lives in export/msg_single_run.h.
//
// Thread safety: every access to g_astExportFileCfg holds ExportCfgLock. It is
// written by the gathering thread, the node's own build thread, the data
// export threads and the answer callbacks of the message layer, and read by
// the download, status, clear and upload handlers. The lock is never held
// across a wait for another node or a shell command: the merge works on a copy
// (ExportCfgSnapshot), and the lock is taken after, never while holding, the
// gathering thread's wake-up mutex. While a merge runs (g_bExportMerging) a
// clear or a new export is refused, so the packages it takes stay in place.
// The tunables are set before use (tests lower them) and only read afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "msg/chs_wire.h"
#include "msg/inner_msg.h"

// Export types. Types below 6 pass the diagnose-export path; 3..5 are the
// diagnose exports themselves, 8 marks an idle record.
constexpr uint32_t EXPORT_TYPE_DIAGNOSE_ALARM = 3;
constexpr uint32_t EXPORT_TYPE_DIAGNOSE_CIRCLE = 4;
constexpr uint32_t EXPORT_TYPE_DIAGNOSE_DOWNLOAD = 5;
constexpr uint32_t EXPORT_TYPE_DIAGNOSE_DOWNLOAD_ALIAS = 41;
constexpr uint32_t EXPORT_TYPE_MODULE_LIMIT = 6;
constexpr uint32_t EXPORT_TYPE_NONE = 8;
// What a type cell that does not fit 32 bits reads as: no supported type.
constexpr uint32_t EXPORT_TYPE_UNSUPPORTED = 0xFFFFFFFF;

constexpr uint32_t EXPORT_MAX_NODE_NUM = 16;

// Per-node and data-block statuses.
constexpr uint32_t EXPORT_STATUS_INIT = 0x4000C929;  // not collected / not reachable
constexpr uint32_t EXPORT_STATUS_COLLECTING = 1;
constexpr uint32_t EXPORT_STATUS_READY = 0;
constexpr uint32_t EXPORT_STATUS_ABNORMAL = 2;
constexpr uint32_t EXPORT_STATUS_FAILED = 0x4040324C;
constexpr uint32_t EXPORT_STATUS_CLEARED = 255;
constexpr uint32_t EXPORT_ANSWERED_YES = 1;
constexpr uint32_t EXPORT_ANSWERED_NO = 2;
constexpr int32_t EXPORT_GATHER_RUNNING = 255;
constexpr int32_t EXPORT_GATHER_FAILED = static_cast<int32_t>(0x4040324C);
constexpr uint32_t EXPORT_FALLBACK_PKG_SIZE = 0x1E00000;  // 30 MB

// Strategy values of a diagnose export.
constexpr uint32_t EXPORT_FROM_DIAGNOSE = 1;
constexpr uint32_t EXPORT_FROM_NONE = 3;
constexpr uint32_t EXPORT_DIAGNOSE_PID = 551;
constexpr uint32_t EXPORT_PID_NONE = 0xFFFFFFFF;
constexpr uint32_t EXPORT_DIAGNOSE_OPCODE = chs_wire::OPCODE_EXPORT_NODE_BUILD;
constexpr uint32_t EXPORT_DIAGNOSE_NEED_MEM = 300;    // MB
constexpr uint32_t EXPORT_DIAGNOSE_WAIT_LIMIT = 540;  // one-second polls
constexpr int64_t EXPORT_FINISH_GRACE_SEC = 60;
constexpr const char* EXPORT_DIAGNOSE_PKG_PREFIX = "DiagnoseInfo_";
constexpr const char* EXPORT_DIAGNOSE_PKG_SUFFIX = ".tgz";

// Remote-task kinds (taskId of the CCDB remote-task row).
constexpr uint32_t REMOTE_TASK_LOG_EXPORT = 1;
constexpr uint32_t REMOTE_TASK_DIAGNOSE_EXPORT = 2;
constexpr uint32_t REMOTE_TASK_DIAGNOSE_UPLOAD = 3;
constexpr int CCDB_RESULT_NO_ROW = 6;

// Log-export spacing.
constexpr int64_t LOG_EXPORT_TASK_TIMEOUT_SEC = 7380;
constexpr int64_t LOG_EXPORT_TASK_INTERVAL_SEC = 180;

// Internal verdicts.
constexpr uint32_t EXPORT_SUCCESS = 0;
constexpr uint32_t EXPORT_INNER_ERROR = 1001;
constexpr uint32_t EXPORT_NO_FILE = 1002;
constexpr uint32_t EXPORT_PART_FAILED = 1003;
constexpr uint32_t EXPORT_TASK_TIMEOUT = 1004;
constexpr uint32_t EXPORT_UPGRADING = 1005;
constexpr uint32_t EXPORT_FORCE_STOP = 1006;
constexpr uint32_t EXPORT_SWITCH_OFF = 1007;
constexpr uint32_t EXPORT_SPACE_NOT_ENOUGH = 1008;
constexpr uint32_t EXPORT_TASK_RUNNING = 1009;
constexpr uint32_t EXPORT_NO_FILE_SENT = 1010;
constexpr uint32_t EXPORT_PROCESS_ABNORMAL = 1011;
constexpr uint32_t EXPORT_TYPE_NOT_SUPPORTED = 1012;
constexpr uint32_t EXPORT_INTERVAL_NOT_ELAPSED = 1015;
constexpr uint32_t EXPORT_NOT_ALLOWED = 0xFFFFFFFF;

// Platform codes returned to requesters.
constexpr uint32_t EXPORT_ERR_SYSTEM_EXPORTING = chs_wire::RESULT_EXPORT_SYSTEM_EXPORTING;
constexpr uint32_t EXPORT_ERR_SPACE = chs_wire::RESULT_EXPORT_SPACE;
constexpr uint32_t EXPORT_ERR_SPACE_OTHER = chs_wire::RESULT_EXPORT_SPACE_OTHER;
constexpr uint32_t EXPORT_ERR_COFFER_SPACE = chs_wire::RESULT_EXPORT_COFFER_SPACE;
constexpr uint32_t EXPORT_ERR_FREE_MEM = chs_wire::RESULT_EXPORT_FREE_MEM;
constexpr uint32_t EXPORT_ERR_TASK_RUNNING = chs_wire::RESULT_EXPORT_TASK_RUNNING;
constexpr uint32_t EXPORT_ERR_UPGRADING = chs_wire::RESULT_EXPORT_UPGRADING;
constexpr uint32_t EXPORT_ERR_PARAM = chs_wire::RESULT_BAD_REQUEST;
constexpr uint32_t EXPORT_ERR_NOT_FINISHED = chs_wire::RESULT_EXPORT_NOT_FINISHED;
constexpr uint32_t EXPORT_ERR_FAILED = chs_wire::RESULT_EXPORT_FAILED;
constexpr uint32_t EXPORT_ERR_GENERAL = chs_wire::RESULT_EXPORT_GENERAL;

constexpr const char* EXPORT_COFFER_MOUNT_PATH = "/VXA/coffer_data";

// One controller node's part of the export. Index = node id.
struct tagCOLLECOR_EXPORT_NODE_INFO_S {
    std::string strNodeName;
    uint32_t uiCollectStatus;
    uint8_t ucSelected;
    uint32_t uiAnswered;
    std::string strPkgName;
    uint32_t uiPkgSize;
    uint32_t uiSecondStatus;    // written, never read
    uint32_t uiSecondAnswered;  // written, never read
    std::string strPkgPath;
};

// Progress of the running-data export and of the alarm-and-event export.
struct tagCOLLECOR_EXPORT_DATA_S {
    int32_t iNodeId;  // -1 = none
    uint32_t uiStatus;
    std::string strFilePath;
    uint32_t uiFileSize;
    std::string strFileName;
};

struct tagCOLLECOR_EXPORT_FILE_PARAM_S {
    uint32_t ExportFrom;
    uint32_t ExportPid;  // the receiving process; used as a 16-bit value
    uint32_t ExportOpcode;
    uint32_t ExportNeedMem;  // MB
    uint32_t ExportType;
    std::string strExportPath;
    std::string strExportName;
    tagCOLLECOR_EXPORT_NODE_INFO_S astNode[EXPORT_MAX_NODE_NUM];
    int64_t llFinishDeadline;  // seconds since the epoch
    int32_t iGatherResult;
    uint32_t uiGatherWaitLimit;
    int32_t iReservedVerdict;
    tagCOLLECOR_EXPORT_DATA_S stRunningData;
    tagCOLLECOR_EXPORT_DATA_S stAlarmEvent;
};

// At start-up it holds no export (ExportFrom 0) and a failed gather result: an
// export that a previous run of the daemon started is lost, and is reported as
// failed rather than done. Guarded by ExportCfgLock.
extern tagCOLLECOR_EXPORT_FILE_PARAM_S g_astExportFileCfg;
// The one lock of g_astExportFileCfg; recursive, so that the set-up helpers
// may call each other.
std::recursive_mutex& ExportCfgMutex();
using ExportCfgLock = std::lock_guard<std::recursive_mutex>;
// A copy of the whole record taken under the lock.
tagCOLLECOR_EXPORT_FILE_PARAM_S ExportCfgSnapshot();
// False until the first export set-up or clear since this daemon started:
// the record then knows nothing of an export a previous run left behind.
bool ExportCfgHoldsExport();
// Set while a merge of the export's parts runs (download or upload).
extern std::atomic<bool> g_bExportMerging;
// The export type of a request cell: values outside 32 bits become
// EXPORT_TYPE_UNSUPPORTED instead of wrapping into a supported type.
uint32_t ExportTypeFromWire(int64_t value);
// Counts the resets of the two data blocks (every set-up and clear), so that
// a data export thread that outlives its export can tell.
extern std::atomic<uint32_t> g_uiExportGeneration;

// Export status as queried from all nodes.
struct tagEXPORT_SINGLE_NODE_STATUS {
    uint32_t NodeID;
    std::string NodeName;
    uint32_t PkgStatus;
    int32_t ExportStatus;
};
struct tagEXPORT_FILE_STATUS {
    uint32_t TotalExportStatus;
    std::vector<tagEXPORT_SINGLE_NODE_STATUS> NodeStatus;
};
void PrintExportStatus(const tagEXPORT_FILE_STATUS& status);

// Tunables.
extern uint32_t DIAGNOSE_FILE_MERGE_LIMIT_SIZE;             // bytes, 112 MB
extern uint32_t DIAGNOSE_INFO_EXPORT_RUNNING_DATA_TIMEOUT;  // seconds, 840
extern uint32_t DIAGNOSE_INFO_WAIT_TIMES;                   // rounds of 20 s, 27
extern uint32_t DIAGNOSE_INFO_ALARM_TASK_INTERVAL;          // seconds, 3600
extern uint32_t DIAGNOSE_INFO_CIRCLE_TASK_INTERVAL;         // seconds, 86400
// CCDB state seen by the last CheckExportFileStatus: 0 = answered, no diagnose
// task; 1 = abnormal; 2 = not yet checked. Admission checks of several
// dispatcher threads write it, hence atomic.
constexpr uint32_t UPDATE_CCDB_NO_TASK = 0;
constexpr uint32_t UPDATE_CCDB_ABNORMAL = 1;
constexpr uint32_t UPDATE_CCDB_UNCHECKED = 2;
extern std::atomic<uint32_t> g_updateCCDBType;
extern std::atomic<uint32_t> g_uiMasterNid;  // 65535 = unknown
constexpr uint32_t EXPORT_MASTER_NID_UNKNOWN = 65535;

// Fills errorCodeDescMap with the result texts of exports. Call once during
// start-up, before any thread reads the table.
void InitExportErrorCodeDesc();

// Admission.
int checkExportModule(uint32_t type);
// 41 is taken as 5.
uint32_t NormalizeExportType(uint32_t type);
uint32_t checkExportFileAllowed(uint32_t type);
uint32_t checkExpfileSendAllowed(uint32_t type);
uint32_t CheckExportFileStatus();
uint32_t checkExportStatus();
uint32_t checkMemEnough(uint32_t mode);
uint32_t checkExportAllowed(uint32_t mode);
uint32_t transExpFileRetValue(uint32_t verdict, uint32_t type);

// Set-up and reset of g_astExportFileCfg.
void ClearExportStrategy();
void getExportFileStrategy(uint32_t type);
void initExportFileBitMap(uint32_t type);
uint32_t FreshExportBitMapStatus();
void InitExportRunningAndEventStatus();
uint32_t exportFilePreHandle(uint32_t type);

// Answers `msg` with one record (id `opcode`) holding `code` in cell 4095.
// Failures are logged only.
void ExpDiagPostAckMsg(InnerMsg& msg, uint32_t opcode, int32_t code);
// Time-out callback of the per-node notification.
void exportTimeOutHandle(InnerMsg& msg);
