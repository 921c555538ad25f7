// Single-row statements through the platform SQLite layer, which keeps one
// connection per database file, against the baseline of opening the file for
// every statement (sqlite3_open_v2 + sqlite3_exec + sqlite3_close). Each
// iteration inserts one row and deletes it by id, so the table stays small and
// both cases do the same work on the file.
//
// The database lives in CHS_BENCH_DIR when set (to measure a given file
// system), else in the temporary directory.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/om_db.h"

namespace {

const char* const kCreate =
    "CREATE TABLE IF NOT EXISTS tbl_node_record (id integer PRIMARY KEY AUTOINCREMENT, file_name varchar "
    "(256), is_collect int DEFAULT 0, file_time datetime, file_size integer)";

class BenchDb {
public:
    BenchDb() {
        const char* base = std::getenv("CHS_BENCH_DIR");
        std::string pattern = std::string(base != nullptr ? base : P_tmpdir) + "/om_db_bench.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        m_dir = pattern;
        m_path = m_dir + "/collect.dat";
        // Made the way the initialisation script makes it, before the
        // platform layer first opens it.
        sqlite3* handle = nullptr;
        if (sqlite3_open(m_path.c_str(), &handle) != SQLITE_OK ||
            sqlite3_exec(handle, kCreate, nullptr, nullptr, nullptr) != SQLITE_OK) {
            std::abort();
        }
        sqlite3_close(handle);
    }
    ~BenchDb() {
        platform::OmDbCloseAll();
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
            unlink((m_path + suffix).c_str());
        }
        rmdir(m_dir.c_str());
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_dir;
    std::string m_path;
};

const char* const kInsert =
    "insert into tbl_node_record(file_name, is_collect, file_time, file_size) values "
    "('/VXA/coffer_data/node0.tgz', 0 , datetime('now', 'localtime'), 4096 )";

void BM_CachedConnection(benchmark::State& state) {
    BenchDb db;
    int id = 0;
    for (auto _ : state) {
        ++id;
        if (OMDB_OperateDb(db.path().c_str(), kInsert) != 0) {
            state.SkipWithError("insert failed");
            break;
        }
        std::string remove = "delete from tbl_node_record where id=" + std::to_string(id);
        if (OMDB_OperateDb(db.path().c_str(), remove.c_str()) != 0) {
            state.SkipWithError("delete failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_CachedConnection)->Unit(benchmark::kMicrosecond);

int OpenExecClose(const std::string& path, const char* sql) {
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(handle, sql, nullptr, nullptr, nullptr);
    }
    sqlite3_close(handle);
    return rc;
}

void BM_OpenPerStatement(benchmark::State& state) {
    BenchDb db;
    int id = 0;
    for (auto _ : state) {
        ++id;
        if (OpenExecClose(db.path(), kInsert) != 0) {
            state.SkipWithError("insert failed");
            break;
        }
        std::string remove = "delete from tbl_node_record where id=" + std::to_string(id);
        if (OpenExecClose(db.path(), remove.c_str()) != 0) {
            state.SkipWithError("delete failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_OpenPerStatement)->Unit(benchmark::kMicrosecond);

// Single-row reads: no commit, so the cost of opening the file shows in full.
const char* const kCount =
    "select count(1) from tbl_node_record where file_name='/VXA/coffer_data/node0.tgz'";

int CountOne(void* context, char** table, int rows, int columns, const char* errorText) {
    if (errorText != nullptr || rows != 1 || columns != 1) {
        return -1;
    }
    *static_cast<long*>(context) += std::strtol(table[1], nullptr, 10);
    return 0;
}

void BM_CachedConnectionQuery(benchmark::State& state) {
    BenchDb db;
    long total = 0;
    for (auto _ : state) {
        if (OMDB_QueryDb(db.path().c_str(), kCount, CountOne, &total) != 0) {
            state.SkipWithError("query failed");
            break;
        }
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CachedConnectionQuery)->Unit(benchmark::kMicrosecond);

void BM_OpenPerQuery(benchmark::State& state) {
    BenchDb db;
    long total = 0;
    for (auto _ : state) {
        sqlite3* handle = nullptr;
        int rc =
            sqlite3_open_v2(db.path().c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        char** table = nullptr;
        int rows = 0;
        int columns = 0;
        if (rc == SQLITE_OK) {
            rc = sqlite3_get_table(handle, kCount, &table, &rows, &columns, nullptr);
        }
        if (rc != SQLITE_OK || CountOne(&total, table, rows, columns, nullptr) != 0) {
            state.SkipWithError("query failed");
        }
        sqlite3_free_table(table);
        sqlite3_close(handle);
        if (rc != SQLITE_OK) {
            break;
        }
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenPerQuery)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
