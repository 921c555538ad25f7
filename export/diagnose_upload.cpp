// The upload of a diagnose export of type 3 or 4: a thread waits for the
// gathering to finish, merges the parts and hands the file to the
// remote-service agent of this node; a successful upload is remembered in the
// kind-3 task row, whose time the interval check of the next upload reads.
#include <ctime>
#include <thread>

#include "collector/collect_file_handoff.h"
#include "control/remote_task.h"
#include "core/omlib.h"
#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/diagnose_globals.h"
#include "export/export_frame.h"
#include "include/infocollector/file_handoff.h"
#include "infra/chs_log.h"
#include "infra/time_util.h"
#include "infra/timer_drv.h"
#include "platform/platform_profile.h"
#include "infra/detached_tasks.h"

uint32_t DIAGNOSE_INFO_SEND_ROUNDS = 600;
uint32_t DIAGNOSE_INFO_SEND_ROUND_MS = 20000;
uint32_t DIAGNOSE_INFO_SEND_TIMEOUT = 1800;

namespace {

// Outcome of the send in progress. Written by pluginSendDiagnoseFileCB on a
// message thread and read by the upload thread, both with atomic builtins
// (waitSendFileFinish reads the flag that way). One upload runs at a time.
bool g_bSendDone = false;
int32_t g_iSendFailure = 0;

bool IsUploadType(uint32_t type) {
    return type == EXPORT_TYPE_DIAGNOSE_ALARM || type == EXPORT_TYPE_DIAGNOSE_CIRCLE;
}

// "diagnoseinfo_" + serial number + "_" + local time + time zone + ".tgz".
bool UploadName(std::string& name) {
    tm local{};
    char text[32] = {};
    if (!CHS_GetCurrentTimeInfo(&local) || strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local) == 0) {
        return false;
    }
    return GenCollectorFileName(DIAGNOSE_UPLOAD_NAME_KIND, text, DIAGNOSE_UPLOAD_PREFIX,
                                EXPORT_DIAGNOSE_PKG_SUFFIX, name) == 0;
}

// Sends the merged file of `type`; for an upload type it first gets its
// upload name in the upload directory. 0 or -1.
int32_t SendMergedFile(uint32_t type, uint64_t taskStart) {
    std::string systemPath = FinalDiagnoseFilePath(type);
    std::string path = platform::RealPath(systemPath);
    if (IsUploadType(type)) {
        std::string name;
        if (!UploadName(name) || MakeExportDirUsable(strDiagnoseInfoToNexhub) != 0 ||
            MoveExportFile(path, platform::RealPath(strDiagnoseInfoToNexhub + name)) != 0) {
            CHS_LOG(3, LOGID_EXPORT, "Gen export dirname failed.");
            return -1;
        }
        systemPath = strDiagnoseInfoToNexhub + name;
        path = platform::RealPath(systemPath);
    }
    if (SendDiagnoseFile(path, omlib::getLocalNidInUser(), pluginSendDiagnoseFileCB,
                         DIAGNOSE_INFO_SEND_TIMEOUT, taskStart) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Send diagnose file to nexhub failed.");
        ClearDiagnseSendNexhubFile();
        return -1;
    }
    if (AddRemoteTask(REMOTE_TASK_DIAGNOSE_UPLOAD, type, systemPath, 0,
                      static_cast<uint64_t>(time(nullptr))) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Set task end time failed for sending diagnose file to nexhub.");
    }
    return 0;
}

}  // namespace

void pluginSendDiagnoseFileCB(InnerMsg& answer) {
    // An answer that failed in the transport counts as a failed send.
    int32_t failure = static_cast<int32_t>(answer.TryGetErrorCode());
    __atomic_store_n(&g_iSendFailure, failure, __ATOMIC_RELAXED);
    __atomic_store_n(&g_bSendDone, true, __ATOMIC_RELEASE);
    CHS_LOG(1, LOGID_EXPORT, "Send diagnose file result %d.", static_cast<int>(failure));
}

