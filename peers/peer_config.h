// The configuration of the sibling modules, <cluster>/peers.json:
//
//   { "sessions": { "12345": "admin" },    session key (decimal) -> user name
//     "ssh_port": 22,                       the system SSH port (default 22)
//     "remote": { ... } }                   the agent's HTTPS upload (peers/remote_config.h)
//
// Read afresh for every request, so that a test or an operator can change it
// while chs-peers runs. A missing file means the defaults. Stateless; thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class InnerMsg;
namespace Json {
class Value;
}

namespace chs_peers {

struct PeersConfig {
    std::map<std::string, std::string> mapSessions;
    uint32_t uiSshPort = 22;
};

// `path` as a JSON object; `exists` false (and true returned) when there is
// no file. false with a one-line reason when it cannot be read or parsed.
// The text read is wiped: it may hold the proxy password.
bool ReadConfigRoot(const std::string& path, Json::Value& root, bool& exists, std::string& why);

// false with a one-line reason when the file exists but cannot be read or
// does not hold the form above.
bool LoadPeersConfig(const std::string& path, PeersConfig& out, std::string& why);

// The common front of the configuration queries (567, 575): `request` must be
// a general command whose first record has `recordCode`, and the
// configuration must load. Otherwise the request is answered with the failure
// and false is returned.
bool AcceptConfigQuery(InnerMsg& request, uint64_t recordCode, const std::string& configFile, PeersConfig& config);

}  // namespace chs_peers
