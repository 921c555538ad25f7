// What every sibling module needs to know about where it runs: the cluster
// directory, its own node and the roots of all nodes, plus the two file
// services the modules share: resolving a file path named by a request to a
// file inside a node root, and appending one JSON line to a cluster file.
//
// A PeerContext is built once at start-up and then only read, so it may be
// shared by every worker thread. AppendJsonLine is thread-safe.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/cluster_config.h"

namespace chs_peers {

class PeerContext {
  public:
    // `ownRoot` is the root of `nodeId`; the other nodes' roots follow the
    // simulated-cluster layout <cluster>/node<N>.
    PeerContext(const platform::ClusterConfig& cluster, uint16_t nodeId, const std::string& ownRoot);

    const std::string& ClusterDir() const { return m_strClusterDir; }
    const platform::ClusterConfig& Cluster() const { return m_cluster; }
    uint16_t NodeId() const { return m_usNodeId; }
    // This node's first internal address from cluster.json ("" when none):
    // the address part of the file locations the export services answer.
    std::string OwnAddress() const;
    bool HasNode(uint16_t nodeId) const { return m_cluster.FindNode(nodeId) != nullptr; }
    std::filesystem::path NodeRoot(uint16_t nodeId) const;
    // The directory name a node's deliveries go to: its controller name, or
    // its id where the name would not make a safe file name.
    std::string NodeDirName(uint16_t nodeId) const;
    std::string PeersConfigFile() const { return m_strClusterDir + "/peers.json"; }
    // Where notices and deliveries of this node are logged, one JSON line each.
    std::string EventFile() const;
    std::string RemoteDir() const { return m_strClusterDir + "/remote"; }

    // Maps `path` from a request to the regular file it names on node
    // `sourceNode`. A path below any node root of the cluster is taken
    // relative to that root; any other absolute path is a system path,
    // resolved below the root the way the platform maps system paths. A
    // relative path, a ".." component, or a file whose real location (after
    // symbolic links) is outside the source node's root is refused. Returns
    // PEER_OK with the real file in `file`, else a PEER_ERR_* code with a
    // reason in `why`.
    uint32_t ResolveNodeFile(uint16_t sourceNode, const std::string& path, std::filesystem::path& file,
                             std::string& why) const;

  private:
    platform::ClusterConfig m_cluster;
    std::string m_strClusterDir;
    uint16_t m_usNodeId;
    std::filesystem::path m_ownRoot;
};

// Appends `line` in compact form and a newline with a single write, creating
// the parent directories; false (and a log line) when it cannot.
bool AppendJsonLine(const std::string& file, const Json::Value& line);

// Local time as "%Y-%m-%dT%H:%M:%S" for the lines above.
std::string NowText();

}  // namespace chs_peers
