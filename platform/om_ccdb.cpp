#include "platform/om_ccdb.h"

#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "platform/ccdb_backend.h"
#include "platform/dplog.h"
#include "platform/platform_state.h"

using platform::ccdb::BoundedText;
using platform::ccdb::CcdbBackend;
using platform::ccdb::CcdbTable;
using platform::ccdb::RowId;
using platform::ccdb::RowKind;

namespace {

// Checks what every table call shares: the override, the handle and the
// table name.
int Prologue(int32_t handle, const char* table, std::string& db, std::string& tableName) {
    if (platform::ccdb::Unreachable()) {
        return OM_CCDB_ERR_UNREACHABLE;
    }
    if (!platform::ccdb::DbNameOf(handle, db)) {
        return OM_CCDB_ERR_HANDLE;
    }
    return BoundedText(table, OM_CCDB_NAME_LEN, tableName) ? OM_CCDB_OK : OM_CCDB_ERR_PARAM;
}

// The attached backend and the layout of the table, which must be of the
// kind asked for.
int Layout(const std::string& db, const std::string& tableName, bool keyValue,
           std::shared_ptr<CcdbBackend>& backend, CcdbTable& layout) {
    int rc = OM_CCDB_OK;
    backend = platform::ccdb::AttachedBackend(rc);
    if (backend == nullptr) {
        return rc;
    }
    rc = platform::ccdb::LookupTable(*backend, db, tableName, layout);
    if (rc == OM_CCDB_OK && layout.bKeyValue != keyValue) {
        rc = OM_CCDB_ERR_NO_TABLE;
    }
    return rc;
}

bool EntryTexts(const OM_CCDB_KEY_VALUE_S* entry, std::string& key, std::string* value) {
    if (entry == nullptr || !BoundedText(entry->acKey, sizeof(entry->acKey), key)) {
        return false;
    }
    if (value == nullptr) {
        return true;
    }
    // An empty value is a value (the syslog user starts empty).
    size_t length = strnlen(entry->acValue, sizeof(entry->acValue));
    if (length >= sizeof(entry->acValue)) {
        return false;
    }
    value->assign(entry->acValue, length);
    return true;
}

int WriteKeyValue(int32_t handle, const char* table, const OM_CCDB_KEY_VALUE_S* entry, bool insert) {
    std::string db, tableName, key, value;
    int rc = Prologue(handle, table, db, tableName);
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    if (!EntryTexts(entry, key, &value)) {
        return OM_CCDB_ERR_PARAM;
    }
    std::shared_ptr<CcdbBackend> backend;
    CcdbTable layout;
    if ((rc = Layout(db, tableName, true, backend, layout)) != OM_CCDB_OK) {
        return rc;
    }
    RowId id{RowKind::kKeyValue, db, tableName, key};
    return insert ? backend->Insert(id, value) : backend->Put(id, value);
}

// The checks every object-row call makes: handle and table known, key of
// the right length, a row buffer of exactly the table's row size.
int CheckObjectCall(int32_t handle, const char* table, const char* key, const void* row, uint32_t size,
                    std::shared_ptr<CcdbBackend>& backend, RowId& id) {
    std::string db, tableName, keyText;
    int rc = Prologue(handle, table, db, tableName);
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    if (!BoundedText(key, OM_CCDB_OBJ_KEY_LEN, keyText) || row == nullptr) {
        return OM_CCDB_ERR_PARAM;
    }
    CcdbTable layout;
    if ((rc = Layout(db, tableName, false, backend, layout)) != OM_CCDB_OK) {
        return rc;
    }
    id = RowId{RowKind::kObject, db, tableName, keyText};
    return size == layout.uiRowSize ? OM_CCDB_OK : OM_CCDB_ERR_PARAM;
}

int WriteObject(int32_t handle, const char* table, const char* key, const void* row, uint32_t size,
                bool insert) {
    std::shared_ptr<CcdbBackend> backend;
    RowId id;
    int rc = CheckObjectCall(handle, table, key, row, size, backend, id);
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    std::string value(static_cast<const char*>(row), size);
    return insert ? backend->Insert(id, value) : backend->Put(id, value);
}

int DeleteRow(int32_t handle, const char* table, const char* key, bool keyValue) {
    std::string db, tableName, keyText;
    int rc = Prologue(handle, table, db, tableName);
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    if (!BoundedText(key, keyValue ? OM_CCDB_KV_KEY_LEN : OM_CCDB_OBJ_KEY_LEN, keyText)) {
        return OM_CCDB_ERR_PARAM;
    }
    std::shared_ptr<CcdbBackend> backend;
    CcdbTable layout;
    if ((rc = Layout(db, tableName, keyValue, backend, layout)) != OM_CCDB_OK) {
        return rc;
    }
    return backend->Remove(RowId{keyValue ? RowKind::kKeyValue : RowKind::kObject, db, tableName, keyText});
}

}  // namespace

