#include "platform/ccdb_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dplog.h"
#include "platform/om_cluster.h"

namespace platform {
namespace ccdb {
namespace {

// Rows carry the name of their database, so that two databases in the one
// file never see each other's rows.
constexpr const char* kSqlCreate =
    "CREATE TABLE IF NOT EXISTS ccdb_kv (db TEXT NOT NULL, tbl TEXT NOT NULL, key TEXT NOT NULL, "
    "value TEXT NOT NULL, PRIMARY KEY (db, tbl, key));"
    "CREATE TABLE IF NOT EXISTS ccdb_obj (db TEXT NOT NULL, tbl TEXT NOT NULL, key TEXT NOT NULL, "
    "row BLOB NOT NULL, PRIMARY KEY (db, tbl, key));"
    "CREATE TABLE IF NOT EXISTS ccdb_schema (db TEXT NOT NULL, tbl TEXT NOT NULL, row_size INTEGER NOT NULL, "
    "key_field TEXT NOT NULL, columns BLOB NOT NULL, PRIMARY KEY (db, tbl));";

// The statements of one kind of row.
struct RowSql {
    const char* get;
    const char* replace;
    const char* insert;
    const char* remove;
};

constexpr RowSql kKvSql = {"SELECT value FROM ccdb_kv WHERE db = ?1 AND tbl = ?2 AND key = ?3",
                           "INSERT OR REPLACE INTO ccdb_kv (db, tbl, key, value) VALUES (?1, ?2, ?3, ?4)",
                           "INSERT INTO ccdb_kv (db, tbl, key, value) VALUES (?1, ?2, ?3, ?4)",
                           "DELETE FROM ccdb_kv WHERE db = ?1 AND tbl = ?2 AND key = ?3"};
constexpr RowSql kObjSql = {"SELECT row FROM ccdb_obj WHERE db = ?1 AND tbl = ?2 AND key = ?3",
                            "INSERT OR REPLACE INTO ccdb_obj (db, tbl, key, row) VALUES (?1, ?2, ?3, ?4)",
                            "INSERT INTO ccdb_obj (db, tbl, key, row) VALUES (?1, ?2, ?3, ?4)",
                            "DELETE FROM ccdb_obj WHERE db = ?1 AND tbl = ?2 AND key = ?3"};
// Layout rows are kept as columns (row_size, key_field, columns): the file
// stays readable by earlier versions of the client.
constexpr RowSql kLayoutSql = {
    "SELECT row_size, key_field, columns FROM ccdb_schema WHERE db = ?1 AND tbl = ?2",
    "INSERT OR REPLACE INTO ccdb_schema (db, tbl, row_size, key_field, columns) VALUES (?1, ?2, ?3, ?4, ?5)",
    "INSERT INTO ccdb_schema (db, tbl, row_size, key_field, columns) VALUES (?1, ?2, ?3, ?4, ?5)",
    "DELETE FROM ccdb_schema WHERE db = ?1 AND tbl = ?2"};
constexpr const char* kSqlObjCount = "SELECT count(*) FROM ccdb_obj WHERE db = ?1 AND tbl = ?2";
constexpr const char* kSqlObjKeys = "SELECT key FROM ccdb_obj WHERE db = ?1 AND tbl = ?2";

const RowSql& SqlOf(RowKind kind) {
    return kind == RowKind::kKeyValue ? kKvSql : kind == RowKind::kObject ? kObjSql : kLayoutSql;
}

// OM_CCDB_TIMEOUT for a busy or locked database, OM_CCDB_ERR_DB otherwise.
int MapSqlite(int rc) {
    int primary = rc & 0xFF;
    if (primary == SQLITE_OK || primary == SQLITE_DONE || primary == SQLITE_ROW) {
        return OM_CCDB_OK;
    }
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED ? OM_CCDB_TIMEOUT : OM_CCDB_ERR_DB;
}

// The strings are never destroyed: a message thread may still read the
// store while the exit handlers run.
std::mutex g_storeMutex;
sqlite3* g_db = nullptr;  // guarded by g_storeMutex, like the three below
std::string& g_path = *new std::string();
pid_t g_pid = 0;
std::atomic<unsigned int> g_busyTimeoutMs{5000};

// The database holds the agent's proxy password and the site id: owner and
// group only. SQLite gives its -wal and -shm files the mode of the database.
constexpr mode_t kFileMode = 0640;
const char* const kSideSuffixes[] = {"", "-wal", "-shm"};

// Narrows the mode of `path` to kFileMode when it is wider; creates the file
// (with that mode) when `create` is set. A symbolic link is left alone.
// Failures are logged and left to SQLite's own open to report: a file that
// another owner keeps wide is not safer for a refused service.
//
// The file is looked at through an O_PATH descriptor: closing an ordinary
// descriptor of a file drops every POSIX lock this process holds on it, and
// SQLite's locks on the database and its -shm file are what tell another
// process that this one still uses the WAL (without them the other process
// checkpoints and deletes the WAL under our connection, and our later
// commits land in a deleted file).
void NarrowMode(const std::string& path, bool create) {
    if (create) {
        int made = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
        if (made >= 0) {
            close(made);  // new: nobody holds a lock on it yet
        }
    }
    int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: cannot open %s: %s", path.c_str(),
                           strerror(errno));
        }
        return;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777 & ~kFileMode) != 0) {
        // fchmod does not take an O_PATH descriptor; its /proc name reaches the same file.
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        bool ok = chmod(self.c_str(), st.st_mode & kFileMode) == 0;
        dplog_standard(0, ok ? 4 : 3, __FUNCTION__, __LINE__, 0, "ccdb: %s had mode %04o, %s %04o.",
                       path.c_str(), static_cast<unsigned int>(st.st_mode & 07777),
                       ok ? "narrowed to" : "cannot narrow it to",
                       static_cast<unsigned int>(st.st_mode & kFileMode));
    }
    close(fd);
}

