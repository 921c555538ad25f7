// The CCDB client in a temporary cluster, over each backend (a real SQLite
// file, a real etcd): key-value and object rows, partial updates, table
// registration, several processes writing at once, the state overrides, an
// unreachable store; the backend choice in cluster.json; the platform
// semaphores; and the plain SQLite file access underneath (OMDB).
#include "platform/om_ccdb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dpax_sem.h"
#include "platform/om_cluster.h"
#include "platform/om_db.h"
#include "platform/platform_state.h"
#include "platform/cluster_config.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/etcd_server.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::MakeDirs;
using chs_test::TempDir;
using chs_test::WriteText;

constexpr const char* kKv = "DB_CHS_GLOBAL_CFG_S";
constexpr const char* kTask = "DB_CHS_REMOTE_TASK_S";
constexpr const char* kRelayd = "DB_CHS_RELAYD_CFG_S";
constexpr uint32_t kTaskRow = 2048;
constexpr uint32_t kStatusOffset = 888;   // i_taskstatus
constexpr uint32_t kReturn1Offset = 960;  // sv_taskreturn1, 64 bytes

OM_CCDB_KEY_VALUE_S Entry(const std::string& key, const std::string& value) {
    OM_CCDB_KEY_VALUE_S entry{};
    strncpy(entry.acKey, key.c_str(), sizeof(entry.acKey) - 1);
    strncpy(entry.acValue, value.c_str(), sizeof(entry.acValue) - 1);
    return entry;
}

// OM_CCDB_Init of database `name` with the argument "--dbType=<type>".
int InitDb(const char* name, const std::string& type, int32_t* id) {
    std::string arg = "--dbType=" + type;
    char* argv[] = {&arg[0], nullptr};
    return OM_CCDB_Init(35, name, argv, id);
}

enum class Backend { kSqlite, kEtcd };

class OmCcdbTest : public ::testing::TestWithParam<Backend> {
  protected:
    // One etcd for the tests of a process; each test has a serial number,
    // and so a part of the store, of its own.
    static void TearDownTestSuite() {
        delete s_etcd;
        s_etcd = nullptr;
    }
    static chs_test::EtcdServer& Etcd() {
        if (s_etcd == nullptr) {
            s_etcd = new chs_test::EtcdServer();
        }
        return *s_etcd;
    }

    void SetUp() override {
        static int tests = 0;
        std::string ccdb = GetParam() == Backend::kEtcd
                               ? R"(, "ccdb": {"backend": "etcd", "endpoints": [")" + Etcd().Endpoint() + R"("]})"
                               : "";
        chs_test::AttachHandMadeCluster(dir.path(), R"({"serialNumber": "21023512345678)" +
                                                        std::to_string(++tests) + R"(", "nodes": [
            {"id": 0, "name": "CTE0.A"}])" + ccdb + "}", 0, false);
        platform::SetCcdbBusyTimeoutMs(5000);
        handle = Open("pub_user_cfg_db");
    }
    void TearDown() override {
        platform::state::ClearAll();
        platform::CcdbCloseAll();
        platform::DetachCluster();
    }

    static int32_t Open(const std::string& name) {
        int32_t id = 0;
        EXPECT_EQ(InitDb(name.c_str(), name, &id), OM_CCDB_OK);
        return id;
    }

    std::string GetValue(const std::string& key, int expected = OM_CCDB_OK) {
        OM_CCDB_KEY_VALUE_S entry = Entry(key, "");
        EXPECT_EQ(OM_CCDB_GetKeyValue(handle, kKv, &entry), expected) << key;
        return entry.acValue;
    }

    std::vector<uint8_t> Row(const char* key) {
        std::vector<uint8_t> row(kTaskRow);
        EXPECT_EQ(OM_CCDB_QueryOneObj(handle, kTask, key, row.data(), kTaskRow), OM_CCDB_OK) << key;
        return row;
    }

    static chs_test::EtcdServer* s_etcd;
    TempDir dir;
    int32_t handle = 0;
};

chs_test::EtcdServer* OmCcdbTest::s_etcd = nullptr;

