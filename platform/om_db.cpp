#include "platform/om_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace {

// One open handle on one database file. Every member is used with `mutex`
// held, so the handle itself can run without SQLite's own locking.
class Connection final {
public:
    explicit Connection(std::string path) : m_path(std::move(path)) {}
    ~Connection() { Close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens the handle unless it is open on the file the path names now.
    // 0, or the SQLite result code with `error` set.
    int Ready(std::string& error) {
        struct stat now {};
        bool exists = stat(m_path.c_str(), &now) == 0;
        if (m_db != nullptr && (!exists || !m_known || now.st_dev != m_dev || now.st_ino != m_ino)) {
            // Removed or replaced by another process (the record database is
            // rebuilt by renaming a new file over it): the handle would go on
            // reading the old, unlinked file.
            Close();
        }
        if (m_db != nullptr) {
            return SQLITE_OK;
        }
        int rc = sqlite3_open_v2(m_path.c_str(), &m_db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            error = m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
            Close();
            return rc & 0xFF;
        }
        sqlite3_busy_timeout(m_db, static_cast<int>(OMDB_BUSY_TIMEOUT_MS));
        if (exists && now.st_size > 0) {
            // A commit then waits for the disk once per checkpoint instead of
            // twice per statement; the file stays consistent through a crash
            // and a power loss costs at most the last commits, which a record
            // of collected files can afford. An empty file is left as it is:
            // it is a damaged database for its owner to rebuild.
            sqlite3_exec(m_db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
        }
        // SQLite opens the file at once, so the identity taken
        // now is that of the file the handle holds.
        m_known = stat(m_path.c_str(), &now) == 0;
        m_dev = now.st_dev;
        m_ino = now.st_ino;
        return SQLITE_OK;
    }

    // After a failure that may come from the file rather than the statement,
    // the next use starts from a fresh handle, as a caller opening the file
    // for every statement would.
    void Settle(int rc) {
        switch (rc) {
            case SQLITE_CORRUPT:
            case SQLITE_NOTADB:
            case SQLITE_IOERR:
            case SQLITE_CANTOPEN:
            case SQLITE_READONLY:
            case SQLITE_FULL:
                Close();
                break;
            default:
                break;
        }
    }

    void Close() {
        if (m_db != nullptr) {
            sqlite3_close_v2(m_db);
            m_db = nullptr;
        }
        m_known = false;
    }

    sqlite3* db() const { return m_db; }
    std::mutex mutex;

private:
    const std::string m_path;
    sqlite3* m_db = nullptr;
    bool m_known = false;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
};

// Path -> connection. A connection leaves the cache (evicted, or by
// OmDbCloseAll) while a statement may still run on it; the shared pointer
// keeps it alive until that statement ends.
class ConnectionCache final {
public:
    std::shared_ptr<Connection> Get(const std::string& path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        uint64_t stamp = ++m_clock;
        auto found = m_entries.find(path);
        if (found != m_entries.end()) {
            found->second.uiLastUse = stamp;
            return found->second.pConnection;
        }
        if (m_entries.size() >= OMDB_MAX_CONNECTIONS) {
            auto oldest = m_entries.begin();
            for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
                if (it->second.uiLastUse < oldest->second.uiLastUse) {
                    oldest = it;
                }
            }
            m_entries.erase(oldest);
        }
        auto connection = std::make_shared<Connection>(path);
        m_entries.emplace(path, Entry{connection, stamp});
        return connection;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.clear();
    }

    size_t Size() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries.size();
    }

private:
    struct Entry {
        std::shared_ptr<Connection> pConnection;
        uint64_t uiLastUse;
    };
    std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
    uint64_t m_clock = 0;
};

// Never destroyed: statements may still run on other threads while the
// process exits.
ConnectionCache& Cache() {
    static ConnectionCache* cache = new ConnectionCache;
    return *cache;
}

std::mutex g_observerMutex;
// Never destroyed: a writer may still notify it while the exit handlers run.
std::shared_ptr<platform::OmDbObserver>& g_observer = *new std::shared_ptr<platform::OmDbObserver>();
std::atomic<bool> g_observed{false};

void Observe(const char* dbPath, const char* sql) {
    if (!g_observed.load(std::memory_order_acquire)) {
        return;
    }
    std::shared_ptr<platform::OmDbObserver> observer;
    {
        std::lock_guard<std::mutex> lock(g_observerMutex);
        observer = g_observer;
    }
    if (observer && *observer) {
        (*observer)(dbPath, sql);
    }
}

std::string TakeError(char* message, int rc) {
    std::string text = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return text;
}

}  // namespace

int OMDB_OperateDb(const char* dbPath, const char* sql) {
    if (dbPath == nullptr || sql == nullptr) {
        return SQLITE_MISUSE;
    }
    Observe(dbPath, sql);
    std::shared_ptr<Connection> connection = Cache().Get(dbPath);
    std::lock_guard<std::mutex> lock(connection->mutex);
    std::string error;
    int rc = connection->Ready(error);
    if (rc != SQLITE_OK) {
        return rc;
    }
    char* message = nullptr;
    rc = sqlite3_exec(connection->db(), sql, nullptr, nullptr, &message) & 0xFF;
    sqlite3_free(message);
    connection->Settle(rc);
    return rc;
}

int OMDB_QueryDb(const char* dbPath, const char* sql, OMDB_QUERY_CALLBACK callback, void* context) {
    if (dbPath == nullptr || sql == nullptr) {
        if (callback != nullptr) {
            callback(context, nullptr, 0, 0, sqlite3_errstr(SQLITE_MISUSE));
        }
        return SQLITE_MISUSE;
    }
    Observe(dbPath, sql);
    char** table = nullptr;
    int rows = 0;
    int columns = 0;
    std::string error;
    int rc = SQLITE_OK;
    {
        std::shared_ptr<Connection> connection = Cache().Get(dbPath);
        std::lock_guard<std::mutex> lock(connection->mutex);
        rc = connection->Ready(error);
        if (rc == SQLITE_OK) {
            char* message = nullptr;
            rc = sqlite3_get_table(connection->db(), sql, &table, &rows, &columns, &message) & 0xFF;
            if (rc != SQLITE_OK) {
                error = TakeError(message, rc);
                connection->Settle(rc);
            }
        }
    }
    // The table is ours alone now: the callback runs unlocked, so it may use
    // the database itself.
    if (rc != SQLITE_OK) {
        sqlite3_free_table(table);
        if (callback != nullptr) {
            callback(context, nullptr, 0, 0, error.c_str());
        }
        return rc;
    }
    int result = callback != nullptr ? callback(context, table, rows, columns, nullptr) : 0;
    sqlite3_free_table(table);
    return result;
}

namespace platform {

void SetOmDbObserver(OmDbObserver observer) {
    std::lock_guard<std::mutex> lock(g_observerMutex);
    g_observer = observer ? std::make_shared<OmDbObserver>(std::move(observer)) : nullptr;
    g_observed.store(g_observer != nullptr, std::memory_order_release);
}

void OmDbCloseAll() { Cache().Clear(); }

size_t OmDbOpenConnections() { return Cache().Size(); }

bool OmDbUseLeanConnections() {
    // Lookaside: 32 slots of 256 bytes, so the small allocations of a short
    // statement still skip malloc. Page cache: no block of 20 pages set up in
    // full at a connection's first read; pages come one by one as used. Both
    // are refused (SQLITE_MISUSE) once SQLite is initialised.
    return sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 256, 32) == SQLITE_OK &&
           sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0) == SQLITE_OK;
}

}  // namespace platform
