#include "tests/support/local_node.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "collector/collector_db.h"
#include "collector/collector_msg_handler.h"
#include "control/ccdb_comm.h"
#include "control/collector_ccdb.h"
#include "control/collector_switch.h"
#include "control/remote_task.h"
#include "core/collector_dir.h"
#include "export/export_frame.h"
#include "infra/chs_log.h"
#include "infra/detached_tasks.h"
#include "logexport/log_list_service.h"
#include "logexport/remote_log_task.h"
#include "platform/platform_state.h"
#include "platform/om_cluster.h"
#include "tests/support/cluster_setup.h"

namespace chs_test {

LocalNode::LocalNode(int nodes, bool withPeers) : m_strCluster(MakeCluster(m_dir, nodes)) {
    if (::testing::Test::HasFailure()) {
        return;
    }
    WriteText(m_strCluster + "/peers.json", "{\"sessions\": {}}");
    std::string clusterFile = m_strCluster + "/cluster.json";
    if (OMClusterInit(35, 0, 35, "0", Root(0).c_str(), clusterFile.c_str()) != 0) {
        ADD_FAILURE() << "cannot attach to " << clusterFile;
        return;
    }
    SetModuleID(551);
    CCDB_COMM::g_uiCcdbUpgradePollMs = 0;
    EXPECT_EQ(COLLECTOR_CCDB::Init(), 0u);
    EXPECT_EQ(COLLECTOR_CCDB::SetCollectorSwitch("on"), 0u);
    SetLastKnownCollectorSwitch("on");  // what the supervision loop would have applied
    InitExportErrorCodeDesc();
    EXPECT_EQ(InitInfoCollectMsgHandler(), 0);
    EXPECT_EQ(InitLogServiceMsgHandler(), 0);
    RecoverCollectorDirForCofferData();
    EXPECT_EQ(RecoverDb(), 0);
    EXPECT_EQ(CollectorDbOper(""), 0);
    if (withPeers) {
        m_peers = StartPeersAgent(m_strCluster, 0, m_dir.Join("chs-peers.out"),
                                  {"PATH=" + m_strCluster + "/bin:/usr/sbin:/usr/bin:/sbin:/bin"});
    }
}

CCDB_COMM::tagDB_CHS_REMOTE_TASK_S LogTask() {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    GetRemoteTask(1, row);
    return row;
}

bool LogTaskEnded() { return LogTask().i_taskendtime != 0; }

bool LogTaskSettled() {
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    return GetRemoteTask(1, row) != 0 || row.i_taskendtime != 0;
}

uint64_t NowSec() { return static_cast<uint64_t>(time(nullptr)); }

void ResetLogTasks() {
    // The previous task's threads end before its row and records are reset.
    EXPECT_TRUE(WaitDetachedTasksIdle(60000)) << "a log task thread outlived its test";
    ResetStates();
    ASSERT_EQ(DeleteRemoteTask(1), 0u);
    ASSERT_EQ(clearLogRecord(), 0);
    g_bRemoteTaskStop = false;
}

void LocalNode::SetState(const std::string& name, const std::string& value) const {
    std::string path = m_strCluster + "/state/" + name;
    if (value.empty()) {
        std::remove(path.c_str());
    } else {
        WriteText(path, value);
    }
}

void LocalNode::ClearStates() const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(m_strCluster + "/state", ec)) {
        std::filesystem::remove(entry.path(), ec);
    }
}

}  // namespace chs_test