TEST_P(OmCcdbTest, KeyValueRowsInsertSetGetDelete) {
    OM_CCDB_KEY_VALUE_S entry = Entry("InfoCollectSwitch", "off");
    EXPECT_EQ(OM_CCDB_InsertKeyValue(handle, kKv, &entry), OM_CCDB_OK);
    entry = Entry("InfoCollectSwitch", "on");
    EXPECT_EQ(OM_CCDB_InsertKeyValue(handle, kKv, &entry), OM_CCDB_OBJ_EXIST);
    EXPECT_EQ(GetValue("InfoCollectSwitch"), "off") << "an insert never overwrites";
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &entry), OM_CCDB_OK);

    OM_CCDB_KEY_VALUE_S read = Entry("InfoCollectSwitch", std::string(511, 'x'));
    ASSERT_EQ(OM_CCDB_GetKeyValue(handle, kKv, &read), OM_CCDB_OK);
    EXPECT_STREQ(read.acValue, "on");
    EXPECT_EQ(read.acValue[5], '\0') << "the value field is zero-padded";

    entry = Entry("SyslogUser", "");
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &entry), OM_CCDB_OK) << "an empty value is a value";
    EXPECT_EQ(GetValue("SyslogUser"), "");
    GetValue("NoSuchKey", OM_CCDB_NO_VALUE);
    EXPECT_EQ(OM_CCDB_DelKeyValue(handle, kKv, "InfoCollectSwitch"), OM_CCDB_OK);
    EXPECT_EQ(OM_CCDB_DelKeyValue(handle, kKv, "InfoCollectSwitch"), OM_CCDB_NO_VALUE);
    GetValue("InfoCollectSwitch", OM_CCDB_NO_VALUE);

    // Another database in the same file has rows of its own; reopening
    // returns the handle already given.
    int32_t other = Open("other_db");
    EXPECT_NE(other, handle);
    EXPECT_EQ(Open("pub_user_cfg_db"), handle);
    read = Entry("SyslogUser", "");
    EXPECT_EQ(OM_CCDB_GetKeyValue(other, kKv, &read), OM_CCDB_NO_VALUE);
}

TEST_P(OmCcdbTest, RefusesBadArguments) {
    OM_CCDB_KEY_VALUE_S entry = Entry("k", "v");
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, nullptr), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, nullptr, &entry), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle + 100, kKv, &entry), OM_CCDB_ERR_HANDLE);
    EXPECT_EQ(OM_CCDB_SetKeyValue(0, kKv, &entry), OM_CCDB_ERR_HANDLE);
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, "NO_SUCH_TABLE", &entry), OM_CCDB_ERR_NO_TABLE);
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kTask, &entry), OM_CCDB_ERR_NO_TABLE) << "an object table";
    OM_CCDB_KEY_VALUE_S unterminated{};
    memset(unterminated.acKey, 'k', sizeof(unterminated.acKey));
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &unterminated), OM_CCDB_ERR_PARAM);
    unterminated = Entry("k", "");
    memset(unterminated.acValue, 'v', sizeof(unterminated.acValue));
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &unterminated), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(OM_CCDB_GetKeyValue(handle, kKv, &entry), OM_CCDB_NO_VALUE) << "nothing was written";

    std::vector<uint8_t> row(kTaskRow);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "1", row.data(), kTaskRow - 1), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "", row.data(), kTaskRow), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "1", nullptr, kTaskRow), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kKv, "1", row.data(), kTaskRow), OM_CCDB_ERR_NO_TABLE);
    EXPECT_EQ(OM_CCDB_QueryOneObj(handle, kTask, "1", row.data(), kTaskRow + 1), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(OM_CCDB_Update(handle, kTask, nullptr, nullptr), OM_CCDB_ERR_PARAM);

    int32_t id = 0;
    EXPECT_EQ(InitDb("pub_user_cfg_db", "another_db", &id), OM_CCDB_ERR_PARAM)
        << "type names another database";
    EXPECT_EQ(OM_CCDB_Init(35, "pub_user_cfg_db", nullptr, &id), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(InitDb("", "", &id), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(InitDb("x", "x", nullptr), OM_CCDB_ERR_PARAM);
}

TEST_P(OmCcdbTest, ObjectRowsInsertQueryReplaceDelete) {
    std::vector<uint8_t> row(kTaskRow, 0x5A), read(kTaskRow);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "1", row.data(), kTaskRow), OM_CCDB_OK);
    std::vector<uint8_t> other(kTaskRow, 0x11);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "1", other.data(), kTaskRow), OM_CCDB_OBJ_EXIST);
    EXPECT_EQ(Row("1"), row);
    EXPECT_EQ(OM_CCDB_DelAndInsert(handle, kTask, "1", other.data(), kTaskRow), OM_CCDB_OK);
    EXPECT_EQ(Row("1"), other);
    EXPECT_EQ(OM_CCDB_DelAndInsert(handle, kTask, "2", row.data(), kTaskRow), OM_CCDB_OK) << "creates";
    uint32_t count = 0;
    EXPECT_EQ(OM_CCDB_CountObj(handle, kTask, &count), OM_CCDB_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(OM_CCDB_Delete(handle, kTask, "1"), OM_CCDB_OK);
    EXPECT_EQ(OM_CCDB_Delete(handle, kTask, "1"), OM_CCDB_NO_VALUE);
    EXPECT_EQ(OM_CCDB_QueryOneObj(handle, kTask, "1", read.data(), kTaskRow), OM_CCDB_NO_VALUE);
    EXPECT_EQ(OM_CCDB_CountObj(handle, kTask, &count), OM_CCDB_OK);
    EXPECT_EQ(count, 1u);

    // A key is any text: a slash, or what looks like an escape of one, names a row of its own.
    std::vector<uint8_t> slash(kTaskRow, 0x21), escaped(kTaskRow, 0x22);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "a/b", slash.data(), kTaskRow), OM_CCDB_OK);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "a%2Fb", escaped.data(), kTaskRow), OM_CCDB_OK);
    EXPECT_EQ(Row("a/b"), slash);
    EXPECT_EQ(Row("a%2Fb"), escaped);
    EXPECT_EQ(OM_CCDB_CountObj(handle, kTask, &count), OM_CCDB_OK);
    EXPECT_EQ(count, 3u);

    std::vector<uint8_t> agent(1232, 0);
    memcpy(agent.data() + 4, "CN-1", 5);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kRelayd, "1", agent.data(), 1232), OM_CCDB_OK);
    std::vector<uint8_t> agentRead(1232, 0xFF);
    EXPECT_EQ(OM_CCDB_QueryOneObj(handle, kRelayd, "1", agentRead.data(), 1232), OM_CCDB_OK);
    EXPECT_EQ(agentRead, agent);
}

