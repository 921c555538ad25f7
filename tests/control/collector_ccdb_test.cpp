// The daemon's CCDB accessors against the real platform database in a
// temporary cluster: first-time defaults, restarts, the upgrade and failure
// paths of the switch reads and writes, remote-task rows and partial
// updates, the OEM-mode decision and the bounded upgrade wait.
#include "control/collector_ccdb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/om_cluster.h"
#include "platform/platform_state.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::LogCapture;
using chs_test::MakeDirs;
using chs_test::TempDir;
using chs_test::WriteText;
using namespace CCDB_COMM;

class CollectorCcdbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chs_test::AttachHandMadeCluster(dir.path(), R"({"serialNumber": "2102351234567890", "nodes": [
            {"id": 0, "name": "CTE0.A"}, {"id": 3, "name": "CTE1.B"}]})", 3, false);
        platform::SetCcdbBusyTimeoutMs(5000);
        g_uiCcdbUpgradePollMs = 0;
        ASSERT_EQ(COLLECTOR_CCDB::Init(), 0u);
    }
    void TearDown() override {
        g_uiCcdbUpgradePollMs = 5000;
        platform::state::ClearAll();
        platform::CcdbCloseAll();
        platform::DetachCluster();
    }

    // Holds the database's write lock while it lives, so writes time out.
    struct WriteLock {
        explicit WriteLock(const std::string& path) {
            EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
            platform::SetCcdbBusyTimeoutMs(20);
        }
        ~WriteLock() {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            platform::SetCcdbBusyTimeoutMs(5000);
        }
        sqlite3* db = nullptr;
    };

    static tagDB_CHS_REMOTE_TASK_S TaskRow(uint32_t taskId, uint64_t seed, char letter) {
        tagDB_CHS_REMOTE_TASK_S row{};
        memset(&row, letter, sizeof(row));
        row.taskId = taskId;
        uint64_t* numbers = &row.i_taskendtime;
        for (int i = 0; i < 10; ++i) {
            numbers[i] = seed + static_cast<uint64_t>(i);
        }
        row.sv_taskreturn1[10] = '\0';
        row.sv_taskreturn2[20] = '\0';
        return row;
    }

    // Collector switch, OEM switch and syslog user as stored.
    static std::vector<std::string> Stored() {
        std::vector<std::string> stored(3);
        EXPECT_EQ(COLLECTOR_CCDB::GetCollectorSwitch(stored[0]), 0u);
        EXPECT_EQ(COLLECTOR_CCDB::GetOemSwitch(stored[1]), 0u);
        EXPECT_EQ(GetSyslogUserFromDB(g_collectorCcdbId, stored[2]), 0u);
        return stored;
    }

    TempDir dir;
    LogCapture log;
};

TEST_F(CollectorCcdbTest, FirstStartWritesDefaultsAndASecondKeepsTheStoredValues) {
    EXPECT_EQ(Stored(), (std::vector<std::string>{"off", "off", ""}));
    EXPECT_TRUE(log.Contains("Succeed in setting collector switch."));
    EXPECT_TRUE(log.Contains("Succeed in setting oem collector switch."));
    EXPECT_TRUE(log.Contains("Success to init syslog user CCDB."));
    EXPECT_TRUE(log.Contains("Success to init collector ccdb."));
    tagDB_CHS_REMOTE_TASK_S row{};
    ASSERT_EQ(GetRemoteTaskFromDB(g_collectorCcdbId, 1, row), 0u);
    EXPECT_EQ(row.taskId, 1u);
    EXPECT_EQ(row.taskType, 8u);
    EXPECT_STREQ(row.taskIdText, "0");
    EXPECT_EQ(row.i_taskrunnode, 3u);
    EXPECT_EQ(row.i_taskstatus, 0u);
    EXPECT_EQ(row.createTime, row.i_taskendtime);
    uint64_t now = static_cast<uint64_t>(time(nullptr));
    EXPECT_LE(row.createTime, now - 180);
    EXPECT_GE(row.createTime, now - 240);

    ASSERT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("on"), 0u);
    ASSERT_EQ(COLLECTOR_CCDB::SetOemSwitch("on"), 0u);
    ASSERT_EQ(COLLECTOR_CCDB::SetSyslogUser("admin"), 0u);
    tagDB_CHS_REMOTE_TASK_S task = TaskRow(1, 500, 'r');
    ASSERT_EQ(ResetRemoteTaskToDB(g_collectorCcdbId, task), 0u);
    log.Clear();
    ASSERT_EQ(COLLECTOR_CCDB::Init(), 0u);
    EXPECT_EQ(Stored(), (std::vector<std::string>{"on", "on", "admin"}));
    ASSERT_EQ(GetRemoteTaskFromDB(g_collectorCcdbId, 1, row), 0u);
    EXPECT_EQ(memcmp(&row, &task, sizeof(task)), 0) << "row 1 is left as it was";
    EXPECT_TRUE(log.Contains("Collector switch has inited before!"));
    EXPECT_TRUE(log.Contains("Collector oem switch has inited before!"));
    EXPECT_TRUE(log.Contains("Syslog user table has inited before!"));
    EXPECT_TRUE(log.Contains("Insert one task to db failed, iRet:5, taskid: 0, tasktype: , taskparam: ."));
    EXPECT_TRUE(log.Contains("Success to init collector ccdb."));
}

