#include "platform/transport_socket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/cluster_config.h"
#include "platform/om_cluster.h"
#include "platform/transport_identity.h"
#include "platform/transport_limits.h"
#include "platform/transport_message.h"
#include "platform/transport_reader.h"
#include "platform/transport_runtime.h"
#include "platform/transport_tls.h"

namespace platform {
namespace transport {
namespace {

constexpr int kListenBacklog = 128;
constexpr int64_t kTcpConnectMs = 5000;
constexpr int64_t kHandshakeMs = 10000;  // at most; the frame deadline when shorter
std::atomic<int64_t> g_lastTlsConnectLog{0};

std::string SocketPath(const EndpointId& endpoint) {
    return Cluster().strDir + "/run/ep-" + std::to_string(endpoint.usNode) + "-" +
           std::to_string(endpoint.usPid) + ".sock";
}

// Connects the non-blocking `fd` to `address` within kTcpConnectMs; false with errno.
bool ConnectWithin(int fd, const sockaddr_in& address) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return false;
    }
    int64_t deadline = NowMs() + kTcpConnectMs;
    for (;;) {
        pollfd wait{fd, POLLOUT, 0};
        int ready = poll(&wait, 1, static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            errno = ready == 0 ? ETIMEDOUT : errno;
            return false;
        }
        int failure = 0;
        socklen_t length = sizeof(failure);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
        errno = failure;
        return failure == 0;
    }
}

int ConnectTls(const EndpointId& endpoint, std::unique_ptr<TlsSession>* tls) {
    sockaddr_in address{};
    std::string error;
    if (tls == nullptr || !TcpAddress(endpoint, address, error)) {
        errno = EINVAL;
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (!ConnectWithin(fd, address)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    int64_t limit = std::min<int64_t>(kHandshakeMs, CurrentLimits().frameDeadline.count());
    std::unique_ptr<TlsSession> session = TlsSession::New(fd, false, error);
    if (session && session->Handshake(NowMs() + limit, error) && session->PeerNode() != endpoint.usNode) {
        error = "its certificate names node " + std::to_string(session->PeerNode());
        session.reset();
    }
    if (!session || !error.empty()) {
        if (RateAllows(g_lastTlsConnectLog, std::chrono::seconds(1))) {
            TRANSPORT_LOG(kLogWarning, "TLS connection to endpoint %u of node %u refused: %s.", endpoint.usPid,
                          endpoint.usNode, error.c_str());
        }
        close(fd);
        errno = ECONNREFUSED;
        return -1;
    }
    *tls = std::move(session);
    return fd;
}

}  // namespace

bool TcpAddress(const EndpointId& endpoint, sockaddr_in& address, std::string& error) {
    const ClusterConfig& cluster = Cluster();
    const NodeConfig* node = cluster.FindNode(endpoint.usNode);
    uint32_t offset = endpoint.usPid < 1024 ? endpoint.usPid
                      : endpoint.usPid >= MSG_PLATFORM_PID_BASE ? 1024u + (endpoint.usPid - MSG_PLATFORM_PID_BASE)
                                                                 : kTcpPortSpan;
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    if (node == nullptr || node->vecInternalIps.empty() ||
        inet_pton(AF_INET, node->vecInternalIps[0].c_str(), &address.sin_addr) != 1) {
        error = "node " + std::to_string(endpoint.usNode) + " has no IPv4 internal address";
        return false;
    }
    if (offset >= kTcpPortSpan || cluster.usTcpPortBase + offset > 65535) {
        error = "endpoint " + std::to_string(endpoint.usPid) + " has no TCP port";
        return false;
    }
    address.sin_port = htons(static_cast<uint16_t>(cluster.usTcpPortBase + offset));
    return true;
}

bool EndpointAddress(const EndpointId& endpoint, sockaddr_storage& address, socklen_t& length,
                     std::string& error) {
    if (Cluster().strDir.empty()) {
        error = "the process is not attached to a cluster";
        return false;
    }
    if (TlsToNode(endpoint.usNode)) {
        sockaddr_in tcp{};
        if (!TcpAddress(endpoint, tcp, error)) {
            return false;
        }
        memset(&address, 0, sizeof(address));
        memcpy(&address, &tcp, sizeof(tcp));
        length = sizeof(tcp);
        return true;
    }
    std::string path = SocketPath(endpoint);
    sockaddr_un unixAddress{};
    if (path.size() >= sizeof(unixAddress.sun_path)) {
        error = "socket path " + path + " is too long";
        return false;
    }
    unixAddress.sun_family = AF_UNIX;
    memcpy(unixAddress.sun_path, path.c_str(), path.size() + 1);
    memset(&address, 0, sizeof(address));
    memcpy(&address, &unixAddress, sizeof(unixAddress));
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

ListenSocket Listen(const EndpointId& endpoint, std::string& error) {
    ListenSocket result;
    sockaddr_storage address;
    socklen_t length = 0;
    if (!EndpointAddress(endpoint, address, length, error)) {
        return result;
    }
    std::string path = SocketPath(endpoint);
    int probe = Connect(endpoint, false);
    if (probe >= 0) {
        close(probe);
        error = "another process serves " + path;
        return result;
    }
    unlink(path.c_str());  // a dead process's file; nobody answers on it
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + strerror(errno);
        return result;
    }
    // The daemon's user and group may connect (management clients of the
    // node), nobody else, whatever the umask.
    struct stat st {};
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || chmod(path.c_str(), 0660) != 0 ||
        listen(fd, kListenBacklog) != 0 || stat(path.c_str(), &st) != 0) {
        error = "cannot listen on " + path + ": " + strerror(errno);
        close(fd);
        return result;
    }
    result.fd = fd;
    result.ino = st.st_ino;
    return result;
}

ListenSocket ListenTcp(const EndpointId& endpoint, std::string& error) {
    ListenSocket result;
    sockaddr_in address{};
    if (!TcpAddress(endpoint, address, error)) {
        return result;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + strerror(errno);
        return result;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));  // a restart meets its old port in TIME_WAIT
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, kListenBacklog) != 0) {
        char text[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
        error = "cannot listen on " + std::string(text) + ":" + std::to_string(ntohs(address.sin_port)) + ": " +
                strerror(errno);
        close(fd);
        return result;
    }
    result.fd = fd;
    return result;
}

