#include "control/ccdb_comm.h"

#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "infra/chs_log.h"
#include "infra/timer_drv.h"

DPAX_SEM_ENHANCE_S g_stCcdbStatusSem;

namespace CCDB_COMM {

uint32_t g_uiCcdbUpgradePollMs = 5000;

namespace {

// Copies `text` (up to its first NUL, as "%s" would) into `dest` of `cap`
// bytes. False, with `dest` unchanged, when it does not fit.
bool FormatText(char* dest, size_t cap, const std::string& text) {
    size_t length = strnlen(text.c_str(), text.size());
    if (length >= cap) {
        return false;
    }
    memcpy(dest, text.c_str(), length);
    dest[length] = '\0';
    return true;
}

std::string EntryValue(const CcdbKeyValueEntry& entry) {
    return std::string(entry.acValue, strnlen(entry.acValue, sizeof(entry.acValue)));
}

// The texts of one switch key.
struct SwitchTexts {
    const char* key;
    const char* readOk;
    const char* readFailed;
    const char* writeOk;
    const char* writeFailed;
    uint32_t formatError;
};

const SwitchTexts kCollectorSwitch = {
    KEY_COLLECT_SWITCH,
    "Succeeded in quering collector switch config from CCDB,ret:(%d).",
    "Failed to query infoCollector switch config from CCDB,ret:(%d).",
    "Succeeded in setting infoCollector switch config from CCDB,ret:(%d).",
    "Failed to setting infoCollector switch config from CCDB,ret:(%d).",
    CCDB_ERR_OPERATE,
};

const SwitchTexts kOemSwitch = {
    KEY_COLLECT_OEM_SWITCH,
    "Succeeded in quering oem switch config from CCDB,ret:(%d).",
    "Failed to query oem switch config from CCDB,ret:(%d).",
    "Succeeded in setting oem switch config from CCDB,ret:(%d).",
    "Failed to setting oem switch config from CCDB,ret:(%d).",
    CCDB_ERR_FORMAT,
};

// The formats are chosen from the constant table above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

uint32_t GetSwitch(int32_t handle, const SwitchTexts& texts, std::string& value) {
    CcdbKeyValueEntry entry{};
    if (!FormatText(entry.acKey, sizeof(entry.acKey), texts.key)) {
        CHS_LOG(3, LOGID_CONTROL, "sprintf_s faild.");
        return CCDB_ERR_OPERATE;
    }
    int ret = OM_CCDB_GetKeyValue(handle, CHS_GLOBAL_CFG_TABLE, &entry);
    if (ret == 0) {
        CHS_LOG(0, LOGID_CONTROL, texts.readOk, ret);
        value = EntryValue(entry);
        return CCDB_OK;
    }
    CHS_LOG(3, LOGID_CONTROL, texts.readFailed, ret);
    if (ret == CCDB_CLIENT_NO_VALUE) {
        // A node reading while the database is being upgraded sees the
        // collector switched off rather than an error.
        int32_t state = 0;
        if (GetCcdbStatus(state) == 0 && state == CCDB_STATE_UPGRADING) {
            value = SWITCH_OFF;
            return CCDB_OK;
        }
    }
    return CCDB_ERR_OPERATE;
}

uint32_t SetSwitch(int32_t handle, const SwitchTexts& texts, const std::string& value) {
    CcdbKeyValueEntry entry{};
    if (!FormatText(entry.acKey, sizeof(entry.acKey), texts.key) ||
        !FormatText(entry.acValue, sizeof(entry.acValue), value)) {
        CHS_LOG(3, LOGID_CONTROL, "sprintf_s faild.");
        return texts.formatError;
    }
    int ret = OM_CCDB_SetKeyValue(handle, CHS_GLOBAL_CFG_TABLE, &entry);
    if (ret == 0) {
        CHS_LOG(1, LOGID_CONTROL, texts.writeOk, ret);
        return CCDB_OK;
    }
    if (ret == CCDB_CLIENT_TIMEOUT) {
        CHS_LOG(3, LOGID_CONTROL, "CCDB processing timed out,ret:(%d).", ret);
        return CCDB_ERR_TIMEOUT;
    }
    CHS_LOG(3, LOGID_CONTROL, texts.writeFailed, ret);
    return CCDB_ERR_OPERATE;
}

#pragma GCC diagnostic pop

// Inserts `key` with `value` unless the key exists: the client's result.
int InsertDefault(int32_t handle, const char* key, const char* value, bool& formatted) {
    CcdbKeyValueEntry entry{};
    formatted = FormatText(entry.acKey, sizeof(entry.acKey), key) &&
                FormatText(entry.acValue, sizeof(entry.acValue), value);
    return formatted ? OM_CCDB_InsertKeyValue(handle, CHS_GLOBAL_CFG_TABLE, &entry) : -1;
}

}  // namespace

uint32_t CollectorSwitchInit(int32_t handle) {
    bool formatted = false;
    int ret = InsertDefault(handle, KEY_COLLECT_SWITCH, SWITCH_OFF, formatted);
    if (ret == 0) {
        CHS_LOG(1, LOGID_CONTROL, "Succeed in setting collector switch.");
        return CCDB_OK;
    }
    if (ret == CCDB_CLIENT_OBJ_EXIST) {
        CHS_LOG(1, LOGID_CONTROL, "Collector switch has inited before!");
        return CCDB_OK;
    }
    CHS_LOG(3, LOGID_CONTROL, "Failed to init collector switch, ret %d.", ret);
    return CCDB_ERR_OPERATE;
}

uint32_t CollectorOemSwitchInit(int32_t handle) {
    bool formatted = false;
    int ret = InsertDefault(handle, KEY_COLLECT_OEM_SWITCH, SWITCH_OFF, formatted);
    if (!formatted) {
        CHS_LOG(3, LOGID_CONTROL, "sprintf_s faild.");
        return CCDB_ERR_FORMAT;
    }
    if (ret == 0) {
        CHS_LOG(1, LOGID_CONTROL, "Succeed in setting oem collector switch.");
        return CCDB_OK;
    }
    if (ret == CCDB_CLIENT_OBJ_EXIST) {
        CHS_LOG(1, LOGID_CONTROL, "Collector oem switch has inited before!");
        return CCDB_OK;
    }
    CHS_LOG(3, LOGID_CONTROL, "Failed to init oem collector switch, ret %d.", ret);
    return CCDB_ERR_OPERATE;
}

uint32_t SyslogUseCcdbInit(int32_t handle) {
    bool formatted = false;
    int ret = InsertDefault(handle, KEY_SYSLOG_USER, "", formatted);
    if (ret == CCDB_CLIENT_OBJ_EXIST) {
        CHS_LOG(1, LOGID_CONTROL, "Syslog user table has inited before!");
    } else if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to init syslog user  CCDB, ret %d.", ret);
        return CCDB_ERR_OPERATE;
    }
    CHS_LOG(1, LOGID_CONTROL, "Success to init syslog user CCDB.");
    return CCDB_OK;
}

