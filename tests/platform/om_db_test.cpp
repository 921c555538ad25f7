#include "platform/om_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using chs_test::TempDir;
using chs_test::WriteText;

// What one OMDB_QueryDb handed to its callback, copied out.
struct QueryResult {
    int calls = 0;
    int rows = -1;
    int columns = -1;
    bool tableNull = false;
    std::vector<std::string> cells;  // "<null>" for a NULL value
    std::string error;
    bool errorNull = true;
    int answer = 0;  // what the callback returns
};

int Collect(void* context, char** table, int rows, int columns, const char* errorText) {
    auto* result = static_cast<QueryResult*>(context);
    ++result->calls;
    result->rows = rows;
    result->columns = columns;
    result->tableNull = table == nullptr;
    result->errorNull = errorText == nullptr;
    result->error = errorText != nullptr ? errorText : "";
    if (table != nullptr) {
        for (int i = 0; i < (rows + 1) * columns; ++i) {
            result->cells.push_back(table[i] != nullptr ? table[i] : "<null>");
        }
    }
    return result->answer;
}

QueryResult Query(const std::string& path, const std::string& sql, int answer = 0) {
    QueryResult result;
    result.answer = answer;
    int rc = OMDB_QueryDb(path.c_str(), sql.c_str(), Collect, &result);
    EXPECT_EQ(result.calls, 1) << sql;
    if (result.errorNull) {
        EXPECT_EQ(rc, answer) << "a query that ran returns the callback's result";
    }
    return result;
}

std::string Single(const std::string& path, const std::string& sql) {
    QueryResult result = Query(path, sql);
    return result.rows == 1 && result.columns == 1 ? result.cells[1] : "<" + result.error + ">";
}

// Builds a database at `path` with one row, the way another process would.
void MakeDbWithRow(const std::string& path, const std::string& value) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string sql = "create table t(v text); insert into t values('" + value + "');";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

class OmDbTest : public ::testing::Test {
protected:
    void TearDown() override {
        platform::SetOmDbObserver(nullptr);
        platform::OmDbCloseAll();
    }
    // An empty database file, as its owner creates it: the layer opens, never creates.
    std::string NewDb(const std::string& name) {
        std::string path = dir.Join(name);
        sqlite3* handle = nullptr;
        EXPECT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
        sqlite3_close(handle);
        return path;
    }
    TempDir dir;
    std::string db = NewDb("test.dat");
};

TEST_F(OmDbTest, ResultTableHasColumnNamesThenRows) {
    ASSERT_EQ(OMDB_OperateDb(db.c_str(), "create table t(id integer primary key, name text, note text)"), 0);
    ASSERT_EQ(OMDB_OperateDb(db.c_str(),
                             "insert into t(name, note) values('a', 'x'); insert into t(name) values('b')"),
              0);

    QueryResult result = Query(db, "select id, name, note from t order by id", 7);
    EXPECT_TRUE(result.errorNull);
    EXPECT_EQ(result.rows, 2);
    EXPECT_EQ(result.columns, 3);
    EXPECT_EQ(result.cells,
              (std::vector<std::string>{"id", "name", "note", "1", "a", "x", "2", "b", "<null>"}));

    QueryResult none = Query(db, "select name from t where id = 99");
    EXPECT_TRUE(none.errorNull) << "an empty result is no failure";
    EXPECT_EQ(none.rows, 0);

    EXPECT_EQ(OMDB_QueryDb(db.c_str(), "select count(*) from t", nullptr, nullptr), 0)
        << "no callback is fine";
}

TEST_F(OmDbTest, FailuresGiveCodeAndErrorText) {
    EXPECT_EQ(OMDB_OperateDb(db.c_str(), "this is not sql"), SQLITE_ERROR);

    QueryResult bad = Query(db, "selec 1");
    EXPECT_FALSE(bad.errorNull);
    EXPECT_NE(bad.error.find("syntax error"), std::string::npos) << bad.error;
    EXPECT_TRUE(bad.tableNull);
    EXPECT_EQ(bad.rows, 0);
    EXPECT_EQ(bad.columns, 0);

    QueryResult result;
    result.answer = 0;  // a careless callback must not turn the failure into success
    EXPECT_EQ(OMDB_QueryDb(db.c_str(), "select * from missing_table", Collect, &result), SQLITE_ERROR);
    EXPECT_NE(result.error.find("no such table"), std::string::npos) << result.error;

    EXPECT_EQ(OMDB_OperateDb(dir.Join("no/such/dir/x.dat").c_str(), "create table t(a)"), SQLITE_CANTOPEN);
    QueryResult cantOpen = Query(dir.Join("no/such/dir/x.dat"), "select 1");
    EXPECT_FALSE(cantOpen.error.empty());

    EXPECT_EQ(OMDB_OperateDb(nullptr, "select 1"), SQLITE_MISUSE);
    EXPECT_EQ(OMDB_OperateDb(db.c_str(), nullptr), SQLITE_MISUSE);
    QueryResult misuse;
    EXPECT_EQ(OMDB_QueryDb(db.c_str(), nullptr, Collect, &misuse), SQLITE_MISUSE);
    EXPECT_EQ(misuse.calls, 1) << "the callback hears of every failure";
}

