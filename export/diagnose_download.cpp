// The download, status and clear requests of the diagnose export and the
// guard they share.
#include "export/diagnose_download.h"

#include <cstdint>

#include "control/remote_task.h"
#include "core/omlib.h"
#include "export/diagnose_export.h"
#include "export/export_frame.h"
#include "export/msg_single_run.h"
#include "infra/chs_log.h"
#include "infra/string_util.h"
#include "platform/platform_profile.h"

uint32_t DIAGNOSE_INFO_QUERY_TIMEOUT = 30;

namespace {

// The type a clear request other than 41 is checked as: any type but 5, so
// that only the run node and the gathering are checked.
constexpr uint32_t kClearCheckType = 2;

constexpr const char* kUnreadableRequest = "An exception occurred during getting the info from the reqMsg.";

bool IsKnownStatus(int32_t status) {
    return status == EXPORT_GATHER_RUNNING || status == EXPORT_GATHER_FAILED ||
           status == static_cast<int32_t>(EXPORT_STATUS_READY) ||
           status == static_cast<int32_t>(EXPORT_STATUS_ABNORMAL);
}

// Reads the export type (cell 1 of the first record) of a request. An absent
// cell reads as 0 unless `required`. False, with the reason logged, for a
// request without records or a cell that cannot be read as a number.
bool ReadRequestType(const InnerMsg& request, bool required, uint32_t& type) {
    const MsgObject& body = request.GetBody();
    if (body.empty()) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to parse the objReqMsg, objReqMsg.count is (%lu).",
                static_cast<unsigned long>(body.size()));
        return false;
    }
    const CTLVCell* cell = body[0].find(DIAGNOSE_TAG_TYPE);
    if (cell == nullptr) {
        type = 0;
        if (required) {
            CHS_LOG(3, LOGID_EXPORT, "%s", kUnreadableRequest);
        }
        return !required;
    }
    if (!CTLVCell::IsNumericalType(cell->GetType())) {
        CHS_LOG(3, LOGID_EXPORT, "%s", kUnreadableRequest);
        return false;
    }
    type = ExportTypeFromWire(cell->GetInt64());
    return true;
}

// Answers with one record of `opcode` holding `cell` (a data answer).
void PostDataAnswer(InnerMsg& request, uint32_t opcode, CTLVCell* cell) {
    try {
        MsgObject body;
        MsgRecord* record = new MsgRecord(opcode);
        body.append(record);
        record->appendInner(cell);
        if (!request.PostAckMsg(body)) {
            CHS_LOG(3, LOGID_EXPORT, "Failed to post ack msg.");
        }
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "Something wrong with post ack msg.");
    }
}

// An export whose task row names this node while the record holds none: the
// daemon that ran it has restarted, and the export died with it.
bool LostExportOfThisNode() {
    if (ExportCfgHoldsExport()) {
        return false;
    }
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    return GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row) == 0 &&
           row.i_taskrunnode == omlib::getLocalNidInUser();
}

}  // namespace

// ------------------------------------------------------------ guard

uint32_t CheckCurrentNodeIsExport() {
    uint32_t ccdbType = g_updateCCDBType;
    if (ccdbType == UPDATE_CCDB_ABNORMAL) {
        // No task row can be read: the node that has the export record serves it.
        return 0;
    }
    if (ccdbType == UPDATE_CCDB_UNCHECKED) {
        CHS_LOG(3, LOGID_EXPORT, "Current there is no export the diagnostic file task.");
        return EXPORT_ERR_NOT_RUN_NODE;
    }
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    if (GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Current there is no export the diagnostic file task.");
        return EXPORT_ERR_NO_TASK;
    }
    if (row.i_taskrunnode != omlib::getLocalNidInUser()) {
        CHS_LOG(2, LOGID_EXPORT, "The export runs on node (%llu).",
                static_cast<unsigned long long>(row.i_taskrunnode));
        return EXPORT_ERR_NOT_RUN_NODE;
    }
    return 0;
}

