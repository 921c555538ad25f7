#include "platform/transport_socket.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/om_cluster.h"
#include "platform/transport_identity.h"
#include "platform/transport_message.h"
#include "platform/transport_reader.h"
#include "platform/transport_runtime.h"

namespace platform {
namespace transport {
namespace {

constexpr int kListenBacklog = 128;

std::string SocketPath(const EndpointId& endpoint) {
    return Cluster().strDir + "/run/ep-" + std::to_string(endpoint.usNode) + "-" +
           std::to_string(endpoint.usPid) + ".sock";
}

}  // namespace

bool EndpointAddress(const EndpointId& endpoint, sockaddr_storage& address, socklen_t& length,
                     std::string& error) {
    if (Cluster().strDir.empty()) {
        error = "the process is not attached to a cluster";
        return false;
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
    struct stat st {};
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, kListenBacklog) != 0 ||
        stat(path.c_str(), &st) != 0) {
        error = "cannot listen on " + path + ": " + strerror(errno);
        close(fd);
        return result;
    }
    result.fd = fd;
    result.ino = st.st_ino;
    return result;
}

void RemoveSocketFile(const EndpointId& endpoint, const ListenSocket& socket) {
    std::string path = SocketPath(endpoint);
    struct stat st {};
    if (!Cluster().strDir.empty() && stat(path.c_str(), &st) == 0 && st.st_ino == socket.ino) {
        unlink(path.c_str());
    }
}

int Connect(const EndpointId& endpoint, bool claim) {
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