int OM_CCDB_Init(uint32_t dbType, const char* dbName, char* const* argv, int32_t* handle) {
    if (platform::ccdb::Unreachable()) {
        return OM_CCDB_ERR_UNREACHABLE;
    }
    std::string name;
    if (handle == nullptr || argv == nullptr || !BoundedText(dbName, OM_CCDB_DBNAME_LEN, name)) {
        return OM_CCDB_ERR_PARAM;
    }
    const std::string typeArg = "--dbType=";
    size_t count = 0;
    for (; count <= OM_CCDB_MAX_ARGS && argv[count] != nullptr; ++count) {
        std::string arg(argv[count], strnlen(argv[count], 4096));
        if (arg.compare(0, typeArg.size(), typeArg) == 0 && arg.substr(typeArg.size()) != name) {
            dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: %s does not name database %s", arg.c_str(),
                           name.c_str());
            return OM_CCDB_ERR_PARAM;
        }
    }
    if (count > OM_CCDB_MAX_ARGS) {
        return OM_CCDB_ERR_PARAM;
    }
    int rc = OM_CCDB_OK;
    std::shared_ptr<CcdbBackend> backend = platform::ccdb::AttachedBackend(rc);
    if (backend == nullptr || (rc = backend->Ping()) != OM_CCDB_OK) {
        return rc;
    }
    *handle = platform::ccdb::RegisterDb(name);
    dplog_standard(0, 6, __FUNCTION__, __LINE__, 0, "ccdb: database %s (type %u) open as handle %d",
                   name.c_str(), dbType, *handle);
    return OM_CCDB_OK;
}

int OM_CCDB_GetKeyValue(int32_t handle, const char* table, OM_CCDB_KEY_VALUE_S* entry) {
    std::string db, tableName, key;
    int rc = Prologue(handle, table, db, tableName);
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    if (!EntryTexts(entry, key, nullptr)) {
        return OM_CCDB_ERR_PARAM;
    }
    std::shared_ptr<CcdbBackend> backend;
    CcdbTable layout;
    if ((rc = Layout(db, tableName, true, backend, layout)) != OM_CCDB_OK) {
        return rc;
    }
    std::string value;
    if ((rc = backend->Get(RowId{RowKind::kKeyValue, db, tableName, key}, value)) != OM_CCDB_OK) {
        return rc;
    }
    if (value.size() >= sizeof(entry->acValue) || value.find('\0') != std::string::npos) {
        return OM_CCDB_ERR_DB;  // written by something that did not check the bound
    }
    memset(entry->acValue, 0, sizeof(entry->acValue));
    memcpy(entry->acValue, value.data(), value.size());
    return OM_CCDB_OK;
}

int OM_CCDB_SetKeyValue(int32_t handle, const char* table, const OM_CCDB_KEY_VALUE_S* entry) {
    return WriteKeyValue(handle, table, entry, false);
}

int OM_CCDB_InsertKeyValue(int32_t handle, const char* table, const OM_CCDB_KEY_VALUE_S* entry) {
    return WriteKeyValue(handle, table, entry, true);
}

int OM_CCDB_DelKeyValue(int32_t handle, const char* table, const char* key) {
    return DeleteRow(handle, table, key, true);
}

int OM_CCDB_InsertOneObj(int32_t handle, const char* table, const char* key, const void* row, uint32_t size) {
    return WriteObject(handle, table, key, row, size, true);
}

int OM_CCDB_DelAndInsert(int32_t handle, const char* table, const char* key, const void* row, uint32_t size) {
    return WriteObject(handle, table, key, row, size, false);
}

int OM_CCDB_Delete(int32_t handle, const char* table, const char* key) {
    return DeleteRow(handle, table, key, false);
}

int OM_CCDB_QueryOneObj(int32_t handle, const char* table, const char* key, void* row, uint32_t size) {
    std::shared_ptr<CcdbBackend> backend;
    RowId id;
    int rc = CheckObjectCall(handle, table, key, row, size, backend, id);
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    std::string stored;
    if ((rc = backend->Get(id, stored)) != OM_CCDB_OK) {
        return rc;
    }
    if (stored.size() != size) {
        dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: row %s of %s has a wrong size", id.key.c_str(),
                       id.table.c_str());
        return OM_CCDB_ERR_DB;
    }
    memcpy(row, stored.data(), size);
    return OM_CCDB_OK;
}

int OM_CCDB_CountObj(int32_t handle, const char* table, uint32_t* count) {
    std::string db, tableName;
    int rc = Prologue(handle, table, db, tableName);
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    if (count == nullptr) {
        return OM_CCDB_ERR_PARAM;
    }
    std::shared_ptr<CcdbBackend> backend;
    CcdbTable layout;
    if ((rc = Layout(db, tableName, false, backend, layout)) != OM_CCDB_OK) {
        return rc;
    }
    return backend->Count(db, tableName, *count);
}

int queryCcdbStatus(OM_CCDB_STATUS_FN callback, void* context, uint32_t flags) {
    if (callback == nullptr || flags != 0) {
        return OM_CCDB_ERR_PARAM;
    }
    try {
        // The answer comes from a thread of the client, as it would from the
        // database service; the caller must not rely on running it itself.
        std::thread([callback, context] {
            int32_t result = OM_CCDB_ERR_UNREACHABLE;
            int32_t stateValue = 0;
            if (!platform::ccdb::Unreachable()) {
                std::shared_ptr<CcdbBackend> backend = platform::ccdb::AttachedBackend(result);
                if (backend != nullptr) {
                    result = backend->Ping();
                }
            }
            if (result == OM_CCDB_OK) {
                std::optional<long long> forced = platform::state::GetNumber("ccdb_status");
                stateValue = forced ? static_cast<int32_t>(*forced) : OM_CCDB_STATE_NORMAL;
            }
            callback(result, stateValue, context);
        }).detach();
    } catch (const std::system_error& error) {
        dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: no thread for the status query: %s",
                       error.what());
        return OM_CCDB_ERR_DB;
    }
    return OM_CCDB_OK;
}