uint32_t cheskIsMergDiagnoseFile(uint32_t type, uint32_t purpose) {
    if (type >= EXPORT_TYPE_MODULE_LIMIT) {
        CHS_LOG(3, LOGID_EXPORT, "%s", kUnreadableRequest);
        return EXPORT_ERR_PARAM;
    }
    if (LostExportOfThisNode()) {
        // Its parts are gone with the daemon: nothing to download, and its
        // row may be cleared.
        CHS_LOG(2, LOGID_EXPORT, "The export of this node was lost with a restart.");
        return purpose == DIAGNOSE_PURPOSE_DOWNLOAD ? EXPORT_ERR_FAILED : 0;
    }
    uint32_t ret = CheckCurrentNodeIsExport();
    if (ret != 0) {
        return ret;
    }
    ExportCfgLock lock(ExportCfgMutex());
    if (type == EXPORT_TYPE_DIAGNOSE_DOWNLOAD &&
        g_astExportFileCfg.ExportType != EXPORT_TYPE_DIAGNOSE_DOWNLOAD) {
        CHS_LOG(3, LOGID_EXPORT, "Export type is not the current type.");
        return EXPORT_ERR_TYPE_MISMATCH;
    }
    if (purpose == DIAGNOSE_PURPOSE_DOWNLOAD) {
        ret = checkMemEnough(DIAGNOSE_DOWNLOAD_SPACE_MODE);
        if (ret != 0) {
            CHS_LOG(3, LOGID_EXPORT, "Space is not enough for exporting diagnose info.");
            return ret;
        }
    }
    // A failed gather passes: the merge then finds nothing ready.
    return g_astExportFileCfg.iGatherResult == EXPORT_GATHER_RUNNING ? EXPORT_ERR_TASK_RUNNING : 0;
}

int32_t getFinalExportDiagFileResult(uint32_t type) {
    ExportCfgLock lock(ExportCfgMutex());
    if (!ExportCfgHoldsExport()) {
        // Nothing set up since this daemon started: an export asked about was
        // lost with a restart, never done.
        return EXPORT_GATHER_FAILED;
    }
    if (type == EXPORT_TYPE_DIAGNOSE_DOWNLOAD &&
        g_astExportFileCfg.ExportType != EXPORT_TYPE_DIAGNOSE_DOWNLOAD) {
        CHS_LOG(3, LOGID_EXPORT, "Export type is not the current type.");
        return static_cast<int32_t>(EXPORT_ERR_TYPE_MISMATCH);
    }
    return g_astExportFileCfg.iGatherResult;
}

// ------------------------------------------------------------ download

void handleDownLoadFileHandleForSingleRun(InnerMsg& request) {
    MsgSingleRun<handleDownLoadFileHandle>(request);
}

void handleDownLoadFileHandle(InnerMsg& request) {
    CHS_LOG(1, LOGID_EXPORT, "Receive download diagnostic file task.");
    uint32_t type = 0;
    if (!ReadRequestType(request, false, type)) {
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_DOWNLOAD, static_cast<int32_t>(EXPORT_ERR_GENERAL));
        return;
    }
    type = NormalizeExportType(type);
    uint32_t ret = cheskIsMergDiagnoseFile(type, DIAGNOSE_PURPOSE_DOWNLOAD);
    if (ret != 0) {
        CHS_LOG(3, LOGID_EXPORT, "%s", kUnreadableRequest);
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_DOWNLOAD, static_cast<int32_t>(ret));
        return;
    }
    std::string tempDir;
    std::string realTempDir;
    if (CreateTempDirForDownloadDigaInfo(tempDir, realTempDir) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Create temp dir failed for download diagnostic file.");
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_DOWNLOAD, static_cast<int32_t>(EXPORT_ERR_GENERAL));
        return;
    }
    int32_t merged = downDiagnoseInfo(type, tempDir, realTempDir);
    if (merged != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Download diagnostic file failed(ret %d).", static_cast<int>(merged));
        uint32_t answered = static_cast<uint32_t>(merged) == chs_wire::EXPORT_RESULT_SECRET_FOUND
                                ? chs_wire::EXPORT_RESULT_SECRET_FOUND
                                : EXPORT_ERR_GENERAL;
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_DOWNLOAD, static_cast<int32_t>(answered));
        return;
    }
    std::string finalPath = FinalDiagnoseFilePath(type);
    PostDataAnswer(request, EXPORT_OPCODE_DOWNLOAD, CTLVCell::NewString(DIAGNOSE_TAG_FINAL_PATH, finalPath));
    CHS_LOG(1, LOGID_EXPORT, "Download file success (%s).", finalPath.c_str());
}

