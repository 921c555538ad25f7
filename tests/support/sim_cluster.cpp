#include "tests/support/sim_cluster.h"

#include <gtest/gtest.h>

#include "tests/support/cluster_setup.h"
#include "tools/cluster_layout.h"

namespace chs_test {

SimCluster::SimCluster(TempDir& dir, int nodes, const std::vector<std::string>& extraArgs,
                       const std::string& sessions)
    : m_dir(dir), m_strCluster(MakeCluster(dir, nodes, extraArgs)), m_peers(nodes), m_daemons(nodes) {
    WriteText(m_strCluster + "/peers.json", "{\"sessions\": {" + sessions + "}}");
}

std::string SimCluster::Root(int node) const {
    return chs_tools::SimulatedNodeRoot(m_strCluster, static_cast<uint16_t>(node));
}

std::string SimCluster::DaemonLog(int node) const { return ReadText(Root(node) + "/var/log/chs/infocollector.log"); }

bool SimCluster::StartNode(int node) {
    std::string n = std::to_string(node);
    m_peers[node] = std::make_unique<Process>(
        std::vector<std::string>{BinaryPath("peers/chs-peers"), m_strCluster + "/cluster.json", n, Root(node)},
        std::vector<std::string>{"PATH=" + m_strCluster + "/bin:/usr/sbin:/usr/bin:/sbin:/bin"},
        m_dir.Join("peers" + n + ".out"));
    return StartDaemon(node);
}

bool SimCluster::StartDaemon(int node) {
    std::string n = std::to_string(node);
    size_t done = Count(DaemonLog(node), "Info collector init Done.");
    m_daemons[node] = std::make_unique<Process>(
        std::vector<std::string>{BinaryPath("core/infocollector"), "-m", "INFOCOLLECTOR",
                                 m_strCluster + "/cluster.json", n, "-r", Root(node)},
        std::vector<std::string>{"PATH=" + m_strCluster + "/bin:/usr/sbin:/usr/bin:/sbin:/bin"},
        m_dir.Join("daemon" + n + ".out"));
    return WaitFor([&] { return Count(DaemonLog(node), "Info collector init Done.") > done; }, 20000);
}

void SimCluster::StopDaemon(int node, int signal) {
    if (m_daemons[node]) {
        m_daemons[node]->Stop(signal);
    }
}

RunResult SimCluster::Chsctl(int node, const std::vector<std::string>& args, unsigned timeoutSec) const {
    std::vector<std::string> argv{BinaryPath("tools/chsctl"), "--cluster", m_strCluster, "--node",
                                  std::to_string(node), "--timeout", std::to_string(timeoutSec)};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, {}, (timeoutSec + 30) * 1000);
}

size_t SimCluster::Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace chs_test
