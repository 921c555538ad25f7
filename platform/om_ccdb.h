// The cluster configuration database (CCDB) client: key-value tables and
// object tables of fixed-size rows, shared by every node of the cluster.
//
// Storage is the SQLite file <cluster>/ccdb.sqlite (platform/ccdb_store.h), or
// etcd when cluster.json names it (platform/ccdb_etcd.h); either way a row
// written by one node is the row every other node reads, and concurrent
// writers in different processes never lose each other's writes. With etcd,
// a store that refuses, fails or does not answer within the busy time-out
// makes the call return OM_CCDB_ERR_UNREACHABLE; the next call tries again.
//
// Tables are known to the platform: the key-value table "DB_CHS_GLOBAL_CFG_S"
// and the object tables "DB_CHS_RELAYD_CFG_S" (1232-byte rows) and
// "DB_CHS_REMOTE_TASK_S" (2048-byte rows) are built in; more object tables may
// be registered with OMM_CCDB_UpgradeCcdbTable. Row sizes are checked on every
// call.
//
// State overrides (platform/platform_state.h): "ccdb_unreachable" set makes
// every call fail with OM_CCDB_ERR_UNREACHABLE; "ccdb_status" is the state
// queryCcdbStatus reports (default OM_CCDB_STATE_NORMAL).
//
// Every function may be called from any thread once the process is attached
// to a cluster. Pointers passed in are only used during the call; nothing is
// retained. Handles stay valid for the life of the process.
#pragma once

#include <cstdint>

// Results.
constexpr int OM_CCDB_OK = 0;
constexpr int OM_CCDB_TIMEOUT = 1;          // the database stayed busy (or contended) past the time-out
constexpr int OM_CCDB_ERR_PARAM = 2;        // null pointer, bad size, name or text
constexpr int OM_CCDB_ERR_NO_TABLE = 3;     // table unknown, or of the other kind
constexpr int OM_CCDB_ERR_UNREACHABLE = 4;  // no cluster attached, the override is set, etcd down
constexpr int OM_CCDB_OBJ_EXIST = 5;        // insert of a key that exists
constexpr int OM_CCDB_NO_VALUE = 6;         // key or row not found
constexpr int OM_CCDB_ERR_DB = 7;           // the storage failed (damaged file, I/O error)
constexpr int OM_CCDB_ERR_HANDLE = 8;       // handle not returned by OM_CCDB_Init
constexpr int OM_CCDB_ERR_SCHEMA = 9;       // descriptor or column does not match the table

// States reported by queryCcdbStatus.
constexpr int32_t OM_CCDB_STATE_NORMAL = 2;
constexpr int32_t OM_CCDB_STATE_UPGRADING = 3;

// Column type codes of descriptors and partial updates.
constexpr uint32_t OM_CCDB_COL_UINT32 = 6;
constexpr uint32_t OM_CCDB_COL_UINT64 = 7;
constexpr uint32_t OM_CCDB_COL_TEXT = 8;

constexpr uint32_t OM_CCDB_TABLE_TAG = 0x007C7CA8;
constexpr uint32_t OM_CCDB_FIELD_TAG = 0x0089C98A;

constexpr uint32_t OM_CCDB_NAME_LEN = 128;     // table and column names, NUL included
constexpr uint32_t OM_CCDB_DBNAME_LEN = 64;    // database names, NUL included
constexpr uint32_t OM_CCDB_OBJ_KEY_LEN = 128;  // object keys, NUL included
constexpr uint32_t OM_CCDB_KV_KEY_LEN = 64;
constexpr uint32_t OM_CCDB_KV_VALUE_LEN = 512;
constexpr uint32_t OM_CCDB_MAX_ROW_SIZE = 65536;
constexpr uint32_t OM_CCDB_MAX_FIELDS = 256;
constexpr uint32_t OM_CCDB_MAX_ARGS = 64;  // entries of the argument vector before its null

// One key-value entry: both texts NUL-terminated within their field.
struct OM_CCDB_KEY_VALUE_S {
    char acKey[OM_CCDB_KV_KEY_LEN];
    char acValue[OM_CCDB_KV_VALUE_LEN];
};
static_assert(sizeof(OM_CCDB_KEY_VALUE_S) == 576, "key-value entry is 576 bytes");

struct OM_CCDB_FIELD_DESC_S {
    uint32_t uiTag;  // OM_CCDB_FIELD_TAG
    char acName[OM_CCDB_NAME_LEN];
    uint32_t uiOffset;
    uint32_t uiSize;
    uint32_t uiFlags;  // 1
    uint32_t uiType;   // OM_CCDB_COL_*
    uint8_t aucReserved[20];
};
static_assert(sizeof(OM_CCDB_FIELD_DESC_S) == 168, "field descriptor is 168 bytes");

