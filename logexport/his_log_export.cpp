#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "collector/collect_file_handoff.h"
#include "collector/collector_db.h"
#include "control/remote_task.h"
#include "core/omlib.h"
#include "core/trace_point.h"
#include "export/diagnose_export.h"
#include "infra/chs_log.h"
#include "infra/fdsa_flow_mon.h"
#include "logexport/log_file_export.h"
#include "logexport/remote_log_task.h"
#include "msg/chs_wire.h"
#include "control/collector_ccdb.h"
#include "platform/platform_profile.h"

uint32_t g_uiAlmLogRoundMs = 20000;
uint32_t g_uiLogWaitUnitMs = 1000;

namespace {

constexpr uint32_t kNodeCount = EXPORT_MAX_NODE_NUM;
// Most files one node may list for one task; more would only grow the
// record database and the task's run time without bound.
constexpr size_t kMaxFilesPerNode = 10000;
// Update-mask bits of the row's status and file-count columns.
constexpr uint32_t kMaskStatus = 1u << 1;
constexpr uint32_t kMaskSubItems = 1u << 5;
// The transport ends a request at its time-out; waiting a little longer makes
// sure that a late answer cannot be taken for the next file's.
constexpr uint32_t kSendWaitMarginSec = 2;

const char* const kSqlUncollected = "select  node_id, file_name from tbl_log_record where is_collect=0";

// The per-node lists and the answers still expected. Answers that arrive
// after the wait (bAccepting false) add nothing.
struct HisLogLists {
    std::mutex mutex;
    std::condition_variable answered;
    std::vector<std::string> files[kNodeCount];
    uint32_t uiPending = 0;
    bool bAccepting = false;
};
// Never destroyed (nor g_send): an answer of the transport may still arrive
// while the exit handlers run.
HisLogLists& g_lists = *new HisLogLists();

struct SendOutcome {
    std::mutex mutex;
    std::condition_variable done;
    bool bDone = false;
    int32_t iFailure = 0;
};
SendOutcome& g_send = *new SendOutcome();

// A listed path must be a plain file of the copy directory: the run node
// hands it on, so nothing else of the node may be named.
bool IsCopiedLogPath(const std::string& path) {
    const std::string dir = chs_wire::HIS_LOG_COPY_DIR;
    if (path.size() <= dir.size() || path.compare(0, dir.size(), dir) != 0) {
        return false;
    }
    std::string name = path.substr(dir.size());
    return name.find('/') == std::string::npos && name != "." && name != "..";
}

void ListAnswerEnded() {
    if (g_lists.uiPending > 0) {
        --g_lists.uiPending;
    }
    if (g_lists.uiPending == 0) {
        g_lists.answered.notify_all();
    }
}

}  // namespace

void ResetLogSendOutcome() {
    std::lock_guard<std::mutex> lock(g_send.mutex);
    g_send.bDone = false;
    g_send.iFailure = 0;
}

bool WaitLogSendOutcome(uint32_t ms) {
    std::unique_lock<std::mutex> lock(g_send.mutex);
    return g_send.done.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_send.bDone; });
}

int32_t LogSendFailure() {
    std::lock_guard<std::mutex> lock(g_send.mutex);
    return g_send.iFailure;
}

void pluginSendLogFileCB(InnerMsg& answer) {
    // A time-out or post failure of the transport counts as a failed send.
    int32_t failure = static_cast<int32_t>(answer.TryGetErrorCode());
    {
        std::lock_guard<std::mutex> lock(g_send.mutex);
        g_send.iFailure = failure;
        g_send.bDone = true;
    }
    g_send.done.notify_all();
    CHS_LOG(0, LOGID_LOGEXPORT, "Send log file result %d.", static_cast<int>(failure));
}

void logFileListClean() {
    std::lock_guard<std::mutex> lock(g_lists.mutex);
    for (std::vector<std::string>& files : g_lists.files) {
        files.clear();
    }
}

std::vector<std::vector<std::string>> LogFileListSnapshot() {
    std::lock_guard<std::mutex> lock(g_lists.mutex);
    return std::vector<std::vector<std::string>>(std::begin(g_lists.files), std::end(g_lists.files));
}