// A filler as the daemon writes one: queues what the test hands it.
struct Fill {
    std::vector<std::pair<std::string, uint64_t>> numbers;
    std::vector<std::pair<std::string, std::string>> texts;
    const char* key = "1";
    int result = 0;        // returned instead of the column results when not 0
    int columnResult = 0;  // OR of the column results
    void* trans = nullptr;
    OM_DB_COL_WRITER_FN writer = nullptr;
};

int FillColumns(const char* table, void* context, OM_DB_COL_WRITER_FN writer, void* trans) {
    auto* fill = static_cast<Fill*>(context);
    fill->trans = trans;
    fill->writer = writer;
    for (auto& [column, value] : fill->numbers) {
        OM_DB_VALUE_S scratch{};
        fill->columnResult |= OM_DB_SetCol2TransSub(OM_CCDB_COL_UINT64, &value, trans, table, column.c_str(),
                                                    &scratch, 0, writer, fill->key);
    }
    for (auto& [column, text] : fill->texts) {
        OM_DB_VALUE_S scratch{};
        fill->columnResult |=
            OM_DB_SetCol2TransSub(OM_CCDB_COL_TEXT, text.data(), trans, table, column.c_str(), &scratch,
                                  static_cast<uint32_t>(text.size()), writer, fill->key);
    }
    return fill->result != 0 ? fill->result : fill->columnResult;
}

Fill Numbers(std::vector<std::pair<std::string, uint64_t>> numbers, const char* key = "1", int result = 0) {
    Fill fill;
    fill.numbers = std::move(numbers);
    fill.key = key;
    fill.result = result;
    return fill;
}

int Update(int32_t db, const char* table, Fill fill) { return OM_CCDB_Update(db, table, &fill, FillColumns); }