TEST_F(OmDbTest, DamagedReplacedOrRemovedFileIsSeenAfresh) {
    WriteText(db, std::string(8192, 'Z'));
    EXPECT_EQ(OMDB_OperateDb(db.c_str(), "create table t(a)"), SQLITE_NOTADB);
    EXPECT_FALSE(Query(db, "pragma integrity_check").errorNull);

    // A good database renamed over the damaged one is used from the next statement on.
    std::string fresh = dir.Join("fresh.dat");
    MakeDbWithRow(fresh, "old");
    ASSERT_EQ(rename(fresh.c_str(), db.c_str()), 0);
    ASSERT_EQ(Single(db, "select v from t"), "old");
    ASSERT_EQ(platform::OmDbOpenConnections(), 1u);

    MakeDbWithRow(fresh, "new");
    ASSERT_EQ(rename(fresh.c_str(), db.c_str()), 0);
    EXPECT_EQ(Single(db, "select v from t"), "new") << "the cached handle still read the unlinked file";
    EXPECT_EQ(OMDB_OperateDb(db.c_str(), "insert into t values('written')"), 0);
    EXPECT_EQ(Single(db, "select count(*) from t"), "2");

    ASSERT_EQ(unlink(db.c_str()), 0);
    EXPECT_EQ(OMDB_OperateDb(db.c_str(), "insert into t values('lost')"), SQLITE_CANTOPEN)
        << "a removed file is not recreated empty";
    EXPECT_NE(access(db.c_str(), F_OK), 0);
}

TEST_F(OmDbTest, ConcurrentThreadsShareConnectionsSafely) {
    std::string other = NewDb("other.dat");
    ASSERT_EQ(OMDB_OperateDb(db.c_str(), "create table t(n integer)"), 0);
    ASSERT_EQ(OMDB_OperateDb(other.c_str(), "create table t(n integer)"), 0);

    constexpr int kThreads = 6;
    constexpr int kRows = 60;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string& path = t % 2 == 0 ? db : other;
            for (int i = 0; i < kRows; ++i) {
                std::string sql = "insert into t values(" + std::to_string(t * 1000 + i) + ")";
                if (OMDB_OperateDb(path.c_str(), sql.c_str()) != 0) {
                    ++failures;
                }
                QueryResult result;
                if (OMDB_QueryDb(path.c_str(), "select count(*) from t", Collect, &result) != 0 ||
                    result.rows != 1) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Single(db, "select count(*) from t"), std::to_string(kThreads / 2 * kRows));
    EXPECT_EQ(Single(other, "select count(*) from t"), std::to_string(kThreads / 2 * kRows));
}

// The callback runs unlocked: it may go back to the same database.
int Reenter(void* context, char**, int, int, const char*) {
    const auto* path = static_cast<const std::string*>(context);
    return OMDB_OperateDb(path->c_str(), "insert into t values(2)");
}

TEST_F(OmDbTest, CallbackMayUseTheDatabaseAgain) {
    ASSERT_EQ(OMDB_OperateDb(db.c_str(), "create table t(n integer); insert into t values(1)"), 0);
    EXPECT_EQ(OMDB_QueryDb(db.c_str(), "select n from t", Reenter, &db), 0);
    EXPECT_EQ(Single(db, "select count(*) from t"), "2");
}

TEST_F(OmDbTest, WriterWaitsForAnotherProcessLock) {
    ASSERT_EQ(OMDB_OperateDb(db.c_str(), "create table t(n integer)"), 0);
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "begin exclusive; insert into t values(1)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(holder, "commit", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(OMDB_OperateDb(db.c_str(), "insert into t values(2)"), 0) << "no busy time-out was set";
    release.join();
    sqlite3_close(holder);
    EXPECT_EQ(Single(db, "select count(*) from t"), "2");
}

TEST_F(OmDbTest, CacheStaysBoundedAndObserverSeesStatements) {
    std::vector<std::string> seen;
    platform::SetOmDbObserver(
        [&seen](const std::string& path, const std::string& sql) { seen.push_back(path + " | " + sql); });
    for (size_t i = 0; i < OMDB_MAX_CONNECTIONS + 4; ++i) {
        std::string path = NewDb("f" + std::to_string(i) + ".dat");
        ASSERT_EQ(OMDB_OperateDb(path.c_str(), "create table t(n)"), 0);
        EXPECT_LE(platform::OmDbOpenConnections(), OMDB_MAX_CONNECTIONS);
    }
    EXPECT_EQ(Single(dir.Join("f0.dat"), "select count(*) from t"), "0") << "an evicted file reopens";
    ASSERT_EQ(seen.size(), OMDB_MAX_CONNECTIONS + 5);
    EXPECT_EQ(seen.front(), dir.Join("f0.dat") + " | create table t(n)");

    platform::SetOmDbObserver(nullptr);
    platform::OmDbCloseAll();
    EXPECT_EQ(platform::OmDbOpenConnections(), 0u);
    EXPECT_EQ(Single(dir.Join("f1.dat"), "select count(*) from t"), "0");
    EXPECT_EQ(seen.size(), OMDB_MAX_CONNECTIONS + 5);
}

}  // namespace