void reponseHisLogList(InnerMsg& answer) {
    std::lock_guard<std::mutex> lock(g_lists.mutex);
    if (!g_lists.bAccepting) {
        CHS_LOG(2, LOGID_LOGEXPORT, "A history log list of node %u came too late.",
                static_cast<unsigned int>(answer.GetMsgInfo().usSenderBID));
        return;
    }
    ListAnswerEnded();
    uint16_t node = answer.GetMsgInfo().usSenderBID;
    if (answer.GetResult() != MSG_STATE_SUCCESS || node >= kNodeCount) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Get history log list of node %u failed, result(%u).",
                static_cast<unsigned int>(node), answer.GetResult());
        return;
    }
    for (const MsgRecord& record : answer.GetBody()) {
        if (record.find(MSG_TAG_ERROR_CODE) != nullptr) {
            CHS_LOG(3, LOGID_LOGEXPORT, "Node %u could not list its history logs.", static_cast<unsigned int>(node));
            return;
        }
    }
    std::vector<std::string>& files = g_lists.files[node];
    for (const MsgRecord& record : answer.GetBody()) {
        const CTLVCell* cell = record.find(chs_wire::HIS_LOG_TAG_PATH);
        if (cell == nullptr || cell->GetType() != CTLVCell::TLV_STRING) {
            continue;
        }
        std::string path = static_cast<const char*>(*cell);
        if (!IsCopiedLogPath(path)) {
            CHS_LOG(2, LOGID_LOGEXPORT, "Node %u listed (%s), which is not a copied log file; skipped.",
                    static_cast<unsigned int>(node), path.c_str());
            continue;
        }
        if (files.size() >= kMaxFilesPerNode) {
            CHS_LOG(2, LOGID_LOGEXPORT, "Node %u listed more than %zu files; the rest are skipped.",
                    static_cast<unsigned int>(node), kMaxFilesPerNode);
            break;
        }
        files.push_back(path);
    }
}

int32_t GetHisLogByMsg(uint16_t node, uint64_t begin, uint64_t end) {
    try {
        InnerMsg query;
        InitExportRequest(query, node, chs_wire::PID_COLLECTOR, chs_wire::OPCODE_LIST_HIS_LOG,
                          HIS_LOG_LIST_TIMEOUT_SEC);
        MsgRecord* record = &query.GetBody().AddRecord(0);
        record->AppendUInt64(chs_wire::HIS_LOG_TAG_BEGIN, begin);
        record->AppendUInt64(chs_wire::HIS_LOG_TAG_END, end);
        {
            // Counted before the post: the answer may come before it returns.
            std::lock_guard<std::mutex> lock(g_lists.mutex);
            ++g_lists.uiPending;
        }
        if (!query.PostAsyncMsg(new MsgAsyncFun(reponseHisLogList, reponseHisLogList))) {
            CHS_LOG(3, LOGID_LOGEXPORT, "Fail to send msg.");
            std::lock_guard<std::mutex> lock(g_lists.mutex);
            ListAnswerEnded();
            return -1;
        }
        return 0;
    } catch (...) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Exception occured.");
        return -1;
    }
}

uint32_t GetLogFileListByTimeSeg(uint64_t begin, uint64_t end) {
    clearLogRecord();
    {
        std::lock_guard<std::mutex> lock(g_lists.mutex);
        for (std::vector<std::string>& files : g_lists.files) {
            files.clear();
        }
        g_lists.uiPending = 0;
        g_lists.bAccepting = true;
    }
    uint32_t online = 0;
    omlib::getOnlineMap(online);
    for (uint16_t node = 0; node < kNodeCount; ++node) {
        if (omlib::TestBit(online, node)) {
            GetHisLogByMsg(node, begin, end);
        }
    }
    std::unique_lock<std::mutex> lock(g_lists.mutex);
    g_lists.answered.wait_for(lock, std::chrono::milliseconds(uint64_t{HIS_LOG_LIST_WAIT_ROUNDS} * g_uiLogWaitUnitMs),
                              [] { return g_lists.uiPending == 0; });
    if (g_lists.uiPending != 0) {
        CHS_LOG(2, LOGID_LOGEXPORT, "%u node(s) did not list their history logs in time.", g_lists.uiPending);
    }
    g_lists.bAccepting = false;
    return 0;
}

