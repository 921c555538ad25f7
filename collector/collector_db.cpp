#include "collector/collector_db.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/collector_dir.h"
#include "core/omlib.h"
#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "infra/file_util.h"
#include "infra/string_util.h"
#include "platform/platform_profile.h"

namespace {

// Every statement of the record database. Stored files and other tools read
// these tables, so texts and spacing stay as they are. '%s' is always a name
// made safe by SqlText.
const char* const kSqlInsertPluginRecord =
    "insert into tbl_plugin_record(file_name, is_collect, file_time, file_size, file_type) values ('%s', 0,  "
    "datetime('now', 'localtime'), %u, %d )";
const char* const kSqlInsertNodeRecord =
    "insert into tbl_node_record(file_name, is_collect, file_time, file_size) values ('%s', %d , "
    "datetime('now', 'localtime'), %u )";
const char* const kSqlUpdateNodeRecord = "update tbl_node_record set file_size=%d where id=%d";
const char* const kSqlDeletePluginRecordById = "delete from tbl_plugin_record where id=%d";
const char* const kSqlDeleteNodeRecordById = "delete from tbl_node_record where id=%d";
const char* const kSqlDeletePluginRecordByName = "delete from tbl_plugin_record where file_name='%s'";
const char* const kSqlDeleteNodeRecordByName = "delete from tbl_node_record where file_name='%s'";
const char* const kSqlQueryPluginRecordCount = "select count(1) from tbl_plugin_record where file_name='%s'";
const char* const kSqlDeleteAllPluginRecord = "delete from tbl_plugin_record";
const char* const kSqlDeleteAllNodeRecord = "delete from tbl_node_record";
const char* const kSqlClearLogRecord = "delete from tbl_log_record";
const char* const kSqlDeleteAllAlarmRecord = "delete from tbl_alarm_record";
const char* const kSqlInsertLogRecord = "insert into tbl_log_record(node_id, file_name) values (%d, '%s')";
const char* const kSqlUpdateLogRecord =
    "update tbl_log_record set is_collect=1  where node_id=%d and file_name='%s'";
const char* const kSqlDeleteLogRecord = "delete from tbl_log_record where node_id=%d and file_name='%s'";
const char* const kSqlIntegrityCheck = "pragma integrity_check";

const char* const kCmdChownTree = "chown -h -R ";

constexpr int32_t kRecordErr = -1;

std::string Sql(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Sql(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

// The name as the body of a single-quoted SQL literal. Names reach us from
// plugins and from request texts: a quote inside one would end the literal
// early and let the rest run as SQL, so every quote is doubled (ordinary names
// come out unchanged). False for a name with a NUL, which the statement text
// would cut short, so that it would name another file.
bool SqlText(const std::string& name, std::string& literal) {
    if (name.find('\0') != std::string::npos) {
        return false;
    }
    literal.clear();
    literal.reserve(name.size());
    for (char c : name) {
        literal += c;
        if (c == '\'') {
            literal += '\'';
        }
    }
    return true;
}

// SQLite results that come from the file rather than the statement.
constexpr int kDbCorrupt = 11;
constexpr int kDbCantOpen = 14;
constexpr int kDbNotADb = 26;

bool IsStorageFault(int rc) { return rc == kDbCorrupt || rc == kDbCantOpen || rc == kDbNotADb; }

std::mutex g_recoverMutex;
thread_local bool t_recovering = false;

// The database was removed or damaged while the daemon ran: the storage is
// recovered as at start-up (directories, file, tables), and said so, instead
// of going on with an empty file. True when the statement may be tried again.
bool RecoverStorage(int rc) {
    if (t_recovering) {
        return false;  // a statement of the recovery itself
    }
    std::lock_guard<std::mutex> lock(g_recoverMutex);
    t_recovering = true;
    CHS_LOG(3, LOGID_COLLECTOR, "The record database is missing or damaged(%d), recover it.", rc);
    (void)RecoverCollectorDirForCofferData();
    int32_t ret = RecoverDb();
    if (ret == 0) {
        ret = CollectorDbOper("");
    }
    t_recovering = false;
    CHS_LOG(ret == 0 ? 1 : 3, LOGID_COLLECTOR, "Recover the record database, ret(%d).", ret);
    return ret == 0;
}

int32_t Operate(const std::string& sql) {
    int32_t ret = omlib::operateDb(COLLECTOR_DB_FILE, sql);
    if (IsStorageFault(ret) && RecoverStorage(ret)) {
        ret = omlib::operateDb(COLLECTOR_DB_FILE, sql);
    }
    return ret;
}

// Runs a statement whose only text argument is `name`, first in the format.
int32_t OperateOnName(const char* format, const std::string& name) {
    std::string literal;
    if (!SqlText(name, literal)) {
        return kRecordErr;
    }
    return Operate(Sql(format, literal.c_str()));
}

int32_t OperateOnLog(const char* format, unsigned short nodeId, const std::string& name) {
    std::string literal;
    if (!SqlText(name, literal)) {
        return kRecordErr;
    }
    return Operate(Sql(format, nodeId, literal.c_str()));
}

// The size of the file a record is made for; false (logged) when it cannot be read.
bool RecordFileSize(const std::string& name, unsigned int& size) {
    unsigned int ret = getFileSize(name, size);
    if (ret != 0) {
        CHS_LOG(3, LOGID_COLLECTOR,
                "(CHECK PARA FAILURE) iRet(%d) != RETURN_SIGNED_OK(%d), return RETURN_SIGNED_ERR(%d).",
                static_cast<int>(ret), 0, kRecordErr);
        return false;
    }
    return true;
}

}  // namespace

const std::map<std::string, std::string> collectorDbTableOper = {
    {"db_log_record_create",
     "CREATE TABLE tbl_log_record (id integer PRIMARY KEY AUTOINCREMENT, node_id integer, file_name varchar "
     "(256), is_collect int DEFAULT 0)"},
};

CollectorDbExecFn g_pfnCollectorDbExec = chs_execCmdWithoutOutput;

int32_t insertPluginRecord(std::string name, int fileType) {
    std::string literal;
    if (!SqlText(name, literal)) {
        return kRecordErr;
    }
    unsigned int size = 0;
    if (!RecordFileSize(name, size)) {
        return kRecordErr;
    }
    return Operate(Sql(kSqlInsertPluginRecord, literal.c_str(), size, fileType));
}

int32_t insertNodeRecord(std::string name, int isCollect) {
    std::string literal;
    if (!SqlText(name, literal)) {
        return kRecordErr;
    }
    unsigned int size = 0;
    if (!RecordFileSize(name, size)) {
        return kRecordErr;
    }
    return Operate(Sql(kSqlInsertNodeRecord, literal.c_str(), isCollect, size));
}

int32_t updateNodeRecord(tagTBL_NODE_RECORD& record) {
    return Operate(Sql(kSqlUpdateNodeRecord, record.iFileSize, record.iId));
}

int32_t deletePluginRecordByID(int id) { return Operate(Sql(kSqlDeletePluginRecordById, id)); }

int32_t deleteNodeRecordByID(int id) { return Operate(Sql(kSqlDeleteNodeRecordById, id)); }

int32_t deletePluginRecordByFileName(std::string name) {
    return OperateOnName(kSqlDeletePluginRecordByName, name);
}

int32_t deleteNodeRecordByFileName(std::string name) {
    return OperateOnName(kSqlDeleteNodeRecordByName, name);
}

int32_t queryPluginRecordCount(std::string name, int& count) {
    std::string literal;
    if (!SqlText(name, literal)) {
        return kRecordErr;
    }
    std::string sql = Sql(kSqlQueryPluginRecordCount, literal.c_str());
    int ret = omlib::queryDb(COLLECTOR_DB_FILE, sql, GetPluginRecordCountResult, &count);
    if (IsStorageFault(ret) && RecoverStorage(ret)) {
        ret = omlib::queryDb(COLLECTOR_DB_FILE, sql, GetPluginRecordCountResult, &count);
    }
    return ret;
}

int32_t deleteAllPluginRecord() { return Operate(kSqlDeleteAllPluginRecord); }

int32_t deleteAllNodeRecord() { return Operate(kSqlDeleteAllNodeRecord); }

int32_t clearLogRecord() { return Operate(kSqlClearLogRecord); }

int32_t DelAllAlarmRecord() {
    int32_t ret = Operate(kSqlDeleteAllAlarmRecord);
    if (ret != 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "Delete alarm which have been handled faile(%d).", ret);
    }
    return ret;
}

int32_t insertLogRecord(unsigned short nodeId, std::string name) {
    return OperateOnLog(kSqlInsertLogRecord, nodeId, name);
}

int32_t updateLogRecord(unsigned short nodeId, std::string name) {
    return OperateOnLog(kSqlUpdateLogRecord, nodeId, name);
}

int32_t deleteLogRecord(unsigned short nodeId, std::string name) {
    return OperateOnLog(kSqlDeleteLogRecord, nodeId, name);
}

int32_t CollectorDbOper(std::string key) {
    if (key.empty()) {
        for (const auto& entry : collectorDbTableOper) {
            int32_t ret = Operate(entry.second);
            if (ret != 0) {
                CHS_LOG(3, LOGID_COLLECTOR, "Table key(%s) operate failed(%d).", entry.first.c_str(), ret);
                return ret;
            }
        }
        return 0;
    }
    auto found = collectorDbTableOper.find(key);
    if (found == collectorDbTableOper.end()) {
        CHS_LOG(2, LOGID_COLLECTOR, "Table key(%s) is not find.", key.c_str());
        return kRecordErr;
    }
    return Operate(found->second);
}

bool IsDbFileValid(std::string path) {
    const std::string real = platform::RealPath(path);
    if (!isFileExist(real)) {
        CHS_LOG(3, LOGID_COLLECTOR, "File(%s) is not exists.", path.c_str());
        return false;
    }
    unsigned int size = 0;
    if (getFileSize(real, size) != 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "Get file(%s) size failed .", path.c_str());
        return false;
    }
    if (size == 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "File(%s) is abnormal .", path.c_str());
        return false;
    }
    char result[COLLECTOR_DB_RESULT_LEN] = {0};
    int ret = omlib::queryDb(path, kSqlIntegrityCheck, GetDbTblResult, result);
    if (ret != 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "Check db file(%s) failed, sql(%s),result is (%s,%d).", path.c_str(),
                kSqlIntegrityCheck, result, ret);
        return false;
    }
    return strcmp(result, "ok") == 0;
}