TEST_P(OmCcdbTest, PartialUpdateWritesOnlyTheNamedColumns) {
    std::vector<uint8_t> row(kTaskRow);
    for (uint32_t i = 0; i < kTaskRow; ++i) {
        row[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    ASSERT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "1", row.data(), kTaskRow), OM_CCDB_OK);

    Fill fill;
    fill.numbers = {{"i_taskstatus", 0x0102030405060708ULL}};
    fill.texts = {{"sv_taskreturn1", "done"}};
    ASSERT_EQ(OM_CCDB_Update(handle, kTask, &fill, FillColumns), OM_CCDB_OK);

    std::vector<uint8_t> expected = row;
    uint64_t status = 0x0102030405060708ULL;
    memcpy(expected.data() + kStatusOffset, &status, 8);
    memset(expected.data() + kReturn1Offset, 0, 64);
    memcpy(expected.data() + kReturn1Offset, "done", 4);
    EXPECT_EQ(Row("1"), expected) << "every other byte stays; the text column is zero-filled past the text";

    // A queued column that is refused leaves the row as it was when the
    // filler reports the failure.
    // A text column written as a number:
    EXPECT_EQ(Update(handle, kTask, Numbers({{"i_taskresult", 9}, {"sv_taskreturn1", 1}})),
              OM_CCDB_ERR_SCHEMA);
    Fill tooLong;
    tooLong.texts = {{"sv_taskreturn1", std::string(64, 'x')}};  // no room for the terminator
    EXPECT_EQ(Update(handle, kTask, tooLong), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(Update(handle, kTask, Numbers({{"i_tasknothing", 1}})), OM_CCDB_ERR_SCHEMA);
    EXPECT_EQ(Update(handle, kTask, Numbers({{"i_taskresult", 9}}, "1", 77)), 77);
    EXPECT_EQ(Row("1"), expected);

    EXPECT_EQ(Update(handle, kTask, Numbers({{"i_taskresult", 9}}, "2")), OM_CCDB_NO_VALUE);
    std::vector<uint8_t> read(kTaskRow);
    EXPECT_EQ(OM_CCDB_QueryOneObj(handle, kTask, "2", read.data(), kTaskRow), OM_CCDB_NO_VALUE)
        << "not created";

    // The transaction handle dies with its update.
    OM_DB_VALUE_S scratch{};
    uint64_t value = 1;
    EXPECT_EQ(OM_DB_SetCol2TransSub(OM_CCDB_COL_UINT64, &value, fill.trans, kTask, "i_taskresult", &scratch,
                                    0, fill.writer, "1"),
              OM_CCDB_ERR_PARAM);
    EXPECT_EQ(
        OM_DB_SetCol2TransSub(5, &value, fill.trans, kTask, "i_taskresult", &scratch, 0, fill.writer, "1"),
        OM_CCDB_ERR_PARAM);
    EXPECT_EQ(Row("1"), expected);
}

OM_CCDB_FIELD_DESC_S Field(const char* name, uint32_t offset, uint32_t size, uint32_t type) {
    OM_CCDB_FIELD_DESC_S field{};
    field.uiTag = OM_CCDB_FIELD_TAG;
    strncpy(field.acName, name, sizeof(field.acName) - 1);
    field.uiOffset = offset;
    field.uiSize = size;
    field.uiFlags = 1;
    field.uiType = type;
    return field;
}

OM_CCDB_TABLE_DESC_S Table(const char* name, uint32_t rowSize, const char* key,
                           const std::vector<OM_CCDB_FIELD_DESC_S>& fields) {
    OM_CCDB_TABLE_DESC_S table{};
    table.uiTag = OM_CCDB_TABLE_TAG;
    strncpy(table.acName, name, sizeof(table.acName) - 1);
    table.uiRowSize = rowSize;
    strncpy(table.acKeyName, key, sizeof(table.acKeyName) - 1);
    table.ulFieldNum = fields.size();
    table.pstFields = fields.data();
    table.ulStorageKind = 3;
    return table;
}

TEST_P(OmCcdbTest, TableRegistrationChecksAndUpgradesLayouts) {
    std::vector<OM_CCDB_FIELD_DESC_S> agent = {
        Field("serviceid", 0, 4, 6),         Field("areaId", 4, 64, 8),
        Field("proxySwitch", 68, 4, 6),      Field("proxyAddress", 72, 256, 8),
        Field("proxyPort", 328, 4, 6),       Field("proxyAuthType", 332, 4, 6),
        Field("proxyUserName", 336, 128, 8), Field("proxyPassword", 464, 512, 8),
        Field("zenloginAcount", 976, 256, 8)};
    OM_CCDB_TABLE_DESC_S agentTable = Table(kRelayd, 1232, "serviceid", agent);
    EXPECT_EQ(OMM_CCDB_UpgradeCcdbTable(handle, &agentTable, 1, 1, 8), OM_CCDB_OK);
    EXPECT_EQ(OMM_CCDB_UpgradeCcdbTable(handle, &agentTable, 2, 1, 8), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(OMM_CCDB_UpgradeCcdbTable(handle, nullptr, 1, 1, 8), OM_CCDB_ERR_PARAM);
    agent[1].uiSize = 60;
    agentTable = Table(kRelayd, 1232, "serviceid", agent);
    EXPECT_EQ(OMM_CCDB_UpgradeCcdbTable(handle, &agentTable, 1, 1, 8), OM_CCDB_ERR_SCHEMA)
        << "not the known layout";

    std::vector<OM_CCDB_FIELD_DESC_S> fields = {Field("id", 0, 4, 6), Field("name", 4, 12, 8)};
    struct {
        const char* why;
        std::vector<OM_CCDB_FIELD_DESC_S> fields;
        uint32_t rowSize;
        const char* key;
    } bad[] = {{"overlap", {Field("id", 0, 4, 6), Field("name", 2, 12, 8)}, 16, "id"},
               {"past the row", {Field("id", 0, 4, 6), Field("name", 8, 12, 8)}, 16, "id"},
               {"size of its type", {Field("id", 0, 8, 6), Field("name", 8, 8, 8)}, 16, "id"},
               {"key not a field", fields, 16, "serviceid"},
               {"twice", {Field("id", 0, 4, 6), Field("id", 4, 4, 6)}, 16, "id"},
               {"no fields", {}, 16, "id"}};
    for (auto& c : bad) {
        OM_CCDB_TABLE_DESC_S desc = Table("TEST_T", c.rowSize, c.key, c.fields);
        EXPECT_EQ(OMM_CCDB_UpgradeCcdbTable(handle, &desc, 1, 1, 8), OM_CCDB_ERR_PARAM) << c.why;
    }
    OM_CCDB_TABLE_DESC_S desc = Table("TEST_T", 16, "id", fields);
    desc.uiTag = 1;
    EXPECT_EQ(OMM_CCDB_UpgradeCcdbTable(handle, &desc, 1, 1, 8), OM_CCDB_ERR_PARAM) << "tag";

    desc = Table("TEST_T", 16, "id", fields);
    ASSERT_EQ(OMM_CCDB_UpgradeCcdbTable(handle, &desc, 1, 1, 8), OM_CCDB_OK);
    uint8_t row[16] = {1, 0, 0, 0, 'a', 'b', 'c'};
    ASSERT_EQ(OM_CCDB_InsertOneObj(handle, "TEST_T", "1", row, 16), OM_CCDB_OK);
    // More rows than one etcd transaction takes.
    constexpr int kRows = 150;
    for (int i = 2; i <= kRows; ++i) {
        ASSERT_EQ(OM_CCDB_InsertOneObj(handle, "TEST_T", std::to_string(i).c_str(), row, 16), OM_CCDB_OK);
    }

    // A grown row keeps the old bytes and gains zeros.
    fields.push_back(Field("extra", 16, 8, 7));
    desc = Table("TEST_T", 24, "id", fields);
    ASSERT_EQ(OMM_CCDB_UpgradeCcdbTable(handle, &desc, 1, 2, 8), OM_CCDB_OK);
    uint8_t grown[24];
    memset(grown, 0xEE, sizeof(grown));
    EXPECT_EQ(OM_CCDB_QueryOneObj(handle, "TEST_T", "1", grown, 16), OM_CCDB_ERR_PARAM);
    ASSERT_EQ(OM_CCDB_QueryOneObj(handle, "TEST_T", "1", grown, 24), OM_CCDB_OK);
    EXPECT_EQ(memcmp(grown, row, 16), 0);
    EXPECT_EQ(std::vector<uint8_t>(grown + 16, grown + 24), std::vector<uint8_t>(8, 0));
    for (int i = 2; i <= kRows; ++i) {
        ASSERT_EQ(OM_CCDB_QueryOneObj(handle, "TEST_T", std::to_string(i).c_str(), grown, 24), OM_CCDB_OK) << i;
    }
    EXPECT_EQ(Update(handle, "TEST_T", Numbers({{"extra", 42}})), OM_CCDB_OK);
    ASSERT_EQ(OM_CCDB_QueryOneObj(handle, "TEST_T", "1", grown, 24), OM_CCDB_OK);
    EXPECT_EQ(grown[16], 42);
}

// Each child owns one 64-bit column of the shared row 1 and writes it many
// times while the others write theirs, plus rows and keys of its own.
int RunWriter(int child, int rounds) {
    int32_t id = 0;
    if (InitDb("pub_user_cfg_db", "pub_user_cfg_db", &id) != OM_CCDB_OK) {
        return 10;
    }
    static const char* columns[] = {"i_taskresult", "i_taskprogress", "i_tasksubitems", "i_taskreturn1"};
    for (int i = 1; i <= rounds; ++i) {
        if (Update(id, kTask, Numbers({{columns[child], static_cast<uint64_t>(child * 100000 + i)}})) !=
            OM_CCDB_OK) {
            return 11;
        }
        std::string key = std::to_string(1000 + child * rounds + i);
        std::vector<uint8_t> row(kTaskRow, static_cast<uint8_t>(child));
        if (OM_CCDB_InsertOneObj(id, kTask, key.c_str(), row.data(), kTaskRow) != OM_CCDB_OK) {
            return 12;
        }
        OM_CCDB_KEY_VALUE_S entry = Entry("child" + key, key);
        if (OM_CCDB_SetKeyValue(id, kKv, &entry) != OM_CCDB_OK) {
            return 13;
        }
    }
    return 0;
}

TEST_P(OmCcdbTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
    constexpr int kChildren = 4;
    constexpr int kRounds = 40;
    std::vector<uint8_t> row(kTaskRow, 0);
    ASSERT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "1", row.data(), kTaskRow), OM_CCDB_OK);
    // The parent's connection is open: every child must open its own.
    std::vector<pid_t> children;
    for (int child = 0; child < kChildren; ++child) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            _exit(RunWriter(child, kRounds));
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }
    std::vector<uint8_t> shared = Row("1");
    const uint32_t offsets[] = {896, 912, 920, 936};
    for (int child = 0; child < kChildren; ++child) {
        uint64_t value = 0;
        memcpy(&value, shared.data() + offsets[child], 8);
        EXPECT_EQ(value, static_cast<uint64_t>(child * 100000 + kRounds)) << "column of child " << child;
    }
    uint32_t count = 0;
    ASSERT_EQ(OM_CCDB_CountObj(handle, kTask, &count), OM_CCDB_OK);
    EXPECT_EQ(count, 1u + kChildren * kRounds);
    for (int child = 0; child < kChildren; ++child) {
        std::string key = std::to_string(1000 + child * kRounds + kRounds);
        EXPECT_EQ(GetValue("child" + key), key);
    }
}