// The database and its side files, before SQLite opens them (`create`: the
// database is made with its mode) and after (it may have created the side
// files just now).
void NarrowModes(const std::string& path, bool create) {
    for (const char* suffix : kSideSuffixes) {
        NarrowMode(path + suffix, create && *suffix == '\0');
    }
}

void CloseLocked() {
    if (g_db != nullptr && g_pid == getpid()) {
        sqlite3_close_v2(g_db);
    }
    // A connection inherited through fork() is left alone: closing it would
    // release locks of the parent's file descriptors.
    g_db = nullptr;
    g_path.clear();
}

int OpenLocked() {
    const std::string& dir = Cluster().strDir;
    if (dir.empty()) {
        return OM_CCDB_ERR_UNREACHABLE;
    }
    std::string path = dir + "/ccdb.sqlite";
    if (g_db != nullptr && (g_pid != getpid() || g_path != path)) {
        CloseLocked();
    }
    if (g_db != nullptr) {
        return OM_CCDB_OK;
    }
    NarrowModes(path, true);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: cannot open %s: %s", path.c_str(),
                       db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return (rc & 0xFF) == SQLITE_CANTOPEN ? OM_CCDB_ERR_UNREACHABLE : MapSqlite(rc);
    }
    sqlite3_busy_timeout(db, static_cast<int>(g_busyTimeoutMs.load()));
    // Settings are few and precious: every commit reaches the disk before it
    // is acknowledged.
    rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(db, kSqlCreate, nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: cannot prepare %s: %s", path.c_str(),
                       sqlite3_errmsg(db));
        sqlite3_close_v2(db);
        return MapSqlite(rc);
    }
    NarrowModes(path, false);
    g_db = db;
    g_path = path;
    g_pid = getpid();
    return OM_CCDB_OK;
}

// Exclusive use of the process's connection, opened on demand.
class CcdbSession {
  public:
    CcdbSession() : m_lock(g_storeMutex), m_status(OpenLocked()) {}
    CcdbSession(const CcdbSession&) = delete;
    CcdbSession& operator=(const CcdbSession&) = delete;

    int Status() const { return m_status; }  // OM_CCDB_OK or why there is no connection
    sqlite3* Db() const { return g_db; }
    int Exec(const char* sql) { return MapSqlite(sqlite3_exec(g_db, sql, nullptr, nullptr, nullptr)); }

  private:
    std::unique_lock<std::mutex> m_lock;
    int m_status;
};

