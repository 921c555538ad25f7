// Partial row updates and table registration of the CCDB client.
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/ccdb_backend.h"
#include "platform/dplog.h"
#include "platform/om_ccdb.h"

using platform::ccdb::BoundedText;
using platform::ccdb::CcdbColumn;
using platform::ccdb::CcdbBackend;
using platform::ccdb::CcdbTable;
using platform::ccdb::RowId;
using platform::ccdb::RowKind;
using platform::ccdb::RowSet;

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

// Writes the queued columns into their stored rows, all rows at once.
int ApplyQueued(CcdbBackend& backend, const std::string& db, const CcdbTrans& trans) {
    std::vector<RowId> ids;
    for (const auto& queued : trans.rows) {
        ids.push_back(RowId{RowKind::kObject, db, trans.layout.strName, queued.first});
    }
    return backend.Modify(ids, [&trans](RowSet& rows) {
        size_t index = 0;
        for (const auto& [key, columns] : trans.rows) {
            std::optional<std::string>& row = rows[index++];
            if (!row) {
                return OM_CCDB_NO_VALUE;
            }
            if (row->size() != trans.layout.uiRowSize) {
                return OM_CCDB_ERR_DB;
            }
            for (const QueuedColumn& column : columns) {
                row->replace(column.uiOffset, column.bytes.size(), column.bytes);
            }
        }
        return OM_CCDB_OK;
    });
}

// Rows one Modify carries at most (etcd takes 128 operations in one transaction).

// Brings a row to `size`: zero-extended or cut. One that is absent or of that
// size already is left alone (empty: not written).
void FitRow(std::optional<std::string>& row, uint32_t size) {
    if (!row || row->size() == size) {
        row.reset();
    } else {
        row->resize(size, '\0');
    }
}

// Stores the layout of a registered table. When the row size changed, the
// layout and the table's rows change in one step (all of them on SQLite, the
// first MaxModifyRows on etcd); the rest of a large table, and rows written at
// the old size meanwhile, are brought to size right after (a read of such a
// row fails with OM_CCDB_ERR_DB until then).
int RegisterTable(CcdbBackend& backend, const std::string& db, const CcdbTable& wanted) {
    CcdbTable known;
    int rc = platform::ccdb::LookupTable(backend, db, wanted.strName, known);
    if (rc == OM_CCDB_OK && known.SameLayout(wanted)) {
        return OM_CCDB_OK;
    }
    if (rc != OM_CCDB_OK && rc != OM_CCDB_ERR_NO_TABLE) {
        return rc;
    }
    const bool resize = rc == OM_CCDB_OK && known.uiRowSize != wanted.uiRowSize;
    std::vector<std::string> keys;
    if (resize && (rc = backend.Keys(db, wanted.strName, keys)) != OM_CCDB_OK) {
        return rc;
    }
    const uint32_t size = wanted.uiRowSize;
    std::vector<RowId> ids{RowId{RowKind::kLayout, db, "", wanted.strName}};
    const size_t batch = backend.MaxModifyRows();
    for (size_t i = 0; i < keys.size() && ids.size() < batch; ++i) {
        ids.push_back(RowId{RowKind::kObject, db, wanted.strName, keys[i]});
    }
    const std::string layout = platform::ccdb::EncodeLayout(wanted);
    rc = backend.Modify(ids, [&layout, size](RowSet& rows) {
        rows[0] = layout;
        for (size_t i = 1; i < rows.size(); ++i) {
            FitRow(rows[i], size);
        }
        return OM_CCDB_OK;
    });
    if (rc != OM_CCDB_OK || !resize || (rc = backend.Keys(db, wanted.strName, keys)) != OM_CCDB_OK) {
        return rc;
    }
    for (size_t at = 0; at < keys.size() && rc == OM_CCDB_OK; at += batch) {
        ids.clear();
        for (size_t i = at; i < keys.size() && i - at < batch; ++i) {
            ids.push_back(RowId{RowKind::kObject, db, wanted.strName, keys[i]});
        }
        rc = backend.Modify(ids, [size](RowSet& rows) {
            for (std::optional<std::string>& row : rows) {
                FitRow(row, size);
            }
            return OM_CCDB_OK;
        });
    }
    return rc;
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
    int rc = OM_CCDB_OK;
    std::shared_ptr<CcdbBackend> backend = platform::ccdb::AttachedBackend(rc);
    return backend != nullptr ? RegisterTable(*backend, db, wanted) : rc;
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
    int rc = OM_CCDB_OK;
    std::shared_ptr<CcdbBackend> backend = platform::ccdb::AttachedBackend(rc);
    rc = backend != nullptr ? platform::ccdb::LookupTable(*backend, db, tableName, trans.layout) : rc;
    if (rc == OM_CCDB_OK && trans.layout.bKeyValue) {
        rc = OM_CCDB_ERR_NO_TABLE;
    }
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    {
        std::lock_guard<std::mutex> lock(g_transMutex);
        g_liveTrans.insert(&trans);
    }
    // Nothing is held here: the filler may use the database itself.
    rc = fill(tableName.c_str(), context, QueueColumn, &trans);
    {
        std::lock_guard<std::mutex> lock(g_transMutex);
        g_liveTrans.erase(&trans);
    }
    if (rc != OM_CCDB_OK || trans.rows.empty()) {
        return rc;
    }
    return ApplyQueued(*backend, db, trans);
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