struct OM_CCDB_TABLE_DESC_S {
    uint32_t uiTag;  // OM_CCDB_TABLE_TAG
    char acName[OM_CCDB_NAME_LEN];
    uint32_t uiRowSize;
    char acKeyName[OM_CCDB_NAME_LEN];
    uint64_t ulFieldNum;
    const OM_CCDB_FIELD_DESC_S* pstFields;
    uint64_t ulStorageKind;  // 3: replicated object table
};
static_assert(sizeof(OM_CCDB_TABLE_DESC_S) == 288, "table descriptor is 288 bytes");

// Opens database `dbName` of type `dbType`; `argv` is a null-terminated
// vector whose "--dbType=<name>" entry, when present, must name `dbName`.
// Opening the same database again returns the same handle.
int OM_CCDB_Init(uint32_t dbType, const char* dbName, char* const* argv, int32_t* handle);

// Creates the object table `table` with its descriptor, or checks it against
// the layout already known; a registered table whose row size grows or shrinks
// has its rows zero-extended or cut. `fromVersion` <= `toVersion`; `keyType`
// must be OM_CCDB_COL_TEXT (keys are texts).
int OMM_CCDB_UpgradeCcdbTable(int32_t handle, const OM_CCDB_TABLE_DESC_S* table, uint32_t fromVersion,
                              uint32_t toVersion, uint32_t keyType);

// Key-value tables. Get copies the value into `entry->acValue` (zero-padded).
int OM_CCDB_GetKeyValue(int32_t handle, const char* table, OM_CCDB_KEY_VALUE_S* entry);
int OM_CCDB_SetKeyValue(int32_t handle, const char* table, const OM_CCDB_KEY_VALUE_S* entry);
int OM_CCDB_InsertKeyValue(int32_t handle, const char* table, const OM_CCDB_KEY_VALUE_S* entry);
int OM_CCDB_DelKeyValue(int32_t handle, const char* table, const char* key);

// Object tables; `size` must be the table's row size.
int OM_CCDB_InsertOneObj(int32_t handle, const char* table, const char* key, const void* row, uint32_t size);
int OM_CCDB_QueryOneObj(int32_t handle, const char* table, const char* key, void* row, uint32_t size);
int OM_CCDB_DelAndInsert(int32_t handle, const char* table, const char* key, const void* row, uint32_t size);
int OM_CCDB_Delete(int32_t handle, const char* table, const char* key);
int OM_CCDB_CountObj(int32_t handle, const char* table, uint32_t* count);

// Partial update. OM_CCDB_Update calls `fill` once, on the caller's thread,
// with a transaction handle and the platform's column writer; `fill` queues
// columns with OM_DB_SetCol2TransSub. When `fill` returns 0 the queued
// columns are written into the stored rows in one transaction (every other
// byte of a row stays as it was); otherwise nothing is written and its result
// is returned. A queued row that does not exist fails the update with
// OM_CCDB_NO_VALUE. The transaction handle is valid only during `fill`.
struct OM_DB_VALUE_S {
    uint32_t uiType;
    uint32_t uiLen;
    const void* pValue;
    char acColumn[OM_CCDB_NAME_LEN];
};
typedef int (*OM_DB_COL_WRITER_FN)(void* trans, const char* table, const char* key,
                                   const OM_DB_VALUE_S* value);
typedef int (*OM_CCDB_TRANS_FN)(const char* table, void* context, OM_DB_COL_WRITER_FN writer, void* trans);
int OM_CCDB_Update(int32_t handle, const char* table, void* context, OM_CCDB_TRANS_FN fill);

// Queues column `column` of row `key` with a new value: `type`
// OM_CCDB_COL_UINT64 (`value` points at 8 bytes, `textLen` 0) or
// OM_CCDB_COL_TEXT (`textLen` bytes of text, shorter than the column, which
// is zero-filled past the text). `scratch` receives the value description
// handed to `writer`. The column's type must match the table's layout.
int OM_DB_SetCol2TransSub(uint32_t type, const void* value, void* trans, const char* table,
                          const char* column, OM_DB_VALUE_S* scratch, uint32_t textLen,
                          OM_DB_COL_WRITER_FN writer, const char* key);

// Reports the database state: `callback` runs exactly once, on a platform
// thread, with (result, state, context) when 0 is returned, and never when
// anything else is returned. `flags` must be 0.
typedef void (*OM_CCDB_STATUS_FN)(int32_t result, int32_t state, void* context);
int queryCcdbStatus(OM_CCDB_STATUS_FN callback, void* context, uint32_t flags);

namespace platform {

// Busy time-out of the database connections, and the longest one etcd
// request may take (default 5000 ms); tests lower it.
void SetCcdbBusyTimeoutMs(unsigned int milliseconds);
// Closes this process's connection; the next call opens it again. For tests.
void CcdbCloseAll();

}  // namespace platform
