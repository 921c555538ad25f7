#include "logexport/remote_log_task.h"

#include <functional>
#include <cstring>
#include <ctime>
#include <thread>

#include "control/ccdb_comm.h"
#include "control/collector_ccdb.h"
#include "control/remote_task.h"
#include "core/omlib.h"
#include "core/trace_point.h"
#include "export/alarm_log_client.h"
#include "export/export_frame.h"
#include "infra/chs_log.h"
#include "infra/error_code_desc.h"
#include "logexport/log_file_export.h"
#include "msg/chs_wire.h"
#include "infra/detached_tasks.h"

std::atomic<bool> g_bRemoteTaskStop{false};
std::atomic<bool> g_bTransferTimeout{false};
std::atomic<uint64_t> g_ulSentFileNum{0};

namespace {

// Update-mask bits of the task row's columns.
constexpr uint32_t kMaskEndTime = 1u << 0;
constexpr uint32_t kMaskStatus = 1u << 1;
constexpr uint32_t kMaskResult = 1u << 2;
constexpr uint32_t kMaskProgress = 1u << 4;
constexpr uint32_t kMaskReturnText = 1u << 12;

constexpr int32_t kAllOnes = -1;

// Answers `request` with one record `code` holding `result` in cell 4095 and,
// when given, a reason in cell 4094, so that a refused request says why.
void PostTaskAck(InnerMsg& request, uint64_t code, int32_t result, const std::string& why) {
    try {
        MsgObject body;
        MsgRecord* record = &body.AddRecord(code);
        record->AppendInt32(MSG_TAG_ERROR_CODE, result);
        if (!why.empty()) {
            record->AppendString(MSG_TAG_DESCRIPTION, why);
        }
        if (!request.PostAckMsg(body)) {
            CHS_LOG(3, LOGID_LOGEXPORT, "Failed to post ack msg.");
        }
    } catch (...) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Something wrong with post ack msg.");
    }
}

struct RemoteLogRequest {
    std::string strTaskId;
    uint32_t uiMode = 0;
    uint64_t ulBegin = 0;  // milliseconds
    uint64_t ulEnd = 0;
};

const CTLVCell* Typed(const MsgRecord& record, unsigned short tag, bool numeric) {
    const CTLVCell* cell = record.find(tag);
    if (cell == nullptr) {
        return nullptr;
    }
    bool ok = numeric ? CTLVCell::IsNumericalType(cell->GetType()) : cell->GetType() == CTLVCell::TLV_STRING;
    return ok ? cell : nullptr;
}

// Reads the start request. An empty text when it is usable; otherwise why not
// and `code` the result to answer with.
std::string ParseStart(const MsgRecord& record, RemoteLogRequest& out, int32_t& code) {
    const CTLVCell* id = Typed(record, chs_wire::REMOTE_LOG_TAG_TASK_ID, false);
    const CTLVCell* mode = Typed(record, chs_wire::REMOTE_LOG_TAG_MODE, true);
    const CTLVCell* begin = Typed(record, chs_wire::REMOTE_LOG_TAG_BEGIN, true);
    const CTLVCell* end = Typed(record, chs_wire::REMOTE_LOG_TAG_END, true);
    code = static_cast<int32_t>(EXPORT_INNER_ERROR);
    if (id == nullptr || mode == nullptr) {
        return "cells 0 (task id, text) and 1 (mode, number) are required";
    }
    out.strTaskId = static_cast<const char*>(*id);
    uint64_t modeValue = mode->GetUInt64();
    code = static_cast<int32_t>(EXPORT_ERR_PARAM);
    if (out.strTaskId.empty() || out.strTaskId.size() > chs_wire::REMOTE_LOG_TASK_ID_MAX) {
        return "the task id must have 1 to 255 bytes";
    }
    if (modeValue > chs_wire::REMOTE_LOG_MODE_HISTORY) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Task mode (%llu) is not supported!.", static_cast<unsigned long long>(modeValue));
        return "task mode " + std::to_string(modeValue) + " is not supported";
    }
    out.uiMode = static_cast<uint32_t>(modeValue);
    if (out.uiMode == chs_wire::REMOTE_LOG_MODE_HISTORY) {
        if (begin == nullptr || end == nullptr) {
            code = static_cast<int32_t>(EXPORT_INNER_ERROR);
            return "a history task needs cells 2 and 3 (range in milliseconds)";
        }
        out.ulBegin = begin->GetUInt64();
        out.ulEnd = end->GetUInt64();
        if (checkHisLogParams(out.ulBegin / 1000, out.ulEnd / 1000) != 0) {
            return "the time range ends before it begins";
        }
    } else {
        out.ulBegin = begin != nullptr ? begin->GetUInt64() : 0;
        out.ulEnd = end != nullptr ? end->GetUInt64() : 0;
    }
    code = 0;
    return "";
}