// ------------------------------------------------------------ status

void handleGetExportStatusForSingelRun(InnerMsg& request) { MsgSingleRun<handleGetExportStatus>(request); }

int32_t notifyQueryDiagnoseFileStatus(uint16_t runNode, uint32_t type) {
    if (runNode >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "Node (%u) is invalid.", static_cast<unsigned int>(runNode));
        return -1;
    }
    try {
        InnerMsg query;
        InitExportRequest(query, runNode, EXPORT_DIAGNOSE_PID, EXPORT_OPCODE_QUERY_PEER_STATUS,
                          DIAGNOSE_INFO_QUERY_TIMEOUT);
        MsgRecord* record = new MsgRecord(EXPORT_OPCODE_QUERY_PEER_STATUS);
        query.GetBody().append(record);
        record->appendInner(CTLVCell::NewInt32(DIAGNOSE_TAG_TYPE, static_cast<int32_t>(type)));
        InnerMsg answer;
        if (!query.SendSyncMsg(answer)) {
            CHS_LOG(3, LOGID_EXPORT, "Send message failed.");
            return -1;
        }
        if (answer.GetResult() != MSG_STATE_SUCCESS) {
            CHS_LOG(3, LOGID_EXPORT, "Failed to query export status(%d).",
                    static_cast<int>(answer.GetResult()));
            return -1;
        }
        return static_cast<int32_t>(answer.TryGetErrorCode());
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "Send message failed.");
        return -1;
    }
}

uint32_t getQueryResult(uint32_t type, int32_t& status) {
    uint32_t ccdbType = g_updateCCDBType;
    if (ccdbType == UPDATE_CCDB_ABNORMAL) {
        status = getFinalExportDiagFileResult(type);
        return 0;
    }
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    uint32_t read = GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row);
    // A node that has not checked the CCDB since start-up or the last clear
    // learns the run node from the task row like any other: otherwise only
    // the node that admitted the export could ever answer a status query.
    if (ccdbType == UPDATE_CCDB_UNCHECKED && read != 0 &&
        read != static_cast<uint32_t>(CCDB_COMM::CCDB_CLIENT_NO_VALUE)) {
        return EXPORT_ERR_NOT_RUN_NODE;
    }
    if (read != 0) {
        CHS_LOG(1, LOGID_EXPORT, "Query status success.");
        return EXPORT_ERR_NO_TASK;
    }
    if (row.i_taskrunnode == omlib::getLocalNidInUser()) {
        status = getFinalExportDiagFileResult(type);
    } else if (row.i_taskrunnode >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "Node (%u) is invalid.", static_cast<unsigned int>(row.i_taskrunnode));
        status = -1;
    } else {
        status = notifyQueryDiagnoseFileStatus(static_cast<uint16_t>(row.i_taskrunnode), type);
    }
    return 0;
}

