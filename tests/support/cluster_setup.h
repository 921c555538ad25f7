// A temporary cluster for a test process: laid out by `chsctl mkcluster` or
// written by hand, and this process attached to it as one of its nodes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/om_cluster.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

// Lays out `nodes` nodes in `dir`/cluster with chsctl and `extraArgs`; its directory.
inline std::string MakeCluster(const TempDir& dir, int nodes,
                               const std::vector<std::string>& extraArgs = {}) {
    std::string cluster = dir.Join("cluster");
    std::vector<std::string> argv{BinaryPath("tools/chsctl"), "mkcluster", cluster, "--nodes",
                                  std::to_string(nodes)};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    RunResult made = RunProgram(argv);
    EXPECT_EQ(made.exitCode, 0) << made.err;
    return cluster;
}

// Attaches this process as `node` of the cluster in the directory `cluster`,
// with the root <cluster>/node<node>; `holdPresence` makes the node online.
inline void AttachAs(const std::string& cluster, uint16_t node, bool holdPresence) {
    std::string root = cluster + "/node" + std::to_string(node);
    std::string error;
    EXPECT_TRUE(platform::AttachCluster(cluster + "/cluster.json", node, root, holdPresence, error)) << error;
}

// Writes `json` as the cluster.json of `dir`, with a state directory and the
// root of `node` (returned), and attaches as that node.
inline std::string AttachHandMadeCluster(const std::string& dir, const std::string& json, uint16_t node = 0,
                                         bool holdPresence = true) {
    std::string root = dir + "/node" + std::to_string(node);
    MakeDirs(dir + "/state");
    MakeDirs(root + "/var/log/chs");
    WriteText(dir + "/cluster.json", json);
    AttachAs(dir, node, holdPresence);
    return root;
}

// Starts chs-peers for `node` of the cluster in `cluster`, with `extraEnv`
// added, its output in `out`, and waits until it says "ready".
inline std::unique_ptr<Process> StartPeersAgent(const std::string& cluster, int node, const std::string& out,
                                                const std::vector<std::string>& extraEnv = {}) {
    std::string id = std::to_string(node);
    auto peers = std::make_unique<Process>(
        std::vector<std::string>{BinaryPath("peers/chs-peers"), cluster + "/cluster.json", id,
                                 cluster + "/node" + id},
        extraEnv, out);
    EXPECT_TRUE(WaitFor([&] { return ReadText(out).find("ready") != std::string::npos; }, 20000))
        << ReadText(out);
    return peers;
}

}  // namespace chs_test