TEST_F(CollectorCcdbTest, InitStopsAtTheFirstFailure) {
    log.Clear();
    platform::state::Set("ccdb_unreachable", "1");
    EXPECT_EQ(COLLECTOR_CCDB::Init(), static_cast<uint32_t>(OM_CCDB_ERR_UNREACHABLE));
    EXPECT_TRUE(log.Contains("Failed to init CCDB,ret 4"));
    EXPECT_EQ(CollectorSwitchInit(g_collectorCcdbId), CCDB_ERR_OPERATE);
    EXPECT_TRUE(log.Contains("Failed to init collector switch, ret 4."));
    EXPECT_EQ(CollectorOemSwitchInit(g_collectorCcdbId), CCDB_ERR_OPERATE);
    EXPECT_TRUE(log.Contains("Failed to init oem collector switch, ret 4."));
    EXPECT_EQ(SyslogUseCcdbInit(g_collectorCcdbId), CCDB_ERR_OPERATE);
    EXPECT_TRUE(log.Contains("Failed to init syslog user  CCDB, ret 4."));
    EXPECT_FALSE(log.Contains("Success to init collector ccdb."));
}

TEST_F(CollectorCcdbTest, MissingSwitchReadsOffOnlyWhileUpgrading) {
    ASSERT_EQ(OM_CCDB_DelKeyValue(g_collectorCcdbId, CHS_GLOBAL_CFG_TABLE, KEY_COLLECT_SWITCH), 0);
    ASSERT_EQ(OM_CCDB_DelKeyValue(g_collectorCcdbId, CHS_GLOBAL_CFG_TABLE, KEY_COLLECT_OEM_SWITCH), 0);

    platform::state::Set("ccdb_status", "3");
    std::string value = "keep";
    EXPECT_EQ(COLLECTOR_CCDB::GetCollectorSwitch(value), 0u);
    EXPECT_EQ(value, "off");
    EXPECT_TRUE(log.Contains("Failed to query infoCollector switch config from CCDB,ret:(6)."));
    EXPECT_TRUE(log.Contains("Result(0),Ccdb is in (3) state."));
    value = "keep";
    EXPECT_EQ(COLLECTOR_CCDB::GetOemSwitch(value), 0u);
    EXPECT_EQ(value, "off");
    EXPECT_TRUE(log.Contains("Failed to query oem switch config from CCDB,ret:(6)."));

    platform::state::Set("ccdb_status", "2");
    value = "keep";
    EXPECT_EQ(COLLECTOR_CCDB::GetCollectorSwitch(value), CCDB_ERR_OPERATE);
    EXPECT_EQ(value, "keep");
    EXPECT_EQ(COLLECTOR_CCDB::GetOemSwitch(value), CCDB_ERR_OPERATE);
    EXPECT_EQ(value, "keep");

    // Any failure other than a missing value is a failure even while upgrading,
    // and the state is not asked for.
    platform::state::Set("ccdb_status", "3");
    platform::state::Set("ccdb_unreachable", "1");
    size_t statusQueries = log.Count("Ccdb is in");
    EXPECT_EQ(COLLECTOR_CCDB::GetCollectorSwitch(value), CCDB_ERR_OPERATE);
    EXPECT_EQ(value, "keep");
    EXPECT_EQ(log.Count("Ccdb is in"), statusQueries);
}

