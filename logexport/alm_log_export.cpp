#include <ctime>
#include <thread>

#include "collector/collect_file_handoff.h"
#include "collector/collector_db.h"
#include "control/remote_task.h"
#include "core/omlib.h"
#include "core/trace_point.h"
#include "export/alarm_log_client.h"
#include "export/data_file_copy.h"
#include "infra/chs_log.h"
#include "infra/fdsa_flow_mon.h"
#include "infra/timer_drv.h"
#include "logexport/log_file_export.h"
#include "logexport/remote_log_task.h"
#include "msg/chs_wire.h"
#include "control/collector_ccdb.h"
#include "platform/platform_profile.h"
#include "infra/detached_tasks.h"

namespace {

constexpr uint32_t kMaskStatus = 1u << 1;
constexpr uint32_t kMaskSubItems = 1u << 5;

int64_t SecondsSince(uint64_t start) { return static_cast<int64_t>(time(nullptr)) - static_cast<int64_t>(start); }

// Status and result of an alarm task whose rounds ended normally: every
// configured node's package sent is a success; fewer is not.
void FinishAlarmTask(uint64_t subItems, uint32_t roundsUsed) {
    uint64_t status = chs_wire::TASK_STATUS_SUCCEEDED;
    uint64_t result = EXPORT_SUCCESS;
    if (roundsUsed >= ALM_LOG_WAIT_ROUNDS) {
        status = chs_wire::TASK_STATUS_FAILED;
        result = EXPORT_TASK_TIMEOUT;
    } else if (g_ulSentFileNum < subItems) {
        status = chs_wire::TASK_STATUS_FAILED;
        result = g_ulSentFileNum != 0 ? EXPORT_PART_FAILED : EXPORT_NO_FILE_SENT;
    }
    CHS_LOG(1, LOGID_LOGEXPORT, "Export log finished! status(%u) result(%u).", static_cast<uint32_t>(status),
            static_cast<uint32_t>(result));
    FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, status, result);
}

}  // namespace

int32_t updateAlmLogFileInfo() {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    row.taskId = REMOTE_TASK_LOG_EXPORT;
    row.i_taskstatus = chs_wire::TASK_STATUS_LIST_READY;
    row.i_tasksubitems = omlib::GetClusterCfgNodesNum();
    return CCDB_COMM::UpdateRemoteTaskStatusToDB(g_collectorCcdbId, row, kMaskStatus | kMaskSubItems) == 0 ? 0 : -1;
}

int32_t handleExportLogFile(uint32_t logType) {
    int32_t ret = notifyExportFile(logType);
    if (ret != 0) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Notify export log failed, error(%d)", static_cast<int>(ret));
        return ret;
    }
    if (updateAlmLogFileInfo() != 0) {
        return -1;
    }
    // The failed-file list of a task's text is read from the history-log
    // records; an alarm task must not report an earlier task's leftovers.
    clearLogRecord();
    g_ulSentFileNum = 0;
    if (!StartDetachedTask([logType] { WaitAndSendLogFile(logType); })) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Failed to start the log sending thread.");
        return -1;
    }
    return 0;
}

void WaitAndSendLogFile(uint32_t logType) {
    FdsaFlowMonClass monitor(551, 0, FDSA_FLOW_PARA_S{1, 7300});
    monitor.Start();
    ChsTpCheckPoint("TP_MON_Collector_WaitAndSendLogFile_Sleep2H");
    WaitAndSendLogFileHandler(logType);
    monitor.End();
}

void WaitAndSendLogFileHandler(uint32_t logType) {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    if (GetRemoteTask(REMOTE_TASK_LOG_EXPORT, row) != 0) {
        CHS_LOG(1, LOGID_LOGEXPORT, "There is no task in exporting");
        return;
    }
    tagEXPORT_FILE_STATUS status;
    uint32_t round = 0;
    for (; round < ALM_LOG_WAIT_ROUNDS; ++round) {
        if (omlib::isUpgradeMode()) {
            CHS_LOG(2, LOGID_LOGEXPORT, "It's not allowed to export log when upgrading!");
            notifyStopExportFile();
            FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, EXPORT_UPGRADING);
            return;
        }
        if (g_bTransferTimeout) {
            notifyStopExportFile();
            queryExportStatus(logType, status);
            FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, EXPORT_TASK_TIMEOUT);
            return;
        }
        if (g_bRemoteTaskStop) {
            // A stopped task ends as stopped: its remaining packages are
            // neither sent nor counted.
            CHS_LOG(2, LOGID_LOGEXPORT, "Force stop!");
            notifyStopExportFile();
            FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, EXPORT_FORCE_STOP);
            return;
        }
        uint32_t queried = queryExportStatus(logType, status);
        if (queried != 0) {
            if (status.TotalExportStatus == chs_wire::ALM_TOTAL_SPECIAL_END) {
                CHS_LOG(2, LOGID_LOGEXPORT, "Export log status special,break!.");
                break;
            }
            FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, EXPORT_PROCESS_ABNORMAL);
            return;
        }
        PrintExportStatus(status);
        if (status.TotalExportStatus != chs_wire::ALM_TOTAL_DONE &&
            status.TotalExportStatus != chs_wire::ALM_TOTAL_RUNNING) {
            CHS_LOG(3, LOGID_LOGEXPORT, "Export log failed %u.", status.TotalExportStatus);
            FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, EXPORT_PROCESS_ABNORMAL);
            return;
        }
        int32_t goOn = 1;
        FetchLogFileToSend(status, logType, goOn, row.createTime);
        if (status.TotalExportStatus != chs_wire::ALM_TOTAL_RUNNING && goOn == 1) {
            break;
        }
        PauseExportRound(logType, g_uiAlmLogRoundMs, status);
    }
    queryExportStatus(logType, status);
    FinishAlarmTask(row.i_tasksubitems, round);
}

