// CCDB_COMM: one function per configuration-database row operation. Each
// takes the CCDB handle first and returns 0, the CCDB client's own result
// (remote-task accessors) or one of the daemon codes below; each failure is
// logged. The key-value and row layouts here are what every node of the
// cluster reads and writes: never change them.
//
// Thread safety: every function may be called from any thread. The only
// shared state is g_stCcdbStatusSem and the poll interval; GetCcdbStatus waits
// on an object of its own per call, so concurrent status queries never take
// each other's wake-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/dpax_sem.h"
#include "platform/om_ccdb.h"

// Posted by CallbackCcdbStatus for a query without a context. Initialised by
// COLLECTOR_CCDB::Init, never destroyed.
extern DPAX_SEM_ENHANCE_S g_stCcdbStatusSem;

namespace CCDB_COMM {

constexpr uint32_t CCDB_OK = 0;
constexpr uint32_t CCDB_ERR_OPERATE = 0x4000C95A;  // failed, or value missing while not upgrading
constexpr uint32_t CCDB_ERR_TIMEOUT = 0x4000C959;  // client result 1 on a switch write
constexpr uint32_t CCDB_ERR_PARAM = 0x03000003;    // syslog user does not fit the entry
constexpr uint32_t CCDB_ERR_FORMAT = 0xFFFFFFFF;   // OEM key or value does not fit the entry

// Client results interpreted here.
constexpr int CCDB_CLIENT_TIMEOUT = 1;
constexpr int CCDB_CLIENT_OBJ_EXIST = 5;
constexpr int CCDB_CLIENT_NO_VALUE = 6;
constexpr int32_t CCDB_STATE_UPGRADING = 3;

constexpr uint32_t CCDB_DB_TYPE = 35;
constexpr const char* CCDB_DB_NAME = "pub_user_cfg_db";
constexpr const char* CCDB_DB_ARG = "--dbType=pub_user_cfg_db";

constexpr const char* CHS_GLOBAL_CFG_TABLE = "DB_CHS_GLOBAL_CFG_S";
constexpr const char* CHS_RELAYD_CFG_TABLE = "DB_CHS_RELAYD_CFG_S";
constexpr const char* CHS_REMOTE_TASK_TABLE = "DB_CHS_REMOTE_TASK_S";

constexpr const char* KEY_COLLECT_SWITCH = "InfoCollectSwitch";
constexpr const char* KEY_COLLECT_OEM_SWITCH = "InfoCollectOemSwitch";
constexpr const char* KEY_SYSLOG_USER = "SyslogUser";
constexpr const char* SWITCH_ON = "on";
constexpr const char* SWITCH_OFF = "off";

constexpr uint32_t MAX_WAIT_TIMES = 200;
// Pause before each status poll of WaitCcdbUpgrade (5000 ms); tests lower it.
extern uint32_t g_uiCcdbUpgradePollMs;

constexpr size_t CCDB_TASK_KEY_LEN = 32;  // "%u" keys, at most 31 characters

// The entry of every key-value call: zero-filled, key in bytes 0-63, value in 64-575.
using CcdbKeyValueEntry = OM_CCDB_KEY_VALUE_S;

// Agent (remote-service relay) configuration row; only areaId is read.
struct tagDB_CHS_RELAYD_CFG_S {
    uint32_t serviceid;
    char areaId[64];
    uint32_t proxySwitch;
    char proxyAddress[256];
    uint32_t proxyPort;
    uint32_t proxyAuthType;
    char proxyUserName[128];
    char proxyPassword[512];
    char zenloginAcount[256];
};
static_assert(sizeof(tagDB_CHS_RELAYD_CFG_S) == 1232, "agent row is 1232 bytes");
static_assert(offsetof(tagDB_CHS_RELAYD_CFG_S, zenloginAcount) == 976, "agent row layout");

// Remote-task row, keyed by the decimal text of taskId.
struct tagDB_CHS_REMOTE_TASK_S {
    uint32_t taskId;
    uint32_t taskType;
    char taskIdText[256];
    char taskTypeText[64];
    char taskParam[512];
    uint64_t paramValue1;
    uint64_t paramValue2;
    uint8_t aucReserved[16];
    uint64_t createTime;
    uint64_t i_taskendtime;     // update-mask bit 0
    uint64_t i_taskstatus;      // 1
    uint64_t i_taskresult;      // 2
    uint64_t i_taskrunnode;     // 3
    uint64_t i_taskprogress;    // 4
    uint64_t i_tasksubitems;    // 5
    uint64_t i_taskcachedata;   // 6
    uint64_t i_taskreturn1;     // 7
    uint64_t i_taskreturn2;     // 8
    uint64_t i_taskreturn3;     // 9
    char sv_taskreturn1[64];    // 11 (bit 10 is not assigned)
    char sv_taskreturn2[1024];  // 12
};
static_assert(sizeof(tagDB_CHS_REMOTE_TASK_S) == 2048, "remote-task row is 2048 bytes");
static_assert(offsetof(tagDB_CHS_REMOTE_TASK_S, createTime) == 872, "remote-task row layout");
static_assert(offsetof(tagDB_CHS_REMOTE_TASK_S, sv_taskreturn1) == 960, "remote-task row layout");

// The update context handed through OM_CCDB_Update to RemoteTask2Trans.
struct tagCHS_REMOTE_TASK_UPDATE_S {
    const tagDB_CHS_REMOTE_TASK_S* pstTask;
    uint32_t validFiledMask;
};

// First-time defaults; an existing key keeps its value.
uint32_t CollectorSwitchInit(int32_t handle);
uint32_t CollectorOemSwitchInit(int32_t handle);
uint32_t SyslogUseCcdbInit(int32_t handle);

// Reads leave `value` untouched on failure; during a CCDB upgrade a missing
// switch reads as "off".
uint32_t SetCollectorSwitch2DB(int32_t handle, const std::string& value);
uint32_t GetCollectorSwitchFromDB(int32_t handle, std::string& value);
uint32_t SetOemSwitch2DB(int32_t handle, const std::string& value);
uint32_t GetOemSwitchFromDB(int32_t handle, std::string& value);
uint32_t SetSyslogUser2DB(int32_t handle, const std::string& value);
uint32_t GetSyslogUserFromDB(int32_t handle, std::string& value);
// `value` is cleared first and stays empty on failure.
uint32_t GetAgentAreaIdFromDB(int32_t handle, std::string& value);

uint32_t InitRemoteTaskToDB(int32_t handle, uint32_t taskId);
uint32_t GetRemoteTaskFromDB(int32_t handle, uint32_t taskId, tagDB_CHS_REMOTE_TASK_S& row);
uint32_t DeleteRemoteTask(int32_t handle, uint32_t taskId);
uint32_t ResetRemoteTaskToDB(int32_t handle, const tagDB_CHS_REMOTE_TASK_S& row);
uint32_t InsertRemoteTaskToDB(int32_t handle, const tagDB_CHS_REMOTE_TASK_S& row);
// Writes only the columns whose bit is set in `validFiledMask`; 0 does nothing.
uint32_t UpdateRemoteTaskStatusToDB(int32_t handle, const tagDB_CHS_REMOTE_TASK_S& row,
                                    uint32_t validFiledMask);

// Blocks until the CCDB reports its state; the query's result (0 = `state` valid).
int32_t GetCcdbStatus(int32_t& state);
void CallbackCcdbStatus(int32_t result, int32_t state, void* context);
// Waits, at most MAX_WAIT_TIMES polls, while the CCDB reports an upgrade.
void WaitCcdbUpgrade();
// The column filler of UpdateRemoteTaskStatusToDB; `context` is a
// tagCHS_REMOTE_TASK_UPDATE_S. The OR of the column results.
int RemoteTask2Trans(const char* table, void* context, OM_DB_COL_WRITER_FN writer, void* trans);

}  // namespace CCDB_COMM