uint32_t updateHisLogFileInfo() {
    std::vector<std::vector<std::string>> lists = LogFileListSnapshot();
    uint64_t total = 0;
    for (uint16_t node = 0; node < kNodeCount; ++node) {
        for (const std::string& file : lists[node]) {
            if (insertLogRecord(node, file) != 0) {
                CHS_LOG(3, LOGID_LOGEXPORT, "Record the log file (%s) of node %u failed.", file.c_str(),
                        static_cast<unsigned int>(node));
                return 0xFFFFFFFF;
            }
            ++total;
        }
    }
    if (total == 0) {
        CHS_LOG(2, LOGID_LOGEXPORT, "There is no file collected.");
        return EXPORT_NO_FILE;
    }
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    row.taskId = REMOTE_TASK_LOG_EXPORT;
    row.i_taskstatus = chs_wire::TASK_STATUS_LIST_READY;
    row.i_tasksubitems = total;
    uint32_t ret = CCDB_COMM::UpdateRemoteTaskStatusToDB(g_collectorCcdbId, row, kMaskStatus | kMaskSubItems);
    if (ret != 0) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Update the file count of the log task failed(%u).", ret);
        return 0xFFFFFFFF;
    }
    return 0;
}

void SendHisLogByTimeSegHandler(uint64_t begin, uint64_t end) {
    uint32_t ret = GetLogFileListByTimeSeg(begin, end);
    if (ret == 0) {
        ret = updateHisLogFileInfo();
    }
    if (ret != 0) {
        FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, ret);
        notifyDelLogFile();
        return;
    }
    SendLogFileList();
}

void SendHisLogByTimeSeg(uint64_t begin, uint64_t end) {
    FdsaFlowMonClass monitor(551, 1, FDSA_FLOW_PARA_S{1, 3600});
    monitor.Start();
    ChsTpCheckPoint("TP_MON_Collector_SendHisLogByTimeSeg_Sleep2H");
    SendHisLogByTimeSegHandler(begin, end);
    monitor.End();
}

uint32_t SendLogFileSingleCircle(uint64_t& sent, uint64_t taskStart) {
    ChsTpCheckPoint("TP_Log_Collector_SendLogFileList_Sleep2H");
    uint16_t self = omlib::getLocalNidInUser();
    for (uint16_t node = 0; node < kNodeCount; ++node) {
        std::vector<std::string> files;
        {
            std::lock_guard<std::mutex> lock(g_lists.mutex);
            files.swap(g_lists.files[node]);
        }
        for (const std::string& file : files) {
            int64_t now = static_cast<int64_t>(time(nullptr));
            if (now - static_cast<int64_t>(taskStart) > static_cast<int64_t>(HIS_LOG_TASK_LIMIT_SEC)) {
                CHS_LOG(3, LOGID_LOGEXPORT, "Export task is timeout, task over! begintime[%llu], now[%ld]",
                        static_cast<unsigned long long>(taskStart), static_cast<long>(now));
                return EXPORT_TASK_TIMEOUT;
            }
            if (g_bRemoteTaskStop) {
                CHS_LOG(2, LOGID_LOGEXPORT, "Force stop!");
                return EXPORT_FORCE_STOP;
            }
            if (omlib::isUpgradeMode()) {
                CHS_LOG(2, LOGID_LOGEXPORT, "It's not allowed to export log when upgrading!");
                return EXPORT_UPGRADING;
            }
            ResetLogSendOutcome();
            // The list holds system paths; only this node's own files are
            // checked here, so only they are mapped to where they really are.
            std::string path = node == self ? platform::RealPath(file) : file;
            if (pluginSendFile(path, LOG_SEND_FILE_TYPE_HISTORY, node, pluginSendLogFileCB,
                               HIS_LOG_SEND_TIMEOUT_SEC) != 0) {
                CHS_LOG(3, LOGID_LOGEXPORT, "Hand the log file (%s) of node %u to the agent failed.", file.c_str(),
                        static_cast<unsigned int>(node));
                continue;
            }
            bool done = WaitLogSendOutcome((HIS_LOG_SEND_TIMEOUT_SEC + kSendWaitMarginSec) * 1000);
            if (!done || LogSendFailure() != 0) {
                CHS_LOG(3, LOGID_LOGEXPORT, "Send the log file (%s) of node %u failed(%d).", file.c_str(),
                        static_cast<unsigned int>(node), done ? static_cast<int>(LogSendFailure()) : -1);
                continue;
            }
            ++sent;
            g_ulSentFileNum = sent;
            if (updateLogRecord(node, file) != 0) {
                CHS_LOG(3, LOGID_LOGEXPORT, "Mark the log file (%s) collected failed.", file.c_str());
            }
            UpdateRtFileNum(REMOTE_TASK_LOG_EXPORT, sent);
        }
    }
    return 0;
}

