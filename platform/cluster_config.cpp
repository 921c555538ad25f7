#include "platform/cluster_config.h"

#include <arpa/inet.h>
#include <json/json.h>

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

namespace platform {
namespace {

bool ReadText(const Json::Value& object, const char* key, std::string& out, std::string& error) {
    if (!object.isMember(key)) {
        return true;
    }
    const Json::Value& value = object[key];
    if (!value.isString()) {
        error = std::string("\"") + key + "\" must be a string";
        return false;
    }
    out = value.asString();
    return true;
}

bool ReadNode(const Json::Value& item, size_t index, NodeConfig& node, std::string& error) {
    std::string where = "nodes[" + std::to_string(index) + "]";
    if (!item.isObject()) {
        error = where + " must be an object";
        return false;
    }
    const Json::Value& id = item["id"];
    if (!id.isUInt() || id.asUInt() >= kMaxNodes) {
        error = where + ".id must be a number from 0 to " + std::to_string(kMaxNodes - 1);
        return false;
    }
    node.usId = static_cast<uint16_t>(id.asUInt());
    const Json::Value& name = item["name"];
    if (!name.isString() || name.asString().empty() || name.asString().size() > kMaxControllerName) {
        error = where + ".name must be a text of 1 to " + std::to_string(kMaxControllerName) + " bytes";
        return false;
    }
    node.strName = name.asString();
    const Json::Value& ips = item["internalIps"];
    if (!ips.isNull()) {
        if (!ips.isArray() || ips.size() > kMaxInternalIps) {
            error = where + ".internalIps must be a list of at most " + std::to_string(kMaxInternalIps) +
                    " addresses";
            return false;
        }
        for (const Json::Value& ip : ips) {
            if (!ip.isString() || ip.asString().empty() || ip.asString().size() > 15) {
                error = where + ".internalIps holds an entry that is not an address of 1 to 15 bytes";
                return false;
            }
            node.vecInternalIps.push_back(ip.asString());
        }
    }
    return true;
}

bool ReadCcdb(const Json::Value& ccdb, const std::string& serial, CcdbConfig& out, std::string& error) {
    if (!ccdb.isObject()) {
        error = "\"ccdb\" must be an object";
        return false;
    }
    for (const std::string& member : ccdb.getMemberNames()) {
        if (member != "backend" && member != "endpoints") {
            error = "\"ccdb\" has an unknown member \"" + member + "\"";
            return false;
        }
    }
    std::string backend = "sqlite";
    if (!ReadText(ccdb, "backend", backend, error)) {
        error = "ccdb." + error;
        return false;
    }
    const Json::Value& endpoints = ccdb["endpoints"];
    if (backend == "sqlite") {
        if (!endpoints.isNull()) {
            error = "ccdb.endpoints belongs to the etcd backend only";
            return false;
        }
        out = CcdbConfig{};
        return true;
    }
    if (backend != "etcd") {
        error = "ccdb.backend must be \"sqlite\" or \"etcd\"";
        return false;
    }
    if (!endpoints.isArray() || endpoints.empty() || endpoints.size() > kMaxCcdbEndpoints) {
        error = "ccdb.endpoints must list 1 to " + std::to_string(kMaxCcdbEndpoints) + " endpoints";
        return false;
    }
    out = CcdbConfig{};
    out.kind = CcdbBackendKind::kEtcd;
    for (const Json::Value& endpoint : endpoints) {
        if (!endpoint.isString() || !ValidCcdbEndpoint(endpoint.asString())) {
            error = "ccdb.endpoints holds an entry that is not of the form http://HOST:PORT";
            return false;
        }
        std::string url = endpoint.asString();
        if (url.back() == '/') {
            url.pop_back();
        }
        out.endpoints.push_back(url);
    }
    if (serial.empty()) {
        error = "the etcd backend of \"ccdb\" needs a \"serialNumber\"";
        return false;
    }
    return true;
}

// "transport" and "tcpPortBase": with TCP every endpoint's port must fit
// and every node must be reachable at its first internal address.
bool ReadTransport(const Json::Value& root, ClusterConfig& config, std::string& error) {
    std::string transport = "unix";
    if (!ReadText(root, "transport", transport, error)) {
        return false;
    }
    if (transport != "unix" && transport != "tcp") {
        error = "\"transport\" must be \"unix\" or \"tcp\"";
        return false;
    }
    config.bTcpTransport = transport == "tcp";
    if (root.isMember("tcpPortBase")) {
        const Json::Value& base = root["tcpPortBase"];
        if (!base.isUInt() || base.asUInt() < 1024 || base.asUInt() + kTcpPortSpan > 65536) {
            error = "\"tcpPortBase\" must be a number from 1024 to " + std::to_string(65536 - kTcpPortSpan);
            return false;
        }
        config.usTcpPortBase = static_cast<uint16_t>(base.asUInt());
    }
    for (const NodeConfig& node : config.nodes) {
        in_addr address{};
        if (config.bTcpTransport &&
            (node.vecInternalIps.empty() || inet_pton(AF_INET, node.vecInternalIps[0].c_str(), &address) != 1)) {
            error = "with the tcp transport node " + std::to_string(node.usId) +
                    " needs an IPv4 address first in its internalIps";
            return false;
        }
    }
    return true;
}

}  // namespace

// "http://HOST:PORT" with a trailing slash allowed: the client appends the
// gateway's paths itself, and credentials in a URL would end up in logs.
bool ValidCcdbEndpoint(const std::string& url) {
    const std::string scheme = "http://";
    if (url.size() > 256 || url.compare(0, scheme.size(), scheme) != 0) {
        return false;
    }
    std::string rest = url.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size() || rest.size() - colon > 6) {
        return false;
    }
    for (size_t i = 0; i < rest.size(); ++i) {
        char c = rest[i];
        bool hostChar = isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '[' ||
                        c == ']' || (c == ':' && rest[0] == '[');
        bool portChar = isdigit(static_cast<unsigned char>(c));
        if (i < colon ? !hostChar : (i > colon && !portChar)) {
            return false;
        }
    }
    unsigned long port = std::stoul(rest.substr(colon + 1));
    return port >= 1 && port <= 65535;
}