uint32_t SetCollectorSwitch2DB(int32_t handle, const std::string& value) {
    return SetSwitch(handle, kCollectorSwitch, value);
}

uint32_t GetCollectorSwitchFromDB(int32_t handle, std::string& value) {
    return GetSwitch(handle, kCollectorSwitch, value);
}

uint32_t SetOemSwitch2DB(int32_t handle, const std::string& value) {
    return SetSwitch(handle, kOemSwitch, value);
}

uint32_t GetOemSwitchFromDB(int32_t handle, std::string& value) {
    return GetSwitch(handle, kOemSwitch, value);
}

uint32_t SetSyslogUser2DB(int32_t handle, const std::string& value) {
    CcdbKeyValueEntry entry{};
    FormatText(entry.acKey, sizeof(entry.acKey), KEY_SYSLOG_USER);
    if (!FormatText(entry.acValue, sizeof(entry.acValue), value)) {
        CHS_LOG(3, LOGID_CONTROL, "sprintf_s failed, param(%s) err!", value.c_str());
        return CCDB_ERR_PARAM;
    }
    int ret = OM_CCDB_SetKeyValue(handle, CHS_GLOBAL_CFG_TABLE, &entry);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Write sysloger user to DB failed, error code(%d).", ret);
        return CCDB_ERR_OPERATE;
    }
    CHS_LOG(1, LOGID_CONTROL, "Success to save syslog user ccdb");
    return CCDB_OK;
}