void RemoveSocketFile(const EndpointId& endpoint, const ListenSocket& socket) {
    std::string path = SocketPath(endpoint);
    struct stat st {};
    if (!Cluster().strDir.empty() && stat(path.c_str(), &st) == 0 && st.st_ino == socket.ino) {
        unlink(path.c_str());
    }
}

int Connect(const EndpointId& endpoint, bool claim, std::unique_ptr<TlsSession>* tls) {
    if (TlsToNode(endpoint.usNode)) {
        return ConnectTls(endpoint, tls);
    }
    sockaddr_storage address;
    socklen_t length = 0;
    std::string error;
    if (!EndpointAddress(endpoint, address, length, error)) {
        errno = EINVAL;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    std::string claimPath;
    if (claim) {
        BindClaim(fd, claimPath);
    }
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    int saved = errno;
    if (!claimPath.empty()) {
        unlink(claimPath.c_str());  // the peer keeps the name; the file is no longer needed
    }
    if (rc != 0) {
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

ReadStatus ReadFrame(int fd, FrameHeader& header, void*& message, FrameError& error) {
    FrameAssembler assembler(MSG_MAX_BODY_LENGTH, kFrameHeaderSize + MSG_MAX_BODY_LENGTH);
    switch (assembler.Read(fd, header, message, error)) {
        case FrameAssembler::Step::kFrame:
            return ReadStatus::kFrame;
        case FrameAssembler::Step::kClosed:
            return ReadStatus::kClosed;
        case FrameAssembler::Step::kBadFrame:
            return ReadStatus::kBadFrame;
        default:
            return ReadStatus::kIoError;
    }
}

}  // namespace transport
}  // namespace platform
