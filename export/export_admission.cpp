// Admission of diagnose and log exports, and the translation of verdicts
// into the codes requesters get.
#include <ctime>
#include <mutex>

#include "control/ccdb_comm.h"
#include "control/collector_ccdb.h"
#include "control/collector_switch.h"
#include "core/omlib.h"
#include "export/diagnose_download.h"
#include "export/export_frame.h"
#include "infra/chs_log.h"
#include "infra/sys_util.h"

namespace {

constexpr uint64_t kLimitWindowSec = 3600;

// One window per rate-limited line; admission runs on several threads.
struct LimitedLine {
    std::mutex mutex;
    uint64_t windowStart = 0;
    uint32_t count = 0;
};
LimitedLine g_switchOffLine;
LimitedLine g_notAllowedLine;

struct SpaceNeed {
    uint32_t diskMB;
    uint32_t memMB;
};

// Index = mode.
constexpr SpaceNeed kSpaceTable[] = {
    {300, 150},  // 0
    {160, 100},  // 1
    {20, 40},    // 2
    {300, 60},   // 3
    {300, 60},   // 4
    {300, 60},   // 5
    {90, 60},    // 6
    {240, 60},   // 7
};

int64_t Now() { return static_cast<int64_t>(time(nullptr)); }

// The stored switch, so that a switch set a moment ago counts at once; the
// value the supervision loop last applied when the CCDB cannot be read.
bool SwitchIsOff() {
    std::string value;
    if (COLLECTOR_CCDB::GetCollectorSwitch(value) != 0) {
        value = GetLastKnownCollectorSwitch();
    }
    return value != CHS_SWITCH_ON;
}

}  // namespace

int checkExportModule(uint32_t type) { return type < EXPORT_TYPE_MODULE_LIMIT ? 0 : -1; }

uint32_t NormalizeExportType(uint32_t type) {
    return type == EXPORT_TYPE_DIAGNOSE_DOWNLOAD_ALIAS ? EXPORT_TYPE_DIAGNOSE_DOWNLOAD : type;
}

uint32_t checkExpfileSendAllowed(uint32_t type) {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    uint32_t ret = CCDB_COMM::GetRemoteTaskFromDB(g_collectorCcdbId, REMOTE_TASK_DIAGNOSE_UPLOAD, row);
    if (ret == static_cast<uint32_t>(CCDB_RESULT_NO_ROW)) {
        CHS_LOG(1, LOGID_EXPORT, "There is no task to send nexhub");
        return 0;
    }
    if (ret == 0 && (type == EXPORT_TYPE_DIAGNOSE_ALARM || type == EXPORT_TYPE_DIAGNOSE_CIRCLE)) {
        int64_t lastSent = static_cast<int64_t>(row.paramValue2);
        int64_t now = Now();
        // A last upload stamped in the future (clock set back) must not block
        // uploads until the clock catches up.
        if (lastSent > now) {
            return 0;
        }
        if (type == EXPORT_TYPE_DIAGNOSE_ALARM) {
            if (now - lastSent < static_cast<int64_t>(DIAGNOSE_INFO_ALARM_TASK_INTERVAL)) {
                CHS_LOG(1, LOGID_EXPORT, "Diagnoseinfo has sended to nexhub in one hour");
                return EXPORT_NOT_ALLOWED;
            }
        } else if (now - lastSent < static_cast<int64_t>(DIAGNOSE_INFO_CIRCLE_TASK_INTERVAL)) {
            CHS_LOG(1, LOGID_EXPORT, "Diagnoseinfo has sended to nexhub in 24 hour");
            return EXPORT_NOT_ALLOWED;
        }
        return 0;
    }
    CHS_LOG(3, LOGID_EXPORT, "Access CCDB is abnormal(ret %d)!", static_cast<int>(ret));
    return EXPORT_NOT_ALLOWED;
}

uint32_t CheckExportFileStatus() {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    uint32_t ret = CCDB_COMM::GetRemoteTaskFromDB(g_collectorCcdbId, REMOTE_TASK_DIAGNOSE_EXPORT, row);
    if (ret == static_cast<uint32_t>(CCDB_RESULT_NO_ROW)) {
        // No task row: whatever the record still holds was left by a task
        // that did not finish.
        ClearExportStrategy();
        g_updateCCDBType = UPDATE_CCDB_NO_TASK;
        CHS_LOG(1, LOGID_EXPORT, "There is no task in exporting.");
        return 0;
    }
    if (ret != 0) {
        g_updateCCDBType = UPDATE_CCDB_ABNORMAL;
        CHS_LOG(2, LOGID_EXPORT, "CCDB is abnormal,but it allows to export diagnose info");
        return 0;
    }
    CHS_LOG(1, LOGID_EXPORT, "The task of exporting file is running.");
    return 1;
}

uint32_t checkExportStatus() {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    uint32_t ret = CCDB_COMM::GetRemoteTaskFromDB(g_collectorCcdbId, REMOTE_TASK_LOG_EXPORT, row);
    if (ret == static_cast<uint32_t>(CCDB_RESULT_NO_ROW)) {
        CHS_LOG(1, LOGID_EXPORT, "There is no task in exporting");
        return 0;
    }
    if (ret != 0) {
        return 1;
    }
    int64_t now = Now();
    if (now - static_cast<int64_t>(row.createTime) > LOG_EXPORT_TASK_TIMEOUT_SEC) {
        CHS_LOG(1, LOGID_EXPORT, "The old task is timeout, start a new task!");
        return 0;
    }
    if (row.i_taskendtime == 0) {
        return 1;
    }
    if (now - static_cast<int64_t>(row.i_taskendtime) < LOG_EXPORT_TASK_INTERVAL_SEC) {
        CHS_LOG(2, LOGID_EXPORT, "The two task interval is less than (%d) second, can't export !",
                static_cast<int>(LOG_EXPORT_TASK_INTERVAL_SEC));
        return 1;
    }
    return 0;
}

