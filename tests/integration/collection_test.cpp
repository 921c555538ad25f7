// The collection engine for real: the daemon lays out its trees, makes its
// record database and runs the sample plugin of its node, whose node files
// end up recorded in "tbl_plugin_record".
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <set>

#include "collector/collector_db.h"
#include "collector/info_collect_engine.h"
#include "control/collector_ccdb.h"
#include "core/collector_dir.h"
#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "platform/dplog.h"
#include "platform/om_cluster.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::BinaryPath;
using chs_test::Process;
using chs_test::ReadText;
using chs_test::RunProgram;
using chs_test::TempDir;
using chs_test::WaitFor;

const char* const kCofferTree = "VXA/coffer_data/omm/export_import/chs/";
const char* const kDbFile = "VXA/coffer_data/omm/export_import/chs/collector/db/collect.dat";

// Rows of a query against a database file, each row's values joined by '|'.
std::vector<std::string> Query(const std::string& path, const std::string& sql) {
    return chs_test::SplitLines(RunProgram({"/usr/bin/sqlite3", "-readonly", path, sql}).out);
}

class CollectionTest : public ::testing::Test {
protected:
    void MakeCluster(const std::string& interval) {
        cluster = chs_test::MakeCluster(dir, 2, {"--log-level", "7", "--collect-interval", interval});
    }
    std::string Root(int node) { return cluster + "/node" + std::to_string(node) + "/"; }
    // This process as node 1's daemon, with its collector storage and record database.
    void HostNode1() {
        chs_test::AttachAs(cluster, 1, true);
        platform::LogOpen(Root(1) + "var/log/chs/test.log");
        SetModuleID(551);
        ASSERT_EQ(RecoverCollectorDirForCofferData(), 0);
        ASSERT_EQ(RecoverDb(), 0);
        CollectorDbOper("");
    }
    std::unique_ptr<Process> StartDaemon(const std::string& out) {
        return std::make_unique<Process>(
            std::vector<std::string>{BinaryPath("core/infocollector"), "-m", "INFOCOLLECTOR",
                                     cluster + "/cluster.json", "0", "-r", Root(0)},
            std::vector<std::string>{"PATH=" + cluster + "/bin:/usr/bin:/bin"}, dir.Join(out));
    }

    TempDir dir;
    std::string cluster;
};

TEST_F(CollectionTest, DaemonLaysOutTreesDatabaseAndPluginsAndStartsThemWhenTheSwitchIsOn) {
    MakeCluster("3600");
    std::unique_ptr<Process> daemon = StartDaemon("daemon.out");
    std::string log = Root(0) + "var/log/chs/infocollector.log";
    ASSERT_TRUE(WaitFor([&] { return ReadText(log).find("Info collector init Done.") != std::string::npos; }, 20000))
        << ReadText(log);

    for (const char* sub : {"collector/alarm", "collector/array", "collector/db", "collector/dha",
                            "collector/diagnose_data", "collector/message", "collector/node", "collector/perf",
                            "collector/running_data", "collector/syslog", "export"}) {
        struct stat st {};
        ASSERT_EQ(stat((Root(0) + kCofferTree + sub).c_str(), &st), 0) << sub;
        EXPECT_EQ(st.st_mode & 0777, 0750u) << sub;
    }
    std::string db = Root(0) + kDbFile;
    std::vector<std::string> tables = Query(db, "select name from sqlite_master where type='table'");
    std::set<std::string> names(tables.begin(), tables.end());
    for (const char* table : {"tbl_plugin_record", "tbl_node_record", "tbl_alarm_record", "tbl_log_record"}) {
        EXPECT_EQ(names.count(table), 1u) << table;
    }
    EXPECT_NE(ReadText(log).find("Infocollector plugin type: input, name:node_facts, path:"), std::string::npos);
    EXPECT_EQ(ReadText(log).find("load library"), std::string::npos) << "the sample plugin loads";
    EXPECT_TRUE(daemon->Running());
    daemon->Stop(SIGKILL);

    // The switch lives in the cluster's configuration database; set it as a
    // client of node 1 would. A second start finds the log table there
    // already, says so, and starts the plugin.
    chs_test::AttachAs(cluster, 1, false);
    ASSERT_EQ(COLLECTOR_CCDB::Init(), 0u);
    ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("on"), 0u);
    daemon = StartDaemon("again.out");
    ASSERT_TRUE(WaitFor([&] { return !Query(db, "select file_name from tbl_plugin_record").empty(); }, 20000))
        << ReadText(log);
    EXPECT_NE(ReadText(log).find("Table key(db_log_record_create) operate failed("), std::string::npos);
    EXPECT_NE(ReadText(log).find("Start input driver: node_facts."), std::string::npos);
    std::string file = Query(db, "select file_name from tbl_plugin_record")[0];
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(file.rfind(Root(0) + kCofferTree + "collector/node/node_facts_", 0), 0u) << file;
}

