#include "collector/collector_db.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "infra/exec_cmd.h"
#include "platform/om_db.h"
#include "platform/platform_profile.h"
#include "tests/support/log_capture.h"
#include "tests/support/node_root.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace chs_test;

std::vector<std::string> g_commands;
int32_t RecordAndRun(const std::string& cmd, uint32_t timeoutMs) {
    g_commands.push_back(cmd);
    return chs_execCmdWithoutOutput(cmd, timeoutMs);
}
int32_t RecordOnly(const std::string& cmd, uint32_t) {
    g_commands.push_back(cmd);
    return 0;
}

// Rows of a query as "a|b|c" lines.
int Rows(void* context, char** table, int rows, int columns, const char* errorText) {
    auto* out = static_cast<std::vector<std::string>*>(context);
    if (errorText != nullptr) {
        out->push_back(std::string("error: ") + errorText);
        return 0;
    }
    for (int r = 1; r <= rows; ++r) {
        std::string line;
        for (int c = 0; c < columns; ++c) {
            const char* value = table[r * columns + c];
            line += (c == 0 ? "" : "|") + std::string(value != nullptr ? value : "NULL");
        }
        out->push_back(line);
    }
    return 0;
}

class CollectorDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("CHS_NODE_ROOT");  // the script must find the root from where it is installed
        UseNodeRoot(root.path());
        g_commands.clear();
        g_pfnCollectorDbExec = RecordAndRun;
        platform::SetOmDbObserver(
            [this](const std::string&, const std::string& sql) { statements.push_back(sql); });
    }
    void TearDown() override {
        platform::SetOmDbObserver(nullptr);
        platform::OmDbCloseAll();
        g_pfnCollectorDbExec = chs_execCmdWithoutOutput;
        platform::SetProfile(platform::Profile());
    }

    void InstallDbScript() { InstallScript(root.path(), "collector_db_init.sh"); }
    // A fresh database as start-up leaves it.
    void StartUp() {
        InstallDbScript();
        ASSERT_EQ(RecoverDb(), 0);
        ASSERT_EQ(CollectorDbOper(""), 0);
        statements.clear();
    }
    std::vector<std::string> Select(const std::string& sql) {
        std::vector<std::string> rows;
        OMDB_QueryDb(dbFile().c_str(), sql.c_str(), Rows, &rows);
        statements.pop_back();
        return rows;
    }
    std::set<std::string> Tables() {
        std::vector<std::string> rows =
            Select("select name from sqlite_master where type='table' and name not like 'sqlite_%'");
        return {rows.begin(), rows.end()};
    }
    std::string dbDir() const { return root.Join("VXA/coffer_data/omm/export_import/chs/collector/db"); }
    std::string dbFile() const { return dbDir() + "/collect.dat"; }
    std::string MakeFile(const std::string& name, off_t size) {
        std::string path = files.Join(name);
        WriteText(path, "");
        EXPECT_EQ(truncate(path.c_str(), size), 0);
        return path;
    }

    TempDir root;
    TempDir files;
    LogCapture log;
    std::vector<std::string> statements;
};