uint32_t GetSyslogUserFromDB(int32_t handle, std::string& value) {
    CcdbKeyValueEntry entry{};
    FormatText(entry.acKey, sizeof(entry.acKey), KEY_SYSLOG_USER);
    int ret = OM_CCDB_GetKeyValue(handle, CHS_GLOBAL_CFG_TABLE, &entry);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to get site id, iRet %d", ret);
        return CCDB_ERR_OPERATE;
    }
    value = EntryValue(entry);
    return CCDB_OK;
}

uint32_t GetAgentAreaIdFromDB(int32_t handle, std::string& value) {
    value.clear();
    tagDB_CHS_RELAYD_CFG_S row{};
    int ret = OM_CCDB_QueryOneObj(handle, CHS_RELAYD_CFG_TABLE, "1", &row, sizeof(row));
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to query agent config db table, ret %d", ret);
        return CCDB_ERR_OPERATE;
    }
    value.assign(row.areaId, strnlen(row.areaId, sizeof(row.areaId)));
    return CCDB_OK;
}

namespace {

// One wait object per query, so that two threads asking at the same moment
// each get their own answer.
struct CcdbStatusContext {
    int32_t result = -1;
    int32_t state = 0;
    DPAX_SEM_ENHANCE_S sem;
};

}  // namespace

int32_t GetCcdbStatus(int32_t& state) {
    CcdbStatusContext context;
    dpax_sem_enhance_init(&context.sem, 0);
    int ret = queryCcdbStatus(CallbackCcdbStatus, &context, 0);
    if (ret != 0) {
        // The client will never call back: waiting would block for ever.
        context.result = ret;
    } else {
        dpax_sem_enhance_down(&context.sem, DPAX_SEM_WAIT_FOREVER);
    }
    state = context.state;
    CHS_LOG(0, LOGID_CONTROL, "Result(%d),Ccdb is in (%d) state.", context.result, context.state);
    return context.result;
}

void CallbackCcdbStatus(int32_t result, int32_t state, void* context) {
    if (context == nullptr) {
        dpax_sem_enhance_up(&g_stCcdbStatusSem);
        return;
    }
    auto* status = static_cast<CcdbStatusContext*>(context);
    status->result = result;
    status->state = state;
    // The waiter may return (and its context vanish) as soon as this posts.
    dpax_sem_enhance_up(&status->sem);
}

void WaitCcdbUpgrade() {
    for (uint32_t polls = 0; polls < MAX_WAIT_TIMES; ++polls) {
        TimerDrvClass::Sleep(g_uiCcdbUpgradePollMs);
        int32_t state = 0;
        if (GetCcdbStatus(state) != 0 || state != CCDB_STATE_UPGRADING) {
            return;
        }
    }
}