// Starts the work of an accepted task; 0 or the code that closes it at once.
int32_t StartTaskWork(const RemoteLogRequest& task) {
    switch (task.uiMode) {
        case chs_wire::REMOTE_LOG_MODE_ALARM_FIRST:
        case chs_wire::REMOTE_LOG_MODE_ALARM_SECOND:
            return handleExportLogFile(GetAlmLogType(task.uiMode));
        case chs_wire::REMOTE_LOG_MODE_HISTORY:
            return handleExportHisLog(task.ulBegin / 1000, task.ulEnd / 1000);
        default:
            CHS_LOG(3, LOGID_LOGEXPORT, "Task mode (%d) is not supported!.", static_cast<int>(task.uiMode));
            return kAllOnes;
    }
}

}  // namespace

void handleRemoteLogCollect(InnerMsg& request) {
    CHS_LOG(1, LOGID_LOGEXPORT, "Receive remote task.");
    const MsgObject& body = request.GetBody();
    if (body.empty()) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Failed to parse the objReqMsg, objReqMsg.count is (%lu).",
                static_cast<unsigned long>(body.size()));
        PostTaskAck(request, chs_wire::OPCODE_REMOTE_LOG_COLLECT, static_cast<int32_t>(EXPORT_INNER_ERROR),
                    "the request has no record");
        return;
    }
    RemoteLogRequest task;
    int32_t code = 0;
    std::string why;
    try {
        why = ParseStart(body[0], task, code);
    } catch (...) {
        code = static_cast<int32_t>(EXPORT_INNER_ERROR);
        why = "the request cannot be read";
    }
    if (code != 0) {
        // A request that cannot become a valid task is refused before the
        // task row changes, so the previous task's row stays as it was.
        if (code == static_cast<int32_t>(EXPORT_INNER_ERROR)) {
            CHS_LOG(3, LOGID_LOGEXPORT, "An exception occurred during getting the path from the reqMsg.");
        }
        CHS_LOG(3, LOGID_LOGEXPORT, "Refuse the remote task: %s.", why.c_str());
        PostTaskAck(request, chs_wire::OPCODE_REMOTE_LOG_COLLECT, code, why);
        return;
    }

    int verdict = static_cast<int>(checkExportAllowed(task.uiMode));
    ChsTpCheckPoint("TP_Log_Collector_RemoteLogCollect_checkExportAllowed", nullptr, nullptr, &verdict);
    if (verdict != 0) {
        PostTaskAck(request, chs_wire::OPCODE_REMOTE_LOG_COLLECT, verdict,
                    GetErrorCodeDesc(static_cast<unsigned int>(verdict)));
        return;
    }

    uint32_t added = AddRemoteTask(REMOTE_TASK_LOG_EXPORT, task.uiMode, task.strTaskId, task.ulBegin, task.ulEnd);
    if (added != 0) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Add remote task info failed(%d)!", static_cast<int>(added));
        PostTaskAck(request, chs_wire::RECORD_REMOTE_TASK_ADDED, static_cast<int32_t>(EXPORT_INNER_ERROR), "");
        return;
    }
    g_bRemoteTaskStop = false;
    g_bTransferTimeout = false;
    g_ulSentFileNum = 0;
    // The requester has its answer before any collection begins.
    PostTaskAck(request, chs_wire::RECORD_REMOTE_TASK_ADDED, 0, "");
    int32_t started = StartTaskWork(task);
    if (started != 0) {
        FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED,
                         static_cast<uint64_t>(static_cast<uint32_t>(started)));
    }
}

