#include "peers/peer_config.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "infra/chs_log.h"
#include "infra/json_util.h"
#include "msg/inner_msg.h"
#include "peers/peer_codes.h"
#include "peers/peer_dispatcher.h"

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

bool AcceptConfigQuery(InnerMsg& request, uint64_t recordCode, const std::string& configFile, PeersConfig& config) {
    const tagMsgInfo& info = request.GetMsgInfo();
    const MsgObject& body = request.GetBody();
    unsigned int pid = info.usReceiverPID;
    if (info.uiMsgOPCode != OPCODE_GENERAL || body.empty() || body[0].GetCode() != recordCode) {
        CHS_LOG(3, LOGID_PEERS, "[%u] Unsupported request opcode 0x%x with %zu records.", pid, info.uiMsgOPCode,
                body.size());
        AnswerResult(request, body.empty() ? PEER_ERR_BAD_REQUEST : PEER_ERR_UNSUPPORTED, "unsupported request");
        return false;
    }
    std::string why;
    if (!LoadPeersConfig(configFile, config, why)) {
        CHS_LOG(3, LOGID_PEERS, "[%u] %s.", pid, why.c_str());
        AnswerResult(request, PEER_ERR_CONFIG, why);
        return false;
    }
    return true;
}

}  // namespace chs_peers
