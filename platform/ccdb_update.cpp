// Partial row updates and table registration of the CCDB client.
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/ccdb_store.h"
#include "platform/dplog.h"
#include "platform/om_ccdb.h"

using platform::ccdb::BoundedText;
using platform::ccdb::CcdbColumn;
using platform::ccdb::CcdbSession;
using platform::ccdb::CcdbTable;
using platform::ccdb::MapSqlite;
using platform::ccdb::Statement;

namespace {

struct QueuedColumn {
    uint32_t uiOffset;
    std::string bytes;  // the whole column, zero-filled past a text
};

// The columns queued during one OM_CCDB_Update, by row key.
struct CcdbTrans {
    CcdbTable layout;
    std::map<std::string, std::vector<QueuedColumn>> rows;
};

// Transactions currently open: a writer or filler handing in anything else
// (a stale or made-up pointer) is refused instead of trusted.
std::mutex g_transMutex;
std::set<const void*>& g_liveTrans = *new std::set<const void*>();  // never destroyed, as below

bool IsLive(const void* trans) {
    std::lock_guard<std::mutex> lock(g_transMutex);
    return g_liveTrans.count(trans) != 0;
}

int QueueColumn(void* trans, const char* table, const char* key, const OM_DB_VALUE_S* value) {
    std::string tableName, keyText, column;
    if (trans == nullptr || value == nullptr || !IsLive(trans)) {
        return OM_CCDB_ERR_PARAM;
    }
    auto* open = static_cast<CcdbTrans*>(trans);
    if (!BoundedText(table, OM_CCDB_NAME_LEN, tableName) || tableName != open->layout.strName ||
        !BoundedText(key, OM_CCDB_OBJ_KEY_LEN, keyText) ||
        !BoundedText(value->acColumn, sizeof(value->acColumn), column) || value->pValue == nullptr) {
        return OM_CCDB_ERR_PARAM;
    }
    const CcdbColumn* target = open->layout.FindColumn(column);
    if (target == nullptr || target->uiType != value->uiType) {
        return OM_CCDB_ERR_SCHEMA;
    }
    QueuedColumn queued{target->uiOffset, std::string(target->uiSize, '\0')};
    if (value->uiType == OM_CCDB_COL_TEXT) {
        // The stored text must stay NUL-terminated inside its column; a
        // longer one is refused rather than cut.
        if (value->uiLen >= target->uiSize) {
            return OM_CCDB_ERR_PARAM;
        }
        memcpy(&queued.bytes[0], value->pValue, value->uiLen);
    } else {
        if (value->uiLen != target->uiSize) {
            return OM_CCDB_ERR_PARAM;
        }
        memcpy(&queued.bytes[0], value->pValue, target->uiSize);
    }
    open->rows[keyText].push_back(std::move(queued));
    return OM_CCDB_OK;
}

// Writes the queued columns into their stored rows in one transaction.
int ApplyQueued(CcdbSession& session, const std::string& db, const CcdbTrans& trans) {
    int rc = session.Exec("BEGIN IMMEDIATE");
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    for (const auto& [key, columns] : trans.rows) {
        std::string row;
        {
            Statement query(session.Db(), platform::ccdb::kSqlObjGet);
            query.Text(1, db).Text(2, trans.layout.strName).Text(3, key);
            int step = query.Step();
            if (step == SQLITE_ROW &&
                sqlite3_column_bytes(query.Get(), 0) == static_cast<int>(trans.layout.uiRowSize)) {
                row.assign(static_cast<const char*>(sqlite3_column_blob(query.Get(), 0)),
                           trans.layout.uiRowSize);
            } else {
                rc = step == SQLITE_DONE  ? OM_CCDB_NO_VALUE
                     : step == SQLITE_ROW ? OM_CCDB_ERR_DB
                                          : MapSqlite(step);
            }
        }
        if (rc != OM_CCDB_OK) {
            break;
        }
        for (const QueuedColumn& column : columns) {
            row.replace(column.uiOffset, column.bytes.size(), column.bytes);
        }
        Statement write(session.Db(), platform::ccdb::kSqlObjSet);
        write.Text(1, db).Text(2, trans.layout.strName).Text(3, key).Blob(4, row.data(), row.size());
        int step = write.Step();
        if (step != SQLITE_DONE) {
            rc = MapSqlite(step);
            break;
        }
    }
    if (rc == OM_CCDB_OK) {
        rc = session.Exec("COMMIT");
    }
    if (rc != OM_CCDB_OK) {
        session.Exec("ROLLBACK");
    }
    return rc;
}

// Resizes every row of a registered table whose row size changed.
int ResizeRows(CcdbSession& session, const std::string& db, const std::string& table, uint32_t newSize) {
    std::vector<std::pair<std::string, std::string>> rows;
    {
        Statement all(session.Db(), platform::ccdb::kSqlObjAll);
        all.Text(1, db).Text(2, table);
        int step;
        while ((step = all.Step()) == SQLITE_ROW) {
            const char* key = reinterpret_cast<const char*>(sqlite3_column_text(all.Get(), 0));
            const char* blob = static_cast<const char*>(sqlite3_column_blob(all.Get(), 1));
            std::string row(blob != nullptr ? blob : "",
                            static_cast<size_t>(sqlite3_column_bytes(all.Get(), 1)));
            row.resize(newSize, '\0');
            rows.emplace_back(key != nullptr ? key : "", std::move(row));
        }
        if (step != SQLITE_DONE) {
            return MapSqlite(step);
        }
    }
    for (const auto& [key, row] : rows) {
        Statement write(session.Db(), platform::ccdb::kSqlObjSet);
        write.Text(1, db).Text(2, table).Text(3, key).Blob(4, row.data(), row.size());
        int step = write.Step();
        if (step != SQLITE_DONE) {
            return MapSqlite(step);
        }
    }
    return OM_CCDB_OK;
}

int RegisterTable(CcdbSession& session, const std::string& db, const CcdbTable& wanted) {
    CcdbTable known;
    int rc = platform::ccdb::LookupTable(session, db, wanted.strName, known);
    if (rc == OM_CCDB_OK && known.SameLayout(wanted)) {
        return OM_CCDB_OK;
    }
    if (rc != OM_CCDB_OK && rc != OM_CCDB_ERR_NO_TABLE) {
        return rc;
    }
    if (rc == OM_CCDB_OK && known.uiRowSize != wanted.uiRowSize) {
        rc = ResizeRows(session, db, wanted.strName, wanted.uiRowSize);
        if (rc != OM_CCDB_OK) {
            return rc;
        }
    }
    std::string columns = platform::ccdb::EncodeColumns(wanted);
    Statement write(session.Db(), platform::ccdb::kSqlSchemaSet);
    write.Text(1, db).Text(2, wanted.strName).Int(3, wanted.uiRowSize).Text(4, wanted.strKeyField);
    write.Blob(5, columns.data(), columns.size());
    int step = write.Step();
    return step == SQLITE_DONE ? OM_CCDB_OK : MapSqlite(step);
}

}  // namespace

