// Storage of the CCDB client: the process's connection to
// <cluster>/ccdb.sqlite, its SQL texts, statements and the handle registry.
// Internal to the CCDB client (platform/om_ccdb.*).
//
// Thread safety: one connection per process, used by one session at a time
// (a CcdbSession holds the process-wide store mutex for its lifetime, so
// sessions must not nest and must not call out to user code). A process
// created by fork() opens a connection of its own instead of sharing its
// parent's.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/ccdb_schema.h"

namespace platform {
namespace ccdb {

// Rows carry the name of their database, so that two databases in the one
// file never see each other's rows.
constexpr const char* kSqlCreate =
    "CREATE TABLE IF NOT EXISTS ccdb_kv (db TEXT NOT NULL, tbl TEXT NOT NULL, key TEXT NOT NULL, "
    "value TEXT NOT NULL, PRIMARY KEY (db, tbl, key));"
    "CREATE TABLE IF NOT EXISTS ccdb_obj (db TEXT NOT NULL, tbl TEXT NOT NULL, key TEXT NOT NULL, "
    "row BLOB NOT NULL, PRIMARY KEY (db, tbl, key));"
    "CREATE TABLE IF NOT EXISTS ccdb_schema (db TEXT NOT NULL, tbl TEXT NOT NULL, row_size INTEGER NOT NULL, "
    "key_field TEXT NOT NULL, columns BLOB NOT NULL, PRIMARY KEY (db, tbl));";
constexpr const char* kSqlKvGet = "SELECT value FROM ccdb_kv WHERE db = ?1 AND tbl = ?2 AND key = ?3";
constexpr const char* kSqlKvSet =
    "INSERT OR REPLACE INTO ccdb_kv (db, tbl, key, value) VALUES (?1, ?2, ?3, ?4)";
constexpr const char* kSqlKvInsert = "INSERT INTO ccdb_kv (db, tbl, key, value) VALUES (?1, ?2, ?3, ?4)";
constexpr const char* kSqlKvDelete = "DELETE FROM ccdb_kv WHERE db = ?1 AND tbl = ?2 AND key = ?3";
constexpr const char* kSqlObjGet = "SELECT row FROM ccdb_obj WHERE db = ?1 AND tbl = ?2 AND key = ?3";
constexpr const char* kSqlObjSet =
    "INSERT OR REPLACE INTO ccdb_obj (db, tbl, key, row) VALUES (?1, ?2, ?3, ?4)";
constexpr const char* kSqlObjInsert = "INSERT INTO ccdb_obj (db, tbl, key, row) VALUES (?1, ?2, ?3, ?4)";
constexpr const char* kSqlObjDelete = "DELETE FROM ccdb_obj WHERE db = ?1 AND tbl = ?2 AND key = ?3";
constexpr const char* kSqlObjCount = "SELECT count(*) FROM ccdb_obj WHERE db = ?1 AND tbl = ?2";
constexpr const char* kSqlObjAll = "SELECT key, row FROM ccdb_obj WHERE db = ?1 AND tbl = ?2";
constexpr const char* kSqlSchemaGet =
    "SELECT row_size, key_field, columns FROM ccdb_schema WHERE db = ?1 AND tbl = ?2";
constexpr const char* kSqlSchemaSet =
    "INSERT OR REPLACE INTO ccdb_schema (db, tbl, row_size, key_field, columns) VALUES (?1, ?2, ?3, ?4, ?5)";

// OM_CCDB_TIMEOUT for a busy or locked database, OM_CCDB_ERR_DB otherwise.
int MapSqlite(int rc);

// Exclusive use of the process's connection, opened on demand.
class CcdbSession {
  public:
    CcdbSession();
    CcdbSession(const CcdbSession&) = delete;
    CcdbSession& operator=(const CcdbSession&) = delete;

    int Status() const { return m_status; }  // OM_CCDB_OK or why there is no connection
    sqlite3* Db() const;
    // Runs SQL without results; a client result.
    int Exec(const char* sql);

  private:
    std::unique_lock<std::mutex> m_lock;
    int m_status;
};

// A prepared statement with text and blob parameters, finalised on destruction.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return m_rc == SQLITE_OK; }
    int PrepareResult() const { return m_rc; }
    Statement& Text(int index, const std::string& text);
    Statement& Blob(int index, const void* data, size_t size);
    Statement& Int(int index, int64_t value);
    int Step();  // the SQLite result of the step (SQLITE_ROW, SQLITE_DONE, ...)
    sqlite3_stmt* Get() const { return m_stmt; }

  private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc;
};

// The layout of `tableName` in database `dbName`: built in, or registered in
// the file. OM_CCDB_OK, OM_CCDB_ERR_NO_TABLE or a storage failure.
int LookupTable(CcdbSession& session, const std::string& dbName, const std::string& tableName,
                CcdbTable& out);

// The unreachable override, checked by every call first.
bool Unreachable();

// Database names by handle (handles count from 1).
int32_t RegisterDb(const std::string& name);
bool DbNameOf(int32_t handle, std::string& name);

}  // namespace ccdb
}  // namespace platform