struct StatusAnswer {
    std::atomic<int> calls{0};
    int32_t result = -1;
    int32_t state = -1;
    DPAX_SEM_ENHANCE_S done;
};

void OnStatus(int32_t result, int32_t state, void* context) {
    auto* answer = static_cast<StatusAnswer*>(context);
    answer->result = result;
    answer->state = state;
    ++answer->calls;
    dpax_sem_enhance_up(&answer->done);
}

StatusAnswer* AskStatus() {
    auto* answer = new StatusAnswer;
    dpax_sem_enhance_init(&answer->done, 0);
    EXPECT_EQ(queryCcdbStatus(OnStatus, answer, 0), OM_CCDB_OK);
    EXPECT_EQ(dpax_sem_enhance_down(&answer->done, 30000), DPAX_SEM_OK);
    return answer;
}

TEST_P(OmCcdbTest, StatusOverrideAndUnreachableDatabase) {
    std::unique_ptr<StatusAnswer> answer(AskStatus());
    EXPECT_EQ(answer->result, OM_CCDB_OK);
    EXPECT_EQ(answer->state, OM_CCDB_STATE_NORMAL);
    WriteText(dir.Join("state/ccdb_status"), "3\n");
    answer.reset(AskStatus());
    EXPECT_EQ(answer->state, OM_CCDB_STATE_UPGRADING) << "from the override file";
    EXPECT_EQ(answer->calls.load(), 1);
    EXPECT_EQ(queryCcdbStatus(nullptr, nullptr, 0), OM_CCDB_ERR_PARAM);
    EXPECT_EQ(queryCcdbStatus(OnStatus, answer.get(), 1), OM_CCDB_ERR_PARAM);

    platform::state::Set("ccdb_unreachable", "1");
    answer.reset(AskStatus());
    EXPECT_EQ(answer->result, OM_CCDB_ERR_UNREACHABLE);
    OM_CCDB_KEY_VALUE_S entry = Entry("k", "v");
    std::vector<uint8_t> row(kTaskRow);
    uint32_t count = 0;
    int32_t id = 0;
    EXPECT_EQ(InitDb("pub_user_cfg_db", "pub_user_cfg_db", &id), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &entry), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(OM_CCDB_InsertKeyValue(handle, kKv, &entry), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(OM_CCDB_GetKeyValue(handle, kKv, &entry), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(OM_CCDB_DelKeyValue(handle, kKv, "k"), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "1", row.data(), kTaskRow), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(OM_CCDB_QueryOneObj(handle, kTask, "1", row.data(), kTaskRow), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(OM_CCDB_DelAndInsert(handle, kTask, "1", row.data(), kTaskRow), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(OM_CCDB_Delete(handle, kTask, "1"), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(OM_CCDB_CountObj(handle, kTask, &count), OM_CCDB_ERR_UNREACHABLE);
    EXPECT_EQ(Update(handle, kTask, Fill()), OM_CCDB_ERR_UNREACHABLE);
    platform::state::Clear("ccdb_unreachable");
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &entry), OM_CCDB_OK);

    // A process detached from its cluster cannot reach the database either.
    platform::CcdbCloseAll();
    platform::DetachCluster();
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &entry), OM_CCDB_ERR_UNREACHABLE);
}

TEST_P(OmCcdbTest, BusyDatabaseTimesOutAndRecovers) {
    if (GetParam() != Backend::kSqlite) {
        GTEST_SKIP() << "a lock held on the SQLite file";
    }
    OM_CCDB_KEY_VALUE_S entry = Entry("k", "v");
    ASSERT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &entry), OM_CCDB_OK);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(dir.Join("ccdb.sqlite").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    platform::SetCcdbBusyTimeoutMs(20);
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &entry), OM_CCDB_TIMEOUT);
    EXPECT_EQ(Update(handle, kTask, Numbers({{"i_taskresult", 1}})), OM_CCDB_TIMEOUT);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &entry), OM_CCDB_OK);
}