int OMM_CCDB_UpgradeCcdbTable(int32_t handle, const OM_CCDB_TABLE_DESC_S* table, uint32_t fromVersion,
                              uint32_t toVersion, uint32_t keyType) {
    if (platform::ccdb::Unreachable()) {
        return OM_CCDB_ERR_UNREACHABLE;
    }
    std::string db;
    if (!platform::ccdb::DbNameOf(handle, db)) {
        return OM_CCDB_ERR_HANDLE;
    }
    if (table == nullptr || fromVersion > toVersion || keyType != OM_CCDB_COL_TEXT) {
        return OM_CCDB_ERR_PARAM;
    }
    CcdbTable wanted;
    std::string error;
    if (!platform::ccdb::TableFromDescriptor(*table, wanted, error)) {
        dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: table descriptor refused: %s", error.c_str());
        return OM_CCDB_ERR_PARAM;
    }
    if (const CcdbTable* builtin = platform::ccdb::BuiltinTable(wanted.strName)) {
        // The platform's own layouts are fixed; a caller with another idea of
        // them would read and write garbage.
        if (!builtin->SameLayout(wanted)) {
            dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: descriptor of %s differs from its layout",
                           wanted.strName.c_str());
            return OM_CCDB_ERR_SCHEMA;
        }
        return OM_CCDB_OK;
    }
    CcdbSession session;
    if (session.Status() != OM_CCDB_OK) {
        return session.Status();
    }
    int rc = session.Exec("BEGIN IMMEDIATE");
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    rc = RegisterTable(session, db, wanted);
    rc = rc == OM_CCDB_OK ? session.Exec("COMMIT") : rc;
    if (rc != OM_CCDB_OK) {
        session.Exec("ROLLBACK");
    }
    return rc;
}

