#include "platform/ccdb_backend.h"

#include <cstring>
#include <mutex>

#include "platform/ccdb_etcd.h"
#include "platform/ccdb_store.h"
#include "platform/om_cluster.h"
#include "platform/platform_state.h"

namespace platform {
namespace ccdb {
namespace {

std::mutex g_handleMutex;
// Never destroyed: a message thread may still open a handle while the exit
// handlers run.
std::vector<std::string>& g_dbNames = *new std::vector<std::string>();  // handle - 1 -> database name

}  // namespace

std::shared_ptr<CcdbBackend> AttachedBackend(int& status) {
    const ClusterConfig& cluster = Cluster();
    if (cluster.strDir.empty()) {
        status = OM_CCDB_ERR_UNREACHABLE;
        return nullptr;
    }
    status = OM_CCDB_OK;
    if (cluster.ccdb.kind == CcdbBackendKind::kEtcd) {
        return EtcdBackend(cluster.ccdb, cluster.strSerialNumber);
    }
    return SqliteBackend();
}

int LookupTable(CcdbBackend& backend, const std::string& dbName, const std::string& tableName,
                CcdbTable& out) {
    if (const CcdbTable* builtin = BuiltinTable(tableName)) {
        out = *builtin;
        return OM_CCDB_OK;
    }
    std::string value;
    int rc = backend.Get(RowId{RowKind::kLayout, dbName, "", tableName}, value);
    if (rc == OM_CCDB_NO_VALUE) {
        return OM_CCDB_ERR_NO_TABLE;
    }
    if (rc != OM_CCDB_OK) {
        return rc;
    }
    return DecodeLayout(tableName, value, out) ? OM_CCDB_OK : OM_CCDB_ERR_DB;
}

// Row size (4 bytes, little-endian), key column name, NUL, EncodeColumns.
std::string EncodeLayout(const CcdbTable& table) {
    std::string value(4, '\0');
    for (int i = 0; i < 4; ++i) {
        value[i] = static_cast<char>((table.uiRowSize >> (8 * i)) & 0xFF);
    }
    value += table.strKeyField;
    value += '\0';
    value += EncodeColumns(table);
    return value;
}

bool DecodeLayout(const std::string& tableName, const std::string& value, CcdbTable& table) {
    table = CcdbTable{};
    table.strName = tableName;
    size_t nul = value.size() > 4 ? value.find('\0', 4) : std::string::npos;
    if (nul == std::string::npos || nul == 4) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        table.uiRowSize |= static_cast<uint32_t>(static_cast<unsigned char>(value[i])) << (8 * i);
    }
    if (table.uiRowSize == 0 || table.uiRowSize > OM_CCDB_MAX_ROW_SIZE) {
        return false;
    }
    table.strKeyField = value.substr(4, nul - 4);
    return DecodeColumns(value.substr(nul + 1), table);
}

bool Unreachable() { return state::IsSet("ccdb_unreachable"); }

int32_t RegisterDb(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    for (size_t i = 0; i < g_dbNames.size(); ++i) {
        if (g_dbNames[i] == name) {
            return static_cast<int32_t>(i + 1);
        }
    }
    g_dbNames.push_back(name);
    return static_cast<int32_t>(g_dbNames.size());
}

bool DbNameOf(int32_t handle, std::string& name) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    if (handle <= 0 || static_cast<size_t>(handle) > g_dbNames.size()) {
        return false;
    }
    name = g_dbNames[static_cast<size_t>(handle) - 1];
    return true;
}

}  // namespace ccdb
}  // namespace platform