namespace {

void TaskKey(uint32_t taskId, char (&key)[CCDB_TASK_KEY_LEN]) { snprintf(key, sizeof(key), "%u", taskId); }

// The row's texts need not be NUL-terminated: print at most their field.
void LogInsertFailed(unsigned int level, int ret, const tagDB_CHS_REMOTE_TASK_S& row) {
    CHS_LOG(level, LOGID_CONTROL,
            "Insert one task to db failed, iRet:%d, taskid: %.*s, tasktype: %.*s, taskparam: %.*s.", ret,
            static_cast<int>(strnlen(row.taskIdText, sizeof(row.taskIdText))), row.taskIdText,
            static_cast<int>(strnlen(row.taskTypeText, sizeof(row.taskTypeText))), row.taskTypeText,
            static_cast<int>(strnlen(row.taskParam, sizeof(row.taskParam))), row.taskParam);
}

// Columns of the partial update by mask bit (bit 10 is not assigned).
struct TaskColumn {
    uint32_t uiBit;
    const char* pName;
    size_t offset;
    size_t size;
    bool bText;
};

constexpr TaskColumn kTaskColumns[] = {
    {0, "i_taskendtime", offsetof(tagDB_CHS_REMOTE_TASK_S, i_taskendtime), 8, false},
    {1, "i_taskstatus", offsetof(tagDB_CHS_REMOTE_TASK_S, i_taskstatus), 8, false},
    {2, "i_taskresult", offsetof(tagDB_CHS_REMOTE_TASK_S, i_taskresult), 8, false},
    {3, "i_taskrunnode", offsetof(tagDB_CHS_REMOTE_TASK_S, i_taskrunnode), 8, false},
    {4, "i_taskprogress", offsetof(tagDB_CHS_REMOTE_TASK_S, i_taskprogress), 8, false},
    {5, "i_tasksubitems", offsetof(tagDB_CHS_REMOTE_TASK_S, i_tasksubitems), 8, false},
    {6, "i_taskcachedata", offsetof(tagDB_CHS_REMOTE_TASK_S, i_taskcachedata), 8, false},
    {7, "i_taskreturn1", offsetof(tagDB_CHS_REMOTE_TASK_S, i_taskreturn1), 8, false},
    {8, "i_taskreturn2", offsetof(tagDB_CHS_REMOTE_TASK_S, i_taskreturn2), 8, false},
    {9, "i_taskreturn3", offsetof(tagDB_CHS_REMOTE_TASK_S, i_taskreturn3), 8, false},
    {11, "sv_taskreturn1", offsetof(tagDB_CHS_REMOTE_TASK_S, sv_taskreturn1), 64, true},
    {12, "sv_taskreturn2", offsetof(tagDB_CHS_REMOTE_TASK_S, sv_taskreturn2), 1024, true},
};

bool MaskHas(uint32_t mask, uint32_t bit) { return bit < 32 && ((mask >> bit) & 1U) != 0; }

}  // namespace

uint32_t InitRemoteTaskToDB(int32_t handle, uint32_t taskId) {
    tagDB_CHS_REMOTE_TASK_S row{};
    row.taskId = taskId;
    char key[CCDB_TASK_KEY_LEN];
    TaskKey(taskId, key);
    int ret = OM_CCDB_InsertOneObj(handle, CHS_REMOTE_TASK_TABLE, key, &row, sizeof(row));
    if (ret != 0) {
        CHS_LOG(0, LOGID_CONTROL, "Init remote task failed, iRet:%d, taskid: %u.", ret, taskId);
    }
    return static_cast<uint32_t>(ret);
}

uint32_t GetRemoteTaskFromDB(int32_t handle, uint32_t taskId, tagDB_CHS_REMOTE_TASK_S& row) {
    char key[CCDB_TASK_KEY_LEN];
    TaskKey(taskId, key);
    int ret = OM_CCDB_QueryOneObj(handle, CHS_REMOTE_TASK_TABLE, key, &row, sizeof(row));
    if (ret != 0) {
        CHS_LOG(0, LOGID_CONTROL, "Get task from db failed, iRet:%d, taskid: %u.", ret, taskId);
    }
    return static_cast<uint32_t>(ret);
}

