// The record database removed or damaged while the daemon runs: the next
// statement finds it gone, the storage is recovered and logged, and the
// statement goes on against the rebuilt file, never against an empty one
// created in its place.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "collector/collector_db.h"
#include "platform/om_db.h"
#include "platform/platform_profile.h"
#include "tests/support/log_capture.h"
#include "tests/support/node_root.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace chs_test;

int CountRows(void* count, char** table, int rows, int columns, const char* errorText) {
    if (errorText == nullptr && rows > 0 && columns > 0) {
        *static_cast<int*>(count) = atoi(table[columns]);
    }
    return errorText == nullptr ? 0 : -1;
}

TEST(CollectorDbRecoveryTest, ARemovedOrDamagedDatabaseIsRebuiltAndLogged) {
    TempDir root;
    UseNodeRoot(root.path());
    InstallScript(root.path(), "collector_db_init.sh");
    ASSERT_EQ(RecoverDb(), 0);
    ASSERT_EQ(CollectorDbOper(""), 0);
    std::string db = root.Join("VXA/coffer_data/omm/export_import/chs/collector/db/collect.dat");
    TempDir files;
    std::string collected = files.Join("a.tgz");
    WriteText(collected, "collected");

    EXPECT_EQ(OMDB_OperateDb(files.Join("none.db").c_str(), "create table t(a)"), 14)
        << "a missing file is not created";
    EXPECT_NE(access(files.Join("none.db").c_str(), F_OK), 0);

    for (const char* damage : {"removed", "damaged"}) {
        SCOPED_TRACE(damage);
        LogCapture log;
        ASSERT_EQ(unlink(db.c_str()), 0);
        if (std::string(damage) == "damaged") {
            // Nothing of the old file may vouch for the new one.
            unlink((db + "-wal").c_str());
            unlink((db + "-shm").c_str());
            WriteText(db, std::string(8192, 'x'));
        }
        ASSERT_EQ(insertPluginRecord(collected, 1), 0);
        int count = 0;
        ASSERT_EQ(OMDB_QueryDb(db.c_str(), "select count(1) from tbl_plugin_record", CountRows, &count), 0);
        EXPECT_EQ(count, 1);
        ASSERT_EQ(OMDB_QueryDb(db.c_str(), "select count(1) from tbl_log_record", CountRows, &count), 0)
            << "the daemon's own tables are back";
        EXPECT_TRUE(log.Contains("recover it."));
    }
    platform::OmDbCloseAll();
    platform::SetProfile(platform::Profile());
}

}  // namespace
