// A simulated cluster of real processes for whole-system tests: laid out by
// chsctl in a temporary directory, with chs-peers and the daemon started per
// node. The processes stop when the object goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

class SimCluster {
public:
    // Lays out `nodes` nodes with `chsctl mkcluster` (plus `extraArgs`) and
    // writes peers.json naming `sessions` ("key": "user" pairs as JSON text).
    SimCluster(TempDir& dir, int nodes, const std::vector<std::string>& extraArgs,
               const std::string& sessions);

    const std::string& Dir() const { return m_strCluster; }
    std::string Root(int node) const;
    std::string DaemonLog(int node) const;

    // Starts chs-peers and the daemon of `node` and waits for the daemon's
    // start-up line (false after 20 s).
    bool StartNode(int node);
    // Starts the daemon alone and waits for a new start-up line.
    bool StartDaemon(int node);
    void StopDaemon(int node, int signal);

    // Runs chsctl against node `node` with the given time-out per request.
    RunResult Chsctl(int node, const std::vector<std::string>& args, unsigned timeoutSec = 120) const;

    static size_t Count(const std::string& text, const std::string& what);

private:
    TempDir& m_dir;
    std::string m_strCluster;
    std::vector<std::unique_ptr<Process>> m_peers;
    std::vector<std::unique_ptr<Process>> m_daemons;
};

}  // namespace chs_test