// etcd frozen (connections are taken, nothing is answered), then ended
// (connections are refused): every call answers "unreachable" within its
// time-out. Thawed, and started again on its data, it serves the same
// process's next calls.
TEST_P(OmCcdbTest, EtcdOutageIsUnreachableWithinTheTimeOutThenRecovers) {
    if (GetParam() != Backend::kEtcd) {
        GTEST_SKIP() << "an etcd that can be stopped";
    }
    OM_CCDB_KEY_VALUE_S entry = Entry("InfoCollectSwitch", "on");
    ASSERT_EQ(OM_CCDB_SetKeyValue(handle, kKv, &entry), OM_CCDB_OK);
    std::vector<uint8_t> row(kTaskRow, 3);
    ASSERT_EQ(OM_CCDB_InsertOneObj(handle, kTask, "1", row.data(), kTaskRow), OM_CCDB_OK);
    constexpr unsigned int kTimeoutMs = 500;
    platform::SetCcdbBusyTimeoutMs(kTimeoutMs);

    uint32_t count = 0;
    std::string value;
    std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"get",
         [&] {
             OM_CCDB_KEY_VALUE_S read = Entry("InfoCollectSwitch", "");
             int rc = OM_CCDB_GetKeyValue(handle, kKv, &read);
             value = read.acValue;
             return rc;
         }},
        {"set", [&] { return OM_CCDB_SetKeyValue(handle, kKv, &entry); }},
        {"replace", [&] { return OM_CCDB_DelAndInsert(handle, kTask, "1", row.data(), kTaskRow); }},
        {"query", [&] { return OM_CCDB_QueryOneObj(handle, kTask, "1", row.data(), kTaskRow); }},
        {"count", [&] { return OM_CCDB_CountObj(handle, kTask, &count); }},
        {"update", [&] { return Update(handle, kTask, Numbers({{"i_taskstatus", 2}})); }},
        {"init",
         [&] {
             int32_t id = 0;
             return InitDb("pub_user_cfg_db", "pub_user_cfg_db", &id);
         }},
        {"status", [&] { return std::unique_ptr<StatusAnswer>(AskStatus())->result; }},
    };
    auto expectAll = [&](int expected, const char* phase) {
        for (auto& [name, call] : calls) {
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(call(), expected) << phase << ": " << name;
            auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            EXPECT_LT(took.count(), kTimeoutMs + 1000) << phase << ": " << name;
        }
    };
    Etcd().Pause();
    expectAll(OM_CCDB_ERR_UNREACHABLE, "frozen");
    Etcd().Resume();
    expectAll(OM_CCDB_OK, "thawed");
    Etcd().Stop();
    expectAll(OM_CCDB_ERR_UNREACHABLE, "ended");
    ASSERT_TRUE(Etcd().Start());
    expectAll(OM_CCDB_OK, "started again");
    EXPECT_EQ(value, "on");
    EXPECT_EQ(count, 1u);

    // An endpoint that refuses is passed over for the next one.
    chs_test::EtcdServer* live = &Etcd();
    std::string serial = platform::Cluster().strSerialNumber;
    platform::DetachCluster();
    {
        chs_test::EtcdServer gone;
        std::string endpoints = "\"" + gone.Endpoint() + "\", \"" + live->Endpoint() + "\"";
        gone.Stop();
        chs_test::AttachHandMadeCluster(dir.path(), R"({"serialNumber": ")" + serial + R"(", "nodes": [
            {"id": 0, "name": "CTE0.A"}], "ccdb": {"backend": "etcd", "endpoints": [)" + endpoints + "]}}",
                                        0, false);
    }
    expectAll(OM_CCDB_OK, "second endpoint");
}