void handleGetExportStatus(InnerMsg& request) {
    uint32_t type = 0;
    if (!ReadRequestType(request, false, type)) {
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_GET_STATUS, static_cast<int32_t>(EXPORT_ERR_GENERAL));
        return;
    }
    type = NormalizeExportType(type);
    if (checkExportModule(type) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "The export type is not supported(type %d).", static_cast<int>(type));
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_GET_STATUS, static_cast<int32_t>(EXPORT_ERR_PARAM));
        return;
    }
    int32_t status = EXPORT_GATHER_RUNNING;
    uint32_t ret = getQueryResult(type, status);
    if (ret != 0) {
        CHS_LOG(1, LOGID_EXPORT, "Query status failed.");
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_GET_STATUS, static_cast<int32_t>(ret));
        return;
    }
    if (!IsKnownStatus(status)) {
        // A refusal of the run node (or no answer from it) is the answer.
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_GET_STATUS, status);
        return;
    }
    PostDataAnswer(request, EXPORT_OPCODE_GET_STATUS, CTLVCell::NewInt32(DIAGNOSE_TAG_STATUS, status));
}

void processQueryDiagDataStatus(InnerMsg& request) {
    uint32_t type = 0;
    if (!ReadRequestType(request, false, type)) {
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_QUERY_PEER_STATUS, static_cast<int32_t>(EXPORT_ERR_GENERAL));
        return;
    }
    ExpDiagPostAckMsg(request, EXPORT_OPCODE_QUERY_PEER_STATUS,
                      getFinalExportDiagFileResult(NormalizeExportType(type)));
}

// ------------------------------------------------------------ clear

void handleClearExportDataForSingelRun(InnerMsg& request) { MsgSingleRun<handleClearExportData>(request); }

void handleClearExportData(InnerMsg& request) {
    CHS_LOG(1, LOGID_EXPORT, "Collect Clear export file task.");
    uint32_t type = 0;
    if (!ReadRequestType(request, true, type)) {
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_CLEAR, static_cast<int32_t>(EXPORT_ERR_GENERAL));
        return;
    }
    // Only a download export (asked for as 41) is cleared on request; uploads
    // clear after themselves.
    if (type != EXPORT_TYPE_DIAGNOSE_DOWNLOAD_ALIAS) {
        uint32_t ret = cheskIsMergDiagnoseFile(kClearCheckType, DIAGNOSE_PURPOSE_CLEAR);
        if (ret == 0) {
            CHS_LOG(3, LOGID_EXPORT, "Clean type is not supported.");
            ret = EXPORT_ERR_PARAM;
        } else {
            CHS_LOG(3, LOGID_EXPORT, "Export type is not current type.");
        }
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_CLEAR, static_cast<int32_t>(ret));
        return;
    }
    uint32_t ret = g_bExportMerging.load()
                       ? EXPORT_ERR_TASK_RUNNING
                       : cheskIsMergDiagnoseFile(EXPORT_TYPE_DIAGNOSE_DOWNLOAD, DIAGNOSE_PURPOSE_CLEAR);
    if (ret != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Export type is not current type.");
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_CLEAR, static_cast<int32_t>(ret));
        return;
    }
    // The answer comes once the task row is gone, so that a requester that
    // starts the next export on the answer is not refused by this one.
    g_updateCCDBType = UPDATE_CCDB_UNCHECKED;
    clearTmpExpFile(0);
    uint32_t deleted = DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT);
    if (deleted != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Delete the diagnose task failed(%u).", deleted);
    }
    ExpDiagPostAckMsg(request, EXPORT_OPCODE_CLEAR, 0);
    CHS_LOG(1, LOGID_EXPORT, "Clear export file end.");
}

// ------------------------------------------------------------ other

int32_t collectDiagnoseInfo(const std::string& first, const std::string& second) {
    std::string cmd = "USER=`whoami` " + ExportSudo() + ShellQuote(platform::RealPath(DIAGNOSTIC_SCRIPT)) +
                      " export_cluster 100 " + ShellQuote(platform::RealPath(first)) + " " +
                      ShellQuote(platform::RealPath(second));
    int32_t ret = g_pfnExportExec(cmd, EXPORT_CMD_TIMEOUT_MS);
    CHS_LOG(1, LOGID_EXPORT, "Run export diagnose cmd ret(%d).", static_cast<int>(ret));
    return ret;
}