TEST_F(CollectorDbTest, MissingDatabaseIsBuiltByTheScriptOnce) {
    EXPECT_NE(RecoverDb(), 0) << "no script installed";
    InstallDbScript();
    MakeDirs(root.Join("VXA/coffer_data/omm/export_import/chs/collector"));
    WriteText(dbDir(), "a file where the directory belongs");
    EXPECT_NE(RecoverDb(), 0) << "a failing script";
    std::filesystem::remove(dbDir());
    g_commands.clear();
    log.Clear();

    EXPECT_FALSE(IsDbFileValid(COLLECTOR_DB_FILE));
    EXPECT_TRUE(log.Contains("File(" + std::string(COLLECTOR_DB_FILE) + ") is not exists."));

    ASSERT_EQ(RecoverDb(), 0);
    ASSERT_EQ(g_commands.size(), 2u);
    EXPECT_EQ(g_commands[0], "'" + root.path() + "/VXA/script/collector_db_init.sh'");
    EXPECT_EQ(g_commands[1], "chown -h -R '" + platform::GetProfile().strOperOwner + "' '" + root.path() +
                                 "/VXA/coffer_data/omm/export_import/chs'");
    EXPECT_TRUE(IsDbFileValid(COLLECTOR_DB_FILE));
    EXPECT_EQ(Tables(), (std::set<std::string>{"tbl_alarm_record", "tbl_node_record", "tbl_plugin_record"}));

    ASSERT_EQ(CollectorDbOper(""), 0);
    EXPECT_EQ(Tables().count("tbl_log_record"), 1u);

    g_commands.clear();
    EXPECT_EQ(RecoverDb(), 0);
    EXPECT_TRUE(g_commands.empty()) << "a valid database is left alone";
}

TEST_F(CollectorDbTest, CommandsOnAControllerRoot) {
    platform::Profile profile;  // root "/", where /VXA/... does not exist on a test machine
    platform::SetProfile(profile);
    g_pfnCollectorDbExec = RecordOnly;
    ASSERT_NE(access("/VXA/coffer_data/omm/export_import/chs/collector/db/collect.dat", F_OK), 0);
    EXPECT_EQ(RecoverDb(), 0);
    EXPECT_EQ(g_commands, (std::vector<std::string>{
                              "'/VXA/script/collector_db_init.sh'",
                              "chown -h -R 'root:OPERUSERS' '/VXA/coffer_data/omm/export_import/chs'"}));
}

TEST_F(CollectorDbTest, EmptyAndDamagedFilesAreRebuilt) {
    InstallDbScript();
    MakeDirs(dbDir());
    WriteText(dbFile(), "");
    EXPECT_FALSE(IsDbFileValid(COLLECTOR_DB_FILE));
    EXPECT_TRUE(log.Contains("File(" + std::string(COLLECTOR_DB_FILE) + ") is abnormal ."));
    ASSERT_EQ(RecoverDb(), 0);
    EXPECT_TRUE(IsDbFileValid(COLLECTOR_DB_FILE));

    WriteText(dbFile(), std::string(4096, 'x'));
    log.Clear();
    EXPECT_FALSE(IsDbFileValid(COLLECTOR_DB_FILE));
    EXPECT_TRUE(log.Contains("Check db file failed, return error info ("));
    // Damaged in place under an open connection: "not a database" or "malformed".
    EXPECT_TRUE(log.Contains("Check db file(" + std::string(COLLECTOR_DB_FILE) +
                             ") failed, sql(pragma integrity_check),result is (,"));
    ASSERT_EQ(RecoverDb(), 0);
    EXPECT_TRUE(IsDbFileValid(COLLECTOR_DB_FILE));

    // A real database whose pages were overwritten: the integrity check runs
    // but does not answer "ok".
    ASSERT_EQ(CollectorDbOper(""), 0);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(insertLogRecord(1, "/VXA/log/file" + std::to_string(i) + ".tgz"), 0);
    }
    {
        std::string bytes = chs_test::ReadText(dbFile());
        ASSERT_GT(bytes.size(), 4u * 4096);
        for (size_t page = 4096; page < bytes.size(); page += 4096) {
            bytes.replace(page, 16, 16, static_cast<char>(0xA5));  // b-tree page headers
        }
        WriteText(dbFile(), bytes);
    }
    platform::OmDbCloseAll();  // as at the next start: no page of the old file is cached
    EXPECT_FALSE(IsDbFileValid(COLLECTOR_DB_FILE));
    ASSERT_EQ(RecoverDb(), 0);
    EXPECT_TRUE(IsDbFileValid(COLLECTOR_DB_FILE));
    EXPECT_EQ(Tables(), (std::set<std::string>{"tbl_alarm_record", "tbl_node_record", "tbl_plugin_record"}));
}

