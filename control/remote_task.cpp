#include "control/remote_task.h"

#include <cstring>
#include <ctime>

#include "control/collector_ccdb.h"
#include "core/omlib.h"
#include "infra/chs_log.h"

namespace {

// Fills a whole row of `kind`; false when `id` does not fit its column.
bool FillRow(uint32_t kind, uint32_t type, const std::string& id, uint64_t begin, uint64_t end,
             CCDB_COMM::tagDB_CHS_REMOTE_TASK_S& row) {
    row = CCDB_COMM::tagDB_CHS_REMOTE_TASK_S{};
    size_t length = strnlen(id.c_str(), id.size());
    if (length >= sizeof(row.taskIdText)) {
        CHS_LOG(3, LOGID_CONTROL, "sprintf_s failed,param err!");
        return false;
    }
    row.taskId = kind;
    row.taskType = type;
    memcpy(row.taskIdText, id.c_str(), length);
    row.paramValue1 = begin;
    row.paramValue2 = end;
    row.createTime = static_cast<uint64_t>(time(nullptr));
    row.i_taskstatus = 1;
    row.i_taskrunnode = omlib::getLocalNidInUser();
    return true;
}

}  // namespace

uint32_t AddRemoteTask(uint32_t kind, uint32_t type, const std::string& id, uint64_t begin, uint64_t end) {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row;
    if (!FillRow(kind, type, id, begin, end, row)) {
        return CCDB_COMM::CCDB_ERR_PARAM;
    }
    return CCDB_COMM::ResetRemoteTaskToDB(g_collectorCcdbId, row);
}

uint32_t InsertRemoteTask(uint32_t kind, uint32_t type, const std::string& id, uint64_t begin, uint64_t end) {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row;
    if (!FillRow(kind, type, id, begin, end, row)) {
        return CCDB_COMM::CCDB_ERR_PARAM;
    }
    return CCDB_COMM::InsertRemoteTaskToDB(g_collectorCcdbId, row);
}

uint32_t GetRemoteTask(uint32_t kind, CCDB_COMM::tagDB_CHS_REMOTE_TASK_S& row) {
    return CCDB_COMM::GetRemoteTaskFromDB(g_collectorCcdbId, kind, row);
}

uint32_t DeleteRemoteTask(uint32_t kind) {
    uint32_t ret = CCDB_COMM::DeleteRemoteTask(g_collectorCcdbId, kind);
    return ret == static_cast<uint32_t>(CCDB_COMM::CCDB_CLIENT_NO_VALUE) ? 0 : ret;
}
