// The storage behind the CCDB client (platform/om_ccdb.*): one small
// interface with two implementations, the SQLite file of a cluster on one
// machine (platform/ccdb_store.*) and etcd for clusters that span machines
// (platform/ccdb_etcd.*). cluster.json chooses ("ccdb", see
// platform/cluster_config.h); the OM_CCDB_* calls check their arguments and
// rows once, above the interface, and leave only storing to the backend.
//
// Also shared by both: the handle registry, the unreachable override and the
// lookup of table layouts (built in, or registered and stored as layout rows).
//
// Thread safety: every function and every backend method may be called from
// any thread; a backend serialises what it must itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ccdb_schema.h"

namespace platform {
namespace ccdb {

enum class RowKind {
    kKeyValue,  // value: the text of a key-value entry
    kObject,    // value: the bytes of an object row
    kLayout,    // value: EncodeLayout of a registered table; `key` is the table name
};

// One row: database, table and key (all texts checked by the caller).
struct RowId {
    RowKind kind = RowKind::kObject;
    std::string db;
    std::string table;  // unused for kLayout
    std::string key;
};

// The rows of a Modify, in the order of their ids; empty when absent.
using RowSet = std::vector<std::optional<std::string>>;
// Changes `rows` in place; a result other than OM_CCDB_OK aborts the Modify
// with that result. May be called more than once (a backend that lost a race
// reads again and calls it again), so it must depend on its rows alone.
using RowEdit = std::function<int(RowSet& rows)>;

class CcdbBackend {
  public:
    virtual ~CcdbBackend() = default;

    // OM_CCDB_OK when the storage answers, else why not (OM_CCDB_ERR_UNREACHABLE, ...).
    virtual int Ping() = 0;
    // OM_CCDB_NO_VALUE when the row does not exist.
    virtual int Get(const RowId& id, std::string& value) = 0;
    // Creates or replaces.
    virtual int Put(const RowId& id, const std::string& value) = 0;
    // Creates; OM_CCDB_OBJ_EXIST (and nothing written) when the row exists.
    virtual int Insert(const RowId& id, const std::string& value) = 0;
    // OM_CCDB_NO_VALUE when there was nothing to delete.
    virtual int Remove(const RowId& id) = 0;
    // Object rows of one table.
    virtual int Count(const std::string& db, const std::string& table, uint32_t& count) = 0;
    virtual int Keys(const std::string& db, const std::string& table, std::vector<std::string>& keys) = 0;
    // Reads `ids`, runs `edit` and writes every row it left set, all or
    // nothing, with no other writer of those rows in between. A row `edit`
    // leaves empty is not written. OM_CCDB_TIMEOUT when other writers kept
    // winning for longer than the backend waits. Takes up to
    // MaxModifyRows() rows, at least 100.
    virtual int Modify(const std::vector<RowId>& ids, const RowEdit& edit) = 0;
    virtual size_t MaxModifyRows() const = 0;
};

// The backend of the cluster this process is attached to, or null with the
// reason in `status` (OM_CCDB_ERR_UNREACHABLE when detached).
std::shared_ptr<CcdbBackend> AttachedBackend(int& status);

// Time-out of one storage wait, in milliseconds: SQLite's busy time-out, and
// the whole time of one etcd request (platform::SetCcdbBusyTimeoutMs).
unsigned int TimeoutMs();

// The layout of `tableName` in database `dbName`: built in, or registered.
// OM_CCDB_OK, OM_CCDB_ERR_NO_TABLE or a storage failure.
int LookupTable(CcdbBackend& backend, const std::string& dbName, const std::string& tableName,
                CcdbTable& out);

// A registered layout as stored in a kLayout row, and back.
std::string EncodeLayout(const CcdbTable& table);
bool DecodeLayout(const std::string& tableName, const std::string& value, CcdbTable& table);

// The unreachable override, checked by every call first.
bool Unreachable();

// Database names by handle (handles count from 1).
int32_t RegisterDb(const std::string& name);
bool DbNameOf(int32_t handle, std::string& name);

}  // namespace ccdb
}  // namespace platform
