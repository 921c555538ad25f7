#include "control/collector_ccdb.h"

#include <ctime>

#include "core/omlib.h"
#include "infra/chs_log.h"

int32_t g_collectorCcdbId = 0;

namespace COLLECTOR_CCDB {
namespace {

using namespace CCDB_COMM;

// The agent table as registered with the database; the platform checks it
// against the layout every node uses.
const OM_CCDB_FIELD_DESC_S g_astRelaydFields[] = {
    {OM_CCDB_FIELD_TAG, "serviceid", 0, 4, 1, OM_CCDB_COL_UINT32, {}},
    {OM_CCDB_FIELD_TAG, "areaId", 4, 64, 1, OM_CCDB_COL_TEXT, {}},
    {OM_CCDB_FIELD_TAG, "proxySwitch", 68, 4, 1, OM_CCDB_COL_UINT32, {}},
    {OM_CCDB_FIELD_TAG, "proxyAddress", 72, 256, 1, OM_CCDB_COL_TEXT, {}},
    {OM_CCDB_FIELD_TAG, "proxyPort", 328, 4, 1, OM_CCDB_COL_UINT32, {}},
    {OM_CCDB_FIELD_TAG, "proxyAuthType", 332, 4, 1, OM_CCDB_COL_UINT32, {}},
    {OM_CCDB_FIELD_TAG, "proxyUserName", 336, 128, 1, OM_CCDB_COL_TEXT, {}},
    {OM_CCDB_FIELD_TAG, "proxyPassword", 464, 512, 1, OM_CCDB_COL_TEXT, {}},
    {OM_CCDB_FIELD_TAG, "zenloginAcount", 976, 256, 1, OM_CCDB_COL_TEXT, {}},
};

const OM_CCDB_TABLE_DESC_S g_stRelaydTable = {
    OM_CCDB_TABLE_TAG,
    "DB_CHS_RELAYD_CFG_S",
    sizeof(tagDB_CHS_RELAYD_CFG_S),
    "serviceid",
    sizeof(g_astRelaydFields) / sizeof(g_astRelaydFields[0]),
    g_astRelaydFields,
    3,
};

constexpr uint32_t kRemoteTaskTypeInit = 8;
constexpr uint64_t kRemoteTaskInitAgeSec = 180;

}  // namespace

uint32_t Init() {
    dpax_sem_enhance_init(&g_stCcdbStatusSem, 0);
    char* argv[] = {const_cast<char*>(CCDB_DB_ARG), nullptr};
    int ret = OM_CCDB_Init(CCDB_DB_TYPE, CCDB_DB_NAME, argv, &g_collectorCcdbId);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to init CCDB,ret %d", ret);
        return static_cast<uint32_t>(ret);
    }
    ret = OMM_CCDB_UpgradeCcdbTable(g_collectorCcdbId, &g_stRelaydTable, 1, 1, 8);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to upgrade CCDB,ret %d", ret);
        return static_cast<uint32_t>(ret);
    }
    uint32_t result = CollectorSwitchInit(g_collectorCcdbId);
    if (result != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to init collector switch ccdb, ret %d", static_cast<int>(result));
        return result;
    }
    result = CollectorOemSwitchInit(g_collectorCcdbId);
    if (result != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to init oem collector switch ccdb, ret %d",
                static_cast<int>(result));
        return result;
    }
    result = SyslogUseCcdbInit(g_collectorCcdbId);
    if (result != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to init syslog user ccdb,ret %d", static_cast<int>(result));
        return result;
    }
    // Row 1 usually exists already (a restart, another node was first).
    (void)RemoteTaskInit(g_collectorCcdbId);
    CHS_LOG(1, LOGID_CONTROL, "Success to init collector ccdb.");
    return 0;
}

uint32_t RemoteTaskInit(int32_t handle) {
    tagDB_CHS_REMOTE_TASK_S row{};
    row.taskId = 1;
    row.taskType = kRemoteTaskTypeInit;
    row.taskIdText[0] = '0';
    // Old enough that recovery after a restart does not take it for a task
    // that was still running.
    uint64_t past = static_cast<uint64_t>(time(nullptr)) - kRemoteTaskInitAgeSec;
    row.createTime = past;
    row.i_taskendtime = past;
    row.i_taskstatus = 0;
    row.i_taskrunnode = omlib::getLocalNidInUser() & 0xFFFFu;
    int ret = OM_CCDB_InsertOneObj(handle, CHS_REMOTE_TASK_TABLE, "1", &row, sizeof(row));
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL,
                "Insert one task to db failed, iRet:%d, taskid: %s, tasktype: %s, taskparam: %s.", ret,
                row.taskIdText, row.taskTypeText, row.taskParam);
    }
    return static_cast<uint32_t>(ret);
}

uint32_t GetCollectorSwitch(std::string& value) { return GetCollectorSwitchFromDB(g_collectorCcdbId, value); }

uint32_t SetCollectorSwitch(const std::string& value) {
    return SetCollectorSwitch2DB(g_collectorCcdbId, value);
}

uint32_t GetOemSwitch(std::string& value) { return GetOemSwitchFromDB(g_collectorCcdbId, value); }

uint32_t SetOemSwitch(const std::string& value) { return SetOemSwitch2DB(g_collectorCcdbId, value); }

uint32_t SetSyslogUser(const std::string& value) { return SetSyslogUser2DB(g_collectorCcdbId, value); }

uint32_t GetAgentAreaId(std::string& value) { return GetAgentAreaIdFromDB(g_collectorCcdbId, value); }

bool IsCollectorOemMode() {
    if (!omlib::IsOemMode()) {
        return false;
    }
    std::string value;
    (void)GetOemSwitch(value);
    return value == SWITCH_OFF;
}

}  // namespace COLLECTOR_CCDB