bool ClusterConfig::Load(const std::string& path, ClusterConfig& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read cluster file " + path;
        return false;
    }
    Json::CharReaderBuilder builder;
    Json::Value root;
    std::string parseError;
    if (!Json::parseFromStream(builder, in, &root, &parseError)) {
        std::istringstream first(parseError);
        std::string line;
        std::getline(first, line);
        error = "cluster file " + path + " is not valid JSON: " + line;
        return false;
    }
    if (!root.isObject()) {
        error = "cluster file " + path + " must hold a JSON object";
        return false;
    }

    ClusterConfig config;
    config.strFile = path;
    size_t slash = path.find_last_of('/');
    config.strDir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));

    const Json::Value& nodes = root["nodes"];
    if (!nodes.isArray() || nodes.empty() || nodes.size() > kMaxNodes) {
        error = "\"nodes\" must list 1 to " + std::to_string(kMaxNodes) + " nodes";
        return false;
    }
    std::set<uint16_t> ids;
    std::set<std::string> names;
    for (Json::ArrayIndex i = 0; i < nodes.size(); ++i) {
        NodeConfig node;
        if (!ReadNode(nodes[i], i, node, error)) {
            return false;
        }
        if (!ids.insert(node.usId).second) {
            error = "node id " + std::to_string(node.usId) + " appears twice";
            return false;
        }
        if (!names.insert(node.strName).second) {
            error = "controller name " + node.strName + " appears twice";
            return false;
        }
        config.nodes.push_back(node);
    }

    if (!ReadText(root, "serialNumber", config.strSerialNumber, error)) {
        return false;
    }
    if (root.isMember("master")) {
        const Json::Value& master = root["master"];
        if (!master.isUInt() || ids.count(static_cast<uint16_t>(master.asUInt())) == 0 ||
            master.asUInt() >= kMaxNodes) {
            error = "\"master\" must be the id of a listed node";
            return false;
        }
        config.iMaster = static_cast<int>(master.asUInt());
    }
    if (root.isMember("logLevel")) {
        const Json::Value& level = root["logLevel"];
        if (!level.isUInt() || level.asUInt() > 7) {
            error = "\"logLevel\" must be a number from 0 to 7";
            return false;
        }
        config.uiLogLevel = level.asUInt();
    }
    if (root.isMember("dns")) {
        if (!root["dns"].isBool()) {
            error = "\"dns\" must be true or false";
            return false;
        }
        config.bDns = root["dns"].asBool();
    }
    if (!ReadTransport(root, config, error)) {
        return false;
    }
    const Json::Value& profile = root["profile"];
    if (!profile.isNull()) {
        if (!profile.isObject()) {
            error = "\"profile\" must be an object";
            return false;
        }
        if (!ReadText(profile, "sudoPrefix", config.strSudoPrefix, error) ||
            !ReadText(profile, "operOwner", config.strOperOwner, error) ||
            !ReadText(profile, "exportOwner", config.strExportOwner, error) ||
            !ReadText(profile, "vrfWrapper", config.strVrfWrapper, error) ||
            !ReadText(profile, "resetProgram", config.strResetProgram, error) ||
            !ReadText(profile, "cgroupProgram", config.strCgroupProgram, error)) {
            return false;
        }
    }
    if (root.isMember("ccdb") && !ReadCcdb(root["ccdb"], config.strSerialNumber, config.ccdb, error)) {
        return false;
    }
    out = config;
    return true;
}

const NodeConfig* ClusterConfig::FindNode(uint16_t id) const {
    for (const NodeConfig& node : nodes) {
        if (node.usId == id) {
            return &node;
        }
    }
    return nullptr;
}

const NodeConfig* ClusterConfig::FindNode(const std::string& name) const {
    for (const NodeConfig& node : nodes) {
        if (node.strName == name) {
            return &node;
        }
    }
    return nullptr;
}

}  // namespace platform