// chsctl mkcluster --ccdb etcd: the cluster file names the etcd, and the
// agent's row is written there, not into a file of the cluster directory.
TEST_P(OmCcdbTest, MakeClusterSeedsTheChosenStore) {
    if (GetParam() != Backend::kEtcd) {
        GTEST_SKIP() << "the SQLite default is what every other cluster test lays out";
    }
    const std::string chsctl = chs_test::BinaryPath("tools/chsctl");
    const std::string endpoint = Etcd().Endpoint();
    struct {
        std::vector<std::string> args;
        const char* error;
    } bad[] = {{{"--ccdb", "etcd"}, "needs --etcd-endpoint"},
               {{"--etcd-endpoint", endpoint}, "needs --etcd-endpoint"},
               {{"--ccdb", "mysql"}, "sqlite or etcd"},
               {{"--ccdb", "etcd", "--etcd-endpoint", "http://user:pw@h:1"}, "http://HOST:PORT"}};
    for (const auto& c : bad) {
        std::vector<std::string> argv{chsctl, "mkcluster", dir.Join("bad")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        chs_test::RunResult run = chs_test::RunProgram(argv);
        EXPECT_NE(run.exitCode, 0) << c.error;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    }

    platform::DetachCluster();
    std::string cluster = chs_test::MakeCluster(dir, 1, {"--ccdb", "etcd", "--etcd-endpoint", endpoint + "/"});
    chs_test::AttachAs(cluster, 0, false);
    EXPECT_EQ(platform::Cluster().ccdb.endpoints, std::vector<std::string>{endpoint});
    EXPECT_NE(access((cluster + "/ccdb.sqlite").c_str(), F_OK), 0);
    std::vector<uint8_t> agent(1232);
    ASSERT_EQ(OM_CCDB_QueryOneObj(Open("pub_user_cfg_db"), kRelayd, "1", agent.data(), 1232), OM_CCDB_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(agent.data() + 4), "SIM-SITE");
}

INSTANTIATE_TEST_SUITE_P(Backends, OmCcdbTest, ::testing::Values(Backend::kSqlite, Backend::kEtcd),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return info.param == Backend::kEtcd ? "Etcd" : "SQLite";
                         });