TEST_F(CollectorDbTest, TableCreationRunsOncePerDatabase) {
    StartUp();
    EXPECT_NE(CollectorDbOper(""), 0) << "the table exists after the first start";
    EXPECT_TRUE(log.Contains("Table key(db_log_record_create) operate failed(1)."));
    EXPECT_EQ(insertLogRecord(3, "a.tgz"), 0) << "the database stays usable";

    statements.clear();
    EXPECT_EQ(CollectorDbOper("db_alarm_create"), -1);
    EXPECT_TRUE(log.Contains("Table key(db_alarm_create) is not find."));
    EXPECT_TRUE(statements.empty());

    ASSERT_EQ(Select("drop table tbl_log_record").size(), 0u);
    EXPECT_EQ(CollectorDbOper("db_log_record_create"), 0);
    EXPECT_EQ(statements, (std::vector<std::string>{collectorDbTableOper.at("db_log_record_create")}));
}

TEST_F(CollectorDbTest, RecordStatementsAndTheirRows) {
    StartUp();
    std::string big = MakeFile("node0.tgz", 3000000000LL);  // sparse; above the signed range
    std::string small = MakeFile("node1.tgz", 1234);

    EXPECT_EQ(insertPluginRecord(big, 3), 0);
    EXPECT_EQ(insertNodeRecord(small, 1), 0);
    tagTBL_NODE_RECORD record{};
    record.iId = 1;
    record.iFileSize = -5;
    EXPECT_EQ(updateNodeRecord(record), 0);
    EXPECT_EQ(statements,
              (std::vector<std::string>{
                  "insert into tbl_plugin_record(file_name, is_collect, file_time, file_size, file_type) "
                  "values ('" +
                      big + "', 0,  datetime('now', 'localtime'), 3000000000, 3 )",
                  "insert into tbl_node_record(file_name, is_collect, file_time, file_size) values ('" +
                      small + "', 1 , datetime('now', 'localtime'), 1234 )",
                  "update tbl_node_record set file_size=-5 where id=1"}));
    EXPECT_EQ(Select("select id, file_name, is_collect, file_size, file_type, file_time is not null "
                     "from tbl_plugin_record"),
              (std::vector<std::string>{"1|" + big + "|0|3000000000|3|1"}));
    EXPECT_EQ(Select("select id, file_name, is_collect, file_size from tbl_node_record"),
              (std::vector<std::string>{"1|" + small + "|1|-5"}));

    statements.clear();
    int count = 99;
    EXPECT_EQ(queryPluginRecordCount(big, count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(deletePluginRecordByID(7), 0);
    EXPECT_EQ(deleteNodeRecordByID(-2), 0);
    EXPECT_EQ(deletePluginRecordByFileName(big), 0);
    EXPECT_EQ(deleteNodeRecordByFileName(small), 0);
    EXPECT_EQ(deleteAllPluginRecord(), 0);
    EXPECT_EQ(deleteAllNodeRecord(), 0);
    EXPECT_EQ(DelAllAlarmRecord(), 0);
    EXPECT_EQ(
        statements,
        (std::vector<std::string>{
            "select count(1) from tbl_plugin_record where file_name='" + big + "'",
            "delete from tbl_plugin_record where id=7", "delete from tbl_node_record where id=-2",
            "delete from tbl_plugin_record where file_name='" + big + "'",
            "delete from tbl_node_record where file_name='" + small + "'", "delete from tbl_plugin_record",
            "delete from tbl_node_record", "delete from tbl_alarm_record"}));
    EXPECT_TRUE(Select("select * from tbl_plugin_record").empty());
    EXPECT_TRUE(Select("select * from tbl_node_record").empty());

    statements.clear();
    EXPECT_EQ(insertLogRecord(65535, "/VXA/log/a.tgz"), 0);
    EXPECT_EQ(insertLogRecord(2, "/VXA/log/a.tgz"), 0);
    EXPECT_EQ(updateLogRecord(65535, "/VXA/log/a.tgz"), 0);
    EXPECT_EQ(Select("select id, node_id, file_name, is_collect from tbl_log_record order by id"),
              (std::vector<std::string>{"1|65535|/VXA/log/a.tgz|1", "2|2|/VXA/log/a.tgz|0"}));
    EXPECT_EQ(deleteLogRecord(2, "/VXA/log/a.tgz"), 0);
    EXPECT_EQ(Select("select node_id from tbl_log_record"), (std::vector<std::string>{"65535"}));
    EXPECT_EQ(clearLogRecord(), 0);
    EXPECT_TRUE(Select("select * from tbl_log_record").empty());
    EXPECT_EQ(statements,
              (std::vector<std::string>{
                  "insert into tbl_log_record(node_id, file_name) values (65535, '/VXA/log/a.tgz')",
                  "insert into tbl_log_record(node_id, file_name) values (2, '/VXA/log/a.tgz')",
                  "update tbl_log_record set is_collect=1  where node_id=65535 and "
                  "file_name='/VXA/log/a.tgz'",
                  "delete from tbl_log_record where node_id=2 and file_name='/VXA/log/a.tgz'",
                  "delete from tbl_log_record"}));
}

TEST_F(CollectorDbTest, CountsAndFailuresOfTheRecordOperations) {
    StartUp();
    EXPECT_EQ(insertPluginRecord(files.Join("gone.tgz"), 1), -1);
    EXPECT_EQ(insertNodeRecord(files.Join("gone.tgz"), 0), -1);
    EXPECT_EQ(
        log.Count("(CHECK PARA FAILURE) iRet(-1) != RETURN_SIGNED_OK(0), return RETURN_SIGNED_ERR(-1)."), 2u);
    EXPECT_TRUE(statements.empty());
    EXPECT_TRUE(Select("select * from tbl_plugin_record").empty());
    EXPECT_TRUE(Select("select * from tbl_node_record").empty());

    std::string path = MakeFile("p.tgz", 10);
    int count = 99;
    EXPECT_EQ(queryPluginRecordCount(path, count), 0);
    EXPECT_EQ(count, 0) << "no rows is a count of 0";
    ASSERT_EQ(insertPluginRecord(path, 1), 0);
    ASSERT_EQ(insertPluginRecord(path, 2), 0);
    EXPECT_EQ(queryPluginRecordCount(path, count), 0);
    EXPECT_EQ(count, 2);

    ASSERT_EQ(Select("drop table tbl_plugin_record").size(), 0u);
    count = 99;
    EXPECT_NE(queryPluginRecordCount(path, count), 0);
    EXPECT_EQ(count, 99);
    EXPECT_TRUE(log.Contains(
        "Get plugin record from db failed, return error info (no such table: tbl_plugin_record)."));

    ASSERT_EQ(Select("drop table tbl_alarm_record").size(), 0u);
    EXPECT_EQ(DelAllAlarmRecord(), 1);
    EXPECT_TRUE(log.Contains("Delete alarm which have been handled faile(1)."));
}

TEST_F(CollectorDbTest, NamesWithQuotesAreStoredNotExecuted) {
    StartUp();
    std::string quoted = MakeFile("it's node.tgz", 5);
    std::string other = MakeFile("other.tgz", 6);
    ASSERT_EQ(insertPluginRecord(quoted, 1), 0);
    ASSERT_EQ(insertPluginRecord(other, 1), 0);
    ASSERT_EQ(insertNodeRecord(other, 0), 0);
    EXPECT_EQ(Select("select file_name from tbl_plugin_record order by id"),
              (std::vector<std::string>{quoted, other}));
    int count = 0;
    EXPECT_EQ(queryPluginRecordCount(quoted, count), 0);
    EXPECT_EQ(count, 1);

    // Would delete every row if the name ended the literal.
    EXPECT_EQ(deleteNodeRecordByFileName("x' or '1'='1"), 0);
    EXPECT_EQ(deletePluginRecordByFileName("x' or '1'='1"), 0);
    EXPECT_EQ(Select("select count(*) from tbl_plugin_record"), (std::vector<std::string>{"2"}));
    EXPECT_EQ(Select("select count(*) from tbl_node_record"), (std::vector<std::string>{"1"}));
    EXPECT_EQ(deletePluginRecordByFileName(quoted), 0);
    EXPECT_EQ(Select("select file_name from tbl_plugin_record"), (std::vector<std::string>{other}));

    ASSERT_EQ(insertLogRecord(1, "o'clock.log"), 0);
    ASSERT_EQ(updateLogRecord(1, "o'clock.log"), 0);
    EXPECT_EQ(Select("select file_name, is_collect from tbl_log_record"),
              (std::vector<std::string>{"o'clock.log|1"}));

    statements.clear();
    EXPECT_EQ(deleteLogRecord(1, std::string("o'clock.log\0x", 13)), -1) << "a NUL would cut the name short";
    EXPECT_TRUE(statements.empty());
}

TEST_F(CollectorDbTest, ResultCallbackCopiesTheFirstValue) {
    char buffer[COLLECTOR_DB_RESULT_LEN] = {0};
    EXPECT_EQ(GetDbTblResult(buffer, nullptr, 0, 0, "disk I/O error"), -1);
    EXPECT_TRUE(log.Contains("Check db file failed, return error info (disk I/O error)."));
    char* empty[] = {const_cast<char*>("integrity_check")};
    EXPECT_EQ(GetDbTblResult(buffer, empty, 0, 1, nullptr), -1);
    EXPECT_TRUE(log.Contains("The table in db is empty."));
    char* nullValue[] = {const_cast<char*>("v"), nullptr};
    EXPECT_EQ(GetDbTblResult(buffer, nullValue, 1, 1, nullptr), -1);
    EXPECT_TRUE(log.Contains("Failed to get result from buf."));

    std::string longText(400, 'e');
    char* table[] = {const_cast<char*>("integrity_check"), const_cast<char*>("x"), longText.data(),
                     const_cast<char*>("y")};
    EXPECT_EQ(GetDbTblResult(buffer, table, 1, 2, nullptr), 0);
    EXPECT_EQ(std::string(buffer), longText.substr(0, COLLECTOR_DB_RESULT_LEN - 1))
        << "the value after the column names, cut to the buffer";
}

// Removed or damaged while the daemon runs: the next statement finds the
// database gone, recovers and logs it, and goes on against the rebuilt file,
// never against an empty one created in its place.
TEST_F(CollectorDbTest, ARemovedOrDamagedDatabaseIsRebuiltAndLogged) {
    StartUp();
    std::string collected = MakeFile("a.tgz", 9);
    EXPECT_EQ(OMDB_OperateDb(files.Join("none.db").c_str(), "create table t(a)"), 14)
        << "a missing file is not created";
    EXPECT_NE(access(files.Join("none.db").c_str(), F_OK), 0);
    for (const char* damage : {"removed", "damaged"}) {
        SCOPED_TRACE(damage);
        log.Clear();
        ASSERT_EQ(unlink(dbFile().c_str()), 0);
        if (std::string(damage) == "damaged") {
            // Nothing of the old file may vouch for the new one.
            unlink((dbFile() + "-wal").c_str());
            unlink((dbFile() + "-shm").c_str());
            WriteText(dbFile(), std::string(8192, 'x'));
        }
        ASSERT_EQ(insertPluginRecord(collected, 1), 0);
        EXPECT_EQ(Select("select count(1) from tbl_plugin_record"), std::vector<std::string>{"1"});
        EXPECT_EQ(Select("select count(1) from tbl_log_record"), std::vector<std::string>{"0"})
            << "the daemon's own tables are back";
        EXPECT_TRUE(log.Contains("recover it."));
    }
}

}  // namespace