void handleStopRemoteLogCollect(InnerMsg& request) {
    CHS_LOG(1, LOGID_LOGEXPORT, "Receive task stop msg!");
    const MsgObject& body = request.GetBody();
    if (body.empty()) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Failed to parse the objReqMsg, objReqMsg.count is (%lu).",
                static_cast<unsigned long>(body.size()));
        PostTaskAck(request, chs_wire::OPCODE_REMOTE_LOG_STOP, static_cast<int32_t>(EXPORT_INNER_ERROR),
                    "the request has no record");
        return;
    }
    const CTLVCell* id = Typed(body[0], chs_wire::REMOTE_LOG_STOP_TAG_TASK_ID, false);
    if (id == nullptr) {
        CHS_LOG(3, LOGID_LOGEXPORT, "An exception occurred.");
        PostTaskAck(request, chs_wire::OPCODE_REMOTE_LOG_STOP, static_cast<int32_t>(EXPORT_INNER_ERROR),
                    "cell 0 (task id, text) is required");
        return;
    }
    std::string stopId = static_cast<const char*>(*id);

    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    uint32_t read = GetRemoteTask(REMOTE_TASK_LOG_EXPORT, row);
    if (read != 0) {
        PostTaskAck(request, chs_wire::OPCODE_REMOTE_LOG_STOP, static_cast<int32_t>(read),
                    read == static_cast<uint32_t>(CCDB_RESULT_NO_ROW) ? "there is no remote log task" : "");
        return;
    }
    std::string currentId(row.taskIdText, strnlen(row.taskIdText, sizeof(row.taskIdText)));
    if (stopId != currentId) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Task id is incorrect, stopid(%s) currentid(%s) !", stopId.c_str(),
                currentId.c_str());
        PostTaskAck(request, chs_wire::OPCODE_REMOTE_LOG_STOP, kAllOnes, "the task id is not the current task's");
        return;
    }
    if (row.i_taskendtime != 0) {
        CHS_LOG(1, LOGID_LOGEXPORT, "Remote task is end, there's no task need to stop !");
        PostTaskAck(request, chs_wire::OPCODE_REMOTE_LOG_STOP, 0, "");
        return;
    }
    g_bRemoteTaskStop = true;
    PostTaskAck(request, chs_wire::OPCODE_REMOTE_LOG_STOP, 0, "");
}

uint32_t UpdateRtFileNum(uint32_t kind, uint64_t count) {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    row.taskId = kind;
    row.i_taskprogress = count;
    return CCDB_COMM::UpdateRemoteTaskStatusToDB(g_collectorCcdbId, row, kMaskProgress);
}

std::string GetFailLogsString() {
    std::vector<std::vector<std::string>> lists;
    if (ReadUncollectedLogFiles(lists) != 0) {
        return "";
    }
    std::string text;
    for (const std::vector<std::string>& files : lists) {
        for (const std::string& file : files) {
            size_t slash = file.find_last_of('/');
            std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
            // The leading "," is dropped at the end, so it does not count.
            size_t length = text.size() + 1 + name.size();
            if (length - 1 > REMOTE_TASK_FAIL_LIST_MAX) {
                continue;
            }
            text += "," + name;
        }
    }
    return text.empty() ? text : text.substr(1);
}

uint32_t FinishRemoteTask(uint32_t kind, uint64_t status, uint64_t result) {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    row.taskId = kind;
    row.i_taskendtime = static_cast<uint64_t>(time(nullptr));
    row.i_taskstatus = status;
    row.i_taskresult = result;
    std::string text = GetErrorCodeDesc(static_cast<unsigned int>(result));
    if (result == EXPORT_PART_FAILED) {
        text += "Fail log list: " + GetFailLogsString();
    }
    uint32_t ret = 0;
    if (text.size() >= sizeof(row.sv_taskreturn2)) {
        CHS_LOG(3, LOGID_LOGEXPORT, " sprintf_s failed, log file name is too long!");
        ret = EXPORT_ERR_PARAM;
    } else {
        memcpy(row.sv_taskreturn2, text.c_str(), text.size());
        uint32_t updated = CCDB_COMM::UpdateRemoteTaskStatusToDB(
            g_collectorCcdbId, row, kMaskEndTime | kMaskStatus | kMaskResult | kMaskReturnText);
        if (updated != 0) {
            CHS_LOG(3, LOGID_LOGEXPORT, " Update remote task failed ,%d .", static_cast<int>(updated));
        } else {
            CHS_LOG(1, LOGID_LOGEXPORT, "Remote task finished, status(%llu) result(%llu).",
                    static_cast<unsigned long long>(status), static_cast<unsigned long long>(result));
        }
    }
    g_bRemoteTaskStop = false;
    g_bTransferTimeout = false;
    return ret;
}