uint32_t DeleteRemoteTask(int32_t handle, uint32_t taskId) {
    char key[CCDB_TASK_KEY_LEN];
    TaskKey(taskId, key);
    int ret = OM_CCDB_Delete(handle, CHS_REMOTE_TASK_TABLE, key);
    if (ret != 0) {
        CHS_LOG(2, LOGID_CONTROL, "Delete one task from db failed, iRet:%d, taskid: %u.", ret, taskId);
    }
    return static_cast<uint32_t>(ret);
}

uint32_t ResetRemoteTaskToDB(int32_t handle, const tagDB_CHS_REMOTE_TASK_S& row) {
    char key[CCDB_TASK_KEY_LEN];
    TaskKey(row.taskId, key);
    int ret = OM_CCDB_DelAndInsert(handle, CHS_REMOTE_TASK_TABLE, key, &row, sizeof(row));
    if (ret != 0) {
        LogInsertFailed(2, ret, row);
    }
    return static_cast<uint32_t>(ret);
}

uint32_t InsertRemoteTaskToDB(int32_t handle, const tagDB_CHS_REMOTE_TASK_S& row) {
    char key[CCDB_TASK_KEY_LEN];
    TaskKey(row.taskId, key);
    int ret = OM_CCDB_InsertOneObj(handle, CHS_REMOTE_TASK_TABLE, key, &row, sizeof(row));
    if (ret != 0) {
        LogInsertFailed(2, ret, row);
    }
    return static_cast<uint32_t>(ret);
}

uint32_t UpdateRemoteTaskStatusToDB(int32_t handle, const tagDB_CHS_REMOTE_TASK_S& row,
                                    uint32_t validFiledMask) {
    if (validFiledMask == 0) {
        return CCDB_OK;
    }
    tagCHS_REMOTE_TASK_UPDATE_S context{&row, validFiledMask};
    return static_cast<uint32_t>(OM_CCDB_Update(handle, CHS_REMOTE_TASK_TABLE, &context, RemoteTask2Trans));
}

int RemoteTask2Trans(const char* table, void* context, OM_DB_COL_WRITER_FN writer, void* trans) {
    const auto* update = static_cast<const tagCHS_REMOTE_TASK_UPDATE_S*>(context);
    if (update == nullptr || update->pstTask == nullptr) {
        return OM_CCDB_ERR_PARAM;
    }
    CHS_LOG(0, LOGID_CONTROL, "validFiledMask(%u).", update->validFiledMask);
    char key[CCDB_TASK_KEY_LEN];
    TaskKey(update->pstTask->taskId, key);
    const auto* base = reinterpret_cast<const char*>(update->pstTask);
    int ret = 0;
    for (const TaskColumn& column : kTaskColumns) {
        if (!MaskHas(update->validFiledMask, column.uiBit)) {
            continue;
        }
        OM_DB_VALUE_S scratch{};
        const char* field = base + column.offset;
        if (column.bText) {
            // A text filling its whole field has no terminator; the client
            // refuses it instead of storing it cut.
            auto length = static_cast<uint32_t>(strnlen(field, column.size));
            ret |= OM_DB_SetCol2TransSub(OM_CCDB_COL_TEXT, field, trans, table, column.pName, &scratch,
                                         length, writer, key);
            CHS_LOG(0, LOGID_CONTROL, "%s(%.*s) iRet(%d).", column.pName, static_cast<int>(length), field,
                    ret);
        } else {
            uint64_t value = 0;
            memcpy(&value, field, sizeof(value));
            ret |= OM_DB_SetCol2TransSub(OM_CCDB_COL_UINT64, field, trans, table, column.pName, &scratch, 0,
                                         writer, key);
            CHS_LOG(0, LOGID_CONTROL, "%s(%llu) iRet(%d).", column.pName,
                    static_cast<unsigned long long>(value), ret);
        }
    }
    return ret;
}

}  // namespace CCDB_COMM
