// The configuration of the sibling modules, <cluster>/peers.json:
//
//   { "sessions": { "12345": "admin" },    session key (decimal) -> user name
//     "ssh_port": 22 }                      the system SSH port (default 22)
//
// Read afresh for every request, so that a test or an operator can change it
// while chs-peers runs. A missing file means the defaults. Stateless; thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class InnerMsg;

namespace chs_peers {

struct PeersConfig {
    std::map<std::string, std::string> mapSessions;
    uint32_t uiSshPort = 22;
};

// false with a one-line reason when the file exists but cannot be read or
// does not hold the form above.
bool LoadPeersConfig(const std::string& path, PeersConfig& out, std::string& why);

// The common front of the configuration queries (567, 575): `request` must be
// a general command whose first record has `recordCode`, and the
// configuration must load. Otherwise the request is answered with the failure
// and false is returned.
bool AcceptConfigQuery(InnerMsg& request, uint64_t recordCode, const std::string& configFile, PeersConfig& config);

}  // namespace chs_peers
