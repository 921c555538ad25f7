// The CCDB client over a real SQLite file in a temporary cluster: key-value
// and object rows, partial updates, table registration, several processes
// writing at once, the state overrides, and the platform semaphores.
#include "platform/om_ccdb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dpax_sem.h"
#include "platform/om_cluster.h"
#include "platform/platform_state.h"
#include "tests/support/cluster_setup.h"
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

class OmCcdbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chs_test::AttachHandMadeCluster(dir.path(), R"({"serialNumber": "2102351234567890", "nodes": [
            {"id": 0, "name": "CTE0.A"}]})", 0, false);
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

    TempDir dir;
    int32_t handle = 0;
};

TEST_F(OmCcdbTest, KeyValueRowsInsertSetGetDelete) {
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

TEST_F(OmCcdbTest, RefusesBadArguments) {
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

TEST_F(OmCcdbTest, ObjectRowsInsertQueryReplaceDelete) {
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

TEST_F(OmCcdbTest, PartialUpdateWritesOnlyTheNamedColumns) {
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

TEST_F(OmCcdbTest, TableRegistrationChecksAndUpgradesLayouts) {
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

TEST_F(OmCcdbTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
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

TEST_F(OmCcdbTest, StatusOverrideAndUnreachableDatabase) {
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

TEST_F(OmCcdbTest, BusyDatabaseTimesOutAndRecovers) {
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

}  // namespace
