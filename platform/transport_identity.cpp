#include "platform/transport_identity.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/om_cluster.h"
#include "platform/transport_limits.h"
#include "platform/transport_runtime.h"

namespace platform {
namespace transport {
namespace {

// node << 16 | pid; all ones: no endpoint held.
std::atomic<uint32_t> g_ownEndpoint{0xFFFFFFFFu};
std::atomic<uint32_t> g_claimSequence{0};
std::atomic<int64_t> g_lastClaimLog{0};

std::string RunDir() { return Cluster().strDir + "/run"; }

bool PeerProcess(int fd, pid_t& pid) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || credentials.pid <= 0) {
        return false;
    }
    pid = credentials.pid;
    return true;
}

// The process that listens on `endpoint`'s socket file, asked without waiting
// for it to accept (a full backlog is a failed probe, never a wait).
bool ListenerProcess(const EndpointId& endpoint, pid_t& pid) {
    sockaddr_storage address;
    socklen_t length = 0;
    std::string error;
    if (!EndpointAddress(endpoint, address, length, error)) {
        return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
        return false;
    }
    bool found = connect(probe, reinterpret_cast<sockaddr*>(&address), length) == 0 && PeerProcess(probe, pid);
    close(probe);
    return found;
}

}  // namespace

void SetOwnEndpoint(uint16_t node, uint16_t pid) {
    g_ownEndpoint.store(node == MSG_LOCAL_NODE_BID ? 0xFFFFFFFFu : (static_cast<uint32_t>(node) << 16) | pid);
}

void BindClaim(int fd, std::string& path) {
    path.clear();
    uint32_t own = g_ownEndpoint.load();
    if (own == 0xFFFFFFFFu || Cluster().strDir.empty()) {
        return;
    }
    char name[64];
    snprintf(name, sizeof(name), "/c-%u-%u-%d-%u", own >> 16, own & 0xFFFF, static_cast<int>(getpid()),
             g_claimSequence.fetch_add(1));
    std::string candidate = RunDir() + name;
    sockaddr_un address{};
    if (candidate.size() >= sizeof(address.sun_path)) {
        return;  // speaks as a tool rather than not at all
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, candidate.c_str(), candidate.size() + 1);
    unlink(candidate.c_str());  // a name left by a crashed process of the same pid
    if (bind(fd, reinterpret_cast<sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + candidate.size() + 1)) == 0) {
        path = candidate;
    }
}

bool PeerHolds(int fd, const EndpointId& endpoint) {
    pid_t peer = 0;
    pid_t listener = 0;
    return PeerProcess(fd, peer) && ListenerProcess(endpoint, listener) && peer == listener;
}

PeerIdentity Authenticate(int fd) {
    PeerIdentity identity;
    sockaddr_un address{};
    socklen_t length = sizeof(address);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        length <= offsetof(sockaddr_un, sun_path) || address.sun_path[0] == '\0') {
        return identity;
    }
    address.sun_path[sizeof(address.sun_path) - 1] = '\0';
    std::string path(address.sun_path);
    size_t slash = path.rfind('/');
    unsigned int node = 0, pid = 0, sequence = 0;
    int process = 0;
    char rest = 0;
    // The name must lie in this cluster's run directory, however the peer spelled its path.
    struct stat named {}, run {};
    if (slash == std::string::npos || stat(path.substr(0, slash).c_str(), &named) != 0 ||
        stat(RunDir().c_str(), &run) != 0 || named.st_dev != run.st_dev || named.st_ino != run.st_ino ||
        sscanf(path.c_str() + slash + 1, "c-%u-%u-%d-%u%c", &node, &pid, &process, &sequence, &rest) != 4 ||
        node >= MSG_TOOL_NODE_BID || pid > 0xFFFF) {
        return identity;
    }
    EndpointId claimed{static_cast<uint16_t>(node), static_cast<uint16_t>(pid)};
    if (PeerHolds(fd, claimed)) {
        identity.bNode = true;
        identity.endpoint = claimed;
    } else if (RateAllows(g_lastClaimLog, std::chrono::seconds(1))) {
        TRANSPORT_LOG(kLogWarning, "A connection claims endpoint %u of node %u, which its process does not hold; "
                      "taken as a tool.", claimed.usPid, claimed.usNode);
    }
    return identity;
}

PeerIdentity NodeIdentity(uint16_t node) {
    PeerIdentity identity;
    identity.bNode = true;
    identity.bWholeNode = true;
    identity.endpoint = EndpointId{node, 0};
    return identity;
}

void StampRequest(tagMsgInfo& info, const PeerIdentity& identity, bool pidHeld) {
    if (!identity.bNode) {
        info.usSenderBID = MSG_TOOL_NODE_BID;
        info.usSenderNodeID = MSG_TOOL_NODE_BID;
        info.usSenderPID = 0;
        return;
    }
    info.usSenderBID = identity.endpoint.usNode;
    info.usSenderNodeID = identity.endpoint.usNode;
    if (!pidHeld) {
        info.usSenderPID = identity.endpoint.usPid;
    }
}

void StampAnswer(tagMsgInfo& info, const EndpointId& destination) {
    info.usSenderBID = destination.usNode;
    info.usSenderNodeID = destination.usNode;
    info.usSenderPID = destination.usPid;
}

}  // namespace transport
}  // namespace platform