TEST_F(CollectorCcdbTest, SwitchWritesMapClientResults) {
    {
        WriteLock lock(dir.Join("ccdb.sqlite"));
        EXPECT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("on"), CCDB_ERR_TIMEOUT);
        EXPECT_EQ(COLLECTOR_CCDB::SetOemSwitch("on"), CCDB_ERR_TIMEOUT);
        EXPECT_EQ(log.Count("CCDB processing timed out,ret:(1)."), 2u);
    }
    std::string value;
    EXPECT_EQ(COLLECTOR_CCDB::GetCollectorSwitch(value), 0u);
    EXPECT_EQ(value, "off");

    platform::state::Set("ccdb_unreachable", "1");
    EXPECT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("on"), CCDB_ERR_OPERATE);
    EXPECT_TRUE(log.Contains("Failed to setting infoCollector switch config from CCDB,ret:(4)."));
    EXPECT_EQ(COLLECTOR_CCDB::SetOemSwitch("on"), CCDB_ERR_OPERATE);
    EXPECT_TRUE(log.Contains("Failed to setting oem switch config from CCDB,ret:(4)."));
    EXPECT_EQ(COLLECTOR_CCDB::SetSyslogUser("admin"), CCDB_ERR_OPERATE);
    EXPECT_TRUE(log.Contains("Write sysloger user to DB failed, error code(4)."));
    platform::state::Clear("ccdb_unreachable");

    // Values that do not fit the entry are refused, never stored cut.
    EXPECT_EQ(COLLECTOR_CCDB::SetOemSwitch(std::string(512, 'o')), CCDB_ERR_FORMAT);
    EXPECT_TRUE(log.Contains("sprintf_s faild."));
    EXPECT_EQ(COLLECTOR_CCDB::SetSyslogUser(std::string(512, 'u')), CCDB_ERR_PARAM);
    EXPECT_TRUE(log.Contains("sprintf_s failed, param(uuuu"));
    EXPECT_EQ(COLLECTOR_CCDB::SetCollectorSwitch(std::string(600, 'c')), CCDB_ERR_OPERATE);

    EXPECT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("on"), 0u);
    EXPECT_TRUE(log.Contains("Succeeded in setting infoCollector switch config from CCDB,ret:(0)."));
    EXPECT_EQ(COLLECTOR_CCDB::GetCollectorSwitch(value), 0u);
    EXPECT_EQ(value, "on");
    EXPECT_TRUE(log.Contains("Succeeded in quering collector switch config from CCDB,ret:(0)."));
    EXPECT_EQ(COLLECTOR_CCDB::SetSyslogUser(std::string(511, 'u')), 0u);
    EXPECT_TRUE(log.Contains("Success to save syslog user ccdb"));
    EXPECT_EQ(GetSyslogUserFromDB(g_collectorCcdbId, value), 0u);
    EXPECT_EQ(value, std::string(511, 'u'));
}

TEST_F(CollectorCcdbTest, AgentAreaId) {
    std::string value = "stale";
    EXPECT_EQ(COLLECTOR_CCDB::GetAgentAreaId(value), CCDB_ERR_OPERATE);
    EXPECT_EQ(value, "");
    EXPECT_TRUE(log.Contains("Failed to query agent config db table, ret 6"));

    tagDB_CHS_RELAYD_CFG_S row{};
    row.serviceid = 1;
    memset(row.areaId, 'A', sizeof(row.areaId));  // no terminator: read at most the field
    ASSERT_EQ(OM_CCDB_InsertOneObj(g_collectorCcdbId, CHS_RELAYD_CFG_TABLE, "1", &row, sizeof(row)), 0);
    EXPECT_EQ(COLLECTOR_CCDB::GetAgentAreaId(value), 0u);
    EXPECT_EQ(value, std::string(64, 'A'));
    memset(row.areaId, 0, sizeof(row.areaId));
    ASSERT_EQ(OM_CCDB_DelAndInsert(g_collectorCcdbId, CHS_RELAYD_CFG_TABLE, "1", &row, sizeof(row)), 0);
    EXPECT_EQ(COLLECTOR_CCDB::GetAgentAreaId(value), 0u) << "an empty area id is a successful read";
    EXPECT_EQ(value, "");
}

