// The platform's SQLite layer: one statement or one query at a time against a
// database file named by its real path (callers map system paths first).
//
// Connections stay open, one per database file, in a small process-wide cache
// (least recently used beyond OMDB_MAX_CONNECTIONS is closed). Each connection
// has a busy time-out and a mutex of its own, so the functions may be called
// from any thread; statements on one file take turns, different files run in
// parallel. Before each use the file's identity (device and inode) is compared
// with the one the connection opened: a file that was removed or replaced by
// another process (the record database is rebuilt by a script) is reopened, so
// a caller always sees the file that the path names now. A missing file is
// never created (SQLITE_CANTOPEN): an empty database in place of a removed one
// would hide the loss from its owner, who rebuilds it.
//
// Results: 0 on success, otherwise the SQLite primary result code (SQLITE_ERROR
// for bad SQL, SQLITE_BUSY after the busy time-out, SQLITE_CANTOPEN when the file
// cannot be opened, SQLITE_NOTADB / SQLITE_CORRUPT for a damaged file,
// SQLITE_MISUSE for a null path or statement). Bad SQL and damaged files are
// reported, never fatal.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

constexpr unsigned int OMDB_BUSY_TIMEOUT_MS = 5000;
constexpr size_t OMDB_MAX_CONNECTIONS = 16;

// Called exactly once per OMDB_QueryDb. On success `table` holds `columns`
// column names followed by `rows` * `columns` values (row by row, a NULL value
// as a null pointer), laid out as by sqlite3_get_table, and `errorText` is null.
// On failure `table` is null, `rows` and `columns` are 0 and `errorText` says
// why. Everything passed is owned by the platform and valid only during the
// call. The callback runs with no lock held and may itself use the database.
typedef int (*OMDB_QUERY_CALLBACK)(void* context, char** table, int rows, int columns, const char* errorText);

// Runs `sql` (one or more statements) on the database file `dbPath`.
int OMDB_OperateDb(const char* dbPath, const char* sql);
// Runs the query `sql` on `dbPath` and hands its result to `callback` (which
// may be null). Returns the callback's result when the query ran, else the
// SQLite result code of the failure (whatever the callback returned then).
int OMDB_QueryDb(const char* dbPath, const char* sql, OMDB_QUERY_CALLBACK callback, void* context);

namespace platform {

// Sees every statement (real path, SQL text) just before it runs; lets tests
// check the exact texts callers build. Null removes it. The observer is called
// on the caller's thread with no lock of this layer held.
using OmDbObserver = std::function<void(const std::string& dbPath, const std::string& sql)>;
void SetOmDbObserver(OmDbObserver observer);

// Closes every cached connection that no thread is using; the others close
// when their statement ends. For tests and orderly shut-down.
void OmDbCloseAll();
// Connections currently cached.
size_t OmDbOpenConnections();

// For a long-lived process with few, light statements: each SQLite connection
// of the process (this layer's and any other) gets a small lookaside pool and
// a page cache that grows page by page, instead of the default blocks (~120 kB
// and ~85 kB per connection) that are touched in full when set up. Takes
// effect only before SQLite's first use in the process; false after it.
bool OmDbUseLeanConnections();

}  // namespace platform