int32_t RecoverDb() {
    if (IsDbFileValid(COLLECTOR_DB_FILE)) {
        return 0;
    }
    int32_t ret = g_pfnCollectorDbExec(ShellQuote(platform::RealPath(COLLECTOR_DB_INIT_SCRIPT)),
                                       COLLECTOR_DB_CMD_TIMEOUT_MS);
    (void)g_pfnCollectorDbExec(kCmdChownTree + ShellQuote(platform::GetProfile().strOperOwner) + " " +
                                   ShellQuote(platform::RealPath(COLLECTOR_DB_OWNER_TREE)),
                               COLLECTOR_DB_CMD_TIMEOUT_MS);
    return ret;
}

int GetDbTblResult(void* buffer, char** table, int rows, int columns, const char* errorText) {
    if (errorText != nullptr) {
        CHS_LOG(3, LOGID_COLLECTOR, "Check db file failed, return error info (%s).", errorText);
        return kRecordErr;
    }
    if (table == nullptr || rows <= 0 || columns <= 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "The table in db is empty.");
        return kRecordErr;
    }
    // The first value follows the column names.
    const char* value = table[columns];
    if (buffer == nullptr || value == nullptr) {
        CHS_LOG(3, LOGID_COLLECTOR, "Failed to get result from buf.");
        return kRecordErr;
    }
    snprintf(static_cast<char*>(buffer), COLLECTOR_DB_RESULT_LEN, "%s", value);
    return 0;
}

int GetPluginRecordCountResult(void* count, char** table, int rows, int columns, const char* errorText) {
    if (errorText != nullptr) {
        CHS_LOG(3, LOGID_COLLECTOR, "Get plugin record from db failed, return error info (%s).", errorText);
        return kRecordErr;
    }
    if (count != nullptr && table != nullptr && rows > 0 && columns > 0 && table[columns] != nullptr) {
        *static_cast<int*>(count) = static_cast<int>(strtol(table[columns], nullptr, 10));
    }
    return 0;
}