// A prepared statement with text and blob parameters, finalised on destruction.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : m_rc(sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr)) {}
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Text(int index, const std::string& text) {
        if (m_rc == SQLITE_OK) {
            m_rc = sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()),
                                     SQLITE_TRANSIENT);
        }
        return *this;
    }
    Statement& Blob(int index, const void* data, size_t size) {
        if (m_rc == SQLITE_OK) {
            m_rc = sqlite3_bind_blob(m_stmt, index, data, static_cast<int>(size), SQLITE_TRANSIENT);
        }
        return *this;
    }
    Statement& Int(int index, int64_t value) {
        if (m_rc == SQLITE_OK) {
            m_rc = sqlite3_bind_int64(m_stmt, index, value);
        }
        return *this;
    }
    int Step() { return m_rc == SQLITE_OK ? sqlite3_step(m_stmt) : m_rc; }  // SQLITE_ROW, SQLITE_DONE, ...
    sqlite3_stmt* Get() const { return m_stmt; }

    // Binds the key of `id` (db, table, key; a layout row has no table).
    Statement& Row(const RowId& id) {
        Text(1, id.db);
        return id.kind == RowKind::kLayout ? Text(2, id.key) : Text(2, id.table).Text(3, id.key);
    }

  private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc;
};

// Reads row `id` into `value`; OM_CCDB_NO_VALUE when absent.
int ReadRow(CcdbSession& session, const RowId& id, std::string& value) {
    Statement query(session.Db(), SqlOf(id.kind).get);
    int step = query.Row(id).Step();
    if (step == SQLITE_DONE) {
        return OM_CCDB_NO_VALUE;
    }
    if (step != SQLITE_ROW) {
        return MapSqlite(step);
    }
    sqlite3_stmt* row = query.Get();
    if (id.kind != RowKind::kLayout) {
        const void* data = sqlite3_column_blob(row, 0);
        value.assign(data != nullptr ? static_cast<const char*>(data) : "",
                     static_cast<size_t>(sqlite3_column_bytes(row, 0)));
        return OM_CCDB_OK;
    }
    CcdbTable table;
    table.strName = id.key;
    sqlite3_int64 rowSize = sqlite3_column_int64(row, 0);
    const unsigned char* key = sqlite3_column_text(row, 1);
    const void* columns = sqlite3_column_blob(row, 2);
    if (rowSize <= 0 || rowSize > OM_CCDB_MAX_ROW_SIZE || key == nullptr || columns == nullptr) {
        return OM_CCDB_ERR_DB;
    }
    table.uiRowSize = static_cast<uint32_t>(rowSize);  // the columns are checked against it
    table.strKeyField = reinterpret_cast<const char*>(key);
    if (!DecodeColumns(
            std::string(static_cast<const char*>(columns), static_cast<size_t>(sqlite3_column_bytes(row, 2))),
            table)) {
        return OM_CCDB_ERR_DB;
    }
    value = EncodeLayout(table);
    return OM_CCDB_OK;
}

// Writes row `id` with the statement `sql` (a replace or an insert).
int WriteRow(CcdbSession& session, const RowId& id, const std::string& value, const char* sql) {
    Statement write(session.Db(), sql);
    write.Row(id);
    if (id.kind == RowKind::kKeyValue) {
        write.Text(4, value);
    } else if (id.kind == RowKind::kObject) {
        write.Blob(4, value.data(), value.size());
    } else {
        CcdbTable table;
        if (!DecodeLayout(id.key, value, table)) {
            return OM_CCDB_ERR_PARAM;
        }
        std::string columns = EncodeColumns(table);
        write.Int(3, table.uiRowSize).Text(4, table.strKeyField).Blob(5, columns.data(), columns.size());
    }
    int step = write.Step();
    if ((step & 0xFF) == SQLITE_CONSTRAINT) {
        return OM_CCDB_OBJ_EXIST;
    }
    return step == SQLITE_DONE ? OM_CCDB_OK : MapSqlite(step);
}

class SqliteStore : public CcdbBackend {
  public:
    int Ping() override {
        CcdbSession session;
        return session.Status();
    }

    int Get(const RowId& id, std::string& value) override {
        CcdbSession session;
        return session.Status() != OM_CCDB_OK ? session.Status() : ReadRow(session, id, value);
    }

    int Put(const RowId& id, const std::string& value) override {
        CcdbSession session;
        return session.Status() != OM_CCDB_OK ? session.Status()
                                              : WriteRow(session, id, value, SqlOf(id.kind).replace);
    }

