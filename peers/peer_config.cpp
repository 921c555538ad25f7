#include "peers/peer_config.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "infra/json_util.h"

namespace chs_peers {

bool LoadPeersConfig(const std::string& path, PeersConfig& out, std::string& why) {
    out = PeersConfig();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    Json::Value root;
    if (!in || !JsonDeserialization(text.str(), root) || !root.isObject()) {
        why = path + " is not a JSON object";
        return false;
    }
    const Json::Value& sessions = root["sessions"];
    if (!sessions.isNull()) {
        if (!sessions.isObject()) {
            why = path + ": \"sessions\" is not an object";
            return false;
        }
        for (const std::string& key : sessions.getMemberNames()) {
            if (!sessions[key].isString()) {
                why = path + ": the user of session " + key + " is not a string";
                return false;
            }
            out.mapSessions[key] = sessions[key].asString();
        }
    }
    const Json::Value& port = root["ssh_port"];
    if (!port.isNull()) {
        if (!port.isUInt() || port.asUInt() == 0 || port.asUInt() > 65535) {
            why = path + ": \"ssh_port\" is not a port number";
            return false;
        }
        out.uiSshPort = port.asUInt();
    }
    return true;
}

}  // namespace chs_peers