int32_t checkHisLogParams(uint64_t begin, uint64_t end) {
    if (begin > end) {
        CHS_LOG(3, LOGID_LOGEXPORT, "The time range is illegal, beginTime[%llu], endTime[%llu]",
                static_cast<unsigned long long>(begin), static_cast<unsigned long long>(end));
        return kAllOnes;
    }
    return 0;
}

int32_t handleExportHisLog(uint64_t begin, uint64_t end) {
    if (checkHisLogParams(begin, end) != 0) {
        return kAllOnes;
    }
    if (!StartDetachedTask([begin, end] { SendHisLogByTimeSeg(begin, end); })) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Failed to start the history log thread.");
        return kAllOnes;
    }
    return 0;
}

namespace {

// A resumed task whose thread cannot start is closed as failed rather than
// left running in its row.
void ResumeOn(std::function<void()> work) {
    if (!StartDetachedTask(std::move(work))) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Failed to start the thread of the resumed task.");
        FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, EXPORT_INNER_ERROR);
    }
}

}  // namespace

void RecoverRemoteTask() {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    if (GetRemoteTask(REMOTE_TASK_LOG_EXPORT, row) != 0) {
        CHS_LOG(1, LOGID_LOGEXPORT, "There is no task in exporting");
        return;
    }
    if (row.i_taskrunnode != omlib::getLocalNidInUser()) {
        CHS_LOG(1, LOGID_LOGEXPORT, "Task is not deal in this node, task node(%llu)",
                static_cast<unsigned long long>(row.i_taskrunnode));
        return;
    }
    if (row.i_taskendtime != 0) {
        CHS_LOG(1, LOGID_LOGEXPORT, "Remote task is finished");
        return;
    }
    uint64_t now = static_cast<uint64_t>(time(nullptr));
    // A creation time in the future counts as new rather than wrapping.
    if (now > row.createTime && now - row.createTime >= REMOTE_TASK_RECOVER_LIMIT_SEC) {
        CHS_LOG(2, LOGID_LOGEXPORT, "Remote task is timeout, finish task");
        FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, EXPORT_TASK_TIMEOUT);
        return;
    }
    g_bRemoteTaskStop = false;
    g_bTransferTimeout = false;
    if (row.taskType < chs_wire::REMOTE_LOG_MODE_HISTORY) {
        g_ulSentFileNum = row.i_taskprogress;
        CHS_LOG(1, LOGID_LOGEXPORT, "Resume the alarm log task (%s) from %llu sent.", row.taskIdText,
                static_cast<unsigned long long>(row.i_taskprogress));
        ResumeOn([type = GetAlmLogType(row.taskType)] { WaitAndSendLogFile(type); });
        return;
    }
    if (row.taskType == chs_wire::REMOTE_LOG_MODE_HISTORY && row.i_taskstatus == chs_wire::TASK_STATUS_RUNNING) {
        // The daemon stopped before the file list was complete: the database
        // holds none or part of it, so the listing starts again.
        CHS_LOG(1, LOGID_LOGEXPORT, "Resume the history log task (%s) with a new file list.", row.taskIdText);
        ResumeOn([begin = row.paramValue1 / 1000, end = row.paramValue2 / 1000] { SendHisLogByTimeSeg(begin, end); });
        return;
    }
    logFileListClean();
    if (row.taskType != chs_wire::REMOTE_LOG_MODE_HISTORY || GetExportLogFileListFromDb() != 0) {
        FinishRemoteTask(REMOTE_TASK_LOG_EXPORT, chs_wire::TASK_STATUS_FAILED, EXPORT_INNER_ERROR);
        return;
    }
    CHS_LOG(1, LOGID_LOGEXPORT, "Resume the history log task (%s) from %llu sent.", row.taskIdText,
            static_cast<unsigned long long>(row.i_taskprogress));
    ResumeOn([] { SendLogFileList(); });
}