TEST_F(CollectorCcdbTest, RemoteTaskRows) {
    EXPECT_EQ(InitRemoteTaskToDB(g_collectorCcdbId, 7), 0u);
    EXPECT_EQ(InitRemoteTaskToDB(g_collectorCcdbId, 7), 5u);
    EXPECT_TRUE(log.Contains("Init remote task failed, iRet:5, taskid: 7."));
    tagDB_CHS_REMOTE_TASK_S row = TaskRow(7, 100, 'a');
    strcpy(row.taskIdText, "task-7");
    EXPECT_EQ(InsertRemoteTaskToDB(g_collectorCcdbId, row), 5u);
    EXPECT_TRUE(log.Contains("Insert one task to db failed, iRet:5, taskid: task-7, tasktype: "));
    EXPECT_EQ(ResetRemoteTaskToDB(g_collectorCcdbId, row), 0u);
    tagDB_CHS_REMOTE_TASK_S read{};
    EXPECT_EQ(GetRemoteTaskFromDB(g_collectorCcdbId, 7, read), 0u);
    EXPECT_EQ(memcmp(&read, &row, sizeof(row)), 0);
    EXPECT_EQ(DeleteRemoteTask(g_collectorCcdbId, 7), 0u);
    EXPECT_EQ(DeleteRemoteTask(g_collectorCcdbId, 7), 6u);
    EXPECT_TRUE(log.Contains("Delete one task from db failed, iRet:6, taskid: 7."));
    EXPECT_EQ(GetRemoteTaskFromDB(g_collectorCcdbId, 7, read), 6u);
    EXPECT_TRUE(log.Contains("Get task from db failed, iRet:6, taskid: 7."));
    row.taskId = 4294967295u;
    EXPECT_EQ(InsertRemoteTaskToDB(g_collectorCcdbId, row), 0u) << "the longest key";
    EXPECT_EQ(GetRemoteTaskFromDB(g_collectorCcdbId, 4294967295u, read), 0u);
}

