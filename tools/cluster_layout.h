// The directory of a simulated cluster:
//   cluster.json, run/, state/, remote/, bin/ (simulated platform programs),
//   node<N>/ with VXA/conf (and VXA/conf/kmca), VXA/script, VXA/coffer_data, VXA/lun_data, var/log/chs.
#pragma once

#include <string>
#include <vector>

#include "platform/cluster_config.h"

namespace chs_tools {

struct ClusterLayoutOptions {
    unsigned int uiNodes = 1;             // 1 to 16
    unsigned int uiLogLevel = 6;          // platform log level (0..7) of every process
    unsigned int uiCollectIntervalSec = 3600;  // the sample plugin's collection interval
    std::string strSiteId = "SIM-SITE";        // area id of the remote-service agent's configuration
    bool bTcpTransport = false;                // nodes reach each other over TCP with mutual TLS
    unsigned int uiTcpPortBase = 20000;        // of the endpoints' ports (cluster_config.h)
    platform::CcdbConfig ccdb;                 // the configuration database: SQLite file or etcd
};

// Creates the cluster directory: cluster.json, the simulated platform
// programs, per node the root with the controller scripts installed in
// VXA/script/ and a plugin configuration file naming the sample plugin, and
// the configuration database with the remote-service agent's row (its area
// id: without one the daemon refuses to switch collection on). Every node
// root gets the same cluster key in VXA/conf/kmca/cluster.key (0600, in a
// 0700 directory); a key that a node root holds already is kept. With the TCP
// transport tls/ gets the cluster CA's certificate and each node's
// certificate and key (platform/transport_tls.h). With etcd the database is
// there (it must answer), and the serial number gets a random part, so that
// clusters sharing one etcd keep to their own keys.
// Fails when cluster.json already exists there. false with a one-line reason
// in `error`.
bool CreateSimulatedCluster(const std::string& dir, const ClusterLayoutOptions& options, std::string& error);

// Files of the cluster directory that hold secrets (the configuration
// database and its side files: the proxy password and the site id; peers.json:
// session keys and proxy credentials; each node's cluster key) and whose mode
// lets more than their owner and group read them (more than the owner, for a
// key), or that are not plain files. One line per file, naming it, its mode
// and the fix; empty when all is well or the files do not exist.
std::vector<std::string> CheckSecretFileModes(const std::string& clusterDir);

// Controller name of node `id`: two controllers per engine, CTE0.A, CTE0.B, CTE1.A, ...
std::string SimulatedControllerName(unsigned int id);

// The root directory of node `id` in the cluster directory `clusterDir`.
std::string SimulatedNodeRoot(const std::string& clusterDir, unsigned int id);

}  // namespace chs_tools
