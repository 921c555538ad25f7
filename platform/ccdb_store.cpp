#include "platform/ccdb_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/dplog.h"
#include "platform/om_cluster.h"
#include "platform/platform_state.h"

namespace platform {
namespace ccdb {
namespace {

// The strings are never destroyed: a message thread may still read the
// store while the exit handlers run.
std::mutex g_storeMutex;
sqlite3* g_db = nullptr;  // guarded by g_storeMutex, like the three below
std::string& g_path = *new std::string();
pid_t g_pid = 0;
std::atomic<unsigned int> g_busyTimeoutMs{5000};

std::mutex g_handleMutex;
std::vector<std::string>& g_dbNames = *new std::vector<std::string>();  // handle - 1 -> database name

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
        dplog_standard(0, ok ? 4 : 3, __FUNCTION__, __LINE__, 0, "ccdb: %s had mode %04o, %s %04o.", path.c_str(),
                       static_cast<unsigned int>(st.st_mode & 07777), ok ? "narrowed to" : "cannot narrow it to",
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

}  // namespace

int MapSqlite(int rc) {
    int primary = rc & 0xFF;
    if (primary == SQLITE_OK || primary == SQLITE_DONE || primary == SQLITE_ROW) {
        return OM_CCDB_OK;
    }
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED ? OM_CCDB_TIMEOUT : OM_CCDB_ERR_DB;
}

CcdbSession::CcdbSession() : m_lock(g_storeMutex), m_status(OpenLocked()) {}

sqlite3* CcdbSession::Db() const { return g_db; }

int CcdbSession::Exec(const char* sql) {
    int rc = sqlite3_exec(g_db, sql, nullptr, nullptr, nullptr);
    return MapSqlite(rc);
}

Statement::Statement(sqlite3* db, const char* sql)
    : m_rc(sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr)) {}

Statement::~Statement() { sqlite3_finalize(m_stmt); }

Statement& Statement::Text(int index, const std::string& text) {
    if (m_rc == SQLITE_OK) {
        m_rc = sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    return *this;
}

Statement& Statement::Blob(int index, const void* data, size_t size) {
    if (m_rc == SQLITE_OK) {
        m_rc = sqlite3_bind_blob(m_stmt, index, data, static_cast<int>(size), SQLITE_TRANSIENT);
    }
    return *this;
}

Statement& Statement::Int(int index, int64_t value) {
    if (m_rc == SQLITE_OK) {
        m_rc = sqlite3_bind_int64(m_stmt, index, value);
    }
    return *this;
}

int Statement::Step() { return m_rc == SQLITE_OK ? sqlite3_step(m_stmt) : m_rc; }

int LookupTable(CcdbSession& session, const std::string& dbName, const std::string& tableName,
                CcdbTable& out) {
    if (const CcdbTable* builtin = BuiltinTable(tableName)) {
        out = *builtin;
        return OM_CCDB_OK;
    }
    Statement query(session.Db(), kSqlSchemaGet);
    query.Text(1, dbName).Text(2, tableName);
    int rc = query.Step();
    if (rc == SQLITE_DONE) {
        return OM_CCDB_ERR_NO_TABLE;
    }
    if (rc != SQLITE_ROW) {
        return MapSqlite(rc);
    }
    out = CcdbTable{};
    out.strName = tableName;
    sqlite3_int64 rowSize = sqlite3_column_int64(query.Get(), 0);
    const unsigned char* key = sqlite3_column_text(query.Get(), 1);
    const void* blob = sqlite3_column_blob(query.Get(), 2);
    int blobSize = sqlite3_column_bytes(query.Get(), 2);
    if (rowSize <= 0 || rowSize > OM_CCDB_MAX_ROW_SIZE || key == nullptr || blob == nullptr) {
        return OM_CCDB_ERR_DB;
    }
    out.uiRowSize = static_cast<uint32_t>(rowSize);
    out.strKeyField = reinterpret_cast<const char*>(key);
    if (!DecodeColumns(std::string(static_cast<const char*>(blob), static_cast<size_t>(blobSize)), out)) {
        return OM_CCDB_ERR_DB;
    }
    return OM_CCDB_OK;
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
