// The directory of a simulated cluster:
//   cluster.json, run/, state/, remote/, bin/ (simulated platform programs),
//   node<N>/ with VXA/conf, VXA/script, VXA/coffer_data, VXA/lun_data, var/log/chs.
#pragma once

#include <string>

namespace chs_tools {

// Creates the cluster directory with `nodes` nodes (1 to 16). Fails when
// cluster.json already exists there. false with a one-line reason in `error`.
// `logLevel` (0..7) is the platform log level of every process of the cluster.
bool CreateSimulatedCluster(const std::string& dir, unsigned int nodes, unsigned int logLevel, std::string& error);

// Controller name of node `id`: two controllers per engine, CTE0.A, CTE0.B, CTE1.A, ...
std::string SimulatedControllerName(unsigned int id);

}  // namespace chs_tools