int32_t SendDiagnoseFile(const std::string& path, uint16_t node, void (*callback)(InnerMsg&),
                         uint32_t timeoutSec, uint64_t taskStart) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        __atomic_store_n(&g_bSendDone, false, __ATOMIC_RELAXED);
        __atomic_store_n(&g_iSendFailure, 0, __ATOMIC_RELAXED);
        if (pluginSendFile(path, DIAGNOSE_SEND_FILE_TYPE, node, callback, timeoutSec) != 0) {
            CHS_LOG(3, LOGID_EXPORT, "Hand the diagnose file (%s) to the agent failed.", path.c_str());
            continue;
        }
        waitSendFileFinish(g_bSendDone, static_cast<int>(timeoutSec));
        bool done = __atomic_load_n(&g_bSendDone, __ATOMIC_ACQUIRE);
        int32_t failure = __atomic_load_n(&g_iSendFailure, __ATOMIC_RELAXED);
        if (done && failure == 0) {
            CHS_LOG(1, LOGID_EXPORT, "Sent the diagnose file (%s) of the task of (%llu).", path.c_str(),
                    static_cast<unsigned long long>(taskStart));
            return 0;
        }
        CHS_LOG(3, LOGID_EXPORT, "Sending the diagnose file (%s) %s (%d).", path.c_str(),
                done ? "failed" : "timed out", static_cast<int>(failure));
    }
    return -1;
}

int32_t FetchDiagnoseFileToSend(uint32_t type, uint64_t taskStart) {
    int32_t ret = -1;
    std::string tempDir;
    std::string realTempDir;
    if (CreateTempDirForDownloadDigaInfo(tempDir, realTempDir) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Create dir failed for download diagnose file.");
    } else if (downDiagnoseInfo(type, tempDir, realTempDir) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Diagnose diagnose file failed.");
    } else {
        ret = SendMergedFile(type, taskStart);
    }
    clearTmpExpFile(0);
    ClearDiagnseSendNexhubFile();
    return ret;
}

void WaitAndSendDiagnoseFileHandler(uint32_t type) {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    if (GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row) != 0) {
        CHS_LOG(1, LOGID_EXPORT, "There is no task in exporting");
        return;
    }
    uint32_t result = EXPORT_ERR_NOT_FINISHED;
    for (uint32_t round = 0; round < DIAGNOSE_INFO_SEND_ROUNDS; ++round) {
        if (IsUploadType(type) && omlib::isUpgradeMode()) {
            CHS_LOG(3, LOGID_EXPORT, "System is upgrade, can not export file.");
            result = EXPORT_ERR_FAILED;
            break;
        }
        result = getExportResult(0xFFFFFFFF);
        if (result == EXPORT_SUCCESS || result == EXPORT_STATUS_ABNORMAL) {
            CHS_LOG(1, LOGID_EXPORT, "Get query result (ret %d).", static_cast<int>(result));
            (void)FetchDiagnoseFileToSend(type, row.createTime);
            break;
        }
        if (result == EXPORT_ERR_FAILED) {
            CHS_LOG(1, LOGID_EXPORT, "Get query result (ret %d).", static_cast<int>(result));
            break;
        }
        // The end of the gathering ends the pause: its result is what this
        // round waits for.
        WaitGatheringEnd(DIAGNOSE_INFO_SEND_ROUND_MS);
    }
    CHS_LOG(1, LOGID_EXPORT, "Export diagnose finished! result(%u).", result);
    uint32_t deleted = DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT);
    if (deleted != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Delete the diagnose task failed(%u).", deleted);
    }
}

void WaitAndSendDiagnoseFile(uint32_t type) {
    try {
        WaitAndSendDiagnoseFileHandler(type);
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "The upload of the diagnose file of type (%u) stopped on an exception.",
                type);
    }
}

void notifyExportDiagFile(uint32_t type) {
    if (!StartDetachedTask([type] { WaitAndSendDiagnoseFile(type); })) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to start the upload thread of type (%u).", type);
    }
}
