#include "tools/chsctl_task_row.h"

#include <cinttypes>
#include <cstring>

#include "control/collector_ccdb.h"
#include "control/remote_task.h"
#include "export/export_frame.h"
#include "infra/error_code_desc.h"
#include "msg/chs_wire.h"
#include "platform/om_ccdb.h"
#include "tools/chsctl_json.h"
#include "tools/chsctl_results.h"
#include "tools/chsctl_time.h"

namespace chs_tools {
namespace {

// The row the daemon inserts before any task ran carries status 0.
constexpr uint64_t kPlaceholderStatus = 0;

// The daemon's own text of a task result; the task closes with -1 when its
// work could not even start (a mode it does not serve, a reversed range).
std::string ResultText(uint64_t code) {
    if (errorCodeDescMap.empty()) {
        InitExportErrorCodeDesc();
    }
    if (IsAllOnesResult(code)) {
        return "the task's work could not start";
    }
    std::string text = code <= UINT32_MAX ? GetErrorCodeDesc(static_cast<uint32_t>(code)) : std::string();
    if (text.empty() && code <= UINT32_MAX) {
        const char* meaning = ResultMeaningOf(static_cast<uint32_t>(code));
        text = meaning != nullptr ? meaning : "";
    }
    return text;
}

std::string ResultCodeWords(uint64_t code) {
    if (IsAllOnesResult(code)) {
        return "-1";
    }
    char text[32];
    if (code < 0x10000) {
        snprintf(text, sizeof(text), "%" PRIu64, code);
    } else {
        snprintf(text, sizeof(text), "0x%08" PRIX64, code);
    }
    return text;
}

const char* StatusToken(uint64_t status) {
    switch (status) {
        case chs_wire::TASK_STATUS_RUNNING:
            return "running";
        case chs_wire::TASK_STATUS_LIST_READY:
            return "list_ready";
        case chs_wire::TASK_STATUS_SUCCEEDED:
            return "succeeded";
        case chs_wire::TASK_STATUS_FAILED:
            return "failed";
        default:
            return "unknown";
    }
}

std::string ModeWords(const TaskRow& row) {
    switch (row.taskType) {
        case chs_wire::REMOTE_LOG_MODE_ALARM_FIRST:
            return "alarm logs (first kind)";
        case chs_wire::REMOTE_LOG_MODE_ALARM_SECOND:
            return "alarm logs (second kind)";
        case chs_wire::REMOTE_LOG_MODE_HISTORY:
            return "history logs from " + FormatLocalTimeMs(row.paramValue1) + " to " +
                   FormatLocalTimeMs(row.paramValue2);
        default:
            return "mode " + std::to_string(row.taskType) + " (not served)";
    }
}

std::string Text(const char* column, size_t size) { return std::string(column, strnlen(column, size)); }

}  // namespace

int OpenTaskStore() {
    char* argv[] = {const_cast<char*>(CCDB_COMM::CCDB_DB_ARG), nullptr};
    int ret = OM_CCDB_Init(CCDB_COMM::CCDB_DB_TYPE, CCDB_COMM::CCDB_DB_NAME, argv, &g_collectorCcdbId);
    if (ret != OM_CCDB_OK) {
        fprintf(stderr, "chsctl: the configuration database cannot be opened (result %d)\n", ret);
    }
    return ret;
}

uint32_t ReadLogTask(TaskRow& row) {
    row = TaskRow{};
    uint32_t ret = GetRemoteTask(REMOTE_TASK_LOG_EXPORT, row);
    if (ret == 0 && row.i_taskstatus == kPlaceholderStatus) {
        return OM_CCDB_NO_VALUE;
    }
    return ret;
}

std::string TaskIdOf(const TaskRow& row) { return Text(row.taskIdText, sizeof(row.taskIdText)); }

std::string TaskStatusWords(uint64_t status) {
    switch (status) {
        case chs_wire::TASK_STATUS_RUNNING:
            return "running";
        case chs_wire::TASK_STATUS_LIST_READY:
            return "file list ready";
        case chs_wire::TASK_STATUS_SUCCEEDED:
            return "succeeded";
        case chs_wire::TASK_STATUS_FAILED:
            return "failed";
        default:
            return "status " + std::to_string(status);
    }
}

std::string TaskProgressLine(const TaskRow& row) {
    return "sent " + std::to_string(row.i_taskprogress) + " of " + std::to_string(row.i_tasksubitems);
}

void PrintTask(const TaskRow& row, FILE* out) {
    std::string result = ResultCodeWords(row.i_taskresult);
    std::string resultText = ResultText(row.i_taskresult);
    if (!resultText.empty()) {
        result += " (" + resultText + ")";
    }
    fprintf(out, "task id:  %s\n", TaskIdOf(row).c_str());
    fprintf(out, "mode:     %u, %s\n", row.taskType, ModeWords(row).c_str());
    fprintf(out, "status:   %s\n", TaskStatusWords(row.i_taskstatus).c_str());
    fprintf(out, "progress: %" PRIu64 " of %" PRIu64 " files sent\n", row.i_taskprogress, row.i_tasksubitems);
    fprintf(out, "result:   %s\n", result.c_str());
    fprintf(out, "text:     %s\n", Text(row.sv_taskreturn2, sizeof(row.sv_taskreturn2)).c_str());
    fprintf(out, "run node: %" PRIu64 "\n", row.i_taskrunnode);
    fprintf(out, "started:  %s\n", FormatLocalTime(row.createTime).c_str());
    fprintf(out, "ended:    %s\n", row.i_taskendtime == 0 ? "-" : FormatLocalTime(row.i_taskendtime).c_str());
    fflush(out);
}

Json::Value TaskJson(const TaskRow& row) {
    bool ranged = row.taskType == chs_wire::REMOTE_LOG_MODE_HISTORY;
    Json::Value task(Json::objectValue);
    task["task_id"] = TaskIdOf(row);
    task["mode"] = row.taskType;
    task["from"] = ranged ? Json::Value(FormatLocalTimeMs(row.paramValue1)) : Json::Value();
    task["to"] = ranged ? Json::Value(FormatLocalTimeMs(row.paramValue2)) : Json::Value();
    task["status"] = StatusToken(row.i_taskstatus);
    task["progress"] = static_cast<Json::UInt64>(row.i_taskprogress);
    task["total"] = static_cast<Json::UInt64>(row.i_tasksubitems);
    task["result"] = ResultJson(row.i_taskresult);
    task["result_text"] = ResultText(row.i_taskresult);
    task["text"] = Text(row.sv_taskreturn2, sizeof(row.sv_taskreturn2));
    task["run_node"] = static_cast<Json::UInt64>(row.i_taskrunnode);
    task["created"] = FormatLocalTime(row.createTime);
    task["ended"] = row.i_taskendtime == 0 ? Json::Value() : Json::Value(FormatLocalTime(row.i_taskendtime));
    return task;
}

}  // namespace chs_tools