int OM_CCDB_Update(int32_t handle, const char* table, void* context, OM_CCDB_TRANS_FN fill) {
    if (platform::ccdb::Unreachable()) {
        return OM_CCDB_ERR_UNREACHABLE;
    }
    std::string db, tableName;
    if (!platform::ccdb::DbNameOf(handle, db)) {
        return OM_CCDB_ERR_HANDLE;
    }
    if (!BoundedText(table, OM_CCDB_NAME_LEN, tableName) || fill == nullptr) {
        return OM_CCDB_ERR_PARAM;
    }
    CcdbTrans trans;
    {
        CcdbSession session;
        int rc = session.Status();
        rc = rc == OM_CCDB_OK ? platform::ccdb::LookupTable(session, db, tableName, trans.layout) : rc;
        if (rc == OM_CCDB_OK && trans.layout.bKeyValue) {
            rc = OM_CCDB_ERR_NO_TABLE;
        }
        if (rc != OM_CCDB_OK) {
            return rc;
        }
    }
    {
        std::lock_guard<std::mutex> lock(g_transMutex);
        g_liveTrans.insert(&trans);
    }
    // No session is held here: the filler may use the database itself.
    int rc = fill(tableName.c_str(), context, QueueColumn, &trans);
    {
        std::lock_guard<std::mutex> lock(g_transMutex);
        g_liveTrans.erase(&trans);
    }
    if (rc != OM_CCDB_OK || trans.rows.empty()) {
        return rc;
    }
    CcdbSession session;
    if (session.Status() != OM_CCDB_OK) {
        return session.Status();
    }
    return ApplyQueued(session, db, trans);
}

int OM_DB_SetCol2TransSub(uint32_t type, const void* value, void* trans, const char* table,
                          const char* column, OM_DB_VALUE_S* scratch, uint32_t textLen,
                          OM_DB_COL_WRITER_FN writer, const char* key) {
    std::string columnName;
    if (value == nullptr || trans == nullptr || table == nullptr || scratch == nullptr || writer == nullptr ||
        key == nullptr || !BoundedText(column, OM_CCDB_NAME_LEN, columnName)) {
        return OM_CCDB_ERR_PARAM;
    }
    if (type == OM_CCDB_COL_UINT64) {
        if (textLen != 0) {
            return OM_CCDB_ERR_PARAM;
        }
        scratch->uiLen = sizeof(uint64_t);
    } else if (type == OM_CCDB_COL_TEXT) {
        scratch->uiLen = textLen;
    } else {
        return OM_CCDB_ERR_PARAM;
    }
    scratch->uiType = type;
    scratch->pValue = value;
    memset(scratch->acColumn, 0, sizeof(scratch->acColumn));
    memcpy(scratch->acColumn, columnName.data(), columnName.size());
    return writer(trans, table, key, scratch);
}