void FetchLogFileToSend(const tagEXPORT_FILE_STATUS& status, uint32_t logType, int32_t& goOn, uint64_t taskStart) {
    ChsTpCheckPoint("TP_Log_Collector_FetchLogFileToSend_Sleep2H");
    for (const tagEXPORT_SINGLE_NODE_STATUS& node : status.NodeStatus) {
        if (g_bTransferTimeout || g_bRemoteTaskStop) {
            goOn = 0;
            return;
        }
        if (node.ExportStatus == chs_wire::ALM_NODE_PACKING) {
            goOn = 0;
            continue;
        }
        if (node.ExportStatus != chs_wire::ALM_NODE_READY && node.ExportStatus != chs_wire::ALM_NODE_READY_PARTIAL) {
            continue;
        }
        if (node.PkgStatus == chs_wire::ALM_PKG_FETCHED) {
            continue;
        }
        std::string location;
        std::string address;
        std::string file;
        if (notifyDownloadLogFile(logType, node.NodeName, location) != 0 ||
            ParseLogFilePath(location, address, file) != 0) {
            goOn = 0;
            continue;
        }
        // The location is handed to the agent: it must name a plain file of
        // this node's coffer tree that cannot climb out of it.
        if (!IsAcceptedDataSource(file)) {
            CHS_LOG(3, LOGID_LOGEXPORT, "The package (%s) of node (%s) is not a usable path.", file.c_str(),
                    node.NodeName.c_str());
            goOn = 0;
            continue;
        }
        if (SendAlmLogFile(platform::RealPath(file), address, pluginSendLogFileCB, ALM_LOG_SEND_TIMEOUT_SEC,
                           taskStart) != 0) {
            goOn = 0;
            continue;
        }
        if (ClearNodeLogFile(logType, node.NodeName) != 0) {
            goOn = 0;
            continue;
        }
        uint64_t sent = ++g_ulSentFileNum;
        UpdateRtFileNum(REMOTE_TASK_LOG_EXPORT, sent);
    }
}

int32_t SendAlmLogFile(const std::string& file, const std::string& address, void (*callback)(InnerMsg&),
                       uint32_t timeoutSec, uint64_t taskStart) {
    for (int attempt = 0; attempt < 2 && !g_bTransferTimeout; ++attempt) {
        ResetLogSendOutcome();
        if (pluginSendFile(file, LOG_SEND_FILE_TYPE_ALARM, address, callback, timeoutSec) != 0) {
            CHS_LOG(3, LOGID_LOGEXPORT, "Hand the alarm log (%s) to the agent failed.", file.c_str());
            continue;
        }
        if (waitSendAlmLogFileFinish(timeoutSec, taskStart, ALM_LOG_TASK_LIMIT_SEC) == 0) {
            return 0;
        }
    }
    return -1;
}

int32_t waitSendAlmLogFileFinish(uint32_t count, uint64_t taskStart, uint64_t limitSec) {
    // Two units more than the request's own time-out, so that its time-out
    // answer has come before the next package is handed over.
    for (uint32_t i = 0; i < count + 2; ++i) {
        if (WaitLogSendOutcome(g_uiLogWaitUnitMs)) {
            return LogSendFailure() == 0 ? 0 : -1;
        }
        if (SecondsSince(taskStart) > static_cast<int64_t>(limitSec)) {
            CHS_LOG(3, LOGID_LOGEXPORT, "Sending the alarm log passed the task limit of %llu s.",
                    static_cast<unsigned long long>(limitSec));
            g_bTransferTimeout = true;
            return -1;
        }
    }
    return -1;
}