TEST_F(CollectionTest, SamplePluginRecordsWhatItCollects) {
    MakeCluster("3600");
    ASSERT_NO_FATAL_FAILURE(HostNode1());

    InfoCollectEngineClass* engine = InfoCollectEngineClass::instance();
    engine->Init();
    ASSERT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, "node_facts"), 0) << ReadText(Root(1) + "var/log/chs/test.log");
    std::string db = Root(1) + kDbFile;
    ASSERT_TRUE(WaitFor([&] { return !Query(db, "select file_name, file_size, file_type from tbl_plugin_record").empty(); },
                        20000))
        << ReadText(Root(1) + "var/log/chs/test.log");

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine->StopAllCollect(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << "Stop interrupts the hour-long wait between collections";

    std::vector<std::string> rows = Query(db, "select file_name, file_size, file_type from tbl_plugin_record");
    ASSERT_EQ(rows.size(), 1u);
    std::string file = rows[0].substr(0, rows[0].find('|'));
    EXPECT_EQ(file.rfind(Root(1) + kCofferTree + "collector/node/node", 0), 0u) << file;
    EXPECT_EQ(file.substr(file.size() - 4), ".tgz");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(rows[0], file + "|" + std::to_string(st.st_size) + "|0");
    std::string listing = chs_execCmd("tar -tzf '" + file + "'", 10, 5000);
    EXPECT_NE(listing.find("facts.txt"), std::string::npos) << listing;
    std::string facts = chs_execCmd("tar -xzOf '" + file + "' facts.txt", 50, 5000);
    EXPECT_NE(facts.find("uptime_seconds: "), std::string::npos) << facts;
    EXPECT_NE(facts.find("MemTotal:"), std::string::npos) << facts;
    EXPECT_NE(facts.find("disk_available_mb: "), std::string::npos) << facts;
}

// The sample plugin's retention from its configuration: its own file past the
// maximum age goes, then the node directory keeps the newest two files; the
// records of the files that went go with them, a file of another kind stays.
TEST_F(CollectionTest, SamplePluginKeepsItsFilesByCountAndAge) {
    MakeCluster("3600");
    chs_test::WriteText(Root(1) + "VXA/conf/InfoCollector.txt",
                        R"({"plugin": [{"plugin_type": "input", "name": "node_facts", "plugin_lib_path": ")" +
                            BinaryPath("plugins/libnode_facts.so") +
                            R"(", "file_prefix": "node", "parameters": [{"interval_sec": ["3600"]},
                            {"keep_files": ["2"], "max_age_sec": ["86400"]}]}]})");
    ASSERT_NO_FATAL_FAILURE(HostNode1());
    std::string nodeDir = Root(1) + kCofferTree + "collector/node/";
    std::string tooOld = nodeDir + "node_facts_1.tgz";
    std::string older = nodeDir + "node_facts_2.tgz";
    std::string newer = nodeDir + "node_facts_3.tgz";
    std::string alarm = nodeDir + "alarm_1.tgz";
    time_t now = time(nullptr);
    for (const auto& [file, ageSec] : std::vector<std::pair<std::string, time_t>>{
             {tooOld, 2 * 86400}, {older, 7200}, {newer, 3600}, {alarm, 3 * 86400}}) {
        chs_test::WriteText(file, "old");
        struct timespec times[2] = {{now - ageSec, 0}, {now - ageSec, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        ASSERT_EQ(insertPluginRecord(file, 0), 0);
    }

    InfoCollectEngineClass* engine = InfoCollectEngineClass::instance();
    engine->Init();
    ASSERT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, "node_facts"), 0);
    std::string db = Root(1) + kDbFile;
    auto files = [&] { return Query(db, "select file_name from tbl_plugin_record order by file_name"); };
    ASSERT_TRUE(WaitFor([&] { return files().size() == 3; }, 20000)) << ReadText(Root(1) + "var/log/chs/test.log");
    EXPECT_EQ(engine->StopAllCollect(), 0);

    std::vector<std::string> rows = files();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], alarm);
    EXPECT_EQ(rows[1].rfind(nodeDir + "node_facts_", 0), 0u) << "the new file, named by the time";
    EXPECT_NE(rows[1], older);
    EXPECT_EQ(access(rows[1].c_str(), F_OK), 0);
    EXPECT_EQ(rows[2], newer);
    EXPECT_NE(access(tooOld.c_str(), F_OK), 0);
    EXPECT_NE(access(older.c_str(), F_OK), 0);
    EXPECT_EQ(access(alarm.c_str(), F_OK), 0);
}

}  // namespace