// "ccdb" of cluster.json: the backend and its endpoints, checked at load.
TEST(CcdbConfigTest, ClusterFileNamesTheBackend) {
    struct {
        const char* ccdb;
        const char* error;  // a part of the load error; null: loads
    } cases[] = {
        {"", nullptr},
        {R"(, "ccdb": {"backend": "sqlite"})", nullptr},
        {R"(, "ccdb": {"backend": "etcd", "endpoints": ["http://127.0.0.1:23790", "http://etcd-2.example:2379/"]})",
         nullptr},
        {R"(, "ccdb": "etcd")", "must be an object"},
        {R"(, "ccdb": {"backend": "mysql"})", "ccdb.backend"},
        {R"(, "ccdb": {"backend": 1})", "ccdb."},
        {R"(, "ccdb": {"backend": "etcd"})", "ccdb.endpoints"},
        {R"(, "ccdb": {"backend": "etcd", "endpoints": []})", "ccdb.endpoints"},
        {R"(, "ccdb": {"backend": "etcd", "endpoints": "http://h:1"})", "ccdb.endpoints"},
        {R"(, "ccdb": {"backend": "etcd", "endpoints": ["https://h:1"]})", "http://HOST:PORT"},
        {R"(, "ccdb": {"backend": "etcd", "endpoints": ["http://user:secret@h:1"]})", "http://HOST:PORT"},
        {R"(, "ccdb": {"backend": "etcd", "endpoints": ["http://h"]})", "http://HOST:PORT"},
        {R"(, "ccdb": {"backend": "etcd", "endpoints": ["http://h:65536"]})", "http://HOST:PORT"},
        {R"(, "ccdb": {"backend": "etcd", "endpoints": ["http://h:1/v3"]})", "http://HOST:PORT"},
        {R"(, "ccdb": {"backend": "etcd", "endpoints": [1]})", "http://HOST:PORT"},
        {R"(, "ccdb": {"backend": "sqlite", "endpoints": ["http://h:1"]})", "etcd backend only"},
        {R"(, "ccdb": {"backend": "etcd", "endpoint": ["http://h:1"]})", "unknown member"},
    };
    TempDir dir;
    auto write = [&dir](const std::string& serial, const char* ccdb) {
        WriteText(dir.Join("cluster.json"),
                  "{" + serial + R"("nodes": [{"id": 0, "name": "CTE0.A"}])" + ccdb + "}");
    };
    for (const auto& c : cases) {
        write(R"("serialNumber": "SN1", )", c.ccdb);
        platform::ClusterConfig config;
        std::string error;
        bool loaded = platform::ClusterConfig::Load(dir.Join("cluster.json"), config, error);
        EXPECT_EQ(loaded, c.error == nullptr) << c.ccdb << ": " << error;
        if (c.error != nullptr) {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.ccdb << ": " << error;
        }
    }
    write(R"("serialNumber": "SN1", )", cases[0].ccdb);
    platform::ClusterConfig config;
    std::string error;
    ASSERT_TRUE(platform::ClusterConfig::Load(dir.Join("cluster.json"), config, error)) << error;
    EXPECT_EQ(config.ccdb.kind, platform::CcdbBackendKind::kSqlite) << "the default";
    write(R"("serialNumber": "SN1", )", cases[2].ccdb);
    ASSERT_TRUE(platform::ClusterConfig::Load(dir.Join("cluster.json"), config, error)) << error;
    EXPECT_EQ(config.ccdb.kind, platform::CcdbBackendKind::kEtcd);
    EXPECT_EQ(config.ccdb.endpoints,
              (std::vector<std::string>{"http://127.0.0.1:23790", "http://etcd-2.example:2379"}));

    write("", cases[2].ccdb);
    EXPECT_FALSE(platform::ClusterConfig::Load(dir.Join("cluster.json"), config, error));
    EXPECT_NE(error.find("serialNumber"), std::string::npos) << "the serial number names the cluster's keys";
}

TEST(DpaxSemTest, CountsAndTimesOut) {
    DPAX_SEM_ENHANCE_S sem;
    EXPECT_EQ(dpax_sem_enhance_up(&sem), DPAX_SEM_ERR_PARAM) << "not initialised";
    EXPECT_EQ(dpax_sem_enhance_down(&sem, 0), DPAX_SEM_ERR_PARAM);
    EXPECT_EQ(dpax_sem_enhance_init(nullptr, 0), DPAX_SEM_ERR_PARAM);
    EXPECT_EQ(dpax_sem_enhance_init(&sem, DPAX_SEM_MAX_COUNT + 1), DPAX_SEM_ERR_PARAM);
    ASSERT_EQ(dpax_sem_enhance_init(&sem, 2), DPAX_SEM_OK);
    EXPECT_EQ(dpax_sem_enhance_down(&sem, 0), DPAX_SEM_OK);
    EXPECT_EQ(dpax_sem_enhance_down(&sem, 0), DPAX_SEM_OK);
    EXPECT_EQ(dpax_sem_enhance_down(&sem, 0), DPAX_SEM_TIMEOUT);
    EXPECT_EQ(dpax_sem_enhance_down(&sem, 10), DPAX_SEM_TIMEOUT);
    EXPECT_EQ(dpax_sem_enhance_down(&sem, -2), DPAX_SEM_ERR_PARAM);

    ASSERT_EQ(dpax_sem_enhance_init(&sem, DPAX_SEM_MAX_COUNT), DPAX_SEM_OK);
    EXPECT_EQ(dpax_sem_enhance_up(&sem), DPAX_SEM_ERR_PARAM) << "the count cannot wrap";
}

TEST(DpaxSemTest, WakesWaitersOncePerPost) {
    DPAX_SEM_ENHANCE_S sem;
    ASSERT_EQ(dpax_sem_enhance_init(&sem, 0), DPAX_SEM_OK);
    constexpr int kWaiters = 6;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            if (dpax_sem_enhance_down(&sem, DPAX_SEM_WAIT_FOREVER) == DPAX_SEM_OK) {
                ++woken;
            }
        });
    }
    for (int i = 0; i < kWaiters; ++i) {
        EXPECT_EQ(dpax_sem_enhance_up(&sem), DPAX_SEM_OK);
    }
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken.load(), kWaiters);
    EXPECT_EQ(dpax_sem_enhance_down(&sem, 0), DPAX_SEM_TIMEOUT) << "every post was taken exactly once";
}

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