    int Insert(const RowId& id, const std::string& value) override {
        CcdbSession session;
        return session.Status() != OM_CCDB_OK ? session.Status()
                                              : WriteRow(session, id, value, SqlOf(id.kind).insert);
    }

    int Remove(const RowId& id) override {
        CcdbSession session;
        if (session.Status() != OM_CCDB_OK) {
            return session.Status();
        }
        Statement remove(session.Db(), SqlOf(id.kind).remove);
        int step = remove.Row(id).Step();
        if (step != SQLITE_DONE) {
            return MapSqlite(step);
        }
        return sqlite3_changes(session.Db()) > 0 ? OM_CCDB_OK : OM_CCDB_NO_VALUE;
    }

    int Count(const std::string& db, const std::string& table, uint32_t& count) override {
        CcdbSession session;
        if (session.Status() != OM_CCDB_OK) {
            return session.Status();
        }
        Statement query(session.Db(), kSqlObjCount);
        int step = query.Text(1, db).Text(2, table).Step();
        if (step != SQLITE_ROW) {
            return MapSqlite(step);
        }
        count = static_cast<uint32_t>(sqlite3_column_int64(query.Get(), 0));
        return OM_CCDB_OK;
    }

    int Keys(const std::string& db, const std::string& table, std::vector<std::string>& keys) override {
        CcdbSession session;
        if (session.Status() != OM_CCDB_OK) {
            return session.Status();
        }
        Statement query(session.Db(), kSqlObjKeys);
        query.Text(1, db).Text(2, table);
        keys.clear();
        int step;
        while ((step = query.Step()) == SQLITE_ROW) {
            const unsigned char* key = sqlite3_column_text(query.Get(), 0);
            keys.emplace_back(key != nullptr ? reinterpret_cast<const char*>(key) : "");
        }
        return step == SQLITE_DONE ? OM_CCDB_OK : MapSqlite(step);
    }

    size_t MaxModifyRows() const override { return SIZE_MAX; }  // one SQLite transaction takes them all

    int Modify(const std::vector<RowId>& ids, const RowEdit& edit) override {
        CcdbSession session;
        if (session.Status() != OM_CCDB_OK) {
            return session.Status();
        }
        int rc = session.Exec("BEGIN IMMEDIATE");
        if (rc != OM_CCDB_OK) {
            return rc;
        }
        RowSet rows(ids.size());
        for (size_t i = 0; i < ids.size() && rc == OM_CCDB_OK; ++i) {
            std::string value;
            rc = ReadRow(session, ids[i], value);
            if (rc == OM_CCDB_OK) {
                rows[i] = std::move(value);
            } else if (rc == OM_CCDB_NO_VALUE) {
                rc = OM_CCDB_OK;
            }
        }
        // The session is held while `edit` runs: it must not call the client.
        rc = rc == OM_CCDB_OK ? edit(rows) : rc;
        for (size_t i = 0; i < ids.size() && rc == OM_CCDB_OK; ++i) {
            if (rows[i]) {
                rc = WriteRow(session, ids[i], *rows[i], SqlOf(ids[i].kind).replace);
            }
        }
        rc = rc == OM_CCDB_OK ? session.Exec("COMMIT") : rc;
        if (rc != OM_CCDB_OK) {
            session.Exec("ROLLBACK");
        }
        return rc;
    }
};

}  // namespace

std::shared_ptr<CcdbBackend> SqliteBackend() {
    // Never destroyed, like the connection: message threads may still call
    // in while the exit handlers run.
    static const std::shared_ptr<CcdbBackend>& store = *new std::shared_ptr<CcdbBackend>(new SqliteStore());
    return store;
}

unsigned int TimeoutMs() { return g_busyTimeoutMs.load(); }

}  // namespace ccdb

void SetCcdbBusyTimeoutMs(unsigned int milliseconds) {
    std::lock_guard<std::mutex> lock(ccdb::g_storeMutex);
    ccdb::g_busyTimeoutMs = milliseconds;
    if (ccdb::g_db != nullptr && ccdb::g_pid == getpid()) {
        sqlite3_busy_timeout(ccdb::g_db, static_cast<int>(milliseconds));
    }
}

void CcdbCloseAll() {
    std::lock_guard<std::mutex> lock(ccdb::g_storeMutex);
    ccdb::CloseLocked();
}

}  // namespace platform
