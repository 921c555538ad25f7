#include "peers/peer_context.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

#include "infra/chs_log.h"
#include "peers/peer_codes.h"

namespace fs = std::filesystem;

namespace chs_peers {
namespace {

// True when `path` equals `root` or lies below it, component by component
// (so that /a/node1 is not taken as lying below /a/node).
bool IsBelow(const fs::path& path, const fs::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p) {
        if (r->empty() && std::next(r) == root.end()) {
            return true;  // a root written with a trailing "/"
        }
        if (p == path.end() || *p != *r) {
            return false;
        }
    }
    return true;
}

fs::path Normal(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    return (ec ? path : absolute).lexically_normal();
}

}  // namespace

PeerContext::PeerContext(const platform::ClusterConfig& cluster, uint16_t nodeId, const std::string& ownRoot)
    : m_cluster(cluster),
      m_strClusterDir(Normal(cluster.strDir).string()),
      m_usNodeId(nodeId),
      m_ownRoot(Normal(ownRoot)) {
    if (!m_strClusterDir.empty() && m_strClusterDir.back() == '/' && m_strClusterDir.size() > 1) {
        m_strClusterDir.pop_back();
    }
}

fs::path PeerContext::NodeRoot(uint16_t nodeId) const {
    if (nodeId == m_usNodeId) {
        return m_ownRoot;
    }
    return fs::path(m_strClusterDir) / ("node" + std::to_string(nodeId));
}

std::string PeerContext::OwnAddress() const {
    const platform::NodeConfig* node = m_cluster.FindNode(m_usNodeId);
    return node == nullptr || node->vecInternalIps.empty() ? "" : node->vecInternalIps.front();
}

std::string PeerContext::NodeDirName(uint16_t nodeId) const {
    const platform::NodeConfig* node = m_cluster.FindNode(nodeId);
    if (node == nullptr || node->strName.empty() || node->strName == "." || node->strName == ".." ||
        node->strName.find('/') != std::string::npos) {
        return "node" + std::to_string(nodeId);
    }
    return node->strName;
}

std::string PeerContext::EventFile() const {
    return m_strClusterDir + "/run/peers" + std::to_string(m_usNodeId) + ".log";
}

uint32_t PeerContext::ResolveNodeFile(uint16_t sourceNode, const std::string& path, fs::path& file,
                                      std::string& why) const {
    fs::path requested(path);
    if (path.empty() || !requested.is_absolute()) {
        why = "the path is not absolute";
        return PEER_ERR_PATH_REFUSED;
    }
    for (const fs::path& part : requested) {
        if (part == "..") {
            why = "the path holds \"..\"";
            return PEER_ERR_PATH_REFUSED;
        }
    }
    requested = requested.lexically_normal();

    // The daemon names files by their real path below its own root; the same
    // file on another node lies at the same place below that node's root.
    fs::path relative = requested.relative_path();
    for (const platform::NodeConfig& node : m_cluster.nodes) {
        fs::path root = NodeRoot(node.usId);
        if (IsBelow(requested, root)) {
            relative = requested.lexically_relative(root);
            break;
        }
    }
    fs::path sourceRoot = NodeRoot(sourceNode);
    fs::path candidate = (sourceRoot / relative).lexically_normal();

    std::error_code ec;
    fs::path realRoot = fs::canonical(sourceRoot, ec);
    if (ec) {
        why = "the root of node " + std::to_string(sourceNode) + " is missing";
        return PEER_ERR_FILE;
    }
    fs::path real = fs::canonical(candidate, ec);
    if (ec) {
        why = candidate.string() + ": " + ec.message();
        return PEER_ERR_FILE;
    }
    if (!IsBelow(real, realRoot)) {
        why = candidate.string() + " leads outside the node root";
        return PEER_ERR_PATH_REFUSED;
    }
    if (!fs::is_regular_file(real, ec)) {
        why = candidate.string() + " is not a regular file";
        return PEER_ERR_FILE;
    }
    file = real;
    return PEER_OK;
}

bool AppendJsonLine(const std::string& file, const Json::Value& line) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    std::string text = Json::writeString(builder, line) + "\n";

    std::error_code ec;
    fs::create_directories(fs::path(file).parent_path(), ec);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        CHS_LOG(3, LOGID_PEERS, "Cannot open %s: %s.", file.c_str(), strerror(errno));
        return false;
    }
    // One write per line: O_APPEND keeps concurrent writers' lines whole.
    ssize_t written = write(fd, text.data(), text.size());
    int saved = errno;
    close(fd);
    if (written != static_cast<ssize_t>(text.size())) {
        CHS_LOG(3, LOGID_PEERS, "Cannot append to %s: %s.", file.c_str(), strerror(saved));
        return false;
    }
    return true;
}

std::string NowText() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

}  // namespace chs_peers