void SendLogFileList() {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    if (GetRemoteTask(REMOTE_TASK_LOG_EXPORT, row) != 0) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Get log task info failed!");
        return;
    }
    uint64_t sent = row.i_taskprogress;
    g_ulSentFileNum = sent;
    uint32_t ret = SendLogFileSingleCircle(sent, row.createTime);
    if (ret == 0 && sent == row.i_tasksubitems) {
        FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_SUCCEEDED, EXPORT_SUCCESS);
        notifyDelLogFile();
        CHS_LOG(1, LOGID_LOGEXPORT, "Send history log success!");
        return;
    }
    if (ret == 0) {
        logFileListClean();
        if (GetExportLogFileListFromDb() != 0) {
            FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, EXPORT_INNER_ERROR);
            notifyDelLogFile();
            return;
        }
        ret = SendLogFileSingleCircle(sent, row.createTime);
    }
    uint64_t status = chs_wire::TASK_STATUS_FAILED;
    uint64_t result = ret;
    if (ret == 0) {
        // A stop, the time limit or an upgrade during the second pass closes
        // the task with that reason, not as a partial success.
        if (sent >= row.i_tasksubitems) {
            status = chs_wire::TASK_STATUS_SUCCEEDED;
            result = EXPORT_SUCCESS;
        } else {
            result = sent != 0 ? EXPORT_PART_FAILED : EXPORT_NO_FILE_SENT;
        }
    }
    FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, status, result);
    CHS_LOG(1, LOGID_LOGEXPORT, "Send history log finished!status(%llu)result(%llu)",
            static_cast<unsigned long long>(status), static_cast<unsigned long long>(result));
    notifyDelLogFile();
}

void notifyDelLogFile() {
    try {
        InnerMsg notice;
        InitExportRequest(notice, 0, chs_wire::PID_COLLECTOR, chs_wire::OPCODE_DEL_HIS_LOG, HIS_LOG_LIST_TIMEOUT_SEC);
        MsgRecord* record = &notice.GetBody().AddRecord(0);
        record->AppendString(chs_wire::DEL_HIS_LOG_TAG_DIR, chs_wire::HIS_LOG_COPY_DIR);
        record->AppendInt32(chs_wire::DEL_HIS_LOG_TAG_FLAG, 0);
        notice.Broadcast(nullptr, nullptr);
    } catch (...) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Exception occured.");
    }
}

int getLogFileFromQueryResult(void* context, char** table, int rows, int columns, const char* errorText) {
    auto* lists = static_cast<std::vector<std::vector<std::string>>*>(context);
    if (errorText != nullptr) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Get log list from db failed, return error info (%s).", errorText);
        return -1;
    }
    if (rows <= 0) {
        CHS_LOG(1, LOGID_LOGEXPORT, "The tbl_log_record table in DB is empty.");
        return 0;
    }
    if (table == nullptr || lists == nullptr) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Return data is null..");
        return -1;
    }
    if (columns != 2) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Return data is abnormal, Row=%d, Column=%d.", rows, columns);
        return -1;
    }
    for (int row = 1; row <= rows; ++row) {
        const char* nodeText = table[row * columns];
        const char* file = table[row * columns + 1];
        if (nodeText == nullptr || file == nullptr) {
            continue;
        }
        char* endText = nullptr;
        unsigned long node = strtoul(nodeText, &endText, 10);
        if (endText == nodeText || *endText != '\0' || node >= kNodeCount) {
            CHS_LOG(2, LOGID_LOGEXPORT, "Skip the log record of node (%s).", nodeText);
            continue;
        }
        (*lists)[node].push_back(file);
    }
    return 0;
}

int32_t ReadUncollectedLogFiles(std::vector<std::vector<std::string>>& lists) {
    lists.assign(kNodeCount, {});
    int ret = omlib::queryDb(COLLECTOR_DB_FILE, kSqlUncollected, getLogFileFromQueryResult, &lists);
    if (ret != 0) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Failed to get log file list, sql(%s).", kSqlUncollected);
        lists.assign(kNodeCount, {});
        return -1;
    }
    return 0;
}

int32_t GetExportLogFileListFromDb() {
    std::vector<std::vector<std::string>> lists;
    if (ReadUncollectedLogFiles(lists) != 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_lists.mutex);
    for (uint32_t node = 0; node < kNodeCount; ++node) {
        g_lists.files[node].insert(g_lists.files[node].end(), lists[node].begin(), lists[node].end());
    }
    return 0;
}
