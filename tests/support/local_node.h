// This test process as node 0 of a simulated cluster laid out by chsctl: the
// daemon's own set-up (cluster attach, module id, CCDB, result texts, the
// handler table and the log services, the collector directories and the
// record database), collection switched on, and optionally the sibling
// modules (chs-peers) of node 0 running beside it.
//
// A process attaches to one cluster only, so a test binary builds one
// LocalNode for all its tests (SetUpTestSuite) and keeps it to the end.
#pragma once

#include <memory>
#include <string>

#include "control/ccdb_comm.h"
#include "tests/support/export_test_util.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

class LocalNode {
public:
    // Lays out `nodes` nodes and attaches as node 0; `withPeers` starts
    // chs-peers for node 0. Failures are reported as test failures.
    LocalNode(int nodes, bool withPeers);

    const std::string& Cluster() const { return m_strCluster; }
    std::string Root(int node) const { return m_strCluster + "/node" + std::to_string(node); }
    // The real path of the system path `path` on node `node`.
    std::string Real(int node, const std::string& path) const { return Root(node) + path; }
    bool PeersRunning() const { return m_peers && m_peers->Running(); }
    // Ends chs-peers; a suite whose node outlives it calls this when it ends.
    void StopPeers() { m_peers.reset(); }
    // Sets the state override `name` for every process of the cluster (the
    // file <cluster>/state/<name>); an empty value removes it.
    void SetState(const std::string& name, const std::string& value) const;
    void ClearStates() const;

private:
    TempDir m_dir;
    std::string m_strCluster;
    std::unique_ptr<Process> m_peers;
};

// The remote log task's row (zero-filled when there is none), and whether a
// task has ended or none exists: the state every test leaves behind.
CCDB_COMM::tagDB_CHS_REMOTE_TASK_S LogTask();
bool LogTaskEnded();
bool LogTaskSettled();
uint64_t NowSec();
// What every log task test starts from: no state overrides but plenty of
// free space and memory, no task row, no log records, no stop pending.
void ResetLogTasks();

}  // namespace chs_test