uint32_t checkMemEnough(uint32_t mode) {
    if (mode >= sizeof(kSpaceTable) / sizeof(kSpaceTable[0])) {
        CHS_LOG(2, LOGID_EXPORT, "Unknown mode(%d)!", static_cast<int>(mode));
        return EXPORT_NOT_ALLOWED;
    }
    const SpaceNeed& need = kSpaceTable[mode];
    if (CHS_CheckDiskCofferMem(EXPORT_COFFER_MOUNT_PATH, need.diskMB) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Coffer data space is not enough, need(%d)!", static_cast<int>(need.diskMB));
        return EXPORT_ERR_COFFER_SPACE;
    }
    if (CHS_CheckSysAvailMem(need.memMB) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "System free memory is not enough, need(%d)!", static_cast<int>(need.memMB));
        return EXPORT_ERR_FREE_MEM;
    }
    return 0;
}

uint32_t checkExportFileAllowed(uint32_t type) {
    type = NormalizeExportType(type);
    if (checkExportModule(type) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Type(%d) is not supported.", static_cast<int>(type));
        return EXPORT_TYPE_NOT_SUPPORTED;
    }
    uint32_t running = 0;
    if (type == EXPORT_TYPE_DIAGNOSE_ALARM || type == EXPORT_TYPE_DIAGNOSE_CIRCLE) {
        if (SwitchIsOff()) {
            std::lock_guard<std::mutex> lock(g_switchOffLine.mutex);
            chsLogPrintLimit(g_switchOffLine.windowStart, g_switchOffLine.count, kLimitWindowSec, 1, 2,
                             LOGID_EXPORT, __FUNCTION__, __LINE__, "Switch is off, can not export file.");
            return EXPORT_SWITCH_OFF;
        }
        running = CheckExportFileStatus();
        // Without the CCDB no task row can guard an upload; only a download
        // (type 5) may go on blind. This comes before the interval check,
        // which cannot read the last upload either and would give 1015.
        if (running == 0 && g_updateCCDBType == UPDATE_CCDB_ABNORMAL) {
            CHS_LOG(2, LOGID_EXPORT, "Task is exporting , try again later!");
            return EXPORT_TASK_RUNNING;
        }
        if (checkExpfileSendAllowed(type) != 0) {
            return EXPORT_INTERVAL_NOT_ELAPSED;
        }
    } else {
        running = CheckExportFileStatus();
    }
    if (running != 0) {
        CHS_LOG(2, LOGID_EXPORT, "Task is exporting , try again later!");
        return EXPORT_TASK_RUNNING;
    }
    // Whatever an earlier export left would count against the space check.
    ClearDiagnseData();
    uint32_t ret = checkMemEnough(type);
    if (ret != 0) {
        CHS_LOG(2, LOGID_EXPORT, "Export space is not enough, try again later!");
    }
    return ret;
}

uint32_t checkExportAllowed(uint32_t mode) {
    if (SwitchIsOff()) {
        CHS_LOG(2, LOGID_EXPORT, "Switch is off, can not export");
        return EXPORT_SWITCH_OFF;
    }
    if (checkExportStatus() != 0) {
        CHS_LOG(2, LOGID_EXPORT, "Log file is exporting , try again later!");
        return EXPORT_TASK_RUNNING;
    }
    if (checkMemEnough(mode) != 0) {
        return EXPORT_SPACE_NOT_ENOUGH;
    }
    if (omlib::isUpgradeMode()) {
        CHS_LOG(2, LOGID_EXPORT, "It's not allowed to export log when upgrading!");
        return EXPORT_UPGRADING;
    }
    return 0;
}

uint32_t transExpFileRetValue(uint32_t verdict, uint32_t /*type*/) {
    switch (verdict) {
        case EXPORT_SUCCESS:
            return 0;
        case EXPORT_UPGRADING:
            return EXPORT_ERR_UPGRADING;
        case EXPORT_SWITCH_OFF:
            return EXPORT_SWITCH_OFF;
        case EXPORT_SPACE_NOT_ENOUGH:
            return EXPORT_ERR_COFFER_SPACE;
        case EXPORT_TASK_RUNNING:
            return EXPORT_ERR_TASK_RUNNING;
        case EXPORT_TYPE_NOT_SUPPORTED:
            return EXPORT_ERR_PARAM;
        case EXPORT_ERR_FREE_MEM:
        case EXPORT_ERR_COFFER_SPACE:
            return verdict;
        default:
            return EXPORT_ERR_GENERAL;
    }
}

uint32_t exportFilePreHandle(uint32_t type) {
    type = NormalizeExportType(type);
    uint32_t ret = checkExportFileAllowed(type);
    if (ret != 0) {
        std::lock_guard<std::mutex> lock(g_notAllowedLine.mutex);
        chsLogPrintLimit(g_notAllowedLine.windowStart, g_notAllowedLine.count, kLimitWindowSec, 1, 2,
                         LOGID_EXPORT, __FUNCTION__, __LINE__, "It does not allow to export file.");
        return ret;
    }
    ClearExportStrategy();
    getExportFileStrategy(type);
    ret = FreshExportBitMapStatus();
    if (ret != 0) {
        ClearExportStrategy();
        CHS_LOG(3, LOGID_EXPORT, "Fresh export status failed(ret %d).", static_cast<int>(ret));
    }
    return ret;
}