TEST_F(CollectorCcdbTest, UpdateMaskWritesExactlyItsColumns) {
    const tagDB_CHS_REMOTE_TASK_S stored = TaskRow(5, 100, 's');
    ASSERT_EQ(ResetRemoteTaskToDB(g_collectorCcdbId, stored), 0u);
    tagDB_CHS_REMOTE_TASK_S changed = TaskRow(5, 900, 'c');
    strcpy(changed.sv_taskreturn1, "abc");
    strcpy(changed.sv_taskreturn2, "result text");

    // Mask 0 never reaches the database (it is unreachable here).
    platform::state::Set("ccdb_unreachable", "1");
    EXPECT_EQ(UpdateRemoteTaskStatusToDB(g_collectorCcdbId, changed, 0), 0u);
    EXPECT_FALSE(log.Contains("validFiledMask("));
    platform::state::Clear("ccdb_unreachable");

    EXPECT_EQ(UpdateRemoteTaskStatusToDB(g_collectorCcdbId, changed, 1u << 10), 0u);
    tagDB_CHS_REMOTE_TASK_S read{};
    ASSERT_EQ(GetRemoteTaskFromDB(g_collectorCcdbId, 5, read), 0u);
    EXPECT_EQ(memcmp(&read, &stored, sizeof(read)), 0) << "bit 10 writes nothing";

    EXPECT_EQ(UpdateRemoteTaskStatusToDB(g_collectorCcdbId, changed, 0x1801), 0u);
    ASSERT_EQ(GetRemoteTaskFromDB(g_collectorCcdbId, 5, read), 0u);
    tagDB_CHS_REMOTE_TASK_S expected = stored;
    expected.i_taskendtime = changed.i_taskendtime;
    memset(expected.sv_taskreturn1, 0, sizeof(expected.sv_taskreturn1));
    strcpy(expected.sv_taskreturn1, "abc");
    memset(expected.sv_taskreturn2, 0, sizeof(expected.sv_taskreturn2));
    strcpy(expected.sv_taskreturn2, "result text");
    EXPECT_EQ(memcmp(&read, &expected, sizeof(read)), 0);
    EXPECT_TRUE(log.Contains("validFiledMask(6145)."));
    EXPECT_TRUE(log.Contains("i_taskendtime(900) iRet(0)."));
    EXPECT_TRUE(log.Contains("sv_taskreturn1(abc) iRet(0)."));
    EXPECT_TRUE(log.Contains("sv_taskreturn2(result text) iRet(0)."));
    EXPECT_FALSE(log.Contains("i_taskstatus("));

    // Every assigned bit: the ten numbers and two texts, nothing else.
    EXPECT_EQ(UpdateRemoteTaskStatusToDB(g_collectorCcdbId, changed, 0xFFFFFFFF), 0u);
    ASSERT_EQ(GetRemoteTaskFromDB(g_collectorCcdbId, 5, read), 0u);
    memcpy(&expected.i_taskendtime, &changed.i_taskendtime, 10 * sizeof(uint64_t));
    EXPECT_EQ(memcmp(&read, &expected, sizeof(read)), 0);

    // A text without a terminator fails its column; the update is refused whole.
    memset(changed.sv_taskreturn1, 'z', sizeof(changed.sv_taskreturn1));
    changed.i_taskstatus = 4242;
    EXPECT_NE(UpdateRemoteTaskStatusToDB(g_collectorCcdbId, changed, 0x802), 0u);
    ASSERT_EQ(GetRemoteTaskFromDB(g_collectorCcdbId, 5, read), 0u);
    EXPECT_EQ(read.i_taskstatus, expected.i_taskstatus);

    changed.taskId = 6;
    EXPECT_EQ(UpdateRemoteTaskStatusToDB(g_collectorCcdbId, changed, 1), 6u) << "no such row";
}

TEST_F(CollectorCcdbTest, OemModeNeedsOemDeviceAndSwitchOff) {
    platform::state::Set("oem_mode", "0");
    log.Clear();
    EXPECT_FALSE(COLLECTOR_CCDB::IsCollectorOemMode());
    EXPECT_FALSE(log.Contains("oem switch config")) << "the database is not read";

    platform::state::Set("oem_mode", "1");
    EXPECT_TRUE(COLLECTOR_CCDB::IsCollectorOemMode());
    ASSERT_EQ(COLLECTOR_CCDB::SetOemSwitch("on"), 0u);
    EXPECT_FALSE(COLLECTOR_CCDB::IsCollectorOemMode());
    ASSERT_EQ(COLLECTOR_CCDB::SetOemSwitch("off"), 0u);
    platform::state::Set("ccdb_unreachable", "1");
    EXPECT_FALSE(COLLECTOR_CCDB::IsCollectorOemMode()) << "a failed read is not off";
}

TEST_F(CollectorCcdbTest, StatusQueriesAndUpgradeWait) {
    // Concurrent queries each get their own answer.
    platform::state::Set("ccdb_status", "3");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                int32_t state = 0;
                if (GetCcdbStatus(state) != 0 || state != 3) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);

    CallbackCcdbStatus(0, 0, nullptr);
    EXPECT_EQ(dpax_sem_enhance_down(&g_stCcdbStatusSem, 0), DPAX_SEM_OK)
        << "a query without context posts the global";

    log.Clear();
    WaitCcdbUpgrade();
    EXPECT_EQ(log.Count("Result(0),Ccdb is in (3) state."), MAX_WAIT_TIMES)
        << "bounded while the upgrade lasts";
    platform::state::Set("ccdb_status", "2");
    log.Clear();
    WaitCcdbUpgrade();
    EXPECT_EQ(log.Count("Ccdb is in"), 1u);
    platform::state::Set("ccdb_unreachable", "1");
    log.Clear();
    WaitCcdbUpgrade();
    EXPECT_EQ(log.Count("Result(4),Ccdb is in (0) state."), 1u);
}

}  // namespace
