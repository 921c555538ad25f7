#include "peers/peer_config.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "infra/chs_log.h"
#include "infra/json_util.h"
#include "infra/string_util.h"
#include "msg/inner_msg.h"
#include "peers/peer_codes.h"
#include "peers/peer_dispatcher.h"

namespace chs_peers {
namespace {

constexpr uint64_t kMaxConfigBytes = 1 << 20;

}  // namespace

bool ReadConfigRoot(const std::string& path, Json::Value& root, bool& exists, std::string& why) {
    std::error_code ec;
    exists = std::filesystem::exists(path, ec);
    if (!exists) {
        return true;
    }
    // Read in one piece into a buffer of its final size, so that no copy of
    // the text is left behind by a growing buffer.
    uint64_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxConfigBytes) {
        why = path + (ec ? ": " + ec.message() : " is larger than 1 MiB");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string text(static_cast<size_t>(size), '\0');
    in.read(&text[0], static_cast<std::streamsize>(size));
    bool parsed = in && JsonDeserialization(text, root) && root.isObject();
    ResetString(text);
    if (!parsed) {
        why = path + " is not a JSON object";
        return false;
    }
    return true;
}

bool LoadPeersConfig(const std::string& path, PeersConfig& out, std::string& why) {
    out = PeersConfig();
    Json::Value root;
    bool exists = false;
    if (!ReadConfigRoot(path, root, exists, why)) {
        return false;
    }
    if (!exists) {
        return true;
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
